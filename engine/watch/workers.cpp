#include "engine/os/worker_thread.h"
#include "engine/output/read_chain.h"
#include "engine/redirect.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

namespace {

// After a stop, how long the run's processes get to die and their pipes to
// break before the watcher has the readers take what is left and stop.
constexpr DWORD kStopGraceMs = 30;
// While the child has ended but the run goes on (a descendant holds the
// output), how often the watcher asks the job itself how many processes it
// has: the job's port is documented as a notice, not a promise.
constexpr DWORD kJobPollMs = 250;
// The size of a reader's first buffer.
constexpr DWORD kFirstReadSize = 8 * 1024;

bool BytesWaiting(HANDLE pipe) {
    DWORD available = 0;
    return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0;
}

// One overlapped read that may outlast a wait for it: a wait that times out
// leaves it pending with its buffer, and the next wait takes it up, so that
// no byte is lost to a cancel.
struct PipeRead {
    OVERLAPPED overlapped{};
    bool pending = false;
};

enum class ReadOutcome { kBytes, kTimedOut, kOver };

// Takes one read's worth from `pipe` into `buffer`. Waits while the pipe is
// empty and a writer holds it, until bytes come, the pipe breaks, `drain`
// is signalled (which ends the wait once nothing is left in the pipe), or
// `timeoutMs` passes; then the read stays pending in `read`, and the next
// call must pass the same buffer. kOver: reading is over.
ReadOutcome ReadSome(HANDLE pipe, HANDLE ready, HANDLE drain, char *buffer, DWORD size,
                     DWORD timeoutMs, PipeRead &read, DWORD &count) {
    count = 0;
    if (!read.pending) {
        read.overlapped = OVERLAPPED{};
        read.overlapped.hEvent = ready;
        if (!ReadFile(pipe, buffer, size, nullptr, &read.overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return ReadOutcome::kOver; // broken pipe, or an error no retry mends
            read.pending = true;
        }
    }
    if (read.pending) {
        HANDLE waits[2] = {ready, drain};
        // The lower index wins when both are signalled: bytes that came
        // before the drain are still taken.
        const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
        if (waited == WAIT_TIMEOUT)
            return ReadOutcome::kTimedOut;
        if (waited != WAIT_OBJECT_0 && !BytesWaiting(pipe))
            CancelIoEx(pipe, &read.overlapped);
        read.pending = false;
    }
    // Waits for a cancelled read too: the buffer is ours again only then. A
    // read that completed before the cancel keeps its bytes.
    return GetOverlappedResult(pipe, &read.overlapped, &count, TRUE) != FALSE ? ReadOutcome::kBytes
                                                                              : ReadOutcome::kOver;
}

// Where a reader's chain ends: the host's callback. Plain bytes are counted
// as they are delivered; text is counted as read, since what is delivered
// is no longer what the child wrote.
template <typename Count, typename Relay> class HostSink final : public ChunkSink {
public:
    HostSink(Count count, Relay relay, bool countChunks)
        : m_count(count), m_relay(relay), m_countChunks(countChunks) {}
    void Deliver(const char *text, size_t length) override {
        if (m_countChunks)
            m_count(length);
        m_relay(text, length);
    }

private:
    Count m_count;
    Relay m_relay;
    const bool m_countChunks;
};

// Hands everything `pipe` yields through the run's chain to `delivery`, in
// chunks of at most kChunkSize bytes each followed by a NUL, until the pipe
// breaks or the run is drained. Then closes the library's end, so that a
// process still writing gets a broken pipe instead of blocking for ever on a
// full one, and tells the watcher.
template <typename Count, typename Relay>
void RelayPipe(CRedirect &run, Delivery &delivery, StreamKind stream, ScopedHandle &pipe,
               HANDLE ready, Count count, Relay relay) {
    const TextOptions &text = run.m_settings.text;
    HostSink<Count, Relay> sink(count, relay, text.PlainBytes());
    // The buffer starts small and doubles whenever a read fills it, up to
    // kReadSize: a child that writes a line now and then costs the host
    // little memory, one that floods gets the large reads that keep up
    // with it. One more byte than a read takes, for the NUL after the last
    // chunk.
    DWORD size = kReadSize < kFirstReadSize ? kReadSize : kFirstReadSize;
    // Value-initialised: the byte after a short read is saved and put back.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size + 1]());
    PipeRead read;
    try {
        ReadChain chain(text, sink);
        DWORD got = 0;
        while (buffer != nullptr) {
            // A smaller budget makes a smaller read; the buffer stays.
            const size_t budget = delivery.ReadBudget(stream);
            const DWORD want = budget < size ? static_cast<DWORD>(budget) : size;
            // A line left unfinished goes on once its stream has been quiet
            // long enough; the read meanwhile stays pending.
            const ReadOutcome outcome =
                ReadSome(pipe.Get(), ready, run.m_drainEvent.Get(), buffer.get(), want,
                         chain.MsUntilDue(GetTickCount64()), read, got);
            if (outcome == ReadOutcome::kOver)
                break;
            if (outcome == ReadOutcome::kTimedOut) {
                chain.FlushDue(GetTickCount64());
                continue;
            }
            if (!text.PlainBytes())
                count(got);
            // A zero-byte write of the child reads as zero bytes; the pipe
            // is still open.
            chain.Push(buffer.get(), got, GetTickCount64());
            if (got == size && size < kReadSize) {
                const DWORD larger = size * 2 < kReadSize ? size * 2 : kReadSize;
                std::unique_ptr<char[]> grown(new (std::nothrow) char[larger + 1]());
                if (grown != nullptr) {
                    buffer = std::move(grown);
                    size = larger;
                }
            }
        }
        chain.End();
    } catch (const std::bad_alloc &) {
        // Text that no longer fits in memory ends the stream; the buffer
        // must be ours again before it is freed.
        if (read.pending) {
            DWORD ignored = 0;
            CancelIoEx(pipe.Get(), &read.overlapped);
            GetOverlappedResult(pipe.Get(), &read.overlapped, &ignored, TRUE);
        }
    }
    pipe.Close();
    PostQueuedCompletionStatus(run.m_port.Get(), 0, CRedirect::kReaderEndedKey, nullptr);
}

} // namespace

void CRedirect::ReadStream(StreamKind stream) {
    Delivery &delivery = m_delivery.Current();
    if (stream == StreamKind::kOutput) {
        RelayPipe(
            *this, delivery, stream, m_stdoutReader, m_stdoutReady.Get(),
            [this](size_t bytes) { m_outputBytes += bytes; },
            [&delivery](const char *text, size_t length) {
                delivery.Deliver(StreamKind::kOutput, text, length);
            });
    } else {
        RelayPipe(
            *this, delivery, stream, m_stderrReader, m_stderrReady.Get(),
            [this](size_t bytes) { m_errorBytes += bytes; },
            [this, &delivery](const char *text, size_t length) {
                m_stderrSeen = 1;
                delivery.Deliver(StreamKind::kError, text, length);
            });
    }
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

bool CRedirect::JobIsEmpty() const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    return m_job.IsValid() &&
           QueryInformationJobObject(m_job.Get(), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof(accounting), nullptr) &&
           accounting.ActiveProcesses == 0;
}

// The run's own time limit: a stop like an abort's, made by the watcher.
void CRedirect::StopForTimeout() {
    std::lock_guard<std::mutex> lock(m_releaseLock);
    if (m_stopRequested.load())
        return;
    m_timedOut = true;
    StopTree();
}

// The time limit has passed. With a grace it asks first, as a graceful stop
// does; the run is timed out either way. True when the tree was terminated.
bool CRedirect::OnTimeLimit() {
    if (m_settings.timeoutGraceMs == 0) {
        StopForTimeout();
        return true;
    }
    std::lock_guard<std::mutex> lock(m_releaseLock);
    if (!m_stopRequested.load()) {
        m_timedOut = true;
        m_stagedStop.Request(m_settings.timeoutGraceMs);
    }
    return false;
}

// Fixes how the run ended before anyone is told: its state and the child's
// own exit code. The child is known to have ended unless the run was
// stopped; then it is being terminated, and gets a moment to finish dying.
// The state tells how the child ended: by itself (within a stop's grace
// too), terminated, or past its time limit.
void CRedirect::SettleEnd(bool stopped) {
    DWORD exitCode = STILL_ACTIVE;
    if (stopped)
        WaitForSingleObject(m_process.Get(), 100);
    if (!GetExitCodeProcess(m_process.Get(), &exitCode) ||
        (stopped && WaitForSingleObject(m_process.Get(), 0) != WAIT_OBJECT_0))
        exitCode = 1; // what the stop terminates it with
    std::lock_guard<std::mutex> lock(m_releaseLock);
    m_exitCode = exitCode;
    // Aborted only when a stop ended the child itself, at once or after a
    // graceful stop's grace: a stop that came after the child had ended by
    // itself leaves its state telling so.
    m_endState = m_timedOut.load()          ? DLLGLUE_TIMEDOUT
                 : m_childTerminated.load() ? DLLGLUE_ABORTED
                                            : DLLGLUE_EXITED;
    m_over = true;
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
        timeout = (std::min)(timeout, m_stagedStop.UntilDeadline());
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
        if (m_stagedStop.TakeAsk())
            AskTreeToEnd();
        if (m_stagedStop.UntilDeadline() == 0) {
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
    HANDLE waits[3] = {m_process.Get(), m_stopEvent.Get(), m_stagedStop.WakeEvent()};
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
    NoteMainRun(0);
    ULONGLONG stopDeadline = GetTickCount64() + kStopGraceMs;
    if (stopped)
        WaitForSingleObject(m_process.Get(), kStopGraceMs);
    // A merged run has one reader: its error output shares the output pipe.
    const int readers = m_settings.mergeErrors ? 1 : 2;
    int readersEnded = 0;
    for (;;) {
        if (readersEnded == readers)
            break;
        if (JobIsEmpty())
            break;
        if (!stopped && actOnDeadlines()) {
            stopped = true;
            stopDeadline = GetTickCount64() + kStopGraceMs;
        }
        const ULONGLONG now = GetTickCount64();
        if (stopped && now >= stopDeadline)
            break;
        const DWORD timeout = stopped ? static_cast<DWORD>(stopDeadline - now)
                                      : nextTimeout(m_job.IsValid() ? kJobPollMs : INFINITE);
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        const BOOL dequeued =
            GetQueuedCompletionStatus(m_port.Get(), &bytes, &key, &overlapped, timeout);
        if (dequeued && key == kReaderEndedKey)
            ++readersEnded;
        if (dequeued && key == kStopKey && !stopped) {
            stopped = true;
            stopDeadline = GetTickCount64() + kStopGraceMs;
        }
    }
    // Whatever is still in the pipes is delivered; nothing after that. The
    // input is over too: what is still queued will never be read, and the
    // end of the run does not wait for it.
    SetEvent(m_drainEvent.Get());
    m_input.Abandon();
    HANDLE workers[3];
    DWORD workerCount = 0;
    for (HANDLE worker : {m_stdoutThread.Get(), m_stderrThread.Get(), m_input.Thread()}) {
        if (worker != nullptr)
            workers[workerCount++] = worker;
    }
    WaitForMultipleObjects(workerCount, workers, TRUE, INFINITE);
    SettleEnd(stopped);
    if (!m_launchAbandoned.load())
        m_delivery.Current().Complete(m_stderrSeen.load());
    m_finished = 1;
}
