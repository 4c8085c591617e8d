// What a reader does with the bytes it reads: a short chain of stages, each
// with its own state. Plain bytes go straight to the chunk stage, in place;
// text may first be decoded to UTF-8 and then cut at its line ends.
//
//   read -> [Utf8Decoder] -> [LineCutter] -> Chunker -> host
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/output/chunker.h"
#include "engine/output/line_cutter.h"
#include "engine/output/utf8_decoder.h"

// How a run's streams become chunks.
struct TextOptions {
    // Chunks are UTF-8, whatever is not read in `codePage`.
    bool utf8 = false;
    UINT codePage = CP_OEMCP;
    // Each chunk is one line, or a piece of an overlong one, or what a quiet
    // stream left unfinished after `lineFlushMs` (0: the default).
    bool lines = false;
    DWORD lineFlushMs = 0;

    bool PlainBytes() const { return !utf8 && !lines; }
};

class ReadChain {
public:
    ReadChain(const TextOptions &options, ChunkSink &sink);
    ReadChain(const ReadChain &) = delete;
    ReadChain &operator=(const ReadChain &) = delete;

    // Bytes read at `now` (GetTickCount64). `data[length]` must be writable;
    // `data` is written to as Chunker::Push describes.
    void Push(char *data, size_t length, ULONGLONG now);

    // Milliseconds until held bytes are due to go on without more coming;
    // INFINITE while none will be.
    DWORD MsUntilDue(ULONGLONG now) const;

    // Hands on the unfinished line once it is due; the start of a character
    // stays held.
    void FlushDue(ULONGLONG now);

    // The stream has ended: everything held goes on.
    void End();

private:
    void Forward(char *data, size_t length);
    // Room for `length` bytes and the NUL after them in m_decoded.
    char *Room(size_t length);
    // Hands on what the decoder holds, as it stands.
    void FinishHeld();

    Chunker m_chunker;
    std::optional<Utf8Decoder> m_decoder;
    std::optional<LineCutter> m_lines;
    // The decoder's output for one read, written through a pointer rather
    // than appended piece by piece; kept across reads and only grown.
    std::vector<char> m_decoded;
};
