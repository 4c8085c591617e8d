// A stage of a reader's chain that hands on one line at a time, its "\n"
// included, so that a host never joins the halves of a line itself. A line
// that the program leaves unfinished (a prompt waiting for an answer, a
// progress line redrawn with "\r") is handed on as it is once its stream has
// been quiet for the flush time, so it shows at once rather than when the
// program next writes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "engine/output/chunker.h"

class LineCutter {
public:
    // 0: kDefaultFlushMs.
    LineCutter(Chunker &next, DWORD flushMs)
        : m_next(next), m_flushMs(flushMs == 0 ? kDefaultFlushMs : flushMs) {}

    static constexpr DWORD kDefaultFlushMs = 50;

    // Bytes arrived on the stream at `now` (milliseconds, GetTickCount64):
    // the flush time counts from the last such call.
    void Touch(ULONGLONG now) { m_lastByte = now; }

    // Takes the next bytes of the stream. Each complete line goes on at once
    // (split into chunks by the next stage when long); the unfinished rest
    // is kept, except that whole chunks of an overlong line go on as soon as
    // more bytes of it follow them. `data` is written to as Chunker::Push
    // describes.
    void Push(char *data, size_t length);

    // Whether part of a line is held.
    bool Unfinished() const { return !m_pending.empty(); }

    // Milliseconds until what is held is due at `now`; 0 once it is.
    DWORD MsUntilDue(ULONGLONG now) const;

    // Hands on the unfinished line as it is.
    void Flush();

private:
    Chunker &m_next;
    const DWORD m_flushMs;
    ULONGLONG m_lastByte = 0;
    // The start of a line whose "\n" has not come yet.
    std::string m_pending;
};
