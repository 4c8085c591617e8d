// What reaches the host's callbacks: every byte of both streams, in order,
// in chunks of at most 1024 bytes, all of it before the completion callback.
#include <gtest/gtest.h>

#include <string>

#include "engine/redirect.h"
#include "test_support.h"

namespace {

size_t Largest(const std::vector<size_t> &sizes) {
    size_t largest = 0;
    for (size_t size : sizes)
        largest = size > largest ? size : largest;
    return largest;
}

// Compares without printing megabytes on failure.
void ExpectSameBytes(const std::string &expected, const std::string &actual) {
    ASSERT_EQ(expected.size(), actual.size());
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), actual.begin());
    EXPECT_TRUE(mismatch.first == expected.end())
        << "first difference at byte " << (mismatch.first - expected.begin());
}

} // namespace

TEST(Relay, LargeOutputArrivesWholeInOrderInBoundedChunks) {
    const Recording run = RunRecorded(ChildCommand("out 3000000 7"));
    EXPECT_EQ(run.result, 1);
    ExpectSameBytes(ExpectedStream(3000000, 7), run.out);
    EXPECT_GT(run.outChunkSizes.size(), 3000000u / kChunkSize - 1);
    EXPECT_LE(Largest(run.outChunkSizes), kChunkSize);
    EXPECT_FALSE(run.badTerminator);
    EXPECT_FALSE(run.textAfterExit);
    EXPECT_EQ(run.exitCalls, 1);
    EXPECT_EQ(run.stderrSeen, 0);
    EXPECT_TRUE(run.err.empty());
}

// Both pipes fill up while the child writes to them from two threads; a
// library that drained one stream at a time would deadlock here.
TEST(Relay, BothStreamsFloodedAtOnceLoseNothing) {
    const Recording run = RunRecorded(ChildCommand("both 2000000 11"));
    EXPECT_EQ(run.result, 1);
    ExpectSameBytes(ExpectedStream(2000000, 11), run.out);
    ExpectSameBytes(ExpectedStream(2000000, 12), run.err);
    EXPECT_LE(Largest(run.errChunkSizes), kChunkSize);
    EXPECT_FALSE(run.textAfterExit);
    EXPECT_EQ(run.stderrSeen, 1);
}

// A child that writes its error text and ends at once is the common case of
// a tool failing; its message must never be dropped, and the flag must say
// that there was one, before the completion callback.
TEST(Relay, ErrorTextOfAChildThatEndsAtOnceIsNeverLost) {
    for (int attempt = 0; attempt < 30; ++attempt) {
        const Recording run = RunRecorded(ChildCommand("errtext boom"));
        ASSERT_EQ(run.err, "boom") << "attempt " << attempt;
        ASSERT_EQ(run.stderrSeen, 1) << "attempt " << attempt;
        ASSERT_FALSE(run.textAfterExit) << "attempt " << attempt;
        ASSERT_EQ(run.exitCalls, 1) << "attempt " << attempt;
    }
}

TEST(Relay, NulBytesAreCountedAndDelivered) {
    const Recording run = RunRecorded(ChildCommand("nul"));
    EXPECT_EQ(run.out, std::string("ab\0cd\0\0ef", 9));
    EXPECT_EQ(run.err, std::string("x\0y", 3));
    EXPECT_FALSE(run.badTerminator);
    EXPECT_EQ(run.stderrSeen, 1);
}

TEST(Relay, SilentChildGetsOneCompletionAndNoText) {
    const Recording run = RunRecorded(ChildCommand("exit 0"));
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.outChunkSizes.empty());
    EXPECT_TRUE(run.errChunkSizes.empty());
    EXPECT_EQ(run.exitCalls, 1);
    EXPECT_EQ(run.stderrSeen, 0);
}

TEST(Relay, ResultIsOneForExitCodeZeroOnly) {
    EXPECT_EQ(RunRecorded(ChildCommand("exit 0")).result, 1);
    EXPECT_EQ(RunRecorded(ChildCommand("exit 3")).result, 0);
    EXPECT_EQ(RunRecorded(ChildCommand("exit 259")).result, 0); // STILL_ACTIVE's value
}

// A grandchild that inherited the output keeps the pipe open after the child
// has ended; what it writes still belongs to the run.
TEST(Relay, RunLastsUntilAGrandchildReleasesTheOutput) {
    const Recording run = RunRecorded(ChildCommand("grandchild 500"));
    EXPECT_NE(run.out.find("parent-exit"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("grandchild done"), std::string::npos) << run.out;
    EXPECT_FALSE(run.textAfterExit);
    EXPECT_EQ(run.exitCalls, 1);
}

// The end of the output is not the end of the child.
TEST(Relay, ChildThatClosesItsOutputStillEndsTheRunByExiting) {
    const Recording run = RunRecorded(ChildCommand("close-stdout 600"));
    EXPECT_EQ(run.out, "closing\n");
    EXPECT_GE(run.elapsedMs, 500u);
    EXPECT_EQ(run.result, 0); // it exits with 7
    EXPECT_EQ(run.exitCalls, 1);
}

TEST(StartFailure, ReportsTheWholeCommandLineAndNoCompletion) {
    const Recording run = RunRecorded("no-such-program-here", {"a b", ""});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "Unable to start no-such-program-here \"a b\" \"\"\n");
    EXPECT_EQ(run.outChunkSizes.size(), 1u);
    EXPECT_EQ(run.exitCalls, 0);
}

// Far past any fixed message buffer: the message is not cut, and it comes
// in chunks no larger than any other.
TEST(StartFailure, VeryLongCommandLineIsReportedWhole) {
    const std::string command = "no-such-program " + std::string(40000, 'x');
    const Recording run = RunRecorded(command);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "Unable to start " + command + "\n");
    EXPECT_LE(Largest(run.outChunkSizes), kChunkSize);
    // Windows starts a line of 32766 characters and refuses one more; Wine
    // would start that one cut short.
    const std::string child = ChildCommand("argv");
    const std::string fits(32766 - child.size() - 3, 'y'); // ` "..."`
    EXPECT_EQ(RunRecorded(child, {fits}).out, EncodedArgv({fits}));
    const Recording over = RunRecorded(child, {fits + "y"});
    EXPECT_EQ(over.out, "Unable to start " + child + " \"" + fits + "y\"\n");
}

TEST(StartFailure, NullCommandIsAStartFailure) {
    // No program: the arguments must not be taken for one.
    const char *argv[] = {"cmd"};
    const Recording run = RunRecordedRaw(nullptr, 1, argv);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "Unable to start \n");
    EXPECT_EQ(run.exitCalls, 0);
}

// A null argv is no arguments and a null entry an empty one: the child still
// starts and sees exactly that.
TEST(StartFailure, NullArgumentsAreToleratedNotFatal) {
    const std::string command = ChildCommand("argv");
    EXPECT_EQ(RunRecordedRaw(command.c_str(), 3, nullptr).out, "");
    const char *argv[] = {"x", nullptr, "y"};
    const Recording run = RunRecordedRaw(command.c_str(), 3, argv);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, "1:x\n0:\n1:y\n");
}

// A host may listen to one stream only; it must not have to set all three.
TEST(Callbacks, NullCallbacksAreSkipped) {
    dllglue_setconsoleout(nullptr);
    dllglue_setconsoleerr(nullptr);
    dllglue_setconsoleexit(nullptr);
    EXPECT_EQ(dllglue_main(ChildCommand("both 100000 1").c_str(), 0, nullptr, nullptr), 1);
    EXPECT_EQ(dllglue_main("no-such-program-here", 0, nullptr, nullptr), 0);
    RegisterRecordingCallbacks();
}

namespace {
int g_startCalls = 0;
void BRACKWYN_CALL CountStart(const char *, void *) {
    ++g_startCalls;
}
} // namespace

TEST(Callbacks, StartCallbackIsStoredButNeverCalled) {
    dllglue_setconsolestart(CountStart);
    const Recording run = RunRecorded(ChildCommand("exit 0"));
    dllglue_setconsolestart(nullptr);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(g_startCalls, 0);
}
