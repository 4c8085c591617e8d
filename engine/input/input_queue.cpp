#include "engine/input/input_queue.h"

#include "brackwyn.h"
#include "engine/os/sizes.h"
#include "engine/os/syscalls.h"
#include "engine/os/worker_thread.h"

#include <new>
#include <utility>

void InputQueue::Attach(ScopedHandle pipe) {
    std::lock_guard<SrwLock> lock(m_lock);
    m_blocks.clear();
    m_closing = false;
    m_abandoned = false;
    m_consoleKeys = false;
    m_afterCr = false;
    m_child = nullptr;
    m_queued = 0;
    m_written = 0;
    m_pipe = std::move(pipe);
}

bool InputQueue::Start(std::string first, HANDLE child) {
    std::lock_guard<SrwLock> lock(m_lock);
    m_child = child;
    // A stop that came first has closed the input already.
    if (m_abandoned)
        return true;
    // Auto reset: one wake-up per arrival is enough, the writer looks at the
    // whole queue each time. Manual reset for the two others: Abandon() must
    // stay visible to every later wait, and overlapped I/O wants it so.
    m_wake.Reset(g_sys.createEvent(nullptr, FALSE, FALSE, nullptr));
    m_abandon.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
    m_ready.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
    if (!m_wake.IsValid() || !m_abandon.IsValid() || !m_ready.IsValid())
        return false;
    if (!first.empty()) {
        try {
            AsKeys(first);
            m_blocks.push_back(std::move(first));
        } catch (const std::bad_alloc &) {
            return false;
        }
        m_queued += m_blocks.back().size();
    }
    m_thread.Reset(StartWorkerThread(WriterProc, this));
    return m_thread.IsValid();
}

bool InputQueue::ChildEnded() const {
    HANDLE child = m_child.load();
    return child != nullptr && WaitForSingleObject(child, 0) == WAIT_OBJECT_0;
}

int InputQueue::Write(const void *data, size_t length) {
    // A child that has ended reads nothing more, even while the writer has
    // not yet found its pipe broken.
    if (ChildEnded())
        return DLLGLUE_ECLOSED;
    {
        std::lock_guard<SrwLock> lock(m_lock);
        if (m_closing || m_abandoned)
            return DLLGLUE_ECLOSED;
    }
    if (length == 0)
        return DLLGLUE_OK;
    // Copied outside the lock: a large block does not hold up other writers
    // or the writer thread.
    std::string block;
    try {
        block.assign(static_cast<const char *>(data), length);
    } catch (const std::bad_alloc &) {
        return DLLGLUE_ENOMEM;
    }
    {
        std::lock_guard<SrwLock> lock(m_lock);
        // Checked again: a Close() or a stop may have come meanwhile.
        if (m_closing || m_abandoned)
            return DLLGLUE_ECLOSED;
        // Under the lock: whether a "\n" ends a "\r\n" depends on the block
        // queued before.
        const bool afterCr = m_afterCr;
        try {
            AsKeys(block);
            // An empty block would cost the writer a wake-up.
            if (block.empty())
                return DLLGLUE_OK;
            m_blocks.push_back(std::move(block));
        } catch (const std::bad_alloc &) {
            m_afterCr = afterCr;
            return DLLGLUE_ENOMEM;
        }
        m_queued += m_blocks.back().size();
    }
    SetEvent(m_wake.Get());
    return DLLGLUE_OK;
}

// Each line end one "\r", the Enter a console reads.
void InputQueue::AsKeys(std::string &block) {
    if (!m_consoleKeys)
        return;
    size_t out = 0;
    for (const char key : block) {
        const bool lineFeed = key == '\n';
        if (!(lineFeed && m_afterCr))
            block[out++] = lineFeed ? '\r' : key;
        m_afterCr = key == '\r';
    }
    block.resize(out);
}

void InputQueue::Close() {
    {
        std::lock_guard<SrwLock> lock(m_lock);
        if (m_consoleKeys && !m_closing && !m_abandoned && m_thread.IsValid()) {
            try {
                m_blocks.push_back("\x1a\r");
                m_queued += 2;
            } catch (const std::bad_alloc &) {
                // The end of input is lost; the run still ends as it would.
            }
        }
        m_closing = true;
        // Without a writer (the input was never started) nothing is queued.
        if (!m_thread.IsValid() && !m_consoleKeys)
            m_pipe.Close();
    }
    if (m_wake.IsValid())
        SetEvent(m_wake.Get());
}

void InputQueue::Abandon() {
    std::lock_guard<SrwLock> lock(m_lock);
    m_abandoned = true;
    m_blocks.clear();
    // The writer closes the pipe itself: a write of its own may be using it.
    if (m_thread.IsValid())
        SetEvent(m_abandon.Get());
    else if (!m_consoleKeys)
        m_pipe.Close();
}

void InputQueue::Release() {
    std::lock_guard<SrwLock> lock(m_lock);
    m_child = nullptr;
    m_blocks.clear();
    for (ScopedHandle *handle : {&m_pipe, &m_thread, &m_wake, &m_abandon, &m_ready})
        handle->Close();
}

DWORD WINAPI InputQueue::WriterProc(LPVOID queue) {
    static_cast<InputQueue *>(queue)->Feed();
    return LeaveWorker();
}

// Takes one block at a time off the queue and writes it whole before the
// next: one writer, so no two calls' bytes can interleave. Ends when the input
// is closed and written, abandoned, or the child stops taking bytes; then the
// child reads end of input.
void InputQueue::Feed() {
    for (;;) {
        std::string block;
        {
            std::lock_guard<SrwLock> lock(m_lock);
            if (m_abandoned)
                break;
            if (!m_blocks.empty()) {
                block = std::move(m_blocks.front());
                m_blocks.pop_front();
            } else if (m_closing && !m_consoleKeys) {
                break;
            }
        }
        if (!block.empty()) {
            if (!WriteBlock(block))
                break;
            continue;
        }
        HANDLE waits[2] = {m_wake.Get(), m_abandon.Get()};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    std::lock_guard<SrwLock> lock(m_lock);
    // Whatever stopped the writer, no later call may queue bytes that would
    // never be written.
    m_abandoned = true;
    m_blocks.clear();
    if (!m_consoleKeys)
        m_pipe.Close();
}

// False once the input is over: the pipe broke (the child closed its input
// or ended) or the queue was abandoned mid-write. The count keeps what went
// in either way.
bool InputQueue::WriteBlock(const std::string &block) {
    HANDLE pipe = m_pipe.Get();
    size_t offset = 0;
    while (offset < block.size()) {
        const size_t left = block.size() - offset;
        const DWORD piece = static_cast<DWORD>(left < kPipeBuffer ? left : kPipeBuffer);
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_ready.Get();
        if (!WriteFile(pipe, block.data() + offset, piece, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return false;
            HANDLE waits[2] = {m_ready.Get(), m_abandon.Get()};
            // The lower index wins when both are set: a write that completed
            // is counted, not cancelled.
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
                CancelIoEx(pipe, &overlapped);
        }
        // Waits for a cancelled write too: the block is ours again only then.
        DWORD written = 0;
        const BOOL ok = GetOverlappedResult(pipe, &overlapped, &written, TRUE);
        offset += written;
        m_written += written;
        if (!ok)
            return false;
    }
    return true;
}
