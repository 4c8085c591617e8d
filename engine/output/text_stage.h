// One stage of a reader's chain, as the chain sees it: bytes in, bytes on
// to the next stage, perhaps held for a while. The chain asks every stage
// when it is next due and flushes the ones that are; a stage that holds
// nothing on a timer keeps the defaults. New kinds of text (a terminal's
// output with its escape sequences, say) join the chain as stages of their
// own, ahead of those that are there.
//
// Threads: a chain belongs to its reader thread and is used only there.
#pragma once

#include <windows.h>

#include <cstddef>

class TextStage {
public:
    virtual ~TextStage() = default;

    // Bytes of the stream that arrived at `now` (GetTickCount64), perhaps
    // none: a stage that times what it holds counts from the last call.
    // `data[length]` must be writable; a stage may write to `data` as
    // Chunker::Push describes.
    virtual void Push(char *data, size_t length, ULONGLONG now) = 0;

    // Milliseconds until what this stage holds is due to go on although
    // nothing more came; 0 once it is, INFINITE while nothing will be.
    virtual DWORD MsUntilDue(ULONGLONG) const { return INFINITE; }

    // Hands on what is due.
    virtual void Flush() {}

    // The stream has ended: everything held goes on.
    virtual void End() {}

    // Where this stage hands its bytes; set by the chain.
    void Link(TextStage *next) { m_next = next; }

protected:
    TextStage *Next() const { return m_next; }

private:
    TextStage *m_next = nullptr;
};
