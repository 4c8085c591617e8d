// The redirection engine: one redirector object holds everything a run needs
// (pipes, worker threads, the child, the host's callbacks), and three worker
// threads relay the child's output and notice its end.
//
// A run, as the host's entry points drive it:
//   LaunchChild   pipes, the child (hidden, suspended, in a job), the three
//                 worker threads, then the child is let go;
//   workers       StdoutReaderProc / StderrReaderProc relay chunks until their
//                 pipe breaks; WatcherProc waits for the child (or a stop),
//                 then for both readers, then reports the end;
//   FinishRun     after the watcher has ended: StopRun, the exit code, and
//                 the release of every handle of the run;
//   StopRun       terminates the run; shared by the end of a run, the abort
//                 and the unload step.
//
// No lock is held around a callback. The fields that threads share are
// atomics written whole by one side and read by the others.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "brackwyn.h"
#include "engine/cmdline.h"
#include "engine/scoped_handle.h"

// Most bytes one read takes from a pipe, hence the most one chunk holds.
constexpr DWORD kChunkSize = 1024;

// 1 while a run's worker threads are to keep going; cleared when the child
// ends or a stop is asked for.
extern std::atomic<int> g_running;

class CRedirect {
public:
    CRedirect() = default;
    CRedirect(const CRedirect &) = delete;
    CRedirect &operator=(const CRedirect &) = delete;
    virtual ~CRedirect() = default;

    // Notifications; the base delivers nothing.
    virtual void NotifyLaunched(const char *commandLine);
    virtual void RelayStdout(const char *text, size_t length);
    virtual void RelayStderr(const char *text, size_t length);
    virtual void NotifyFinished(int stderrSeen);

    // Starts the child for one run. Returns 1 when the child runs with its
    // worker threads, 0 after reporting "Unable to start <display>" to
    // RelayStdout, in which case nothing of the run is left open. A command
    // with a refusal is reported so before anything is created.
    int LaunchChild(const LaunchCommand &command);

    // Ends a run whose watcher has finished: stops what is left, reads the
    // child's exit code and releases every handle of the run. Returns 1 for
    // exit code 0, else 0.
    int FinishRun();

    // Terminates the run: the child's whole tree while a run is in progress,
    // else the last child alone (which has ended: nothing happens). Then waits
    // a bounded time for the watcher. Returns the terminate call's result.
    int StopRun();

    // True from a successful launch until FinishRun has released the run.
    bool RunInProgress() const { return m_process.IsValid() && m_finished.load() == 0; }

    std::atomic<int> m_stderrSeen{0};
    std::atomic<int> m_finished{0};

    // The child's ends of the three pipes (inheritable). Closed right after
    // the child is created: it holds its own copies, and a reader sees its
    // pipe break only once every write end is closed.
    ScopedHandle m_childStdinRead;
    ScopedHandle m_childStdoutWrite;
    ScopedHandle m_childStderrWrite;
    // The library's ends (never inheritable). Nothing is ever written to the
    // child's input: it stays open, so a child reading it waits.
    ScopedHandle m_stdinWriter;
    ScopedHandle m_stdoutReader;
    ScopedHandle m_stderrReader;
    ScopedHandle m_stdoutThread;
    ScopedHandle m_stderrThread;
    ScopedHandle m_watchThread;
    ScopedHandle m_process;
    // The child and all it starts; null when the host's own job forbids one.
    ScopedHandle m_job;
    // Signalled by StopRun so that the watcher stops waiting for the child.
    ScopedHandle m_stopEvent;
    // Set when a launch fails after its workers started: the watcher then
    // reports no end, since for the host the run never began.
    std::atomic<bool> m_launchAbandoned{false};

private:
    bool CreatePipes();
    bool StartProcess(const LaunchCommand &command, ScopedHandle &primaryThread);
    void JoinJob();
    bool StartWorkers();
    int FailLaunch(const std::string &commandLine);
    void WaitForWorkers(DWORD timeoutMs);
    void WaitForWatcher(DWORD timeoutMs);
    void ReleaseRun();
    bool OnWorkerThread() const;

    // Keeps StopRun from using the process or job handle while FinishRun
    // releases it (an abort may come from any thread of the host).
    std::mutex m_releaseLock;
};

// Binds three notifications to the host's callbacks and the run's user value.
class CRedir : public CRedirect {
public:
    CRedir() = default;
    // The unload step: silences the host's callbacks, then stops a run that
    // is still in progress.
    ~CRedir() override;

    void RelayStdout(const char *text, size_t length) override;
    void RelayStderr(const char *text, size_t length) override;
    void NotifyFinished(int stderrSeen) override;

    std::atomic<ConsoleTextCallback> m_onStdout{nullptr};
    std::atomic<ConsoleExitCallback> m_onExit{nullptr};
    std::atomic<ConsoleTextCallback> m_onStderr{nullptr};
    std::atomic<ConsoleStartCallback> m_onStart{nullptr};
    std::atomic<void *> m_userValue{nullptr};

private:
    // Set by the unload step: from then on nothing reaches the host.
    std::atomic<bool> m_muted{false};
};

extern CRedir g_redir;

// Thread procedures; each takes the redirector as its argument.
DWORD WINAPI StdoutReaderProc(LPVOID redirector);
DWORD WINAPI StderrReaderProc(LPVOID redirector);
DWORD WINAPI WatcherProc(LPVOID redirector);
