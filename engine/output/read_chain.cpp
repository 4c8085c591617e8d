#include "engine/output/read_chain.h"

#include <string>

#include "engine/output/line_cutter.h"
#include "engine/output/terminal_stages.h"
#include "engine/output/utf8_decoder.h"

namespace {

// The last stage: chunks for the host.
class ChunkStage final : public TextStage {
public:
    explicit ChunkStage(Chunker &chunker) : m_chunker(chunker) {}
    void Push(char *data, size_t length, ULONGLONG) override {
        if (length != 0)
            m_chunker.Push(data, length);
    }

private:
    Chunker &m_chunker;
};

// Text in the stream's code page, or already UTF-8, to UTF-8. The start of
// a character it holds is never due: decoded before its rest comes, it
// would come out as other characters. It waits for the rest or the end.
class DecodeStage final : public TextStage {
public:
    explicit DecodeStage(UINT codePage) : m_decoder(codePage) {}

    void Push(char *data, size_t length, ULONGLONG now) override {
        m_lastPush = now;
        // Text that is UTF-8 already goes on as it was read, without a copy.
        // Bytes go on even when none came out, so that the next stage
        // counts its quiet time from this read.
        if (length == 0 ||
            (!m_decoder.Holding() && Utf8Decoder::ValidUtf8Prefix(data, length) == length)) {
            Next()->Push(data, length, now);
            return;
        }
        char *out = Room(m_decoder.MostWritten(length));
        Next()->Push(out, m_decoder.Decode(data, length, out), now);
    }

    void End() override {
        if (!m_decoder.Holding())
            return;
        char *out = Room(m_decoder.MostWritten(0));
        const size_t length = m_decoder.Finish(out);
        Next()->Push(out, length, m_lastPush);
    }

private:
    // Room for `length` bytes and the NUL after them.
    char *Room(size_t length) {
        if (m_decoded.size() < length + 1)
            m_decoded.resize(length + 1);
        return m_decoded.data();
    }

    Utf8Decoder m_decoder;
    ULONGLONG m_lastPush = 0;
    // The decoder's output for one read, written through a pointer rather
    // than appended piece by piece; kept across reads and only grown.
    std::vector<char> m_decoded;
};

// One line a chunk; an unfinished one is due once the stream has been
// quiet for the flush time. It hands on to the chunker directly, which
// tells it where a long line's chunks end.
class LineStage final : public TextStage {
public:
    LineStage(Chunker &chunker, DWORD flushMs) : m_lines(chunker, flushMs) {}

    void Push(char *data, size_t length, ULONGLONG now) override {
        m_lines.Touch(now);
        if (length != 0)
            m_lines.Push(data, length);
    }
    DWORD MsUntilDue(ULONGLONG now) const override {
        return m_lines.Unfinished() ? m_lines.MsUntilDue(now) : INFINITE;
    }
    // The line goes on as far as its characters are complete: a stage
    // ahead holds the start of one that is not.
    void Flush() override { m_lines.Flush(); }
    void End() override { m_lines.Flush(); }

private:
    LineCutter m_lines;
};

} // namespace

bool TextOptions::UsableCodePage(UINT codePage) {
    return Utf8Decoder::UsableCodePage(codePage);
}

ReadChain::ReadChain(const TextOptions &options, ChunkSink &sink)
    : m_chunker(sink, options.utf8 || options.terminal != TextOptions::Terminal::kNone,
                options.lines || options.terminal == TextOptions::Terminal::kScreen,
                options.chunkBytes) {
    // Built last to first: each stage hands on to the one made before it.
    m_stages.push_back(std::make_unique<ChunkStage>(m_chunker));
    // A pseudo console's stream is UTF-8 already, and the screen stage
    // makes the lines itself.
    if (options.terminal == TextOptions::Terminal::kScreen)
        AddFirst(MakeScreenTextStage(m_chunker, options.lineFlushMs, options.terminalSize));
    else if (options.terminal == TextOptions::Terminal::kRaw)
        AddFirst(MakeRawTerminalStage(m_chunker));
    else if (options.lines)
        AddFirst(std::make_unique<LineStage>(m_chunker, options.lineFlushMs));
    if (options.utf8 && options.terminal == TextOptions::Terminal::kNone)
        AddFirst(std::make_unique<DecodeStage>(options.codePage == CP_OEMCP ? GetOEMCP()
                                                                            : options.codePage));
    m_first = m_stages.front().get();
}

void ReadChain::AddFirst(std::unique_ptr<TextStage> stage) {
    stage->Link(m_stages.front().get());
    m_stages.insert(m_stages.begin(), std::move(stage));
    m_first = m_stages.front().get();
}

void ReadChain::Push(char *data, size_t length, ULONGLONG now) {
    if (length != 0)
        m_first->Push(data, length, now);
}

DWORD ReadChain::MsUntilDue(ULONGLONG now) const {
    DWORD soonest = INFINITE;
    for (const auto &stage : m_stages) {
        const DWORD due = stage->MsUntilDue(now);
        if (due < soonest)
            soonest = due;
    }
    return soonest;
}

void ReadChain::FlushDue(ULONGLONG now) {
    for (const auto &stage : m_stages) {
        if (stage->MsUntilDue(now) == 0)
            stage->Flush();
    }
}

void ReadChain::End() {
    for (const auto &stage : m_stages)
        stage->End();
}
