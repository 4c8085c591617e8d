#include "engine/os/worker_thread.h"
#include "engine/redirect.h"

#include <algorithm>

namespace {

// After a stop, how long the run's processes get to die and their pipes to
// break before the watcher has the readers take what is left and stop.
constexpr DWORD kStopGraceMs = 30;
// While the child has ended but the run goes on (a descendant holds the
// output), how often the watcher asks the job itself how many processes it
// has: the job's port is documented as a notice, not a promise.
constexpr DWORD kJobPollMs = 250;

} // namespace

// The reader relays its stream, then tells the watcher it has ended.
void CRedirect::ReadStream(StreamKind stream) {
    OutputStream &part = stream == StreamKind::kOutput ? m_stdout : m_stderr;
    part.Relay(m_settings.text, m_delivery.Current(), m_watcher.FinishReadingEvent());
    m_watcher.PostReaderEnded();
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

// The run's own time limit: a stop like an abort's, made by the watcher.
void CRedirect::StopForTimeout() {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    if (m_stop.TerminationRequested())
        return;
    if (m_child.Running())
        m_stop.MarkTimedOut();
    StopTree();
}

// The time limit has passed. With a grace it asks first, as a graceful stop
// does. The run is timed out either way when the limit found the child
// itself running; one that had ended by itself keeps that end, and what the
// limit terminates of what it left running is counted as left over. True
// when the tree was terminated.
bool CRedirect::OnTimeLimit() {
    if (m_settings.timeoutGraceMs == 0) {
        StopForTimeout();
        return true;
    }
    std::lock_guard<SrwLock> lock(m_releaseLock);
    if (!m_stop.TerminationRequested()) {
        if (m_child.Running())
            m_stop.MarkTimedOut();
        m_stop.Staged().Request(m_settings.timeoutGraceMs);
    }
    return false;
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

namespace {

DWORD Until(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline)
        return 0;
    return deadline - now >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(deadline - now);
}

} // namespace

// Waits until the run is over, has the readers finish, and reports the end.
// Over means: the child has ended, and either both pipes have broken (every
// byte is in) or no process of the run is left (every byte that will come is
// in the pipes). A stop, the run's time limit, the end of a graceful stop's
// grace or of the drain cut this short after a brief grace.
void CRedirect::WatchRun() {
    const ULONGLONG started = GetTickCount64();
    const DWORD limit = m_settings.timeoutMs;
    bool limitReached = limit == 0;
    ULONGLONG drainDeadline = 0; // none until the child has ended by itself
    // Milliseconds until the next deadline (time limit, grace, drain), and no
    // more than `most`.
    auto nextTimeout = [&](DWORD most) {
        DWORD timeout = most;
        if (!limitReached)
            timeout = (std::min)(timeout, Until(started + limit));
        timeout = (std::min)(timeout, m_stop.Staged().UntilDeadline());
        if (drainDeadline != 0)
            timeout = (std::min)(timeout, Until(drainDeadline));
        return timeout;
    };
    // Acts on whatever is due; true when the tree was terminated.
    auto actOnDeadlines = [&]() {
        if (!limitReached && Until(started + limit) == 0) {
            limitReached = true;
            if (OnTimeLimit())
                return true;
        }
        if (m_stop.Staged().TakeAsk())
            AskTreeToEnd();
        if (m_stop.Staged().UntilDeadline() == 0) {
            TerminateAfterGrace();
            return true;
        }
        if (drainDeadline != 0 && Until(drainDeadline) == 0) {
            TerminateLeftovers();
            return true;
        }
        return false;
    };

    // Until the child ends, or the run is stopped.
    HANDLE waits[3] = {m_child.Process(), m_watcher.StopEvent(), m_stop.Staged().WakeEvent()};
    bool stopped = false;
    for (;;) {
        const DWORD waited = WaitForMultipleObjects(3, waits, FALSE, nextTimeout(INFINITE));
        if (waited == WAIT_OBJECT_0)
            break;
        if (waited == WAIT_OBJECT_0 + 1 || waited == WAIT_FAILED || actOnDeadlines()) {
            stopped = true;
            break;
        }
    }
    if (!stopped && m_settings.drainMs != 0)
        drainDeadline = GetTickCount64() + m_settings.drainMs;
    ULONGLONG stopDeadline = GetTickCount64() + kStopGraceMs;
    if (stopped)
        WaitForSingleObject(m_child.Process(), kStopGraceMs);
    // The streams whose readers were started: a merged run has one, its
    // error output sharing the output pipe.
    const int readers = (m_stdout.Started() ? 1 : 0) + (m_stderr.Started() ? 1 : 0);
    int readersEnded = 0;
    for (;;) {
        if (readersEnded == readers)
            break;
        if (m_child.JobIsEmpty())
            break;
        if (!stopped && actOnDeadlines()) {
            stopped = true;
            stopDeadline = GetTickCount64() + kStopGraceMs;
        }
        const ULONGLONG now = GetTickCount64();
        if (stopped && now >= stopDeadline)
            break;
        const DWORD timeout = stopped ? static_cast<DWORD>(stopDeadline - now)
                                      : nextTimeout(m_child.HasJob() ? kJobPollMs : INFINITE);
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        const BOOL dequeued =
            GetQueuedCompletionStatus(m_watcher.Port(), &bytes, &key, &overlapped, timeout);
        if (dequeued && key == Watcher::kReaderEndedKey)
            ++readersEnded;
        if (dequeued && key == Watcher::kStopKey && !stopped) {
            stopped = true;
            stopDeadline = GetTickCount64() + kStopGraceMs;
        }
    }
    // With a drain nothing the child left running outlives the run, not even
    // a process that holds none of its pipes (a daemon, detached), which
    // the loop above never waited for.
    if (!stopped && m_settings.drainMs != 0 && !m_child.JobIsEmpty())
        TerminateLeftovers();
    // From here on a stop asks nothing: it returns 0 and changes nothing
    // (RunInProgress). One that checked a moment before came, as far as the
    // host can tell, just before the end, and is told so.
    m_stop.MarkSettling();
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
