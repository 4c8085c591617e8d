// The stages that read a pseudo console's output (vt_parser.h).
//
// ScreenText (text mode) follows the screen the stream draws and hands on
// lines a log pane can show: a row is a finished line once the cursor
// leaves it downwards, without its trailing blanks and ending in "\n"; a
// row that filled the width goes on in the next (the console wrapped it);
// rows above the one being drawn are finished and never delivered again. The
// row still being drawn goes on after `flushMs` of quiet: text it only adds
// as the added text, a rewrite as "\r" and the whole line as it now is.
// Colours, titles, modes and cursor shapes are dropped.
//
// RawTerminal (the pseudo console's stream as it is) cuts chunks only
// between whole characters and whole sequences; a sequence longer than a
// chunk comes whole in a chunk of its own.
//
// Threads: both belong to their reader's chain, used on that thread only;
// the console's size is read from `size`, which a resize on any thread
// writes (TerminalSize::Pack).
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "engine/output/chunker.h"
#include "engine/output/text_stage.h"

struct TerminalSize {
    static constexpr unsigned kDefaultColumns = 4096;
    static constexpr unsigned kDefaultRows = 25;
    static unsigned long Pack(unsigned columns, unsigned rows) {
        return (static_cast<unsigned long>(columns) << 16) | (rows & 0xFFFF);
    }
    static unsigned Columns(unsigned long packed) { return packed >> 16; }
    static unsigned Rows(unsigned long packed) { return packed & 0xFFFF; }
};

// `size` may be null: the default size for the whole stream.
std::unique_ptr<TextStage> MakeScreenTextStage(Chunker &chunker, DWORD flushMs,
                                               const std::atomic<unsigned long> *size);
std::unique_ptr<TextStage> MakeRawTerminalStage(Chunker &chunker);
