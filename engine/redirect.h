// The redirection engine: one redirector object holds the parts of a run
// (its settings, its outcome, the child, the input, the two output streams,
// the delivery, the watcher, the stop), and three worker threads relay the
// child's output and notice its end. Each part says at its top which thread
// touches what.
//
// A run, as the host's entry points drive it:
//   LaunchChild   pipes, the child (hidden, suspended, in a job), the three
//                 worker threads, then the child is let go;
//   workers       StdoutReaderProc / StderrReaderProc relay chunks until their
//                 pipe breaks, or until the watcher tells them to take what is
//                 left and stop; WatcherProc decides when the run is over;
//                 with input to write, the input queue's own writer feeds
//                 the child's input until the run is over (input_queue.h);
//   FinishRun     after the watcher has ended: the exit code it published
//                 (outcome.h), and the release of every handle of the run;
//   StopRun       terminates the run; shared by the end of a run, the abort
//                 and the unload step;
//   StopGracefully asks the run to end and terminates it only after a grace
//                 (stop_plan.h); the watcher does the asking.
//
// When is a run over? When the child has ended and every byte it and its
// descendants wrote has been delivered. A pipe breaks once every process
// holding its write end has let go of it, which is proof of that, but a
// process outside the run may hold it too (one the host started while our
// ends were inheritable, say). So the job decides as well: once no process of
// the run is left, what is in the pipes is read and the run ends, whoever
// else still holds them.
//
// No lock is held around a callback. The fields that threads share are
// atomics written whole by one side and read by the others; the run's one
// lock (m_releaseLock, below) orders the decisions that must not cross: a
// stop against the launch, the end, and the release of a run.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "brackwyn.h"
#include "engine/child/child.h"
#include "engine/command/cmdline.h"
#include "engine/delivery/delivery.h"
#include "engine/delivery/run_delivery.h"
#include "engine/input/input_queue.h"
#include "engine/os/scoped_handle.h"
#include "engine/os/sizes.h"
#include "engine/os/srw_lock.h"
#include "engine/output/output_stream.h"
#include "engine/output/read_chain.h"
#include "engine/run/outcome.h"
#include "engine/stop/run_stop.h"
#include "engine/watch/watcher.h"

// How a child is started beyond its command line. dllglue_main uses the
// defaults: the host's directory and environment, an input that stays open.
struct LaunchSettings {
    // The code page of every text given for the child.
    UINT codePage = CP_ACP;
    // Empty: the host's current directory.
    std::wstring directory;
    // With ownEnvironment, the child's whole environment block: entries
    // separated by NULs, ending in two.
    bool ownEnvironment = false;
    std::wstring environment;
    int input = DLLGLUE_INPUT_OPEN;
    // With DLLGLUE_INPUT_DATA: written to the child, then its input closes.
    // With DLLGLUE_INPUT_PIPE: written first, the input staying open. Handed
    // to the input queue at the launch.
    std::string inputData;
    // 0: none; else the run is stopped once it has lasted this long.
    DWORD timeoutMs = 0;
    // 0: the time limit terminates at once; else it stops as StopGracefully
    // does, with this grace.
    DWORD timeoutGraceMs = 0;
    // 0: the run waits for its whole tree; else it ends at most this long
    // after the child itself, terminating what the child left running.
    DWORD drainMs = 0;
    // The child's error output goes into its output pipe: one stream, in
    // the child's own order, and no error reader.
    bool mergeErrors = false;
    // What the readers make of the bytes: plain chunks unless set.
    TextOptions text;
    // Undelivered text a stream may hold when the delivery bounds it.
    size_t maxPendingBytes = kDefaultMaxPendingBytes;
    // The console's size for a run in a console of its own; 0: its default.
    unsigned short terminalColumns = 0;
    unsigned short terminalRows = 0;
};

class CRedirect : public RunNotifications {
public:
    CRedirect() : m_delivery(*this) {}
    CRedirect(const CRedirect &) = delete;
    CRedirect &operator=(const CRedirect &) = delete;
    virtual ~CRedirect() = default;

    // Notifications; the base delivers nothing. The output and the end
    // reach them through the run's delivery (delivery.h).
    virtual void NotifyLaunched(const char *commandLine);
    void RelayStdout(const char *text, size_t length) override;
    void RelayStderr(const char *text, size_t length) override;
    void NotifyFinished(int stderrSeen) override;
    void AbortRun() override { StopRun(); }
    // A launch that failed: "Unable to start <command line>\n" to the output.
    virtual void NotifyStartFailed(const std::string &commandLine);

    // Starts the child for one run. Returns 1 when the child runs with its
    // worker threads, 0 after reporting "Unable to start <display>" to
    // RelayStdout, in which case nothing of the run is left open. A command
    // with a refusal is reported so before anything is created.
    int LaunchChild(const LaunchCommand &command);

    // Ends a run whose watcher has finished: releases every handle of the
    // run. Returns 1 when the exit code published with the end is 0, else 0.
    int FinishRun();

    // Terminates the run in progress, the child's whole tree, then waits a
    // bounded time for the watcher. A stop during the launch ends the child
    // as soon as it exists. Returns nonzero when a process of the run was
    // still there to end, 0 when there was no run or nothing of it was left.
    // Only ending the child itself makes the run aborted.
    int StopRun();

    // Asks the run in progress to end (Ctrl+C, WM_CLOSE, end of input) and
    // returns at once; the tree is terminated if it has not ended `graceMs`
    // later. A later call may shorten the grace, never lengthen it. Returns
    // 1 when the run was in progress, else 0.
    int StopGracefully(DWORD graceMs);
    // What the result reports of the stop and the child.
    DWORD ProcessId() const { return m_child.ProcessId(); }
    bool StopWasRequested() const { return m_stop.Plan().AskRequested(); }
    int LeftoverProcesses() const { return m_stop.Leftovers(); }
    // Bytes delivered (or dropped for want of a callback) per stream, and
    // whether the error stream delivered any.
    unsigned long long OutputBytes() const { return m_stdout.Bytes(); }
    unsigned long long ErrorBytes() const { return m_stderr.Bytes(); }
    int StderrSeen() const { return m_stderr.Seen(); }

    // Waits at most `timeoutMs` for the watcher to end, delivering messages
    // sent to this thread meanwhile (a completion callback may send to a
    // window of the waiting thread). True when it has ended.
    bool WaitForWatcher(DWORD timeoutMs);

    // True on one of this run's own worker threads.
    bool OnWorkerThread() const;

    // Before LaunchChild: the run's callbacks come on the calling thread,
    // from its message dispatch (host_thread_delivery.h). False when the
    // system refused the thread's window.
    bool DeliverOnThisThread(size_t maxPendingBytes) {
        return m_delivery.UseHostThread(maxPendingBytes);
    }
    // Null unless the run delivers on its host thread.
    HostThreadDelivery *HostDelivery() { return m_delivery.HostThreadOrNull(); }

    // The unload step's stop: ends the run's tree and returns. At process
    // exit every other thread is gone, perhaps holding a lock or in the
    // middle of a call, so this takes no lock and waits for nothing.
    void StopAtExit();

    // True from the start of a launch until the watcher has left its loops:
    // from then on the end is being settled, and a stop has nothing to ask.
    bool RunInProgress() const { return m_outcome.Active() && !m_stop.Settling(); }

    // Set before LaunchChild; the launch reads them.
    void Configure(LaunchSettings settings) { m_settings = std::move(settings); }
    int InputMode() const { return m_settings.input; }

    // How the run ended, published once by the watcher before it reports
    // the end. EndState and ExitCode are final once Over() is true.
    bool Over() const { return m_outcome.Over(); }
    int EndState() const { return m_outcome.EndState(); }
    unsigned long ExitCode() const { return m_outcome.ExitCode(); }
    // What a pumping wait watches: nonzero once the watcher is done with the
    // host, and the watcher's thread, whose end wakes the wait.
    const std::atomic<int> &FinishedFlag() const { return m_outcome.Finished(); }
    HANDLE WatcherThread() const { return m_watcher.Thread(); }

    // The child's input as the host feeds it (input_queue.h).
    int WriteInput(const void *data, size_t length) { return m_input.Write(data, length); }
    void CloseInput() { m_input.Close(); }
    unsigned long long InputBytes() const { return m_input.Written(); }
    unsigned long long InputPending() const { return m_input.Pending(); }

    // A terminal run's console to `columns` x `rows` (pseudo_console.h):
    // DLLGLUE_OK, DLLGLUE_EINVAL for another run, DLLGLUE_ECLOSED once its
    // console is gone.
    int ResizeTerminal(unsigned columns, unsigned rows);

    // Why the last launch failed: the system's error, and whether the
    // creation of the process itself failed.
    DWORD LaunchError() const { return m_child.LaunchError(); }
    bool ProcessFailed() const { return m_child.ProcessFailed(); }

    // The watcher's work, from the launch to the report of the end.
    void WatchRun();
    // A reader's work: relays one stream until it ends.
    void ReadStream(StreamKind stream);

private:
    bool CreatePipes();
    bool CreateRunObjects();
    bool StartProcess(const LaunchCommand &command, ScopedHandle &primaryThread);
    void JoinJob();
    bool StartWorkers();
    bool LetChildRun(HANDLE primaryThread);
    int FailLaunch(const std::string &commandLine);
    BOOL TerminateTree();
    BOOL StopTree();
    bool OnTimeLimit();
    void CloseChildInput();
    void AskTreeToEnd();
    void TerminateWhenDue();
    void SettleEnd(bool stopped);
    void WaitForWorkers(DWORD timeoutMs);
    void ReleaseRun();

    // Set before LaunchChild by the host's thread; the launch reads it, the
    // readers its text options, the watcher its time limit, grace and
    // drain. Nobody writes it during a run.
    LaunchSettings m_settings;
    // The one answer to "is the run over?", and how it ended (outcome.h).
    RunOutcome m_outcome;

protected:
    // The child's pipe ends, process and job (child.h). A derived run may
    // look at them; the glue uses the methods above.
    Child m_child;

private:
    // The library's end of the child's input and its writer (input_queue.h).
    // With DLLGLUE_INPUT_OPEN nothing is ever written: the input stays open,
    // so a child reading it waits.
    InputQueue m_input;
    // How the readers' chunks and the watcher's end reach the notifications.
    RunDelivery m_delivery;
    // The child's output and error output, each with its pipe and reader.
    // A merged run starts no error reader.
    OutputStream m_stdout{StreamKind::kOutput};
    OutputStream m_stderr{StreamKind::kError};
    // The watcher's thread, port and "finish reading" event (watcher.h).
    Watcher m_watcher;
    // The stop's plan (ask, grace, terminate) and what the stops found
    // (run_stop.h).
    RunStop m_stop;
    // The run's one lock; an abort may come from any thread. Held around:
    //   - publishing the child's process and job (the launch) and closing
    //     them, with every other handle of the run (the release);
    //   - the launch's steps into launching and into running, and the
    //     termination flag it clears and reads there, against a stop that
    //     sets it;
    //   - every termination of the tree, so that what it finds (the child
    //     terminated, the leftovers counted) and the time limit's mark are
    //     all in when the watcher fixes the end from them and publishes it;
    //   - a graceful stop's request, and a grace's or a drain's termination,
    //     against a termination already asked for;
    //   - the copy of the watcher's handle that a wait takes, against its
    //     close.
    // Read without it, and why that is sound: the watcher's and the
    // writer's handles of the child, published before those threads start
    // and closed after they end; the end, the counts and the stop's request
    // as the host reads them for a result, atomics that only go forward;
    // the host's own calls on a run it has not closed yet (a wait's look at
    // the worker threads); and everything the unload step touches, which
    // can take no lock.
    SrwLock m_releaseLock;
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
