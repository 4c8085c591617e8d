// How a run ends when the host gets in the way: a pump that throws, an abort
// after the child has ended by itself, a close while a wait still uses the
// run, and a start that runs out of memory half-way.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "brackwyn.hpp"
#include "engine/os/syscalls.h"
#include "engine/redirect.h"
#include "test_support.h"

// ------------------------------------------------------------------------
// The allocator of this test program, with two switches the tests below
// turn on for one call: fail the n-th allocation from now, and remember the
// blocks as large as a run so that a leaked run can be counted and a freed
// one overwritten with zeros (as a reused block would be).
namespace {

std::atomic<int> g_failCountdown{0};
std::atomic<bool> g_trackRuns{false};
std::atomic<bool> g_poisonFreedRuns{false};
constexpr size_t kRunSize = sizeof(CRedirect);
constexpr int kSlots = 64;
std::atomic<void *> g_runBlocks[kSlots];
std::atomic<size_t> g_runSizes[kSlots];
std::atomic<int> g_runBlocksTracked{0};

void *Allocate(size_t size) {
    if (g_failCountdown.load() > 0 && g_failCountdown.fetch_sub(1) == 1)
        return nullptr;
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr && size >= kRunSize && g_trackRuns.load()) {
        for (int i = 0; i < kSlots; ++i) {
            void *empty = nullptr;
            if (g_runBlocks[i].compare_exchange_strong(empty, block)) {
                g_runSizes[i] = size;
                ++g_runBlocksTracked;
                break;
            }
        }
    }
    return block;
}

void Release(void *block) {
    if (block == nullptr)
        return;
    for (int i = 0; g_runBlocksTracked.load() > 0 && i < kSlots; ++i) {
        void *expected = block;
        if (g_runBlocks[i].compare_exchange_strong(expected, nullptr)) {
            --g_runBlocksTracked;
            if (g_poisonFreedRuns.load())
                std::memset(block, 0, g_runSizes[i].load());
            break;
        }
    }
    std::free(block);
}

} // namespace

void *operator new(size_t size) {
    if (void *block = Allocate(size))
        return block;
    throw std::bad_alloc();
}
void *operator new[](size_t size) {
    return operator new(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return Allocate(size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return Allocate(size);
}
void operator delete(void *block) noexcept {
    Release(block);
}
void operator delete[](void *block) noexcept {
    Release(block);
}
void operator delete(void *block, size_t) noexcept {
    Release(block);
}
void operator delete[](void *block, size_t) noexcept {
    Release(block);
}
void operator delete(void *block, const std::nothrow_t &) noexcept {
    Release(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
    Release(block);
}

namespace {

// One run's callbacks; the first output chunk may be held until released.
struct Seen {
    std::mutex lock;
    std::string out;
    std::atomic<int> exitCalls{0};
    HANDLE firstChunk = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ~Seen() {
        CloseHandle(firstChunk);
        CloseHandle(release);
    }
    std::string Out() {
        std::lock_guard<std::mutex> guard(lock);
        return out;
    }
};

void BRACKWYN_CALL SeeOutput(const char *text, size_t length, void *user) {
    auto *seen = static_cast<Seen *>(user);
    {
        std::lock_guard<std::mutex> guard(seen->lock);
        seen->out.append(text, length);
    }
    SetEvent(seen->firstChunk);
    WaitForSingleObject(seen->release, 20000);
}

void BRACKWYN_CALL SeeExit(int, void *user) {
    ++static_cast<Seen *>(user)->exitCalls;
}

int BRACKWYN_CALL ThrowingFilter(MSG *, void *) {
    throw std::runtime_error("the host's filter failed");
}

ConsoleRunOptions OptionsFor(Seen &seen) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = SeeOutput;
    options.onExit = SeeExit;
    options.user = &seen;
    return options;
}

// The number after `key` in `text`, 0 when there is none.
DWORD NumberAfter(const std::string &text, const char *key) {
    const size_t at = text.find(key);
    return at == std::string::npos
               ? 0
               : std::strtoul(text.c_str() + at + std::strlen(key), nullptr, 10);
}

bool EndedWithin(DWORD pid, DWORD ms) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return true; // gone already
    const bool ended = WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool UntilSeen(Seen &seen, const char *text) {
    for (int i = 0; i < 1000 && seen.Out().find(text) == std::string::npos; ++i)
        Sleep(10);
    return seen.Out().find(text) != std::string::npos;
}

LRESULT IgnoreAll(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

std::atomic<ConsoleRun *> g_closeFromHandler{nullptr};

LRESULT CloseRunOnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        KillTimer(window, 1);
        if (ConsoleRun *run = g_closeFromHandler.exchange(nullptr))
            dllglue_runclose(run);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

brackwyn::Run *g_destroyFromHandler = nullptr;

LRESULT DestroyRunOnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        KillTimer(window, 1);
        delete std::exchange(g_destroyFromHandler, nullptr);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

std::atomic<int> g_resumes{0};
DWORD WINAPI CountingResume(HANDLE thread) {
    const DWORD previous = ResumeThread(thread);
    if (previous != static_cast<DWORD>(-1))
        ++g_resumes;
    return previous;
}

} // namespace

// Whatever the host's filter throws, dllglue_main ends its run (completion
// delivered, child stopped) before it returns; a pumping dllglue_runwait lets
// the exception out and leaves the run going and closable.
TEST(Lifecycle, ThrowingPumpNeverLeavesARunBehind) {
    TestWindow window(IgnoreAll);
    SetTimer(window.Get(), 1, 100, nullptr);
    dllglue_setmessagefilter(ThrowingFilter);
    const Recording run = RunRecorded(ChildCommand("print-sleep 60000"));
    dllglue_setmessagefilter(nullptr);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.exitCalls, 1) << "the completion must come before dllglue_main returns";
    EXPECT_EQ(run.out.find("done"), std::string::npos) << "the child was not stopped";
    EXPECT_LT(run.elapsedMs, 30000u);

    Seen seen;
    ConsoleRunOptions options = OptionsFor(seen);
    options.onOutput = nullptr;
    options.messageFilter = ThrowingFilter;
    ConsoleRun *handle = nullptr;
    ASSERT_EQ(dllglue_runstart(ChildCommand("sleep 60000").c_str(), 0, nullptr, &options, &handle),
              DLLGLUE_OK);
    EXPECT_THROW(dllglue_runwait(handle, INFINITE, DLLGLUE_WAIT_PUMP), std::runtime_error);
    KillTimer(window.Get(), 1);
    EXPECT_EQ(ResultOf(handle).state, DLLGLUE_RUNNING);
    EXPECT_EQ(dllglue_runclose(handle), DLLGLUE_OK);
    EXPECT_EQ(seen.exitCalls.load(), 1);
}

// An abort that finds the child ended by itself leaves the state and exit
// code the child's own: it returns 0 when nothing was left, and 1 when it
// ended a process the child had left running.
TEST(Lifecycle, AbortAfterTheChildEndedKeepsItsOwnEnd) {
    Seen held;
    ResetEvent(held.release);
    ConsoleRunOptions options = OptionsFor(held);
    ConsoleRun *run = nullptr;
    ASSERT_EQ(dllglue_runstart(ChildCommand("self-exit 3").c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK);
    ASSERT_EQ(WaitForSingleObject(held.firstChunk, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(EndedWithin(NumberAfter(held.Out(), "self="), 10000));
    EXPECT_EQ(dllglue_runabort(run), 0) << "nothing was left to stop";
    SetEvent(held.release);
    EXPECT_EQ(dllglue_runwait(run, INFINITE, 0), DLLGLUE_OK);
    ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(result.outputBytes, held.Out().size());
    dllglue_runclose(run);

    Seen parent;
    options = OptionsFor(parent);
    ASSERT_EQ(
        dllglue_runstart(ChildCommand("self-exit 3 forever").c_str(), 0, nullptr, &options, &run),
        DLLGLUE_OK);
    ASSERT_TRUE(UntilSeen(parent, "parent-exit")) << parent.Out();
    ASSERT_TRUE(EndedWithin(NumberAfter(parent.Out(), "self="), 10000));
    EXPECT_EQ(dllglue_runabort(run), 1) << "the grandchild was stopped";
    EXPECT_EQ(dllglue_runwait(run, INFINITE, 0), DLLGLUE_OK);
    result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_TRUE(EndedWithin(NumberAfter(parent.Out(), "pid="), 2000));
    dllglue_runclose(run);
}

// A handler that the pumping wait dispatched closes the run: the run stops
// at once and the wait returns normally, reading nothing freed (a freed run
// reads as zeros here).
TEST(Lifecycle, CloseFromAHandlerOfItsOwnPumpingWait) {
    Seen seen;
    ConsoleRunOptions options = OptionsFor(seen);
    options.onOutput = nullptr;
    ConsoleRun *run = nullptr;
    g_trackRuns = true;
    const int started =
        dllglue_runstart(ChildCommand("sleep 60000").c_str(), 0, nullptr, &options, &run);
    g_trackRuns = false;
    ASSERT_EQ(started, DLLGLUE_OK);
    TestWindow window(CloseRunOnTimer);
    g_closeFromHandler = run;
    SetTimer(window.Get(), 1, 100, nullptr);
    g_poisonFreedRuns = true;
    const ULONGLONG begin = GetTickCount64();
    const int waited = dllglue_runwait(run, 20000, DLLGLUE_WAIT_PUMP);
    g_poisonFreedRuns = false;
    EXPECT_EQ(waited, DLLGLUE_OK);
    EXPECT_LT(GetTickCount64() - begin, 15000u);
    EXPECT_EQ(g_closeFromHandler.load(), nullptr) << "the handler never ran";
    EXPECT_EQ(seen.exitCalls.load(), 1);

    // The same with the C++ layer, whose Run is destroyed by the handler.
    g_destroyFromHandler = new brackwyn::Run(ChildCommand("sleep 60000"));
    TestWindow other(DestroyRunOnTimer);
    SetTimer(other.Get(), 1, 100, nullptr);
    const brackwyn::Result result = g_destroyFromHandler->wait(brackwyn::Wait::Pump);
    EXPECT_EQ(g_destroyFromHandler, nullptr) << "the handler never ran";
    EXPECT_EQ(result.state, brackwyn::State::Aborted);
}

// Each allocation of a start fails in turn: a start that reports failure
// has started no child and kept no run.
TEST(Lifecycle, StartThatRunsOutOfMemoryLeavesNothing) {
    g_sys.resumeThread = CountingResume;
    const std::string command = ChildCommand("exit 0");
    const char *const environment[] = {"BW_LIFECYCLE=1", nullptr};
    bool finished = false;
    for (int failAt = 1; failAt < 400 && !finished; ++failAt) {
        Seen seen;
        ConsoleRunOptions options = OptionsFor(seen);
        options.environment = environment;
        ConsoleRun *run = nullptr;
        g_resumes = 0;
        g_trackRuns = true;
        g_failCountdown = failAt;
        const int status = dllglue_runstart(command.c_str(), 0, nullptr, &options, &run);
        finished = g_failCountdown.exchange(0) > 0;
        g_trackRuns = false;
        if (status == DLLGLUE_OK) {
            dllglue_runwait(run, INFINITE, 0);
            dllglue_runclose(run);
            continue;
        }
        EXPECT_EQ(status, DLLGLUE_ENOMEM) << "allocation " << failAt;
        EXPECT_EQ(run, nullptr) << "allocation " << failAt;
        EXPECT_EQ(g_resumes.load(), 0) << "allocation " << failAt << ": a child runs unclosable";
        EXPECT_EQ(g_runBlocksTracked.exchange(0), 0) << "allocation " << failAt << ": run leaked";
        for (std::atomic<void *> &slot : g_runBlocks)
            slot = nullptr;
    }
    g_sys = RealSysCalls();
    WatchLaunchCalls();
    EXPECT_TRUE(finished);
}

// The run's outcome on its own: an end published while the launch is still
// under way (a stop before the child was let go) stays the end when the
// launch then marks the child running, and the release keeps it for the
// result; a launch undone before any end leaves the run idle, not over.
TEST(Lifecycle, OutcomeKeepsAnEndPublishedDuringTheLaunch) {
    RunOutcome stopped;
    stopped.Reset();
    stopped.BeginLaunch();
    stopped.Publish(DLLGLUE_ABORTED, 1);
    stopped.MarkRunning();
    stopped.Release();
    EXPECT_TRUE(stopped.Over());
    EXPECT_FALSE(stopped.Active());
    EXPECT_EQ(stopped.EndState(), DLLGLUE_ABORTED);

    RunOutcome undone;
    undone.Reset();
    undone.BeginLaunch();
    undone.Release();
    EXPECT_FALSE(undone.Over());
    EXPECT_FALSE(undone.Active());
    EXPECT_EQ(undone.EndState(), DLLGLUE_RUNNING);
}
