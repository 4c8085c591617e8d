// Arguments reach the child exactly as the host passed them, whatever quotes,
// backslashes and blanks they hold.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/command/cmdline.h"
#include "test_support.h"

namespace {

// Random arguments made of the characters that matter to the child's
// parser, plain letters between them, and empty arguments now and then.
std::vector<std::string> RandomArguments(std::mt19937 &random) {
    static const char kAlphabet[] = {'a', 'b', '\\', '\\', '"', '"', ' ', '\t', '\'', '^', '%'};
    std::uniform_int_distribution<int> argCount(0, 5);
    std::uniform_int_distribution<int> length(0, 8);
    std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 1);
    std::vector<std::string> args(argCount(random));
    for (std::string &arg : args) {
        const int size = length(random);
        for (int i = 0; i < size; ++i)
            arg += kAlphabet[pick(random)];
    }
    return args;
}

std::string Composed(const std::vector<std::string> &args) {
    const std::vector<const char *> argv = ArgvOf(args);
    return ComposeCommandLine("x", static_cast<int>(argv.size()), argv.data());
}

} // namespace

// Plain arguments keep the familiar form: each in quotes, nothing escaped.
TEST(CommandLine, PlainArgumentsAreQuotedAsTheyStand) {
    EXPECT_EQ(Composed({"a b", ""}), "x \"a b\" \"\"");
    EXPECT_EQ(Composed({}), "x");
    EXPECT_EQ(ComposeCommandLine("\"C:\\Program Files\\t.exe\" /q", -4, nullptr),
              "\"C:\\Program Files\\t.exe\" /q");
}

// The classic traps of the C runtime's parser: a quote inside an argument,
// backslashes before it, and backslashes before the closing quote.
TEST(CommandLine, QuotesAndBackslashesAreEscapedWhereTheParserNeedsIt) {
    EXPECT_EQ(Composed({"a\\\\b"}), "x \"a\\\\b\"");         // a\\b: literal
    EXPECT_EQ(Composed({"a\"b"}), "x \"a\\\"b\"");           // a"b
    EXPECT_EQ(Composed({"a\\\"b c"}), "x \"a\\\\\\\"b c\""); // a\"b c
    EXPECT_EQ(Composed({"dir\\"}), "x \"dir\\\\\"");         // dir\ .
    EXPECT_EQ(Composed({"\\\\"}), "x \"\\\\\\\\\"");         // \\ .
}

TEST(CommandLine, ChildReceivesTheClassicCasesExactly) {
    const std::vector<std::string> args = {"a\\\\b", "a\"b", "a\\\"b c", "dir\\",  "\\\\", "", "\"",
                                           "\" \"",  "a\tb", "\\\"\\",   "%PATH%", "^&|<>"};
    const Recording run = RunRecorded(ChildCommand("argv"), args);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, EncodedArgv(args));
}

// Seeded, so a failure names a vector that can be replayed.
TEST(CommandLine, RandomArgumentVectorsRoundTripThroughTheChild) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        const std::vector<std::string> args = RandomArguments(random);
        const Recording run = RunRecorded(ChildCommand("argv"), args);
        ASSERT_EQ(run.out, EncodedArgv(args))
            << "round " << round << ", sent " << Composed(args) << " " << run.launchFailure;
    }
}

// Ten thousand vectors through the system's own parser in one child: each
// line of the file is a composed tail, the child splits them all.
TEST(CommandLine, TenThousandRandomVectorsSurviveTheSystemParser) {
    std::mt19937 random(7);
    std::vector<std::vector<std::string>> vectors(10000);
    const std::string path = RunnerFolder() + "argv-batch.txt";
    {
        std::ofstream file(path, std::ios::binary);
        for (auto &args : vectors) {
            args = RandomArguments(random);
            file << Composed(args).substr(1) << "\n"; // the tail after "x"
        }
    }
    std::string expected;
    for (const auto &args : vectors)
        expected += EncodedArgv(args) + "\n";
    const Recording run = RunRecorded(ChildCommand("argv-batch"), {path});
    DeleteFileA(path.c_str());
    ASSERT_EQ(run.result, 1);
    ASSERT_EQ(run.out.size(), expected.size());
    EXPECT_TRUE(run.out == expected);
}

// In code page 932 the second byte of 表 (0x95 0x5C) is the backslash's byte;
// taken for one, it escapes the closing quote and joins two arguments.
TEST(CommandLine, DoubleByteCharactersAreQuotedWhole) {
    const char *argv[] = {"\x95\x5C", "next", "\x95\x5C\"", "\x95\x5C\\"};
    EXPECT_EQ(ComposeCommandLine("x", 4, argv, 932),
              "x \"\x95\x5C\" \"next\" \"\x95\x5C\\\"\" \"\x95\x5C\\\\\"");
    // Code page 1252 and UTF-8 have no such characters: there 0x5C is a backslash.
    EXPECT_EQ(ComposeCommandLine("x", 1, argv, 1252), "x \"\x95\\\\\"");
    EXPECT_EQ(ComposeCommandLine("x", 1, argv, CP_UTF8), "x \"\x95\\\\\"");
    // A lead byte with no second byte would take the closing quote along.
    const char *broken[] = {"a\x95", "b"};
    EXPECT_NE(ComposeLaunchCommand("x", 2, broken, 932).refusal, "");
    EXPECT_EQ(ComposeLaunchCommand("x", 2, broken, 1252).refusal, "");
}
