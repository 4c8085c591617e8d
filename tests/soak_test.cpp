// Many runs in a row leave the host as they found it: no handle, thread or
// memory a run took is kept.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which they build on.
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <thread>

#include "test_support.h"

namespace {

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

// Committed private memory. PagefileUsage rather than PrivateUsage: the two
// are the same figure on Windows, and Wine reports only the first.
size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

void BRACKWYN_CALL AbortOnFirstChunk(const char *, size_t, void *) {
    dllglue_abort();
}

struct Census {
    std::map<std::string, int> handleTypes = OpenHandleTypes();
    int handles = OpenHandleCount();
    int threads = ThreadCount();
    size_t privateBytes = PrivateBytes();
};

// `lockEvents`: events that may appear once, not per run. The MinGW runtime
// gives a std::mutex its event only the first time two threads meet on it,
// and a process-wide lock (the library's registry and launch locks, the
// recorder's) keeps it for good. Which of them first meet after the census is
// a matter of timing: hence a few events at most, and nothing of another type.
void ExpectNoGrowth(const Census &before, const Census &after, int lockEvents = 0) {
    std::map<std::string, int> allowed = before.handleTypes;
    allowed["Event"] += lockEvents;
    EXPECT_EQ(HandleGrowth(allowed, after.handleTypes), "");
    EXPECT_GE(after.handles, before.handles);
    EXPECT_LE(after.handles, before.handles + lockEvents)
        << HandleGrowth(before.handleTypes, after.handleTypes);
    EXPECT_EQ(after.threads, before.threads);
    // Heaps keep some slack; a leak per run would be many times this.
    EXPECT_GT(before.privateBytes, 0u);
    EXPECT_LT(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
}

} // namespace

TEST(Soak, TwoHundredRunsKeepNoHandle) {
    RunRecorded(ChildCommand("textlines 2"));
    const Census before;
    for (int run = 0; run < 200; ++run) {
        const Recording recorded = RunRecorded(ChildCommand("textlines 2"));
        ASSERT_EQ(recorded.out, "line 1\nline 2\n") << recorded.launchFailure;
    }
    ExpectNoGrowth(before, Census());
}

// Normal ends, start failures and aborts from a worker thread, interleaved.
TEST(Soak, ThousandMixedRunsKeepNothing) {
    RunRecorded(ChildCommand("exit 0"));
    const Census before;
    int counts[3] = {0, 0, 0};
    for (int run = 0; run < 1000; ++run) {
        switch (run % 3) {
        case 0:
            counts[0] += RunRecorded(ChildCommand("exit 0")).result;
            break;
        case 1:
            counts[1] += RunRecorded("no-such-program-here").result == 0 ? 1 : 0;
            break;
        default:
            dllglue_setconsoleout(AbortOnFirstChunk);
            counts[2] +=
                dllglue_main(ChildCommand("print-sleep 60000").c_str(), 0, nullptr, nullptr) == 0
                    ? 1
                    : 0;
            RegisterRecordingCallbacks();
            break;
        }
    }
    EXPECT_EQ(counts[0], 334);
    EXPECT_EQ(counts[1], 333);
    EXPECT_EQ(counts[2], 333);
    ExpectNoGrowth(before, Census());
}

namespace {
void BRACKWYN_CALL Drop(const char *, size_t, void *) {}
} // namespace

// Runs of both interfaces side by side, four at a time: normal ends, start
// failures, time limits and closes of running runs.
TEST(Soak, ThousandRunsFourAtATimeMixingBothInterfaces) {
    std::atomic<int> ended{0};
    auto objects = [&ended](int lane, int count) {
        for (int i = 0; i < count; ++i) {
            ConsoleRunOptions options{};
            options.size = sizeof(options);
            options.onOutput = Drop;
            const char *modes[] = {"exit 0", "sleep 60000", "print-sleep 60000"};
            const int kind = (i + lane) % 4;
            if (kind == 1)
                options.timeoutMs = 20;
            const std::string command =
                kind == 3 ? "no-such-program-here" : ChildCommand(modes[kind % 3]);
            ConsoleRun *run = nullptr;
            if (dllglue_runstart(command.c_str(), 0, nullptr, &options, &run) != DLLGLUE_OK) {
                ended += kind == 3 ? 1 : 0;
                continue;
            }
            if (kind != 2)
                dllglue_runwait(run, INFINITE, 0);
            dllglue_runclose(run);
            ++ended;
        }
    };
    // Three lanes of runs beside the main thread's dllglue_main runs.
    auto fourAtATime = [&objects](int count) {
        std::thread lanes[3] = {std::thread(objects, 1, count), std::thread(objects, 2, count),
                                std::thread(objects, 3, count)};
        int mainRuns = 0;
        for (int i = 0; i < count; ++i)
            mainRuns += RunRecorded(ChildCommand("textlines 2")).out == "line 1\nline 2\n" ? 1 : 0;
        for (std::thread &lane : lanes)
            lane.join();
        return mainRuns;
    };
    // What the first runs open stays open: not counted. Side by side, as
    // below, so that the locks mostly meet here and make their events.
    fourAtATime(8);
    ended = 0;
    const Census before;
    EXPECT_EQ(fourAtATime(250), 250);
    EXPECT_EQ(ended.load(), 750);
    // A leak per run would show hundreds; lock events, at most two.
    ExpectNoGrowth(before, Census(), 2);
}

// Sixty-four runs at once work, and each costs little memory of the host's.
TEST(Soak, SixtyFourRunsAtOnce) {
    const size_t before = PrivateBytes();
    ConsoleRun *runs[64] = {};
    for (ConsoleRun *&run : runs) {
        ConsoleRunOptions options{};
        options.size = sizeof(options);
        options.onOutput = Drop;
        ASSERT_EQ(
            dllglue_runstart(ChildCommand("print-sleep 1000").c_str(), 0, nullptr, &options, &run),
            DLLGLUE_OK)
            << dllglue_lasterror();
    }
    const size_t during = PrivateBytes();
    for (ConsoleRun *run : runs) {
        EXPECT_EQ(dllglue_runwait(run, INFINITE, 0), DLLGLUE_OK);
        ConsoleRunResult result{};
        result.size = sizeof(result);
        dllglue_runresult(run, &result);
        EXPECT_EQ(result.state, DLLGLUE_EXITED);
        EXPECT_EQ(result.outputBytes, 13u); // "started\ndone\n"
        dllglue_runclose(run);
    }
    std::printf("committed memory per run with 64 at once: %zu KiB\n",
                (during > before ? during - before : 0) / 64 / 1024);
}
