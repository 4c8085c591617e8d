#include "engine/redirect.h"

#include <memory>
#include <new>

namespace {

// After a stop, how long the run's processes get to die and their pipes to
// break before the watcher has the readers take what is left and stop.
constexpr DWORD kStopGraceMs = 30;
// While the child has ended but the run goes on (a descendant holds the
// output), how often the watcher asks the job itself how many processes it
// has: the job's port is documented as a notice, not a promise.
constexpr DWORD kJobPollMs = 250;

bool BytesWaiting(HANDLE pipe) {
    DWORD available = 0;
    return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0;
}

// Takes one read's worth from `pipe`. Blocks while the pipe is empty and a
// writer holds it, until bytes come, the pipe breaks, or `drain` is
// signalled, which ends the wait once nothing is left in the pipe. Returns
// false when reading is over.
bool ReadSome(HANDLE pipe, HANDLE ready, HANDLE drain, char *buffer, DWORD &count) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ready;
    count = 0;
    if (!ReadFile(pipe, buffer, kReadSize, nullptr, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false; // broken pipe, or an error that no retry mends
        HANDLE waits[2] = {ready, drain};
        // The lower index wins when both are signalled: bytes that came
        // before the drain are still taken.
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 &&
            !BytesWaiting(pipe))
            CancelIoEx(pipe, &overlapped);
    }
    // Waits for a cancelled read too: the buffer is ours again only then. A
    // read that completed before the cancel keeps its bytes.
    return GetOverlappedResult(pipe, &overlapped, &count, TRUE) != FALSE;
}

// Hands everything `pipe` yields to `relay`, in chunks of at most kChunkSize
// bytes each followed by a NUL, until the pipe breaks or the run is drained.
// Then closes the library's end, so that a process still writing gets a
// broken pipe instead of blocking for ever on a full one, and tells the
// watcher.
template <typename Relay>
void RelayPipe(CRedirect &run, ScopedHandle &pipe, HANDLE ready, Relay relay) {
    // One more byte than a read takes, for the NUL after the last chunk.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadSize + 1]);
    DWORD count = 0;
    while (buffer != nullptr &&
           ReadSome(pipe.Get(), ready, run.m_drainEvent.Get(), buffer.get(), count)) {
        // A zero-byte write of the child reads as zero bytes; the pipe is
        // still open.
        for (DWORD offset = 0; offset < count; offset += kChunkSize) {
            const DWORD length = count - offset < kChunkSize ? count - offset : kChunkSize;
            char *chunk = buffer.get() + offset;
            // The NUL goes where the next chunk begins; put its byte back.
            const char next = chunk[length];
            chunk[length] = '\0';
            relay(chunk, length);
            chunk[length] = next;
        }
    }
    pipe.Close();
    PostQueuedCompletionStatus(run.m_port.Get(), 0, CRedirect::kReaderEndedKey, nullptr);
}

} // namespace

DWORD WINAPI StdoutReaderProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    RelayPipe(*self, self->m_stdoutReader, self->m_stdoutReady.Get(),
              [self](const char *text, DWORD length) { self->RelayStdout(text, length); });
    return 0;
}

DWORD WINAPI StderrReaderProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    RelayPipe(*self, self->m_stderrReader, self->m_stderrReady.Get(),
              [self](const char *text, DWORD length) {
                  self->m_stderrSeen = 1;
                  self->RelayStderr(text, length);
              });
    return 0;
}

DWORD WINAPI WatcherProc(LPVOID redirector) {
    static_cast<CRedirect *>(redirector)->WatchRun();
    return 0;
}

bool CRedirect::JobIsEmpty() const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    return m_job.IsValid() &&
           QueryInformationJobObject(m_job.Get(), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof(accounting), nullptr) &&
           accounting.ActiveProcesses == 0;
}

// Waits until the run is over, has the readers finish, and reports the end.
// Over means: the child has ended, and either both pipes have broken (every
// byte is in) or no process of the run is left (every byte that will come is
// in the pipes). A stop cuts this short after a brief grace.
void CRedirect::WatchRun() {
    HANDLE endOrStop[2] = {m_process.Get(), m_stopEvent.Get()};
    bool stopped = WaitForMultipleObjects(2, endOrStop, FALSE, INFINITE) != WAIT_OBJECT_0;
    if (this == static_cast<CRedirect *>(&g_redir))
        g_running = 0;
    ULONGLONG stopDeadline = GetTickCount64() + kStopGraceMs;
    if (stopped)
        WaitForSingleObject(m_process.Get(), kStopGraceMs);
    int readersEnded = 0;
    for (;;) {
        if (readersEnded == 2)
            break;
        if (JobIsEmpty())
            break;
        const ULONGLONG now = GetTickCount64();
        if (stopped && now >= stopDeadline)
            break;
        DWORD timeout = m_job.IsValid() ? kJobPollMs : INFINITE;
        if (stopped)
            timeout = static_cast<DWORD>(stopDeadline - now);
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        if (!GetQueuedCompletionStatus(m_port.Get(), &bytes, &key, &overlapped, timeout))
            continue;
        if (key == kReaderEndedKey) {
            ++readersEnded;
        } else if (key == kStopKey && !stopped) {
            stopped = true;
            stopDeadline = GetTickCount64() + kStopGraceMs;
        }
    }
    // Whatever is still in the pipes is delivered; nothing after that.
    SetEvent(m_drainEvent.Get());
    HANDLE readers[2] = {m_stdoutThread.Get(), m_stderrThread.Get()};
    WaitForMultipleObjects(2, readers, TRUE, INFINITE);
    if (!m_launchAbandoned.load())
        NotifyFinished(m_stderrSeen.load());
    m_finished = 1;
}
