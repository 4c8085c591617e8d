// Run objects: dllglue_runstart and the calls on a run. Each run is an
// engine redirector of its own with the host's options; the engine does the
// rest exactly as for dllglue_main.
#include "engine/command/environment.h"
#include "engine/command/program_search.h"
#include "engine/redirect.h"
#include "glue/last_error.h"
#include "glue/pump.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

int Fail(int code, const std::string &why) {
    SetLastFailure(why);
    return code;
}

} // namespace

// One run of dllglue_runstart: its own callbacks and user value.
struct ConsoleRun final : public CRedirect {
    explicit ConsoleRun(const ConsoleRunOptions &options)
        : m_onOutput(options.onOutput), m_onError(options.onError), m_onExit(options.onExit),
          m_user(options.user), m_filter(options.messageFilter) {}

    void RelayStdout(const char *text, size_t length) override {
        if (m_onOutput != nullptr)
            m_onOutput(text, length, m_user);
    }
    void RelayStderr(const char *text, size_t length) override {
        if (m_onError != nullptr)
            m_onError(text, length, m_user);
    }
    void NotifyFinished(int stderrSeen) override {
        if (m_onExit != nullptr)
            m_onExit(stderrSeen, m_user);
    }
    // The host learns of a start failure from dllglue_runstart's result.
    void NotifyStartFailed(const std::string &) override {}

    // A wait in progress holds the run: a close meanwhile (from a handler
    // that a pumping wait dispatched, or from another thread) stops the run
    // but leaves freeing it to the last wait, which still reads its state.
    // Enter and Leave bracket each wait; Leave and DeferClose return true
    // when the caller is to free the run itself.
    void EnterWait() {
        std::lock_guard<std::mutex> lock(m_waitLock);
        ++m_waits;
    }
    bool LeaveWait() {
        std::lock_guard<std::mutex> lock(m_waitLock);
        return --m_waits == 0 && m_closed;
    }
    bool DeferClose() {
        std::lock_guard<std::mutex> lock(m_waitLock);
        m_closed = true;
        return m_waits == 0;
    }

    const ConsoleTextCallback m_onOutput;
    const ConsoleTextCallback m_onError;
    const ConsoleExitCallback m_onExit;
    void *const m_user;
    const ConsoleMessageFilter m_filter;

private:
    std::mutex m_waitLock;
    int m_waits = 0;
    bool m_closed = false;
};

namespace {

// Runs the host has not closed, so that the unload step can stop them.
std::mutex g_openLock;
std::vector<ConsoleRun *> g_open;

// Before the launch: a run that exists is one the host can close, so the
// registration, which may run out of memory, comes before the child.
void Register(ConsoleRun *run) {
    std::lock_guard<std::mutex> lock(g_openLock);
    g_open.push_back(run);
}

void Unregister(ConsoleRun *run) {
    std::lock_guard<std::mutex> lock(g_openLock);
    g_open.erase(std::remove(g_open.begin(), g_open.end(), run), g_open.end());
}

// At unload or process exit: each run still open has its tree ended. A
// thread that the exit has already killed may hold the lock; then the job's
// kill-on-close limit ends the trees as the process's handles close.
struct StopOpenRunsAtExit {
    ~StopOpenRunsAtExit() {
        if (!g_openLock.try_lock())
            return;
        for (ConsoleRun *run : g_open)
            run->StopAtExit();
        g_openLock.unlock();
    }
} g_stopOpenRunsAtExit;

// The sizes of the structs before their latest fields were appended: a host
// built against that header passes them, and the fields it does not know
// read as zero (options) or are not written (results).
constexpr size_t kFirstOptionsSize = offsetof(ConsoleRunOptions, timeoutGraceMs);
constexpr size_t kSecondOptionsSize = offsetof(ConsoleRunOptions, maxPendingBytes);
constexpr size_t kFirstResultSize = offsetof(ConsoleRunResult, processId);

// Options as the host gave them, checked. A host built against a later
// header passes a larger size; what it adds must then be zero, since this
// library cannot honour it.
int ReadOptions(const ConsoleRunOptions *given, ConsoleRunOptions &options) {
    options = ConsoleRunOptions{};
    options.size = sizeof(ConsoleRunOptions);
    if (given == nullptr)
        return DLLGLUE_OK;
    if (given->size != kFirstOptionsSize && given->size != kSecondOptionsSize &&
        given->size < sizeof(ConsoleRunOptions))
        return Fail(DLLGLUE_EINVAL, "options->size is not sizeof(ConsoleRunOptions)");
    const size_t known =
        given->size < sizeof(ConsoleRunOptions) ? given->size : sizeof(ConsoleRunOptions);
    const auto *tail = reinterpret_cast<const unsigned char *>(given) + known;
    if (std::any_of(tail, tail + (given->size - known),
                    [](unsigned char byte) { return byte != 0; }))
        return Fail(DLLGLUE_EINVAL, "options carry fields this library does not know");
    std::memcpy(&options, given, known);
    options.size = sizeof(ConsoleRunOptions);
    const unsigned knownFlags = DLLGLUE_UTF8 | DLLGLUE_CLEARENV | DLLGLUE_MERGE | DLLGLUE_LINES |
                                DLLGLUE_TEXT_UTF8 | DLLGLUE_HOST_THREAD | DLLGLUE_TERMINAL |
                                DLLGLUE_TERMINAL_VT;
    if ((options.flags & ~knownFlags) != 0)
        return Fail(DLLGLUE_EINVAL, "options->flags has unknown bits");
    if ((options.flags & DLLGLUE_TERMINAL_VT) != 0 &&
        ((options.flags & DLLGLUE_TERMINAL) == 0 ||
         (options.flags & (DLLGLUE_LINES | DLLGLUE_TEXT_UTF8)) != 0))
        return Fail(DLLGLUE_EINVAL, "DLLGLUE_TERMINAL_VT needs DLLGLUE_TERMINAL and takes neither "
                                    "DLLGLUE_LINES nor DLLGLUE_TEXT_UTF8");
    if (options.input < DLLGLUE_INPUT_OPEN || options.input > DLLGLUE_INPUT_PIPE)
        return Fail(DLLGLUE_EINVAL, "options->input is not a DLLGLUE_INPUT_* value");
    const bool takesData =
        options.input == DLLGLUE_INPUT_DATA || options.input == DLLGLUE_INPUT_PIPE;
    if (takesData && options.inputData == nullptr && options.inputLength != 0)
        return Fail(DLLGLUE_EINVAL, "options->inputData is NULL but inputLength is not 0");
    // The error callback would never be called: the whole stream would be
    // read and dropped.
    if ((options.flags & DLLGLUE_MERGE) != 0 && options.onOutput == nullptr &&
        options.onError != nullptr)
        return Fail(DLLGLUE_EINVAL, "a merged stream goes to onOutput");
    if ((options.flags & DLLGLUE_TEXT_UTF8) != 0 && options.textCodePage != 0 &&
        !TextOptions::UsableCodePage(options.textCodePage))
        return Fail(DLLGLUE_EINVAL, "options->textCodePage is not a single-byte, double-byte or "
                                    "UTF-8 code page of this system");
    if (options.chunkBytes > kMaxChunkBytes)
        return Fail(DLLGLUE_EINVAL, "options->chunkBytes is larger than 1 MiB");
    return DLLGLUE_OK;
}

// Everything about the child but its command line, from the options.
int ReadSettings(const ConsoleRunOptions &options, const std::string &display,
                 LaunchSettings &settings) {
    settings.codePage = (options.flags & DLLGLUE_UTF8) != 0 ? CP_UTF8 : CP_ACP;
    const char *encoding = settings.codePage == CP_UTF8 ? "UTF-8" : "the ANSI code page";
    if (!ToWide(options.directory, settings.codePage, settings.directory))
        return Fail(DLLGLUE_EINVAL, std::string("options->directory is not valid in ") + encoding);
    if (options.directory != nullptr) {
        // CreateProcess would say only "The directory name is invalid".
        const DWORD attributes = GetFileAttributesW(settings.directory.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            const DWORD error =
                attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
            return Fail(DLLGLUE_ESTART, "Unable to start " + display + ": directory \"" +
                                            options.directory + "\": " + SystemMessage(error));
        }
    }
    if (options.environment != nullptr || (options.flags & DLLGLUE_CLEARENV) != 0) {
        std::vector<std::wstring> entries;
        for (const char *const *entry = options.environment; entry != nullptr && *entry != nullptr;
             ++entry) {
            std::wstring wide;
            if (!ToWide(*entry, settings.codePage, wide))
                return Fail(DLLGLUE_EINVAL,
                            std::string("an environment entry is not valid in ") + encoding);
            entries.push_back(wide);
        }
        std::string error;
        if (!BuildEnvironmentBlock(entries, (options.flags & DLLGLUE_CLEARENV) != 0,
                                   settings.environment, error))
            return Fail(DLLGLUE_EINVAL, error);
        settings.ownEnvironment = true;
    }
    settings.input = options.input;
    if ((options.input == DLLGLUE_INPUT_DATA || options.input == DLLGLUE_INPUT_PIPE) &&
        options.inputLength > 0)
        settings.inputData.assign(static_cast<const char *>(options.inputData),
                                  options.inputLength);
    settings.timeoutMs = options.timeoutMs;
    settings.timeoutGraceMs = options.timeoutGraceMs;
    settings.drainMs = options.drainMs;
    settings.mergeErrors = (options.flags & DLLGLUE_MERGE) != 0;
    settings.text.utf8 = (options.flags & DLLGLUE_TEXT_UTF8) != 0;
    settings.text.codePage = options.textCodePage == 0 ? CP_OEMCP : options.textCodePage;
    settings.text.lines = (options.flags & DLLGLUE_LINES) != 0;
    settings.text.lineFlushMs = options.lineFlushMs;
    if ((options.flags & DLLGLUE_TERMINAL) != 0) {
        const char *why = nullptr;
        if (!PseudoConsole::Available(why))
            return Fail(DLLGLUE_ESTART, "Unable to start " + display + ": " + why);
        // One stream, the console's; its own stage makes text of it.
        settings.mergeErrors = true;
        settings.text.utf8 = false;
        settings.text.lines = false;
        settings.text.terminal = (options.flags & DLLGLUE_TERMINAL_VT) != 0
                                     ? TextOptions::Terminal::kRaw
                                     : TextOptions::Terminal::kScreen;
    }
    settings.text.chunkBytes = options.chunkBytes == 0 ? kChunkSize : options.chunkBytes;
    // A chunk of text must hold any character whole.
    if (!settings.text.PlainBytes() && settings.text.chunkBytes < 4)
        settings.text.chunkBytes = 4;
    settings.maxPendingBytes =
        options.maxPendingBytes == 0 ? kDefaultMaxPendingBytes : options.maxPendingBytes;
    settings.terminalColumns = options.terminalColumns;
    settings.terminalRows = options.terminalRows;
    return DLLGLUE_OK;
}

// Command and arguments must be valid in their code page: the child would
// otherwise receive other characters than the host meant.
int CheckTexts(const char *command, int argc, const char *const *argv, UINT codePage) {
    std::wstring ignored;
    bool valid = ToWide(command, codePage, ignored);
    for (int i = 0; valid && argv != nullptr && i < argc; ++i)
        valid = ToWide(argv[i], codePage, ignored);
    return valid ? DLLGLUE_OK : Fail(DLLGLUE_EINVAL, "command or argument is not valid UTF-8");
}

// The program the run starts, found by the run's own rules, and the line it
// is given; a start failure when either cannot be.
int ComposeRun(const char *command, int argc, const char *const *argv,
               const LaunchSettings &settings, LaunchCommand &launch) {
    ProgramSearch search;
    search.codePage = settings.codePage;
    search.directory = settings.directory;
    search.environment = settings.ownEnvironment ? &settings.environment : nullptr;
    FoundProgram found;
    std::string why;
    if (!FindProgram(command, search, found, why))
        return Fail(DLLGLUE_ESTART, "Unable to start " +
                                        ComposeCommandLine(command, argc, argv, settings.codePage) +
                                        ": " + why);
    launch =
        ComposeLaunchCommand(command, argc, argv, settings.codePage, found.path, found.commandEnd);
    if (!launch.refusal.empty())
        return Fail(DLLGLUE_ESTART, "Unable to start " + launch.display + ": " + launch.refusal);
    return DLLGLUE_OK;
}

int StartRun(const char *command, int argc, const char *const *argv, const ConsoleRunOptions *given,
             ConsoleRun **result) {
    if (result == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    *result = nullptr;
    if (command == nullptr)
        return Fail(DLLGLUE_EINVAL, "command is NULL");
    if (command[std::strspn(command, " \t")] == '\0')
        return Fail(DLLGLUE_EINVAL, "command is empty");
    ConsoleRunOptions options;
    int status = ReadOptions(given, options);
    const UINT codePage = (options.flags & DLLGLUE_UTF8) != 0 ? CP_UTF8 : CP_ACP;
    if (status == DLLGLUE_OK && codePage == CP_UTF8)
        status = CheckTexts(command, argc, argv, codePage);
    if (status != DLLGLUE_OK)
        return status;
    // Where the program is found depends on the run's directory and PATH.
    LaunchSettings settings;
    status = ReadSettings(options, ComposeCommandLine(command, argc, argv, codePage), settings);
    LaunchCommand launch;
    if (status == DLLGLUE_OK)
        status = ComposeRun(command, argc, argv, settings, launch);
    if (status != DLLGLUE_OK)
        return status;
    // Owned here until the child runs, so that nothing leaks if what follows
    // throws.
    std::unique_ptr<ConsoleRun> run(new (std::nothrow) ConsoleRun(options));
    if (run == nullptr)
        return Fail(DLLGLUE_ENOMEM, "out of memory");
    const size_t maxPending = settings.maxPendingBytes;
    run->Configure(std::move(settings));
    // The thread's window exists before the child: a launch never fails
    // half-way for want of it.
    if ((options.flags & DLLGLUE_HOST_THREAD) != 0 && !run->DeliverOnThisThread(maxPending))
        return Fail(DLLGLUE_ENOMEM, "the thread's message window could not be made");
    // Registered before the launch: no run may exist that the host cannot
    // close, whatever fails after the child has started.
    Register(run.get());
    // Once the launch has begun, workers may use the run; it is freed only
    // after a launch that failed and undid itself.
    ConsoleRun *launching = run.release();
    if (!launching->LaunchChild(launch)) {
        Unregister(launching);
        run.reset(launching); // freed however the report below goes
        const std::string why = "Unable to start " + launch.display + ": " +
                                SystemMessage(run->LaunchError(), launch.application);
        return Fail(run->ProcessFailed() ? DLLGLUE_ESTART : DLLGLUE_ENOMEM, why);
    }
    *result = launching;
    return DLLGLUE_OK;
}

// After the watcher: the exit code is read, every handle released, then the
// run is freed, once no callback of it runs on its host thread.
void FreeRun(ConsoleRun *run) {
    run->WaitForWatcher(INFINITE);
    run->FinishRun();
    if (HostThreadDelivery *host = run->HostDelivery())
        host->Detach();
    Unregister(run);
    delete run;
}

// A run closed from its own callback on its host thread, once that callback
// has returned.
void FreeRunLater(void *run) {
    FreeRun(static_cast<ConsoleRun *>(run));
}

// Waiting for the watcher from within one of the run's own callbacks would
// wait for ever: the watcher waits for that callback.
bool InOwnCallback(ConsoleRun *run) {
    if (run->OnWorkerThread())
        return true;
    const HostThreadDelivery *host = run->HostDelivery();
    return host != nullptr && host->InOwnCallback();
}

// Brackets one wait; the last wait out frees a run closed meanwhile.
class WaitHold {
public:
    explicit WaitHold(ConsoleRun *run) : m_run(run) { m_run->EnterWait(); }
    ~WaitHold() {
        if (m_run->LeaveWait())
            FreeRun(m_run);
    }
    WaitHold(const WaitHold &) = delete;
    WaitHold &operator=(const WaitHold &) = delete;

private:
    ConsoleRun *m_run;
};

} // namespace

extern "C" {

BRACKWYN_API int BRACKWYN_CALL dllglue_runstart(const char *command, int argc,
                                                const char *const *argv,
                                                const ConsoleRunOptions *options,
                                                ConsoleRun **run) {
    // No exception crosses into the host.
    try {
        return StartRun(command, argc, argv, options, run);
    } catch (...) {
        if (run != nullptr)
            *run = nullptr;
        return Fail(DLLGLUE_ENOMEM, "out of memory");
    }
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runwait(ConsoleRun *run, unsigned long timeoutMs,
                                               unsigned flags) {
    if (run == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    if ((flags & ~static_cast<unsigned>(DLLGLUE_WAIT_PUMP)) != 0)
        return Fail(DLLGLUE_EINVAL, "flags has unknown bits");
    if (InOwnCallback(run))
        return Fail(DLLGLUE_EBUSY, "dllglue_runwait called from a callback of the same run");
    bool ended;
    {
        // May free the run on the way out, also when the host's filter or a
        // window procedure throws through the pump: nothing below reads it.
        WaitHold hold(run);
        if ((flags & DLLGLUE_WAIT_PUMP) != 0)
            ended = PumpUntilFinished(run->FinishedFlag(), run->WatcherThread(), timeoutMs,
                                      run->m_filter, run->m_user);
        else
            ended = run->WaitForWatcher(timeoutMs);
    }
    if (!ended)
        return Fail(DLLGLUE_ETIMEOUT, "the run is still going on");
    return DLLGLUE_OK;
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runabort(ConsoleRun *run) {
    if (run == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    return run->StopRun() ? 1 : 0;
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runstop(ConsoleRun *run, unsigned long graceMs) {
    if (run == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    return run->StopGracefully(graceMs);
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runresult(const ConsoleRun *run, ConsoleRunResult *result) {
    if (run == nullptr || result == nullptr)
        return Fail(DLLGLUE_EINVAL, run == nullptr ? "run is NULL" : "result is NULL");
    if (result->size != kFirstResultSize && result->size < sizeof(ConsoleRunResult))
        return Fail(DLLGLUE_EINVAL, "result->size is not sizeof(ConsoleRunResult)");
    const bool over = run->Over();
    result->state = over ? run->EndState() : DLLGLUE_RUNNING;
    result->exitCode = over ? run->ExitCode() : 0;
    result->stderrSeen = run->StderrSeen();
    result->outputBytes = run->OutputBytes();
    result->errorBytes = run->ErrorBytes();
    result->inputBytes = run->InputBytes();
    // An older host's struct ends before these.
    if (result->size >= sizeof(ConsoleRunResult)) {
        result->inputPending = run->InputPending();
        result->processId = run->ProcessId();
        result->stopRequested = run->StopWasRequested() ? 1 : 0;
        result->leftoverProcesses = run->LeftoverProcesses();
    }
    return DLLGLUE_OK;
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runwrite(ConsoleRun *run, const void *data, size_t length) {
    if (run == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    if (data == nullptr && length > 0)
        return Fail(DLLGLUE_EINVAL, "data is NULL but length is not 0");
    if (run->InputMode() != DLLGLUE_INPUT_PIPE)
        return Fail(DLLGLUE_EINVAL, "the run's input is not DLLGLUE_INPUT_PIPE");
    switch (run->WriteInput(data, length)) {
    case DLLGLUE_OK:
        return DLLGLUE_OK;
    case DLLGLUE_ECLOSED:
        return Fail(DLLGLUE_ECLOSED, "the child's input is closed");
    default:
        return Fail(DLLGLUE_ENOMEM, "out of memory");
    }
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runclosein(ConsoleRun *run) {
    if (run == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    if (run->InputMode() != DLLGLUE_INPUT_PIPE)
        return Fail(DLLGLUE_EINVAL, "the run's input is not DLLGLUE_INPUT_PIPE");
    run->CloseInput();
    return DLLGLUE_OK;
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runclose(ConsoleRun *run) {
    if (run == nullptr)
        return DLLGLUE_OK;
    if (run->OnWorkerThread())
        return Fail(DLLGLUE_EBUSY, "dllglue_runclose called from a callback of the same run");
    if (HostThreadDelivery *host = run->HostDelivery()) {
        if (host->InOwnCallback()) {
            // Nothing more comes; the run is freed once this callback has
            // returned, or by the last wait on it.
            host->Discard();
            run->StopRun();
            if (run->DeferClose())
                host->FreeAfterCallback(&FreeRunLater, run);
            return DLLGLUE_OK;
        }
        // Another thread must not wait for the host thread to take the
        // rest: it may be waiting for this one.
        if (!host->OnHostThread())
            host->Discard();
    }
    run->StopRun();
    // The completion callback comes before the call returns, whoever frees
    // the run.
    run->WaitForWatcher(INFINITE);
    if (run->DeferClose())
        FreeRun(run);
    return DLLGLUE_OK;
}

BRACKWYN_API int BRACKWYN_CALL dllglue_runresize(ConsoleRun *run, unsigned columns, unsigned rows) {
    if (run == nullptr)
        return Fail(DLLGLUE_EINVAL, "run is NULL");
    if (columns == 0 || rows == 0 || columns > 32767 || rows > 32767)
        return Fail(DLLGLUE_EINVAL, "a console size is 1..32767 columns and rows");
    switch (run->ResizeTerminal(columns, rows)) {
    case DLLGLUE_OK:
        return DLLGLUE_OK;
    case DLLGLUE_EINVAL:
        return Fail(DLLGLUE_EINVAL, "the run is not a DLLGLUE_TERMINAL run");
    default:
        return Fail(DLLGLUE_ECLOSED, "the run's console is gone");
    }
}

BRACKWYN_API const char *BRACKWYN_CALL dllglue_lasterror(void) {
    // dllglue_main's failure is made into text only now, which may run out
    // of memory; no exception crosses into the host.
    try {
        return LastFailure();
    } catch (...) {
        return "out of memory";
    }
}

BRACKWYN_API unsigned BRACKWYN_CALL dllglue_version(void) {
    return BRACKWYN_VERSION;
}

} // extern "C"
