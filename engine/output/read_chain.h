// What a reader does with the bytes it reads: a list of stages, each with
// its own state, each handing on to the next. Plain bytes go straight to
// the chunk stage, in place; text may first be decoded to UTF-8 and then
// cut at its line ends.
//
//   read -> [decode to UTF-8] -> [cut lines] -> cut chunks -> host
//
// Threads: a chain belongs to its reader thread and is used only there.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/os/sizes.h"
#include "engine/output/chunker.h"
#include "engine/output/text_stage.h"

// How a run's streams become chunks.
struct TextOptions {
    // Chunks are UTF-8, whatever is not read in `codePage`.
    bool utf8 = false;
    UINT codePage = CP_OEMCP;
    // Each chunk is one line, or a piece of an overlong one, or what a quiet
    // stream left unfinished after `lineFlushMs` (0: the default).
    bool lines = false;
    DWORD lineFlushMs = 0;
    // The most bytes in one chunk: 4 .. kMaxChunkBytes.
    size_t chunkBytes = kChunkSize;

    // A pseudo console's stream (terminal_stages.h): read as the screen it
    // draws, in lines (kScreen), or passed on whole item by item (kRaw).
    // Either replaces the stages above. `terminalSize`, when set, is the
    // console's size as it changes (TerminalSize::Pack).
    enum class Terminal { kNone, kScreen, kRaw };
    Terminal terminal = Terminal::kNone;
    const std::atomic<unsigned long> *terminalSize = nullptr;

    bool PlainBytes() const { return !utf8 && !lines && terminal == Terminal::kNone; }
    // Whether text can be read in `codePage`: a single-byte, double-byte or
    // UTF-8 code page of this system.
    static bool UsableCodePage(UINT codePage);
};

class ReadChain {
public:
    ReadChain(const TextOptions &options, ChunkSink &sink);
    ReadChain(const ReadChain &) = delete;
    ReadChain &operator=(const ReadChain &) = delete;

    // Puts `stage` ahead of the others: it sees the bytes as read.
    void AddFirst(std::unique_ptr<TextStage> stage);

    // Bytes read at `now` (GetTickCount64). `data[length]` must be writable;
    // `data` is written to as Chunker::Push describes.
    void Push(char *data, size_t length, ULONGLONG now);

    // Milliseconds until some stage's held bytes are due to go on without
    // more coming; INFINITE while none will be.
    DWORD MsUntilDue(ULONGLONG now) const;

    // Hands on what is due at `now`, stage by stage.
    void FlushDue(ULONGLONG now);

    // The stream has ended: every stage hands on what it holds, in order.
    void End();

private:
    Chunker m_chunker;
    // First to last; the last hands on to m_chunker.
    std::vector<std::unique_ptr<TextStage>> m_stages;
    TextStage *m_first = nullptr;
};
