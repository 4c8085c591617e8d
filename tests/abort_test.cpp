// Stopping a run: from a window handler on the thread inside dllglue_main,
// from another thread, from a callback, and with descendants that hold the
// output pipe. The run must end promptly with result 0 and one completion.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "test_support.h"

namespace {

constexpr UINT_PTR kAbortTimer = 7;

std::atomic<ULONGLONG> g_abortCalledAt{0};
std::atomic<int> g_abortResult{-1};
std::atomic<int> g_secondAbortResult{-1};
std::atomic<bool> g_abortTwice{false};

LRESULT AbortOnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kAbortTimer) {
        KillTimer(window, kAbortTimer);
        g_abortCalledAt = GetTickCount64();
        g_abortResult = dllglue_abort();
        if (g_abortTwice)
            g_secondAbortResult = dllglue_abort();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct AbortedRun {
    Recording run;
    // From the abort call to dllglue_main returning.
    ULONGLONG stopMs = 0;
};

AbortedRun RunAndAbortFromTimer(const std::string &command, UINT afterMs) {
    g_abortCalledAt = 0;
    g_abortResult = -1;
    TestWindow window(AbortOnTimer);
    SetTimer(window.Get(), kAbortTimer, afterMs, nullptr);
    AbortedRun aborted;
    aborted.run = RunRecorded(command);
    aborted.stopMs = GetTickCount64() - g_abortCalledAt.load();
    return aborted;
}

// "parent-exit pid=<n>" from the child's grandchild modes.
DWORD GrandchildPid(const std::string &out) {
    const size_t at = out.find("pid=");
    return at == std::string::npos ? 0 : std::strtoul(out.c_str() + at + 4, nullptr, 10);
}

bool GoneWithin(DWORD pid, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (ProcessAlive(pid)) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(20);
    }
    return true;
}

// The result stays the child's own: one that ended with 0 before the abort
// (as the parent of a grandchild does) still reports success.
void ExpectCleanAbort(const AbortedRun &aborted, int result = 0) {
    EXPECT_EQ(g_abortResult.load(), 1);
    EXPECT_EQ(aborted.run.result, result);
    EXPECT_EQ(aborted.run.exitCalls, 1);
    EXPECT_FALSE(aborted.run.textAfterExit);
    // An abort that waited for the child before ending it would take a
    // second or more; the host's window must not freeze that long.
    EXPECT_LT(aborted.stopMs, 500u);
}

} // namespace

TEST(Abort, LongSleeperStopsPromptlyFromAWindowHandler) {
    ExpectCleanAbort(RunAndAbortFromTimer(ChildCommand("sleep 60000"), 300));
}

TEST(Abort, ChildBlockedOnItsInputStops) {
    ExpectCleanAbort(RunAndAbortFromTimer(ChildCommand("stdin"), 300));
}

// The abort comes late enough for a child started on a busy machine to be
// flooding by then.
TEST(Abort, ChildFloodingBothStreamsStops) {
    const AbortedRun aborted = RunAndAbortFromTimer(ChildCommand("flood-forever"), 1000);
    ExpectCleanAbort(aborted);
    EXPECT_FALSE(aborted.run.out.empty());
    EXPECT_EQ(aborted.run.stderrSeen, 1);
}

// The child has ended already; its grandchild holds the output pipe for ever.
// Only stopping the whole tree can end such a run.
TEST(Abort, GrandchildHoldingTheOutputIsStoppedToo) {
    const AbortedRun aborted = RunAndAbortFromTimer(ChildCommand("grandchild-forever"), 600);
    ExpectCleanAbort(aborted, 1);
    const DWORD pid = GrandchildPid(aborted.run.out);
    ASSERT_NE(pid, 0u) << aborted.run.out;
    EXPECT_TRUE(GoneWithin(pid, 2000));
}

TEST(Abort, FromAnotherThread) {
    std::atomic<ULONGLONG> calledAt{0};
    std::thread stopper([&calledAt] {
        Sleep(300);
        calledAt = GetTickCount64();
        EXPECT_EQ(dllglue_abort(), 1);
    });
    const Recording run = RunRecorded(ChildCommand("sleep 60000"));
    const ULONGLONG returnedAt = GetTickCount64();
    stopper.join();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.exitCalls, 1);
    EXPECT_LT(returnedAt - calledAt.load(), 500u);
}

namespace {
void BRACKWYN_CALL AbortOnFirstChunk(const char *, size_t, void *) {
    dllglue_abort();
}
} // namespace

// A worker thread that aborts must not wait for the watcher, which waits for
// that very worker.
TEST(Abort, FromAnOutputCallback) {
    RegisterRecordingCallbacks();
    dllglue_setconsoleout(AbortOnFirstChunk);
    const ULONGLONG start = GetTickCount64();
    const int result = dllglue_main(ChildCommand("print-sleep 60000").c_str(), 0, nullptr, nullptr);
    const ULONGLONG elapsed = GetTickCount64() - start;
    RegisterRecordingCallbacks();
    EXPECT_EQ(result, 0);
    EXPECT_LT(elapsed, 5000u);
}

namespace {
constexpr UINT kFinishedMessage = WM_APP + 9;
HWND g_finishWindow = nullptr;
std::atomic<bool> g_finishHandled{false};

void BRACKWYN_CALL SendFinishToWindow(int, void *) {
    SendMessageA(g_finishWindow, kFinishedMessage, 0, 0);
}

LRESULT AbortOrNoteFinish(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kFinishedMessage) {
        g_finishHandled = true;
        return 0;
    }
    return AbortOnTimer(window, message, wParam, lParam);
}
} // namespace

// The completion callback sends to a window of the thread that is aborting:
// the abort's wait must deliver that message or both threads would hang.
TEST(Abort, CompletionThatSendsToTheAbortingThreadDoesNotDeadlock) {
    TestWindow window(AbortOrNoteFinish);
    g_finishWindow = window.Get();
    g_finishHandled = false;
    RegisterRecordingCallbacks();
    dllglue_setconsoleexit(SendFinishToWindow);
    SetTimer(window.Get(), kAbortTimer, 300, nullptr);
    const int result = dllglue_main(ChildCommand("sleep 60000").c_str(), 0, nullptr, nullptr);
    const ULONGLONG stopMs = GetTickCount64() - g_abortCalledAt.load();
    RegisterRecordingCallbacks();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(g_finishHandled.load());
    EXPECT_LT(stopMs, 500u);
}

TEST(Abort, SecondAbortInARowChangesNothing) {
    g_abortTwice = true;
    const AbortedRun aborted = RunAndAbortFromTimer(ChildCommand("sleep 60000"), 300);
    g_abortTwice = false;
    ExpectCleanAbort(aborted);
    EXPECT_EQ(g_secondAbortResult.load(), 0);
}

TEST(Abort, WithoutARunThereIsNothingToStop) {
    EXPECT_EQ(dllglue_abort(), 0);
    RunRecorded("no-such-program-here");
    EXPECT_EQ(dllglue_abort(), 0);
    EXPECT_EQ(RunRecorded(ChildCommand("exit 0")).result, 1);
    EXPECT_EQ(dllglue_abort(), 0);
}
