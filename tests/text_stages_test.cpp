// The stages a reader's bytes pass through, fed byte strings directly: how
// chunks are cut, how text is decoded, how lines are cut and flushed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/output/chunker.h"
#include "engine/output/line_cutter.h"
#include "engine/output/read_chain.h"
#include "engine/output/utf8_decoder.h"

namespace {

struct Chunks final : ChunkSink {
    std::vector<std::string> list;
    bool badTerminator = false;
    void Deliver(const char *text, size_t length) override {
        badTerminator |= text[length] != '\0';
        list.emplace_back(text, length);
    }
    std::string Joined() const {
        std::string all;
        for (const std::string &chunk : list)
            all += chunk;
        return all;
    }
};

std::string Decoded(UINT codePage, const std::vector<std::string> &reads) {
    Utf8Decoder decoder(codePage);
    std::string out;
    for (const std::string &read : reads)
        decoder.Decode(read.data(), read.size(), out);
    decoder.Finish(out);
    return out;
}

} // namespace

// Plain bytes: exactly 1024 a chunk, the NUL after each written in place and
// the byte under it put back. Text: a chunk ends early rather than split a
// character or a "\r\n".
TEST(TextStages, ChunksKeepCharactersAndLineEndsWhole) {
    std::string bytes = std::string(1023, 'a') + "\xE2\x82\xAC" + std::string(1020, 'b') + "\r\n";
    const std::string original = bytes;
    Chunks plain;
    Chunker(plain, false, false).Push(&bytes[0], bytes.size());
    EXPECT_EQ(bytes, original);
    EXPECT_FALSE(plain.badTerminator);
    ASSERT_EQ(plain.list.size(), 2u);
    EXPECT_EQ(plain.list[0], std::string(1023, 'a') + "\xE2");
    EXPECT_EQ(plain.Joined(), original);

    Chunks text;
    Chunker(text, true, true).Push(&bytes[0], bytes.size());
    ASSERT_EQ(text.list.size(), 3u);
    EXPECT_EQ(text.list[0], std::string(1023, 'a'));
    EXPECT_EQ(text.list[1], "\xE2\x82\xAC" + std::string(1020, 'b'));
    EXPECT_EQ(text.list[2], "\r\n");
    EXPECT_EQ(text.Joined(), original);
}

// A character split by the program's writes or the library's reads comes
// out whole: UTF-8 a byte at a time, a double-byte character parted from
// its trail byte, and a start that never completes, decoded at the end.
TEST(TextStages, DecoderJoinsCharactersSplitAcrossReads) {
    EXPECT_EQ(Decoded(1252, {"\xE2", "\x82", "\xAC", "!"}), "\xE2\x82\xAC!");
    EXPECT_EQ(Decoded(932, {"\x93", "\xFA\x96", "\x7B"}), "\xE6\x97\xA5\xE6\x9C\xAC");
    // "\xC3" could start UTF-8 until "A" says otherwise: Ã in 1252.
    EXPECT_EQ(Decoded(1252, {"x\xC3", "A"}), "x\xC3\x83"
                                             "A");
    EXPECT_EQ(Decoded(1252, {"\xE2\x82"}), "\xC3\xA2\xE2\x80\x9A");
    Utf8Decoder decoder(932);
    std::string out;
    decoder.Decode("ab\x93", 3, out);
    EXPECT_EQ(out, "ab");
    EXPECT_TRUE(decoder.Holding());
}

// UTF-8 passes unchanged while everything else is read in the stream's code
// page; with UTF-8 itself each stray byte is one U+FFFD, and NUL stays NUL.
TEST(TextStages, DecoderReadsWhatIsNotUtf8InTheCodePage) {
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F"
                             "e \xD0\x9F\xD1\x80\xD0\xB8";
    EXPECT_EQ(Decoded(437, {"M\x81ller " + utf8}), "M\xC3\xBCller " + utf8);
    EXPECT_EQ(Decoded(850, {"\x99l " + utf8}), "\xC3\x96l " + utf8);
    EXPECT_EQ(Decoded(1252, {utf8 + " M\xFCller"}), utf8 + " M\xC3\xBCller");
    EXPECT_EQ(Decoded(866, {"\x8F\xE0\xA8"}), "\xD0\x9F\xD1\x80\xD0\xB8");
    EXPECT_EQ(Decoded(932, {utf8 + "\x93\xFA\x96\x7B\xB1"}),
              utf8 + "\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\xB1");
    const std::string bad = std::string("a\x80"
                                        "b\xC0\xAF"
                                        "c\xED\xA0\x80"
                                        "d\xE2\x82");
    EXPECT_EQ(Decoded(CP_UTF8, {bad}), "a\xEF\xBF\xBD"
                                       "b\xEF\xBF\xBD\xEF\xBF\xBD"
                                       "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                                       "d\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Decoded(437, {std::string("a\0b", 3)}), std::string("a\0b", 3));
    EXPECT_FALSE(Utf8Decoder::UsableCodePage(65000));
    EXPECT_FALSE(Utf8Decoder::UsableCodePage(12345));
}

// One line a chunk, line ends as written; a long line in chunks of at most
// 1024 bytes, in order; an unfinished line waits for its flush time, counted
// from the stream's last byte, or for the end.
TEST(TextStages, LinesCutAtLineEndsAndFlushWhenQuiet) {
    Chunks chunks;
    Chunker chunker(chunks, false, true);
    LineCutter lines(chunker, 100);
    std::string reads[] = {"one\r\ntw", "o\n10%\r20%\r", std::string(5000, 'x'),
                           std::string(200, 'y') + "\nPassword: "};
    ULONGLONG now = 1000;
    for (std::string &read : reads) {
        lines.Touch(now);
        lines.Push(&read[0], read.size());
        now += 10;
    }
    const std::string longLine =
        "10%\r20%\r" + std::string(5000, 'x') + std::string(200, 'y') + "\n";
    std::vector<std::string> expected = {"one\r\n", "two\n"};
    for (size_t at = 0; at < longLine.size(); at += 1024)
        expected.push_back(longLine.substr(at, 1024));
    EXPECT_EQ(chunks.list, expected);
    EXPECT_TRUE(lines.Unfinished());
    EXPECT_EQ(lines.MsUntilDue(now - 10), 100u);
    EXPECT_EQ(lines.MsUntilDue(now + 89), 1u);
    EXPECT_EQ(lines.MsUntilDue(now + 90), 0u);
    lines.Flush();
    EXPECT_EQ(chunks.list.back(), "Password: ");
    EXPECT_FALSE(lines.Unfinished());
}

// The whole chain: an unfinished line goes on when quiet, but the start of
// a character at its end stays held for the rest (which a program's next
// write brings) or for the stream's end.
TEST(TextStages, ChainFlushesTheLineAndKeepsHeldBytes) {
    TextOptions options;
    options.utf8 = true;
    options.codePage = 1252;
    options.lines = true;
    Chunks chunks;
    ReadChain chain(options, chunks);
    std::string read = "Name \xC3";
    chain.Push(&read[0], read.size(), 1000);
    EXPECT_TRUE(chunks.list.empty());
    EXPECT_EQ(chain.MsUntilDue(1000), LineCutter::kDefaultFlushMs);
    chain.FlushDue(1000 + LineCutter::kDefaultFlushMs);
    ASSERT_EQ(chunks.list.size(), 1u);
    EXPECT_EQ(chunks.list[0], "Name ");
    EXPECT_EQ(chain.MsUntilDue(2000), INFINITE);
    read = "\xA9\ntail\xC3";
    chain.Push(&read[0], read.size(), 2000);
    chain.End();
    EXPECT_EQ(chunks.list, (std::vector<std::string>{"Name ", "\xC3\xA9\n", "tail\xC3\x83"}));
}

// A stage that joins the chain sees the bytes as read, ahead of the others:
// here one that keeps each read back for 10 ms. The chain waits for the
// soonest stage, flushes only the stages that are due, and at the end hands
// on each stage's bytes before the next stage's.
TEST(TextStages, AStageJoinsTheChainAheadOfTheOthers) {
    struct Delay final : TextStage {
        std::string held;
        ULONGLONG since = 0;
        void Push(char *data, size_t length, ULONGLONG now) override {
            held.append(data, length);
            since = now;
        }
        DWORD MsUntilDue(ULONGLONG now) const override {
            return held.empty() ? INFINITE : now >= since + 10 ? 0 : DWORD(since + 10 - now);
        }
        void Flush() override {
            Next()->Push(&held[0], held.size(), since + 10);
            held.clear();
        }
        void End() override { Flush(); }
    };
    TextOptions options;
    options.lines = true;
    Chunks chunks;
    ReadChain chain(options, chunks);
    chain.AddFirst(std::make_unique<Delay>());
    std::string read = "one\ntw";
    chain.Push(&read[0], read.size(), 1000);
    EXPECT_EQ(chain.MsUntilDue(1000), 10u);
    chain.FlushDue(1009);
    EXPECT_TRUE(chunks.list.empty());
    chain.FlushDue(1010);
    EXPECT_EQ(chunks.list, std::vector<std::string>{"one\n"});
    // Now only the line is held, due its flush time after the bytes came on.
    EXPECT_EQ(chain.MsUntilDue(1010), LineCutter::kDefaultFlushMs);
    read = "o\nthree";
    chain.Push(&read[0], read.size(), 1020);
    chain.End();
    EXPECT_EQ(chunks.list, (std::vector<std::string>{"one\n", "two\n", "three"}));
}
