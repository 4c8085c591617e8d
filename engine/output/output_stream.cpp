#include "engine/output/output_stream.h"

#include "engine/os/sizes.h"
#include "engine/os/syscalls.h"
#include "engine/os/worker_thread.h"

#include <memory>
#include <new>
#include <utility>

namespace {

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

enum class ReadOutcome { kBytes, kTimedOut, kAbandoned, kOver };

// Takes one read's worth from `pipe` into `buffer`. Waits while the pipe is
// empty and a writer holds it, until bytes come, the pipe breaks,
// `finishReading` is signalled (which ends the wait once nothing is left in the pipe), or
// `timeoutMs` passes; then the read stays pending in `read`, and the next
// call must pass the same buffer. kOver: reading is over. `abandon`, when
// not null, ends the wait as kAbandoned, the read staying pending likewise.
ReadOutcome ReadSome(HANDLE pipe, HANDLE ready, HANDLE finishReading, HANDLE abandon, char *buffer,
                     DWORD size, DWORD timeoutMs, PipeRead &read, DWORD &count) {
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
        HANDLE waits[3] = {ready, finishReading, abandon};
        // The lower index wins when both are signalled: bytes that came
        // before "finish reading" are still taken.
        const DWORD waited =
            WaitForMultipleObjects(abandon != nullptr ? 3 : 2, waits, FALSE, timeoutMs);
        if (waited == WAIT_TIMEOUT)
            return ReadOutcome::kTimedOut;
        if (waited == WAIT_OBJECT_0 + 2)
            return ReadOutcome::kAbandoned;
        if (waited != WAIT_OBJECT_0 && !BytesWaiting(pipe))
            CancelIoEx(pipe, &read.overlapped);
        read.pending = false;
    }
    // Waits for a cancelled read too: the buffer is ours again only then. A
    // read that completed before the cancel keeps its bytes.
    return GetOverlappedResult(pipe, &read.overlapped, &count, TRUE) != FALSE ? ReadOutcome::kBytes
                                                                              : ReadOutcome::kOver;
}

// Where a reader's chain ends: the run's delivery. Plain bytes are counted
// as they are delivered; text is counted as read, since what is delivered
// is no longer what the child wrote.
class StreamSink final : public ChunkSink {
public:
    StreamSink(StreamKind kind, Delivery &delivery, std::atomic<unsigned long long> &bytes,
               std::atomic<int> &seen, bool countChunks)
        : m_kind(kind), m_delivery(delivery), m_bytes(bytes), m_seen(seen),
          m_countChunks(countChunks) {}
    void Deliver(const char *text, size_t length) override {
        if (m_countChunks)
            m_bytes += length;
        if (m_kind == StreamKind::kError)
            m_seen = 1;
        m_delivery.Deliver(m_kind, text, length);
    }

private:
    const StreamKind m_kind;
    Delivery &m_delivery;
    std::atomic<unsigned long long> &m_bytes;
    std::atomic<int> &m_seen;
    const bool m_countChunks;
};

} // namespace

bool OutputStream::CreateReadyEvent() {
    m_ready.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
    return m_ready.IsValid();
}

void OutputStream::ResetCounts() {
    m_bytes = 0;
    m_seen = 0;
}

bool OutputStream::Start(LPTHREAD_START_ROUTINE procedure, void *run) {
    m_thread.Reset(StartWorkerThread(procedure, run));
    return m_thread.IsValid();
}

void OutputStream::Relay(const TextOptions &text, Delivery &delivery, HANDLE finishReading) {
    StreamSink sink(m_kind, delivery, m_bytes, m_seen, text.PlainBytes());
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
        HANDLE abandon = delivery.AbandonSignal();
        // Once "finish reading" has come, what is left is taken whatever the
        // budget: no stop waits for a host that takes nothing.
        bool finishing = false;
        while (buffer != nullptr) {
            // A smaller budget makes a smaller read; the buffer stays. A
            // pending read keeps the size it was asked with, but the budget
            // is asked all the same: the asking tells the delivery that what
            // came before (a line flushed meanwhile) is all there is for now.
            size_t budget = delivery.ReadBudget(m_kind);
            if (read.pending)
                budget = size;
            while (budget == 0 && !finishing) {
                finishing = !delivery.WaitForRoom(m_kind, finishReading);
                budget = delivery.ReadBudget(m_kind);
            }
            const DWORD want = budget == 0 || budget >= size ? size : static_cast<DWORD>(budget);
            // A line left unfinished goes on once its stream has been quiet
            // long enough; the read meanwhile stays pending.
            const ReadOutcome outcome =
                ReadSome(m_pipe.Get(), m_ready.Get(), finishReading, abandon, buffer.get(), want,
                         chain.MsUntilDue(GetTickCount64()), read, got);
            if (outcome == ReadOutcome::kOver)
                break;
            if (outcome == ReadOutcome::kAbandoned) {
                abandon = nullptr;
                delivery.OnAbandoned();
                continue;
            }
            if (outcome == ReadOutcome::kTimedOut) {
                chain.FlushDue(GetTickCount64());
                continue;
            }
            if (!text.PlainBytes())
                m_bytes += got;
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
        delivery.StreamEnded(m_kind);
    } catch (const std::bad_alloc &) {
        // Text that no longer fits in memory ends the stream; the buffer
        // must be ours again before it is freed.
        if (read.pending) {
            DWORD ignored = 0;
            CancelIoEx(m_pipe.Get(), &read.overlapped);
            GetOverlappedResult(m_pipe.Get(), &read.overlapped, &ignored, TRUE);
        }
    }
    m_pipe.Close();
}

// A reader that ran has closed the pipe already; one that never started
// leaves it to this.
void OutputStream::Release() {
    m_pipe.Close();
    m_ready.Close();
    m_thread.Close();
}
