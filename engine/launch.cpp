#include "engine/redirect.h"
#include "engine/syscalls.h"

#include <utility>

namespace {

// One anonymous pipe: `childEnd` for the child to inherit, `ownEnd` for the
// library. Both ends are created inheritable; the library keeps a duplicate
// of its end that is not, so that no other child of the host inherits it and
// keeps the pipe from ever breaking.
bool CreateChildPipe(bool childReads, ScopedHandle &childEnd, ScopedHandle &ownEnd) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    // Size 0: the system's default buffer size.
    if (!g_sys.createPipe(&read, &write, &inheritable, 0))
        return false;
    ScopedHandle readEnd(read);
    ScopedHandle writeEnd(write);
    const ScopedHandle &held = childReads ? writeEnd : readEnd;
    HANDLE self = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (!g_sys.duplicateHandle(self, held.Get(), self, &duplicate, 0,
                               FALSE,                  // not inheritable
                               DUPLICATE_SAME_ACCESS)) // read or write, as the original
        return false;
    ownEnd.Reset(duplicate);
    childEnd = std::move(childReads ? readEnd : writeEnd);
    return true;
}

// Wine, setting up a new console while other processes start and end, now
// and then fails the creation with ERROR_INTERNAL_ERROR, and the same call
// succeeds a moment later. Windows does not fail this way; any other error,
// such as a program that does not exist, is final at once.
bool CreateProcessRetrying(const char *application, char *commandLine, DWORD flags,
                           STARTUPINFOA &startup, PROCESS_INFORMATION &created) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        // No process security attributes: the default descriptor lets only
        // the host's user open the child, and its handle is not inheritable,
        // so later children do not hold earlier ones. Handle inheritance on:
        // the child needs its three pipe ends.
        if (g_sys.createProcess(application, commandLine, nullptr, nullptr, TRUE, flags, nullptr,
                                nullptr, &startup, &created))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kAttempts)
            return false;
        Sleep(20 * attempt);
    }
}

} // namespace

bool CRedirect::CreatePipes() {
    return CreateChildPipe(true, m_childStdinRead, m_stdinWriter) &&
           CreateChildPipe(false, m_childStdoutWrite, m_stdoutReader) &&
           CreateChildPipe(false, m_childStderrWrite, m_stderrReader);
}

bool CRedirect::StartProcess(const LaunchCommand &command, ScopedHandle &primaryThread) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    // Our pipes as the standard handles, and the show-window value below
    // for the new console's window.
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = m_childStdinRead.Get();
    startup.hStdOutput = m_childStdoutWrite.Get();
    startup.hStdError = m_childStderrWrite.Get();

    // A console of its own: a GUI host has none to share, and a console
    // host's window must not receive the child's writes or its Ctrl+C.
    // Suspended: it joins the job before it can start anything of its own.
    const DWORD flags = CREATE_NEW_CONSOLE | CREATE_SUSPENDED;
    // CreateProcessA may write into the command line it is given.
    std::string writable(command.commandLine);
    const char *application = command.application.empty() ? nullptr : command.application.c_str();
    PROCESS_INFORMATION created{};
    if (!CreateProcessRetrying(application, &writable[0], flags, startup, created))
        return false;
    m_process.Reset(created.hProcess);
    primaryThread.Reset(created.hThread);

    // The child holds its own copies now. A reader sees its pipe break only
    // once every write end is closed, so ours must go, or the end of the
    // child's output would never be seen.
    m_childStdinRead.Close();
    m_childStdoutWrite.Close();
    m_childStderrWrite.Close();
    return m_process.IsValid() && primaryThread.IsValid();
}

// A job lets a stop end the child together with everything it started; its
// kill-on-close limit ends them too if the host dies during the run. A host
// that runs in a job forbidding nested jobs refuses this: the run then goes
// on without one, and a stop ends the child alone.
void CRedirect::JoinJob() {
    ScopedHandle job(g_sys.createJobObject(nullptr, nullptr));
    if (!job.IsValid())
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!g_sys.setInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                       sizeof(limits)))
        return;
    if (!g_sys.assignProcessToJobObject(job.Get(), m_process.Get()))
        return;
    m_job = std::move(job);
}

// The watcher comes last: it waits for the two readers by their handles.
bool CRedirect::StartWorkers() {
    m_stdoutThread.Reset(g_sys.createThread(nullptr, 0, StdoutReaderProc, this, 0, nullptr));
    if (!m_stdoutThread.IsValid())
        return false;
    m_stderrThread.Reset(g_sys.createThread(nullptr, 0, StderrReaderProc, this, 0, nullptr));
    if (!m_stderrThread.IsValid())
        return false;
    m_watchThread.Reset(g_sys.createThread(nullptr, 0, WatcherProc, this, 0, nullptr));
    return m_watchThread.IsValid();
}

int CRedirect::LaunchChild(const LaunchCommand &command) {
    m_finished = 0;
    m_stderrSeen = 0;
    m_launchAbandoned = false;
    // A refused command is a start failure before anything of the run exists.
    if (!command.refusal.empty() || command.commandLine.empty() || !CreatePipes())
        return FailLaunch(command.display);
    // Manual reset: every wait on it after a stop must see it.
    m_stopEvent.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
    ScopedHandle primaryThread;
    if (!m_stopEvent.IsValid() || !StartProcess(command, primaryThread))
        return FailLaunch(command.display);
    JoinJob();
    g_running = 1;
    if (!StartWorkers() || g_sys.resumeThread(primaryThread.Get()) == static_cast<DWORD>(-1))
        return FailLaunch(command.display);
    NotifyLaunched(command.display.c_str());
    return 1;
}

// Undoes a launch that went wrong at any step: a child that was created has
// never run (it is still suspended) and is ended, which breaks its pipes and
// so ends the readers already started. Nothing of the run stays open.
int CRedirect::FailLaunch(const std::string &commandLine) {
    m_launchAbandoned = true;
    if (m_process.IsValid())
        TerminateProcess(m_process.Get(), 1);
    if (m_stopEvent.IsValid())
        SetEvent(m_stopEvent.Get());
    WaitForWorkers(INFINITE);
    g_running = 0;
    ReleaseRun();
    // Built to size: the whole command line goes to the host, however long.
    const std::string message = "Unable to start " + commandLine + "\n";
    RelayStdout(message.c_str(), message.size());
    return 0;
}
