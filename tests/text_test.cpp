// Text a window can show: the error output merged into the output in the
// child's order, whole lines, and UTF-8 from whatever the child writes.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "brackwyn.hpp"
#include "test_support.h"

namespace {

struct Chunk {
    std::string text;
    ULONGLONG at;
};

// What one run delivered, chunk by chunk.
struct TextRecorder {
    std::mutex lock;
    std::vector<Chunk> out;
    int errChunks = 0;
    int exitCalls = 0;
    int stderrSeen = -1;
    ULONGLONG exitAt = 0;
    bool textAfterExit = false;

    void Add(std::vector<Chunk> *stream, const char *text, size_t length) {
        std::lock_guard<std::mutex> hold(lock);
        textAfterExit |= exitCalls > 0;
        if (stream != nullptr)
            stream->push_back({std::string(text, length), GetTickCount64()});
        else
            ++errChunks;
    }
    std::string Joined() const {
        std::string all;
        for (const Chunk &chunk : out)
            all += chunk.text;
        return all;
    }
};

void BRACKWYN_CALL OnOut(const char *text, size_t length, void *user) {
    auto *recorder = static_cast<TextRecorder *>(user);
    recorder->Add(&recorder->out, text, length);
}
void BRACKWYN_CALL OnErr(const char *text, size_t length, void *user) {
    static_cast<TextRecorder *>(user)->Add(nullptr, text, length);
}
void BRACKWYN_CALL OnExit(int stderrSeen, void *user) {
    auto *recorder = static_cast<TextRecorder *>(user);
    std::lock_guard<std::mutex> hold(recorder->lock);
    ++recorder->exitCalls;
    recorder->stderrSeen = stderrSeen;
    recorder->exitAt = GetTickCount64();
}

ConsoleRunResult RunText(const std::string &modeAndWords, TextRecorder &recorder, unsigned flags,
                         unsigned codePage) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnOut;
    options.onError = OnErr;
    options.onExit = OnExit;
    options.user = &recorder;
    options.flags = flags;
    options.textCodePage = codePage;
    ConsoleRunResult result{};
    result.size = sizeof(result);
    ConsoleRun *run = nullptr;
    EXPECT_EQ(dllglue_runstart(ChildCommand(modeAndWords).c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK)
        << dllglue_lasterror();
    if (run == nullptr)
        return result;
    EXPECT_EQ(dllglue_runwait(run, INFINITE, 0), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runresult(run, &result), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
    return result;
}

std::string Hex(const std::string &bytes) {
    const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

bool ValidUtf8(const std::string &text) {
    return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

} // namespace

// Lines that alternate between the two streams arrive in the child's order,
// one line a chunk, all as output, and before the completion.
TEST(Text, MergedLinesKeepTheChildsOrder) {
    constexpr int kLines = 10000;
    std::string expected;
    for (int k = 0; k < kLines; ++k)
        expected += std::to_string(k) + (k % 2 == 0 ? " out\n" : " err\n");
    TextRecorder recorder;
    const ConsoleRunResult result = RunText("interleave " + std::to_string(kLines), recorder,
                                            DLLGLUE_MERGE | DLLGLUE_LINES | DLLGLUE_TEXT_UTF8, 0);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_TRUE(recorder.Joined() == expected);
    EXPECT_EQ(recorder.out.size(), static_cast<size_t>(kLines));
    EXPECT_EQ(recorder.errChunks, 0);
    EXPECT_EQ(result.outputBytes, expected.size());
    EXPECT_EQ(result.errorBytes, 0u);
    EXPECT_EQ(result.stderrSeen, 0);
    EXPECT_EQ(recorder.stderrSeen, 0);
    EXPECT_EQ(recorder.exitCalls, 1);
    EXPECT_FALSE(recorder.textAfterExit);
}

// No chunk holds part of a character: not when the child writes one a byte
// at a time, not at the 1024-byte edge, not for a double-byte character
// whose bytes come in two writes; a start left at the end is decoded then.
// Counts are of the bytes as written. A code page that cannot be read is
// refused.
TEST(Text, CharactersStayWholeAcrossWritesReadsAndChunks) {
    ConsoleRunOptions refused{};
    refused.size = sizeof(refused);
    refused.flags = DLLGLUE_TEXT_UTF8;
    refused.textCodePage = 65000;
    ConsoleRun *none = nullptr;
    EXPECT_EQ(dllglue_runstart(ChildCommand("exit 0").c_str(), 0, nullptr, &refused, &none),
              DLLGLUE_EINVAL);

    const std::string euro = "\xE2\x82\xAC";
    const std::string edge = std::string(1023, 'a') + euro;
    const std::string written = euro + edge + "\x93\xFA" + "\xC3";
    TextRecorder recorder;
    const ConsoleRunResult result =
        RunText("writes e2 p30 82 p30 ac p30 " + Hex(edge) + " p30 93 p30 fa p30 c3", recorder,
                DLLGLUE_TEXT_UTF8, 932);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(recorder.Joined(), euro + edge + "\xE6\x97\xA5\xEF\xBE\x83");
    for (const Chunk &chunk : recorder.out) {
        EXPECT_TRUE(ValidUtf8(chunk.text)) << Hex(chunk.text);
        EXPECT_LE(chunk.text.size(), 1024u);
    }
    EXPECT_EQ(result.outputBytes, written.size());
    EXPECT_FALSE(recorder.textAfterExit);
}

// Lines whose last character the child finishes only after a pause: the
// quiet line goes on without the character's start, which waits for the
// rest. UTF-8 split inside a line, the euro sign split at a line's start and
// a double-byte character of code page 932 parted from its trail byte.
TEST(Text, LinesKeepACharacterSplitByAPauseWhole) {
    TextRecorder recorder;
    const ConsoleRunResult result =
        RunText("writes " + Hex("Name \xC3") + " p400 " + Hex("\xA9\n\xE2\x82") + " p400 " +
                    Hex("\xAC 5\nkanji \x93") + " p400 " + Hex("\xFA\n"),
                recorder, DLLGLUE_LINES | DLLGLUE_TEXT_UTF8, 932);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(Hex(recorder.Joined()), Hex("Name \xC3\xA9\n\xE2\x82\xAC 5\nkanji \xE6\x97\xA5\n"));
    for (const Chunk &chunk : recorder.out)
        EXPECT_TRUE(ValidUtf8(chunk.text)) << Hex(chunk.text);
}

// Lines come whole with their line ends as written ("\r\n", progress lines
// redrawn with a bare "\r"), a long one in order in chunks of at most 1024
// bytes; a prompt comes once its stream is quiet, long before the child
// goes on, and what is left unfinished at the end comes before the
// completion.
TEST(Text, LinesComeAsWrittenAndPromptsAtOnce) {
    const std::string longLine = std::string(5000, 'L') + "\n";
    std::vector<Chunk> chunks;
    std::mutex lock;
    ULONGLONG exitAt = 0;
    auto note = [&](std::string_view text) {
        std::lock_guard<std::mutex> hold(lock);
        chunks.push_back({std::string(text), GetTickCount64()});
    };
    brackwyn::Run run(ChildCommand("writes " + Hex("first li") + " p10 " + Hex("ne\r\n10%\r20%\r") +
                                   " p10 " + Hex("30%\n") + " " + Hex(longLine) + " " +
                                   Hex("Password: ") + " p6000 " + Hex("x")),
                      brackwyn::Options()
                          .lines()
                          .utf8Text(1252)
                          .lineFlush(std::chrono::milliseconds(1000))
                          .onOutput(note)
                          .onExit([&](bool) { exitAt = GetTickCount64(); }));
    EXPECT_EQ(run.wait().state, brackwyn::State::Exited);
    std::vector<std::string> expected = {"first line\r\n", "10%\r20%\r30%\n"};
    for (size_t at = 0; at < longLine.size(); at += 1024)
        expected.push_back(longLine.substr(at, 1024));
    expected.push_back("Password: ");
    expected.push_back("x");
    std::vector<std::string> got;
    for (const Chunk &chunk : chunks)
        got.push_back(chunk.text);
    ASSERT_EQ(got, expected);
    // The child waits six seconds after its prompt; the prompt must not.
    EXPECT_LT(chunks[chunks.size() - 2].at + 3000, exitAt);
    EXPECT_LE(chunks.back().at, exitAt);
}
