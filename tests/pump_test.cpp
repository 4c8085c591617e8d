// The blocking run keeps the host's thread alive: its window messages are
// dispatched, messages sent from the callbacks arrive, a second run is
// refused, a quit request survives, and the wait costs no processor time.
#include <gtest/gtest.h>

#include <atomic>

#include "test_support.h"

namespace {

constexpr UINT_PTR kTimer = 1;
constexpr UINT kChunkMessage = WM_APP + 1;

std::atomic<int> g_nestedResult{-1};
std::atomic<int> g_chunksHandled{0};
std::atomic<bool> g_cursorWasBusy{false};
std::atomic<int> g_timerTicks{0};

LRESULT NestedRunOnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        KillTimer(window, kTimer);
        g_nestedResult = dllglue_main(ChildCommand("text nested").c_str(), 0, nullptr, nullptr);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT QuitOnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        KillTimer(window, kTimer);
        PostQuitMessage(42);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CountChunks(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kChunkMessage) {
        ++g_chunksHandled;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The host sets its own cursor on every tick; by the next tick the run must
// have put the busy cursor back.
LRESULT FightOverTheCursor(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        if (++g_timerTicks > 1 && GetCursor() == LoadCursorA(nullptr, MAKEINTRESOURCEA(32650)))
            g_cursorWasBusy = true;
        SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32512))); // IDC_ARROW
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND g_chunkWindow = nullptr;

void BRACKWYN_CALL SendChunkToWindow(const char *, size_t, void *) {
    // Blocks this reader until the UI thread has handled it.
    SendMessageA(g_chunkWindow, kChunkMessage, 0, 0);
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME &time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

} // namespace

TEST(Pump, SecondRunFromAHandlerIsRefusedAndTheFirstGoesOn) {
    TestWindow window(NestedRunOnTimer);
    SetTimer(window.Get(), kTimer, 100, nullptr);
    const Recording run = RunRecorded(ChildCommand("print-sleep 600"));
    EXPECT_EQ(g_nestedResult.load(), 0);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, "started\ndone\n");
    EXPECT_EQ(run.exitCalls, 1);
}

TEST(Pump, QuitRequestedDuringARunReachesTheHostsLoop) {
    TestWindow window(QuitOnTimer);
    SetTimer(window.Get(), kTimer, 100, nullptr);
    const Recording run = RunRecorded(ChildCommand("sleep 400"));
    EXPECT_EQ(run.result, 1);
    MSG message{};
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 42u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// A callback that sends to a window of the thread inside dllglue_main would
// hang for ever if the run only waited; the run must deliver it.
TEST(Pump, MessagesSentFromCallbacksAreHandledDuringTheRun) {
    TestWindow window(CountChunks);
    g_chunkWindow = window.Get();
    g_chunksHandled = 0;
    RegisterRecordingCallbacks();
    dllglue_setconsoleout(SendChunkToWindow);
    dllglue_setconsoleerr(SendChunkToWindow);
    const int result = dllglue_main(ChildCommand("textlines 20").c_str(), 0, nullptr, nullptr);
    RegisterRecordingCallbacks();
    EXPECT_EQ(result, 1);
    EXPECT_GE(g_chunksHandled.load(), 1);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, window.Get(), kChunkMessage, kChunkMessage, PM_NOREMOVE));
}

TEST(Pump, BusyCursorIsShownAgainWhateverTheHostSets) {
    TestWindow window(FightOverTheCursor);
    SetTimer(window.Get(), kTimer, 50, nullptr);
    const HCURSOR hostCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32515)); // IDC_CROSS
    SetCursor(hostCursor);
    const Recording run = RunRecorded(ChildCommand("sleep 500"));
    KillTimer(window.Get(), kTimer);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(GetCursor(), hostCursor) << "the host's cursor was not given back";
    EXPECT_GE(g_timerTicks.load(), 2);
    EXPECT_TRUE(g_cursorWasBusy.load());
}

// The run sleeps in the system between messages. A polling loop would burn
// about as much processor time as the child sleeps; allow a tenth of it.
TEST(Pump, WaitingForASleepingChildCostsAlmostNoProcessorTime) {
    const double before = ProcessCpuMs();
    const Recording run = RunRecorded(ChildCommand("sleep 2000"));
    const double used = ProcessCpuMs() - before;
    EXPECT_EQ(run.result, 1);
    EXPECT_LT(used, 200.0) << "host used " << used << " ms of processor time";
}
