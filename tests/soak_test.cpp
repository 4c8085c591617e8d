// Many runs in a row leave the host as they found it: no handle, thread or
// memory a run took is kept.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which they build on.
#include <psapi.h>
#include <tlhelp32.h>

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
    int handles = OpenHandleCount();
    int threads = ThreadCount();
    size_t privateBytes = PrivateBytes();
};

void ExpectNoGrowth(const Census &before, const Census &after) {
    EXPECT_EQ(after.handles, before.handles);
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
