#include "engine/command/environment.h"
#include "engine/os/inheritance.h"
#include "engine/os/syscalls.h"
#include "engine/os/worker_thread.h"
#include "engine/redirect.h"

#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

// Makes the child's ends inheritable for exactly as long as the creation
// call needs them so; any other process started meanwhile by the host (by
// system(), _popen or a process library, all of which inherit) would
// otherwise hold our pipes open for as long as it lives. One launch at a time,
// so that one run's child never inherits another's ends.
class InheritableWhileCreating {
public:
    explicit InheritableWhileCreating(std::vector<HANDLE> handles) : m_handles(std::move(handles)) {
        for (HANDLE handle : m_handles)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    ~InheritableWhileCreating() {
        for (HANDLE handle : m_handles)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }
    InheritableWhileCreating(const InheritableWhileCreating &) = delete;
    InheritableWhileCreating &operator=(const InheritableWhileCreating &) = delete;

private:
    InheritanceTurn m_turn;
    std::vector<HANDLE> m_handles;
};

// Wine, setting up a new console while other processes start and end, now
// and then fails the creation with ERROR_INTERNAL_ERROR, and the same call
// succeeds a moment later. Windows does not fail this way; any other error,
// such as a program that does not exist, is final at once.
bool CreateProcessRetrying(const wchar_t *application, wchar_t *commandLine, DWORD flags,
                           void *environment, const wchar_t *directory, STARTUPINFOEXW &startup,
                           PROCESS_INFORMATION &created) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        // No process security attributes: the default descriptor lets only
        // the host's user open the child, and its handle is not inheritable,
        // so later children do not hold earlier ones. Handle inheritance on:
        // the child needs its three pipe ends (and, where the system honours
        // the handle list, nothing else).
        if (g_sys.createProcess(application, commandLine, nullptr, nullptr, TRUE, flags,
                                environment, directory, &startup.StartupInfo, &created))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kAttempts)
            return false;
        Sleep(20 * attempt);
    }
}

} // namespace

// The child's standard handles and console, made the way its console does
// (a merged run has no error pipe: the output pipe serves both).
bool CRedirect::CreatePipes() {
    const bool terminal = m_settings.text.terminal != TextOptions::Terminal::kNone;
    m_child.UsePseudoConsole(terminal);
    if (terminal) {
        m_child.Terminal().SetSize(m_settings.terminalColumns, m_settings.terminalRows);
        // The readers follow the console's size as a resize changes it.
        m_settings.text.terminalSize = m_child.Terminal().Size();
    }
    const bool created =
        m_child.Console().Create(m_settings.mergeErrors, m_input, m_stdout, m_stderr);
    if (terminal)
        m_input.UseConsoleKeys();
    return created;
}

// The events and the port a run's threads talk through. Created before the
// run counts as launching, so a stop always finds them.
bool CRedirect::CreateRunObjects() {
    const bool events = m_watcher.CreateEvents();
    // Each stream's event for its overlapped reads.
    const bool outputReady = m_stdout.CreateReadyEvent();
    const bool errorReady = m_stderr.CreateReadyEvent();
    const bool port = m_watcher.CreatePort();
    return events && outputReady && errorReady && port;
}

bool CRedirect::StartProcess(const LaunchCommand &command, ScopedHandle &primaryThread) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    // Suspended: it joins the job before it can start anything of its own.
    DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    std::vector<HANDLE> childEnds;
    m_child.Console().Prepare(startup.StartupInfo, flags, childEnds);
    // The child inherits what its console needs and nothing else of the
    // host. Where the system cannot build the list, the launch goes on
    // without it, inheriting what is inheritable, as older systems do.
    void *pseudoConsole = m_child.Console().Attribute();
    HandleList inherited(childEnds, pseudoConsole);
    startup.lpAttributeList = inherited.Get();
    // Without its attribute the child would run in no pseudo console at all.
    if (pseudoConsole != nullptr && startup.lpAttributeList == nullptr) {
        m_child.Console().Created();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }

    if (startup.lpAttributeList != nullptr)
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    else
        startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    // The system converts an ANSI command line with the ANSI code page; so
    // do we, and the child sees the same bytes. CreateProcessW may write
    // into the text it is given.
    std::wstring writable;
    ToWide(command.commandLine.c_str(), m_settings.codePage, writable);
    std::wstring application;
    ToWide(command.application.c_str(), command.applicationCodePage, application);
    m_child.Console().Wrap(application, writable);
    writable.push_back(L'\0');
    // Both in UTF-16 (CREATE_UNICODE_ENVIRONMENT): a path or a value in any
    // script reaches the child exactly.
    const wchar_t *directory =
        m_settings.directory.empty() ? nullptr : m_settings.directory.c_str();
    void *environment =
        m_settings.ownEnvironment ? const_cast<wchar_t *>(m_settings.environment.c_str()) : nullptr;
    PROCESS_INFORMATION created{};
    bool ok;
    {
        InheritableWhileCreating window(childEnds);
        ok = CreateProcessRetrying(application.empty() ? nullptr : application.c_str(),
                                   &writable[0], flags, environment, directory, startup, created);
        if (!ok) {
            m_child.NoteCreationFailed(GetLastError());
        }
    }
    // The child holds its own copies now.
    m_child.Console().Created();
    if (!ok)
        return false;
    if (!m_child.Console().Started(created)) {
        m_child.NoteCreationFailed(GetLastError());
        return false;
    }
    // A child that is to read nothing sees the end of its input at once;
    // in a pseudo console that end is keys the writer sends (StartWorkers),
    // since a console whose input pipe breaks ends.
    if (m_settings.input == DLLGLUE_INPUT_CLOSED && !m_child.InPseudoConsole())
        m_input.Abandon();
    {
        std::lock_guard<SrwLock> lock(m_releaseLock);
        m_child.SetProcess(created.hProcess, created.dwProcessId);
    }
    primaryThread.Reset(created.hThread);
    return m_child.HasProcess() && primaryThread.IsValid();
}

// The child joins its job (job.h) while still suspended. A host that runs in
// a job forbidding nested jobs refuses this: the run then goes on without
// one, a stop ends the child alone, and the run waits for its pipes to break.
void CRedirect::JoinJob() {
    bool reports = false;
    ScopedHandle job(
        MakeRunJob(m_watcher.Port(), static_cast<ULONG_PTR>(PacketKind::kJobNews), reports));
    if (!job.IsValid() || !g_sys.assignProcessToJobObject(job.Get(), m_child.Process()))
        return;
    if (reports)
        m_watcher.NoteJobNews();
    std::lock_guard<SrwLock> lock(m_releaseLock);
    m_child.SetJob(std::move(job));
}

// The watcher comes last: it waits for the readers.
bool CRedirect::StartWorkers() {
    // Input data, and a piped input, need the writer; the data is the
    // queue's first block, moved rather than copied once more.
    const bool consoleEnd = m_child.InPseudoConsole() && m_settings.input == DLLGLUE_INPUT_CLOSED;
    if (m_settings.input == DLLGLUE_INPUT_DATA || m_settings.input == DLLGLUE_INPUT_PIPE ||
        consoleEnd) {
        if (!m_input.Start(std::move(m_settings.inputData), m_child.Process()))
            return false;
        if (m_settings.input != DLLGLUE_INPUT_PIPE)
            m_input.Close();
    }
    return m_stdout.Start(StdoutReaderProc, this) &&
           (m_settings.mergeErrors || m_stderr.Start(StderrReaderProc, this)) &&
           m_watcher.Start(WatcherProc, this);
}

// A stop that came during the launch ends the child before it ever runs;
// otherwise the child is let go. Under the lock, so that a stop either sees
// the run as launching (and is carried out here) or as running (and
// terminates the tree itself).
bool CRedirect::LetChildRun(HANDLE primaryThread) {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    if (m_stop.TerminationRequested()) {
        TerminateTree();
    } else if (g_sys.resumeThread(primaryThread) == static_cast<DWORD>(-1)) {
        return false;
    }
    m_outcome.MarkRunning();
    return true;
}

int CRedirect::LaunchChild(const LaunchCommand &command) {
    m_outcome.Reset();
    m_watcher.Reset();
    m_stop.Reset();
    m_stdout.ResetCounts();
    m_stderr.ResetCounts();
    m_child.Reset();
    const std::string &commandLine = command.display;
    // A refused command is a start failure before anything of the run exists.
    if (!command.refusal.empty() || command.commandLine.empty() || !CreateRunObjects())
        return FailLaunch(commandLine);
    {
        std::lock_guard<SrwLock> lock(m_releaseLock);
        m_stop.ClearTermination();
        m_outcome.BeginLaunch();
    }
    ScopedHandle primaryThread;
    bool created = false;
    try {
        created = CreatePipes() && StartProcess(command, primaryThread);
    } catch (const std::bad_alloc &) {
        // Only the texts and lists made before the creation call allocate:
        // no child exists yet, and the launch is undone like any other.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!created)
        return FailLaunch(commandLine);
    JoinJob();
    if (!StartWorkers() || !LetChildRun(primaryThread.Get()))
        return FailLaunch(commandLine);
    NotifyLaunched(commandLine.c_str());
    return 1;
}

// Undoes a launch that went wrong at any step: a child that was created has
// never run (it is still suspended) and is ended, and the workers already
// started are told to stop. Nothing of the run stays open.
int CRedirect::FailLaunch(const std::string &commandLine) {
    m_child.NoteFailure(GetLastError());
    m_watcher.Abandon();
    {
        std::lock_guard<SrwLock> lock(m_releaseLock);
        StopTree();
    }
    // Readers may have started without the watcher that would tell them to
    // finish reading, and the writer may be waiting for a child that never
    // ran.
    m_watcher.FinishReading();
    m_input.Abandon();
    WaitForWorkers(INFINITE);
    ReleaseRun();
    NotifyStartFailed(commandLine);
    return 0;
}

// Built to size: the whole command line goes to the host, however long, in
// chunks no larger than any other.
void CRedirect::NotifyStartFailed(const std::string &commandLine) {
    const std::string message = "Unable to start " + commandLine + "\n";
    for (size_t offset = 0; offset < message.size(); offset += kChunkSize) {
        const std::string chunk = message.substr(offset, kChunkSize);
        RelayStdout(chunk.c_str(), chunk.size());
    }
}

int CRedirect::ResizeTerminal(unsigned columns, unsigned rows) {
    if (!m_child.InPseudoConsole())
        return DLLGLUE_EINVAL;
    return m_child.Terminal().Resize(columns, rows, m_child.Process());
}
