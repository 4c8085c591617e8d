// The stages that read a pseudo console's output, fed streams recorded from
// both console hosts: Wine's (measured) and Windows' own (what its console
// host is known to send for the same screens).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/output/read_chain.h"
#include "engine/output/terminal_stages.h"

namespace {

struct Chunks final : ChunkSink {
    std::vector<std::string> list;
    void Deliver(const char *text, size_t length) override { list.emplace_back(text, length); }
};

// "|" in a read list: the stream has been quiet for longer than the flush
// time, and what is due goes on.
const char kQuiet[] = "|";

std::vector<std::string> Screen(const std::vector<std::string> &reads, bool byteByByte,
                                unsigned columns = 0) {
    TextOptions options;
    options.terminal = TextOptions::Terminal::kScreen;
    std::atomic<unsigned long> size{TerminalSize::Pack(columns, 25)};
    if (columns != 0)
        options.terminalSize = &size;
    Chunks chunks;
    ReadChain chain(options, chunks);
    ULONGLONG now = 1000;
    for (const std::string &read : reads) {
        if (read == kQuiet) {
            now += 1000;
            EXPECT_EQ(chain.MsUntilDue(now), 0u);
            chain.FlushDue(now);
            continue;
        }
        std::string bytes = read;
        for (size_t at = 0; at < bytes.size(); at += byteByByte ? 1 : bytes.size())
            chain.Push(&bytes[at], byteByByte ? 1 : bytes.size(), now);
    }
    chain.End();
    return chunks.list;
}

using Lines = std::vector<std::string>;

// One text, the chunks parted by "|", so that a failure shows where.
std::string Join(const Lines &lines) {
    std::string all;
    for (const std::string &line : lines)
        all += line + "|";
    return all;
}

} // namespace

// Wine's console host: a clear and home first, every write wrapped in
// cursor hide/show, colours as SGR, a tab as spaces, a scroll as CR LF at
// the bottom, a wrapped row ended in CR LF, a space as erase + move; a
// prompt's trailing blank waits for what follows it. The
// same lines whether the bytes come in one read or one byte a read.
TEST(TerminalStages, WineStreamBecomesLines) {
    std::vector<std::string> reads = {
        "\x1b[2J\x1b[m\x1b[H\x1b[?25lhello\r\n\x1b[?25h\r\n\x1b[?25lworld\r\n\x1b[?25h"};
    for (int i = 0; i < 30; ++i)
        reads.push_back("\x1b[?25lline " + std::to_string(i) + "\r\n\x1b[?25h");
    const std::vector<std::string> rest = {
        "\x1b[?25lprog 10%\x1b[?25h", kQuiet, "\x1b[?25l\rprog 50%\x1b[?25h", kQuiet,
        "\x1b[?25l\rprog 100%\r\n\x1b[?25h",
        "\x1b[?25l\x1b[92mgreen\r\n\x1b[?25h\x1b[?25l\x1b[mtab     x\r\n\x1b[?25h",
        std::string(80, 'x') + "\r\n" + std::string(20, 'x') + "\x1b[K\r\n", "a\x1b[K\x1b[1Cb\r\n",
        // A program's own title, whose BEL Wine dropped.
        "\x1b[?25l\x1b]0;own title\x1b[?25htitled\r\n", "Name: ", kQuiet, "bob\r\n", "end"};
    reads.insert(reads.end(), rest.begin(), rest.end());
    Lines expected = {"hello\n", "\n", "world\n"};
    for (int i = 0; i < 30; ++i)
        expected.push_back("line " + std::to_string(i) + "\n");
    const Lines tail = {"prog 10%", "\rprog 50%",  "\rprog 100%\n",
                        "green\n",  "tab     x\n", std::string(100, 'x') + "\n",
                        "a b\n",    "titled\n",    "Name:",
                        " bob\n",   "end"};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Join(Screen(reads, false, 80)), Join(expected));
    EXPECT_EQ(Join(Screen(reads, true, 80)), Join(expected));
}

// Windows' console host: modes and a title first, cursor positions instead
// of line ends (a row it skips is an empty line), erase in line, its own
// wraps at the edge, a progress line redrawn by moving back into it, an
// OSC ended by ST, a private sequence split over reads. Nothing of the
// sequences reaches the text.
TEST(TerminalStages, WindowsStreamBecomesLines) {
    const std::vector<std::string> reads = {
        "\x1b[?9001h\x1b[?1004h\x1b[?25l\x1b[2J\x1b[m\x1b[H\x1b]0;C:\\t\\child.exe\x07\x1b[?25h",
        "\x1b[?25lhello\x1b[K\r\nworld\x1b[K\x1b[?25h",
        "\r\n\x1b[4;1Hafter gap\x1b[K\r\n",
        "\x1b[38;2;255;0;0mred\x1b[m\x1b]2;title\x1b\\ text\r\n",
        std::string(20, 'w') + std::string(5, 'v') + "\r\n",
        "prog 10%\x1b[?2",
        "5h",
        kQuiet,
        "\x1b[?25l\x1b[8;6H50\x1b[8;9H\x1b[?25h",
        kQuiet,
        "\x1b[8;1H\x1b[Kdone\r\n",
        "\x1b[10;1Hlast"};
    const Lines expected = {
        "hello\n",     "world\n",    "\n",
        "after gap\n", "red text\n", std::string(20, 'w') + std::string(5, 'v') + "\n",
        "prog 10%",    "\rprog 50%", "\rdone\n",
        "\n",          "last"};
    EXPECT_EQ(Join(Screen(reads, false, 20)), Join(expected));
    EXPECT_EQ(Join(Screen(reads, true, 20)), Join(expected));
}

// Raw: the stream whole, but no chunk parts a character or a sequence, and
// a sequence longer than a chunk comes alone.
TEST(TerminalStages, RawChunksKeepSequencesWhole) {
    TextOptions options;
    options.terminal = TextOptions::Terminal::kRaw;
    Chunks chunks;
    std::string stream = std::string(1020, 'a') + "\x1b[38;5;82m" + std::string(1021, 'b') +
                         "\xE2\x82\xAC" + "\x1b]0;" + std::string(3000, 't') + "\x07" + "tail" +
                         "\x1b[3";
    const std::string original = stream;
    {
        ReadChain chain(options, chunks);
        for (size_t at = 0; at < stream.size(); at += 700) {
            std::string read = stream.substr(at, 700);
            chain.Push(&read[0], read.size(), 0);
        }
        chain.End();
    }
    std::string joined;
    for (const std::string &chunk : chunks.list)
        joined += chunk;
    EXPECT_EQ(joined, original);
    bool sawTitle = false;
    for (const std::string &chunk : chunks.list) {
        const bool title = chunk.find("\x1b]0;") != std::string::npos;
        sawTitle |= title;
        if (title) {
            EXPECT_EQ(chunk, "\x1b]0;" + std::string(3000, 't') + "\x07");
            continue;
        }
        EXPECT_LE(chunk.size(), 1024u);
        // No chunk ends inside the SGR sequence or the euro sign.
        EXPECT_EQ(chunk.find("\x1b[38") != std::string::npos,
                  chunk.find("82m") != std::string::npos);
        EXPECT_EQ(chunk.find("\xE2") != std::string::npos, chunk.find("\xAC") != std::string::npos);
    }
    EXPECT_TRUE(sawTitle);
    EXPECT_EQ(chunks.list.back(), "\x1b[3");
}
