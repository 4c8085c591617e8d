#include "engine/os/worker_thread.h"
#include "engine/redirect.h"

#include <algorithm>

#include "engine/watch/run_watch.h"

namespace {

// The child's end comes from its job rather than from a wait on its
// handle. Wine 8 posts to a job's port a message per process that joins
// (JOB_OBJECT_MSG_NEW_PROCESS, the child's console host among them), one per
// process that leaves (JOB_OBJECT_MSG_EXIT_PROCESS, with its id), and
// JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO once the last has left, as Windows
// does. A registered wait would do without a job, but its thread pool keeps
// an event open for some twenty seconds after the last wait, which a host
// counting its handles sees come and go. Windows documents these messages as
// notices whose delivery is not guaranteed, so the watcher also looks at the
// child and the job itself at every wake-up and at least once a second: a
// lost message costs a run at most that second, never its end.
constexpr DWORD kLostNewsLookMs = 1000;

// Where no job reports to the port (no job could be made, or it refused the
// port), how often the watcher looks at the child and asks the job how many
// processes it has: nothing else would tell it.
constexpr DWORD kNoNewsPollMs = 50;

} // namespace

// The reader relays its stream, then tells the watcher it has ended.
void CRedirect::ReadStream(StreamKind stream) {
    OutputStream &part = stream == StreamKind::kOutput ? m_stdout : m_stderr;
    part.Relay(m_settings.text, m_delivery.Current(), m_watcher.FinishReadingEvent());
    m_watcher.Post(PacketKind::kStreamEnded);
}

DWORD WINAPI StdoutReaderProc(LPVOID redirector) {
    static_cast<CRedirect *>(redirector)->ReadStream(StreamKind::kOutput);
    return LeaveWorker();
}

DWORD WINAPI StderrReaderProc(LPVOID redirector) {
    static_cast<CRedirect *>(redirector)->ReadStream(StreamKind::kError);
    return LeaveWorker();
}

DWORD WINAPI WatcherProc(LPVOID redirector) {
    static_cast<CRedirect *>(redirector)->WatchRun();
    return LeaveWorker();
}

// The time limit has passed: its plan (run_stop.h) says whether the tree
// goes now, like an abort's, or is asked first. True when the tree has been
// terminated.
bool CRedirect::OnTimeLimit() {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    const TimeLimitStep step =
        m_stop.PlanTimeLimit(m_child.Running(), GetTickCount64(), m_settings.timeoutGraceMs);
    if (step == TimeLimitStep::kAskFirst)
        return false;
    if (step == TimeLimitStep::kTerminate)
        StopTree();
    return true;
}

// Fixes how the run ended before anyone is told: its state and the child's
// own exit code. The child is known to have ended unless the run was
// stopped; then it is being terminated, and gets a moment to finish dying.
// The state tells how the child ended: by itself (within a stop's grace
// too, and before a time limit that ended only what it left running),
// terminated, or past its time limit.
void CRedirect::SettleEnd(bool stopped) {
    DWORD exitCode = STILL_ACTIVE;
    if (stopped)
        WaitForSingleObject(m_child.Process(), 100);
    if (!GetExitCodeProcess(m_child.Process(), &exitCode) ||
        (stopped && WaitForSingleObject(m_child.Process(), 0) != WAIT_OBJECT_0))
        exitCode = 1; // what the stop terminates it with
    std::lock_guard<SrwLock> lock(m_releaseLock);
    // Aborted only when a stop ended the child itself, at once or after a
    // graceful stop's grace: a stop that came after the child had ended by
    // itself leaves its state telling so.
    const int endState = m_stop.TimedOut()          ? DLLGLUE_TIMEDOUT
                         : m_stop.ChildTerminated() ? DLLGLUE_ABORTED
                                                    : DLLGLUE_EXITED;
    m_outcome.Publish(endState, exitCode);
}

// Waits until the run is over, has the readers finish, and reports the end.
// The port is its one way of hearing news (run_watch.h): the job tells it of
// the child's end and that no process is left, each reader of its end, a
// stop of a termination or an ask; the time limit, the graceful stop's grace
// and the drain are the wait's timeout. RunWatch decides what each of them
// means; this carries it out.
void CRedirect::WatchRun() {
    // The streams whose readers were started: a merged run has one, its
    // error output sharing the output pipe.
    const int readers = (m_stdout.Started() ? 1 : 0) + (m_stderr.Started() ? 1 : 0);
    RunWatch watch(GetTickCount64(), m_settings.timeoutMs, m_settings.drainMs, readers,
                   m_child.ProcessId());
    const bool news = m_watcher.JobNews();
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (!watch.ChildEnded() && !m_child.Running())
            watch.OnPacket({PacketKind::kChildEnded}, now);
        // Without a job nothing says when the run's last process is gone,
        // and a pseudo console's pipe breaks only once the console is
        // closed: the child's own end has to do. The reader still reads, so
        // what the console sends as it closes is delivered. A process the
        // child left in the console loses it then, where a job would have
        // let it finish first.
        if (watch.ChildEnded() && !m_child.HasJob())
            m_child.Console().End();
        if (m_child.JobIsEmpty())
            watch.OnPacket({PacketKind::kJobNews, JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO}, now);
        const WatchAction action = watch.Next(now, m_stop.Plan().Deadline());
        if (action == WatchAction::kFinish)
            break;
        switch (action) {
        case WatchAction::kTimeLimit:
            if (OnTimeLimit())
                watch.Terminated(now);
            else
                watch.OnPacket({PacketKind::kAskToEnd}, now);
            continue;
        case WatchAction::kAskToEnd:
            if (m_stop.Plan().TakeAsk())
                AskTreeToEnd();
            continue;
        case WatchAction::kTerminateWhenDue:
            TerminateWhenDue();
            watch.Terminated(GetTickCount64());
            continue;
        default:
            break;
        }
        DWORD timeout = watch.Timeout(now, m_stop.Plan().Deadline());
        timeout = (std::min)(timeout, news ? kLostNewsLookMs : kNoNewsPollMs);
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        const BOOL dequeued =
            GetQueuedCompletionStatus(m_watcher.Port(), &bytes, &key, &overlapped, timeout);
        now = GetTickCount64();
        if (dequeued) {
            // A job's message carries its process id in the overlapped
            // pointer; posted packets carry nothing.
            watch.OnPacket({static_cast<PacketKind>(key), bytes,
                            static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(overlapped))},
                           now);
        } else if (overlapped == nullptr && GetLastError() != WAIT_TIMEOUT) {
            // The port itself failed: nothing will ever come, so the run ends
            // as a stopped one does rather than spin.
            watch.Terminated(now);
        }
    }
    const bool stopped = watch.Stopped();
    // With a drain nothing the child left running outlives the run, not even
    // a process that holds none of its pipes (a daemon, detached), which
    // the loop above never waited for.
    if (watch.DrainsAtEnd() && !m_child.JobIsEmpty())
        TerminateWhenDue();
    // From here on a stop asks nothing: it returns 0 and changes nothing
    // (RunInProgress). One that checked a moment before came, as far as the
    // host can tell, just before the end, and is told so.
    m_stop.MarkSettling();
    // A pseudo console sends its last output and breaks its pipe only once
    // it is closed, while the reader still reads (pseudo_console.h).
    m_child.Console().End();
    // Whatever is still in the pipes is delivered; nothing after that. The
    // input is over too: what is still queued will never be read, and the
    // end of the run does not wait for it.
    m_watcher.FinishReading();
    m_input.Abandon();
    HANDLE workers[3];
    DWORD workerCount = 0;
    for (HANDLE worker : {m_stdout.Thread(), m_stderr.Thread(), m_input.Thread()}) {
        if (worker != nullptr)
            workers[workerCount++] = worker;
    }
    WaitForMultipleObjects(workerCount, workers, TRUE, INFINITE);
    SettleEnd(stopped);
    if (!m_watcher.Abandoned())
        m_delivery.Current().Complete(m_stderr.Seen());
    m_outcome.MarkFinished();
}
