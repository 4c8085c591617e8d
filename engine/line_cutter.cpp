#include "engine/line_cutter.h"
#include "engine/sizes.h"

#include <cstring>

void LineCutter::Push(char *data, size_t length) {
    size_t start = 0;
    while (start < length) {
        const void *found = std::memchr(data + start, '\n', length - start);
        if (found == nullptr)
            break;
        const size_t end = static_cast<size_t>(static_cast<const char *>(found) - data) + 1;
        if (m_pending.empty()) {
            // The usual case: the line lies whole in what was read.
            m_next.Push(data + start, end - start);
        } else {
            m_pending.append(data + start, end - start);
            m_next.Push(&m_pending[0], m_pending.size());
            m_pending.clear();
        }
        start = end;
    }
    m_pending.append(data + start, length - start);
    // A line longer than a chunk need not wait for its end: every chunk of
    // it that more bytes follow is final. The last bytes stay, so that a
    // "\r" waits for a "\n" that may follow.
    size_t sent = 0;
    while (m_pending.size() - sent > kChunkSize) {
        const size_t chunk = m_next.FirstChunk(&m_pending[sent], m_pending.size() - sent);
        m_next.DeliverOne(&m_pending[sent], chunk);
        sent += chunk;
    }
    m_pending.erase(0, sent);
}

DWORD LineCutter::MsUntilDue(ULONGLONG now) const {
    const ULONGLONG due = m_lastByte + m_flushMs;
    return now >= due ? 0 : static_cast<DWORD>(due - now);
}

void LineCutter::Flush() {
    if (m_pending.empty())
        return;
    m_next.Push(&m_pending[0], m_pending.size());
    m_pending.clear();
}
