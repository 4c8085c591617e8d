#include "engine/redirect.h"

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

// Takes one read's worth from `pipe`. Blocks while the pipe is empty and a
// writer holds it, until bytes come, the pipe breaks, or `drain` is
// signalled, which ends the wait once nothing is left in the pipe. Returns
// false when reading is over.
bool ReadSome(HANDLE pipe, HANDLE ready, HANDLE drain, char *buffer, DWORD size, DWORD &count) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ready;
    count = 0;
    if (!ReadFile(pipe, buffer, size, nullptr, &overlapped)) {
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
    // The buffer starts small and doubles whenever a read fills it, up to
    // kReadSize: a child that writes a line now and then costs the host
    // little memory, one that floods gets the large reads that keep up
    // with it. One more byte than a read takes, for the NUL after the last
    // chunk.
    DWORD size = kReadSize < kFirstReadSize ? kReadSize : kFirstReadSize;
    // Value-initialised: the byte after a short read is saved and put back.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size + 1]());
    DWORD count = 0;
    while (buffer != nullptr &&
           ReadSome(pipe.Get(), ready, run.m_drainEvent.Get(), buffer.get(), size, count)) {
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
        if (count == size && size < kReadSize) {
            const DWORD larger = size * 2 < kReadSize ? size * 2 : kReadSize;
            std::unique_ptr<char[]> grown(new (std::nothrow) char[larger + 1]());
            if (grown != nullptr) {
                buffer = std::move(grown);
                size = larger;
            }
        }
    }
    pipe.Close();
    PostQueuedCompletionStatus(run.m_port.Get(), 0, CRedirect::kReaderEndedKey, nullptr);
}

// Writes all of `data` to the child's input unless the run is over first,
// then closes the library's end, which the child reads as the end of its
// input. A child that stops reading and exits breaks the pipe: not an error,
// the count says how much went in. Overlapped, so that a child that never
// reads cannot hold the writer (and the run) for ever.
void WriteInput(CRedirect &run) {
    const std::string &data = run.m_settings.inputData;
    HANDLE pipe = run.m_stdinWriter.Get();
    HANDLE ready = run.m_stdinReady.Get();
    size_t offset = 0;
    while (offset < data.size()) {
        const size_t left = data.size() - offset;
        const DWORD piece = static_cast<DWORD>(left < kReadSize ? left : kReadSize);
        OVERLAPPED overlapped{};
        overlapped.hEvent = ready;
        if (!WriteFile(pipe, data.data() + offset, piece, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING)
                break;
            HANDLE waits[2] = {ready, run.m_drainEvent.Get()};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                CancelIoEx(pipe, &overlapped);
        }
        DWORD written = 0;
        const BOOL ok = GetOverlappedResult(pipe, &overlapped, &written, TRUE);
        offset += written;
        run.m_inputBytes = offset;
        if (!ok)
            break;
    }
    run.m_stdinWriter.Close();
}

} // namespace

#ifdef BRACKWYN_BUILDING
namespace {
HMODULE ThisLibrary(DWORD flags) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                       reinterpret_cast<LPCWSTR>(&HoldLibrary), &module);
    return module;
}
} // namespace

void HoldLibrary() {
    ThisLibrary(0);
}

void ReleaseLibrary() {
    FreeLibrary(ThisLibrary(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT));
}

// The reference may be the last one: FreeLibraryAndExitThread lives in the
// system, so the library can go without this thread returning into it.
DWORD LeaveWorker() {
    FreeLibraryAndExitThread(ThisLibrary(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), 0);
}
#else
void HoldLibrary() {}
void ReleaseLibrary() {}
DWORD LeaveWorker() {
    return 0;
}
#endif

DWORD WINAPI StdoutReaderProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    RelayPipe(*self, self->m_stdoutReader, self->m_stdoutReady.Get(),
              [self](const char *text, DWORD length) {
                  self->m_outputBytes += length;
                  self->RelayStdout(text, length);
              });
    return LeaveWorker();
}

DWORD WINAPI StderrReaderProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    RelayPipe(*self, self->m_stderrReader, self->m_stderrReady.Get(),
              [self](const char *text, DWORD length) {
                  self->m_stderrSeen = 1;
                  self->m_errorBytes += length;
                  self->RelayStderr(text, length);
              });
    return LeaveWorker();
}

DWORD WINAPI StdinWriterProc(LPVOID redirector) {
    WriteInput(*static_cast<CRedirect *>(redirector));
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

// Fixes how the run ended before anyone is told: its state and the child's
// own exit code. The child is known to have ended unless the run was
// stopped; then it is being terminated, and gets a moment to finish dying.
void CRedirect::SettleEnd(bool stopped) {
    DWORD exitCode = STILL_ACTIVE;
    if (stopped)
        WaitForSingleObject(m_process.Get(), 100);
    if (!GetExitCodeProcess(m_process.Get(), &exitCode) ||
        (stopped && WaitForSingleObject(m_process.Get(), 0) != WAIT_OBJECT_0))
        exitCode = 1; // what the stop terminates it with
    std::lock_guard<std::mutex> lock(m_releaseLock);
    m_exitCode = exitCode;
    // Aborted only when a stop ended the child itself: a stop that came
    // after the child had ended by itself leaves its state telling so.
    m_endState = m_timedOut.load()          ? DLLGLUE_TIMEDOUT
                 : m_childTerminated.load() ? DLLGLUE_ABORTED
                                            : DLLGLUE_EXITED;
    m_over = true;
}

// Waits until the run is over, has the readers finish, and reports the end.
// Over means: the child has ended, and either both pipes have broken (every
// byte is in) or no process of the run is left (every byte that will come is
// in the pipes). A stop, or the run's time limit, cuts this short after a
// brief grace.
void CRedirect::WatchRun() {
    const ULONGLONG started = GetTickCount64();
    const DWORD limit = m_settings.timeoutMs;
    // Milliseconds left before the run's time limit; INFINITE without one.
    auto untilLimit = [started, limit]() -> DWORD {
        if (limit == 0)
            return INFINITE;
        const ULONGLONG elapsed = GetTickCount64() - started;
        return elapsed >= limit ? 0 : static_cast<DWORD>(limit - elapsed);
    };
    HANDLE endOrStop[2] = {m_process.Get(), m_stopEvent.Get()};
    DWORD waited = WaitForMultipleObjects(2, endOrStop, FALSE, untilLimit());
    if (waited == WAIT_TIMEOUT) {
        StopForTimeout();
        waited = WAIT_OBJECT_0 + 1;
    }
    bool stopped = waited != WAIT_OBJECT_0;
    NoteMainRun(0);
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
        else if (untilLimit() < timeout)
            timeout = untilLimit();
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        const BOOL dequeued =
            GetQueuedCompletionStatus(m_port.Get(), &bytes, &key, &overlapped, timeout);
        if (dequeued && key == kReaderEndedKey)
            ++readersEnded;
        const bool stopNow = (dequeued && key == kStopKey) || (!stopped && untilLimit() == 0);
        if (stopNow && !stopped) {
            if (untilLimit() == 0)
                StopForTimeout();
            stopped = true;
            stopDeadline = GetTickCount64() + kStopGraceMs;
        }
    }
    // Whatever is still in the pipes is delivered; nothing after that. The
    // input writer, if any, stops too.
    SetEvent(m_drainEvent.Get());
    HANDLE workers[3] = {m_stdoutThread.Get(), m_stderrThread.Get(), m_stdinThread.Get()};
    WaitForMultipleObjects(m_stdinThread.IsValid() ? 3 : 2, workers, TRUE, INFINITE);
    SettleEnd(stopped);
    if (!m_launchAbandoned.load())
        NotifyFinished(m_stderrSeen.load());
    m_finished = 1;
}
