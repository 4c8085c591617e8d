// Runs started with DLLGLUE_HOST_THREAD: their callbacks come on the thread
// that started them, from its message dispatch, in turns that leave the
// window its input, paint and timer messages, with the text held for a host
// that takes nothing bounded; closes, stops, modal loops and the host
// thread's end inside and around those callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "brackwyn.hpp"
#include "engine/delivery/host_thread_delivery.h"
#include "test_support.h"

namespace {

// What one host-thread run's callbacks saw.
struct Seen {
    DWORD hostThread = GetCurrentThreadId();
    ConsoleRun *run = nullptr;
    std::string out;
    std::string err;
    // Compared as it comes, for runs too large to keep.
    const std::string *expectedOut = nullptr;
    size_t outBytes = 0;
    bool countOnly = false;
    bool outMatches = true;
    int exitCalls = 0;
    bool wrongThread = false;
    bool textAfterExit = false;
    bool nested = false;
    int depth = 0;
    // Called from the first chunk, once.
    void (*onFirst)(Seen &) = nullptr;
    bool firstDone = false;
    int closeResult = 1;
    int stopResult = -1;
    int chunksAfterClose = 0;
    bool closed = false;
};

void Enter(Seen &seen) {
    if (GetCurrentThreadId() != seen.hostThread)
        seen.wrongThread = true;
    if (seen.depth++ > 0)
        seen.nested = true;
}

void BRACKWYN_CALL OnOut(const char *text, size_t length, void *user) {
    Seen &seen = *static_cast<Seen *>(user);
    Enter(seen);
    if (seen.closed)
        ++seen.chunksAfterClose;
    if (seen.exitCalls > 0)
        seen.textAfterExit = true;
    if (seen.countOnly) {
        seen.outBytes += length;
    } else if (seen.expectedOut != nullptr) {
        if (seen.outBytes + length > seen.expectedOut->size() ||
            std::memcmp(seen.expectedOut->data() + seen.outBytes, text, length) != 0)
            seen.outMatches = false;
        seen.outBytes += length;
    } else {
        seen.out.append(text, length);
    }
    if (seen.onFirst != nullptr && !seen.firstDone) {
        seen.firstDone = true;
        seen.onFirst(seen);
    }
    --seen.depth;
}

void BRACKWYN_CALL OnErr(const char *text, size_t length, void *user) {
    Seen &seen = *static_cast<Seen *>(user);
    Enter(seen);
    if (seen.exitCalls > 0)
        seen.textAfterExit = true;
    seen.err.append(text, length);
    --seen.depth;
}

void BRACKWYN_CALL OnExit(int, void *user) {
    Seen &seen = *static_cast<Seen *>(user);
    Enter(seen);
    if (seen.closed)
        ++seen.chunksAfterClose;
    ++seen.exitCalls;
    --seen.depth;
}

ConsoleRun *StartOnThisThread(const std::string &modeAndWords, Seen &seen,
                              unsigned long maxPendingBytes = 0, unsigned flags = 0) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnOut;
    options.onError = OnErr;
    options.onExit = OnExit;
    options.user = &seen;
    options.flags = DLLGLUE_HOST_THREAD | flags;
    options.maxPendingBytes = maxPendingBytes;
    ConsoleRun *run = nullptr;
    EXPECT_EQ(dllglue_runstart(ChildCommand(modeAndWords).c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK)
        << dllglue_lasterror();
    seen.run = run;
    return run;
}

// Dispatches this thread's messages as a host's loop does until `done`
// holds or `timeoutMs` has passed; true when it held.
template <typename Done> bool PumpUntil(Done done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline)
            return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

constexpr size_t kMiB = 1024 * 1024;

} // namespace

// The three kinds on the starting thread, in order, all text before the
// completion; a wait on that thread delivers them with or without pumping.
TEST(HostThread, CallbacksComeOnTheStartingThreadInOrder) {
    Seen both, pumped;
    ConsoleRun *run = StartOnThisThread("both 300000 7", both);
    ConsoleRun *small = StartOnThisThread("text hello", pumped);
    ASSERT_NE(run, nullptr);
    ASSERT_NE(small, nullptr);
    // A wait on another thread returns once the completion has returned here.
    struct OtherWait {
        ConsoleRun *run;
        const Seen *seen;
        int exitCallsSeen = -1;
    } other{run, &both};
    HANDLE waiter = CreateThread(
        nullptr, 0,
        [](LPVOID argument) -> DWORD {
            auto &wait = *static_cast<OtherWait *>(argument);
            if (dllglue_runwait(wait.run, 60000, 0) == DLLGLUE_OK)
                wait.exitCallsSeen = wait.seen->exitCalls;
            return 0;
        },
        &other, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    // Nothing comes before the thread dispatches or waits.
    Sleep(200);
    EXPECT_EQ(both.out.size() + both.err.size(), 0u);
    EXPECT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    WaitForSingleObject(waiter, INFINITE);
    CloseHandle(waiter);
    EXPECT_EQ(other.exitCallsSeen, 1);
    EXPECT_EQ(dllglue_runwait(small, 60000, DLLGLUE_WAIT_PUMP), DLLGLUE_OK);
    for (const Seen *seen : {&both, &pumped}) {
        EXPECT_FALSE(seen->wrongThread);
        EXPECT_FALSE(seen->nested);
        EXPECT_FALSE(seen->textAfterExit);
        EXPECT_EQ(seen->exitCalls, 1);
    }
    EXPECT_TRUE(both.out == ExpectedStream(300000, 7)) << both.out.size();
    EXPECT_TRUE(both.err == ExpectedStream(300000, 8)) << both.err.size();
    EXPECT_EQ(pumped.out, "hello");
    // A prompt the child leaves unfinished comes while it waits.
    Seen prompt;
    ConsoleRun *prompting = StartOnThisThread("writes 3e20 p20000", prompt, 0, DLLGLUE_LINES);
    EXPECT_TRUE(PumpUntil([&] { return !prompt.out.empty(); }, 5000));
    EXPECT_EQ(prompt.out, "> ");
    EXPECT_EQ(dllglue_runclose(prompting), DLLGLUE_OK);
    EXPECT_EQ(prompt.exitCalls, 1);
    EXPECT_EQ(ResultOf(run).state, DLLGLUE_EXITED);
    dllglue_runclose(run);
    dllglue_runclose(small);
}

namespace {

std::atomic<int> g_ticks{0};
std::atomic<int> g_paints{0};

LRESULT CALLBACK CountTicksAndPaints(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        ++g_ticks;
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        ++g_paints;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

// A host that takes nothing for 3 s while the child writes 64 MiB: what the
// library holds stays bounded (the child waits in its write), then every
// byte arrives in order while the window's timer and paint still come.
TEST(HostThread, StalledHostHoldsBoundedTextAndWindowStaysServed) {
    const size_t size = 64 * kMiB;
    const std::string expected = ExpectedStream(size, 3);
    Seen seen;
    seen.expectedOut = &expected;
    const unsigned long long before = HostThreadDelivery::QueuedBytes();
    const size_t bound = 512 * 1024;
    ConsoleRun *run = StartOnThisThread("out 67108864 3", seen, bound);
    ASSERT_NE(run, nullptr);
    unsigned long long most = 0;
    for (int i = 0; i < 30; ++i) {
        Sleep(100);
        const unsigned long long queued = HostThreadDelivery::QueuedBytes() - before;
        most = queued > most ? queued : most;
    }
    // The one stream's bound: the reads stop there.
    EXPECT_LE(most, bound);
    EXPECT_GT(most, bound / 2);
    EXPECT_GT(most, 0u);
    EXPECT_LT(ResultOf(run).outputBytes, size / 4);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CountTicksAndPaints;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"bw-host-thread-paint";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 0, 0,
                                  64, 64, nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    SetTimer(window, 1, 16, nullptr);
    Sleep(50);
    g_ticks = 0;
    g_paints = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(PumpUntil([&] { return seen.exitCalls > 0; }, 120000));
    const ULONGLONG elapsed = GetTickCount64() - start;
    KillTimer(window, 1);
    DestroyWindow(window);
    EXPECT_EQ(seen.outBytes, size);
    EXPECT_TRUE(seen.outMatches);
    EXPECT_FALSE(seen.wrongThread);
    EXPECT_EQ(seen.err, "");
    // A 16 ms timer during the flood: at least a third of its ticks, and the
    // paints it asks for.
    EXPECT_GE(g_ticks.load() * 16 * 3, static_cast<int>(elapsed) - 100) << elapsed << " ms";
    EXPECT_GE(g_paints.load(), g_ticks.load() / 3);
    EXPECT_EQ(HostThreadDelivery::QueuedBytes(), before);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}

namespace {

DWORD g_closedPid = 0;

void CloseFromCallback(Seen &seen) {
    g_closedPid = ResultOf(seen.run).processId;
    seen.closeResult = dllglue_runclose(seen.run);
    seen.closed = true;
}

// A callback that another thread's close finds in progress.
HANDLE g_slowEntered = nullptr;
std::atomic<bool> g_slowReturned{false};

void SlowFromCallback(Seen &) {
    SetEvent(g_slowEntered);
    Sleep(300);
    g_slowReturned = true;
}

void StopFromCallback(Seen &seen) {
    seen.stopResult = dllglue_runstop(seen.run, 0);
    // A wait inside the run's own callback would wait for it.
    EXPECT_EQ(dllglue_runwait(seen.run, 0, 0), DLLGLUE_EBUSY);
}

} // namespace

// A close from the run's own callback returns at once and nothing more of
// that run comes; a stop from its own callback ends it with its completion.
TEST(HostThread, CloseAndStopFromOwnCallbacks) {
    Seen closing, stopping, elsewhere;
    closing.onFirst = CloseFromCallback;
    stopping.onFirst = StopFromCallback;
    elsewhere.onFirst = SlowFromCallback;
    elsewhere.countOnly = true;
    g_slowEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StartOnThisThread("flood-forever", closing);
    ConsoleRun *stopped = StartOnThisThread("flood-forever", stopping);
    ConsoleRun *closedElsewhere = StartOnThisThread("flood-forever", elsewhere);
    ASSERT_NE(stopped, nullptr);
    ASSERT_NE(closedElsewhere, nullptr);
    // Another thread closes the third run while its callback runs here: the
    // close returns only once that callback has returned.
    std::atomic<bool> elsewhereDone{false};
    bool returnedFirst = false;
    int elsewhereResult = -1;
    std::thread closer([&] {
        WaitForSingleObject(g_slowEntered, 30000);
        elsewhereResult = dllglue_runclose(closedElsewhere);
        returnedFirst = g_slowReturned.load();
        elsewhereDone = true;
    });
    EXPECT_TRUE(PumpUntil(
        [&] { return stopping.exitCalls > 0 && closing.closed && elsewhereDone.load(); }, 30000));
    closer.join();
    CloseHandle(g_slowEntered);
    const size_t elsewhereBytes = elsewhere.outBytes;
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(elsewhereResult, DLLGLUE_OK);
    EXPECT_TRUE(returnedFirst);
    EXPECT_EQ(elsewhere.outBytes, elsewhereBytes);
    EXPECT_EQ(elsewhere.exitCalls, 0);
    EXPECT_EQ(closing.closeResult, DLLGLUE_OK);
    EXPECT_EQ(closing.chunksAfterClose, 0);
    EXPECT_EQ(closing.exitCalls, 0);
    EXPECT_FALSE(ProcessAlive(g_closedPid));
    EXPECT_EQ(stopping.stopResult, 1);
    EXPECT_EQ(stopping.exitCalls, 1);
    EXPECT_EQ(dllglue_runwait(stopped, 10000, 0), DLLGLUE_OK);
    EXPECT_EQ(ResultOf(stopped).state, DLLGLUE_ABORTED);
    EXPECT_FALSE(closing.nested || stopping.nested || stopping.textAfterExit);
    EXPECT_EQ(dllglue_runclose(stopped), DLLGLUE_OK);
}

namespace {

Seen *g_other = nullptr;
size_t g_otherBytesAtOpen = 0;
size_t g_otherBytesAtClose = 0;
bool g_boxClosedByTimer = false;

BOOL CALLBACK CloseMessageBox(HWND window, LPARAM) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (std::wcscmp(name, L"#32770") == 0) {
        g_otherBytesAtClose = g_other->outBytes;
        g_boxClosedByTimer = true;
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

void CALLBACK OnBoxTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    EnumThreadWindows(GetCurrentThreadId(), CloseMessageBox, 0);
}

void ShowBox(Seen &) {
    g_otherBytesAtOpen = g_other->outBytes;
    SetTimer(nullptr, 0, 1500, OnBoxTimer);
    MessageBoxW(nullptr, L"modal", L"bw-host-thread", MB_OK);
}

} // namespace

// A callback that shows a MessageBox: the box's own loop keeps delivering
// the other run, and the run in the callback gets nothing nested.
TEST(HostThread, ModalBoxInCallbackLetsOtherRunsDeliver) {
    Seen modal, other;
    g_other = &other;
    other.countOnly = true;
    modal.onFirst = ShowBox;
    ConsoleRun *flood = StartOnThisThread("flood-forever", other);
    ASSERT_NE(flood, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return other.outBytes > 0; }, 30000));
    ConsoleRun *boxed = StartOnThisThread("textlines 3", modal);
    ASSERT_NE(boxed, nullptr);
    EXPECT_TRUE(PumpUntil([&] { return modal.exitCalls > 0; }, 30000));
    EXPECT_TRUE(g_boxClosedByTimer);
    EXPECT_GT(g_otherBytesAtClose, g_otherBytesAtOpen)
        << g_otherBytesAtOpen << " then " << g_otherBytesAtClose << ", in all " << other.outBytes;
    EXPECT_EQ(modal.out, "line 1\nline 2\nline 3\n");
    EXPECT_FALSE(modal.nested || other.nested || modal.wrongThread || other.wrongThread);
    // Closed on the host thread outside its callbacks: its completion comes
    // before the close returns.
    EXPECT_EQ(dllglue_runclose(flood), DLLGLUE_OK);
    EXPECT_EQ(other.exitCalls, 1);
    EXPECT_EQ(dllglue_runclose(boxed), DLLGLUE_OK);
}

namespace {

struct EndingHost {
    Seen flood;
    Seen sleeper;
    ConsoleRun *runs[2] = {nullptr, nullptr};
    DWORD pids[2] = {0, 0};
};

DWORD WINAPI StartRunsAndEnd(LPVOID argument) {
    auto &host = *static_cast<EndingHost *>(argument);
    host.flood.hostThread = host.sleeper.hostThread = GetCurrentThreadId();
    host.runs[0] = StartOnThisThread("flood-forever", host.flood);
    host.runs[1] = StartOnThisThread("print-sleep 60000", host.sleeper);
    for (int i = 0; i < 2; ++i)
        host.pids[i] = host.runs[i] != nullptr ? ResultOf(host.runs[i]).processId : 0;
    PumpUntil([&] { return host.flood.outBytes > 0 && !host.sleeper.out.empty(); }, 30000);
    return 0;
}

// A thread's first window and first run make Wine open what it keeps for
// the process (registry keys, its queue's objects): once, before counting.
DWORD WINAPI WarmUp(LPVOID) {
    Seen seen;
    ConsoleRun *run = StartOnThisThread("text warm", seen);
    PumpUntil([&] { return seen.exitCalls > 0; }, 30000);
    dllglue_runclose(run);
    return 0;
}

} // namespace

// The host thread ends while two runs deliver to it: both are aborted and
// deliver nothing more, waits from another thread return, nothing stays.
TEST(HostThread, HostThreadEndingAbortsItsRuns) {
    EndingHost host;
    host.flood.countOnly = true;
    HANDLE warmUp = CreateThread(nullptr, 0, WarmUp, nullptr, 0, nullptr);
    ASSERT_NE(warmUp, nullptr);
    WaitForSingleObject(warmUp, INFINITE);
    CloseHandle(warmUp);
    // This thread's own message queue, which Wine makes at its first wait
    // for messages, is a handle too.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, 0);
    const auto handlesBefore = OpenHandleTypes();
    HANDLE thread = CreateThread(nullptr, 0, StartRunsAndEnd, &host, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    const size_t floodBytes = host.flood.outBytes;
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(host.runs[i], nullptr);
        EXPECT_EQ(dllglue_runwait(host.runs[i], 10000, 0), DLLGLUE_OK) << i;
        EXPECT_EQ(ResultOf(host.runs[i]).state, DLLGLUE_ABORTED) << i;
        EXPECT_EQ(dllglue_runclose(host.runs[i]), DLLGLUE_OK);
        EXPECT_FALSE(ProcessAlive(host.pids[i])) << i;
    }

    EXPECT_GT(floodBytes, 0u);
    EXPECT_EQ(host.flood.outBytes, floodBytes);
    EXPECT_EQ(host.flood.exitCalls + host.sleeper.exitCalls, 0);
    EXPECT_EQ(host.sleeper.out, "started\n");
    EXPECT_EQ(HandleGrowth(handlesBefore, OpenHandleTypes()), "");
}

// 32 runs deliver to one thread at once: each gets its own bytes, whole and
// in order, on that thread.
TEST(HostThread, ThirtyTwoRunsToOneThread) {
    constexpr int kRuns = 32;
    std::vector<std::string> expected;
    std::vector<std::unique_ptr<Seen>> seen;
    std::vector<ConsoleRun *> runs;
    expected.reserve(kRuns); // each run points at its own
    for (int i = 0; i < kRuns; ++i) {
        expected.push_back(ExpectedStream(200000, static_cast<unsigned>(i)));
        seen.push_back(std::make_unique<Seen>());
        seen.back()->expectedOut = &expected.back();
    }
    for (int i = 0; i < kRuns; ++i)
        runs.push_back(StartOnThisThread("out 200000 " + std::to_string(i), *seen[i]));
    auto allDone = [&] {
        for (const auto &one : seen) {
            if (one->exitCalls == 0)
                return false;
        }
        return true;
    };
    EXPECT_TRUE(PumpUntil(allDone, 120000));
    for (int i = 0; i < kRuns; ++i) {
        EXPECT_EQ(seen[i]->outBytes, 200000u) << i;
        EXPECT_TRUE(seen[i]->outMatches) << i;
        EXPECT_FALSE(seen[i]->wrongThread || seen[i]->nested || seen[i]->textAfterExit) << i;
        EXPECT_EQ(dllglue_runclose(runs[i]), DLLGLUE_OK);
    }
}

// A brackwyn::Run destroyed from its own callable on the host thread: the
// callable finishes, nothing more comes, the program is ended.
TEST(HostThread, CppRunDestroyedFromItsOwnCallable) {
    std::optional<brackwyn::Run> run;
    int chunks = 0;
    int exits = 0;
    bool wrongThread = false;
    const DWORD self = GetCurrentThreadId();
    std::string kept;
    run.emplace(ChildCommand("flood-forever"),
                brackwyn::Options()
                    .onHostThread()
                    .maxPending(64 * 1024)
                    .onOutput([&](std::string_view text) {
                        wrongThread |= GetCurrentThreadId() != self;
                        ++chunks;
                        run.reset();
                        kept.assign(text); // the chunk is still valid here
                    })
                    .onExit([&](bool) { ++exits; }));
    const DWORD pid = run->processId();
    EXPECT_TRUE(PumpUntil([&] { return chunks > 0; }, 30000));
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(chunks, 1);
    EXPECT_EQ(exits, 0);
    EXPECT_FALSE(wrongThread);
    EXPECT_FALSE(kept.empty());
    EXPECT_FALSE(run.has_value());
    EXPECT_FALSE(ProcessAlive(pid));
}
