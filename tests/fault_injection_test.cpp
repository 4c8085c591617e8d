// Each system call a launch depends on fails in turn. Whatever fails, the run
// either reports a start failure or completes; it never hangs or crashes and
// leaves no handle and no child behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/os/syscalls.h"
#include "test_support.h"

namespace {

// Which call to fail: the n-th call (1-based) of the entry under test; 0
// fails nothing and only counts.
int g_failAt = 0;
int g_calls = 0;

template <auto Entry, typename R, typename... A> R Failing(A... args) {
    if (++g_calls == g_failAt) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FailureOf<R>();
    }
    return (RealSysCalls().*Entry)(args...);
}

// Replaces one entry of the table with a version that fails on cue.
template <auto Entry, typename R, typename... A> void Inject(R (*SysCalls::*)(A...)) {
    g_sys.*Entry = &Failing<Entry, R, A...>;
}

struct Seam {
    const char *name;
    void (*inject)();
};

#define SEAM(entry)                                                                                \
    Seam {                                                                                         \
#entry, [] { Inject<&SysCalls::entry>(&SysCalls::entry); }                                 \
    }

const Seam kSeams[] = {
    SEAM(createNamedPipe),
    SEAM(createFile),
    SEAM(createEvent),
    SEAM(createIoCompletionPort),
    SEAM(createProcess),
    SEAM(createJobObject),
    SEAM(setInformationJobObject),
    SEAM(assignProcessToJobObject),
    SEAM(createThread),
    SEAM(resumeThread),
};

// Names the seam in test listings instead of dumping its bytes.
void PrintTo(const Seam &seam, std::ostream *out) {
    *out << seam.name;
}

class FaultInjection : public testing::TestWithParam<Seam> {
protected:
    void TearDown() override {
        g_sys = RealSysCalls();
        WatchLaunchCalls();
    }
};

std::string SeamName(const testing::TestParamInfo<Seam> &info) {
    return info.param.name;
}

} // namespace

TEST_P(FaultInjection, EveryFailingCallEndsInAStartFailureOrACompleteRun) {
    const std::string command = ChildCommand("textlines 3");
    const std::string expected = "line 1\nline 2\nline 3\n";
    GetParam().inject();

    // A clean run tells how often the launch makes this call.
    g_failAt = 0;
    g_calls = 0;
    ASSERT_EQ(RunRecorded(command).out, expected);
    const int callsPerRun = g_calls;
    ASSERT_GT(callsPerRun, 0);

    for (int failAt = 1; failAt <= callsPerRun; ++failAt) {
        // Not SCOPED_TRACE: GoogleTest opens a thread handle for its first
        // trace, which would read as a leak.
        const std::string failing =
            "failing call " + std::to_string(failAt) + " of " + GetParam().name;
        auto runFailing = [&] {
            g_failAt = failAt;
            g_calls = 0;
            const Recording run = RunRecorded(command);
            if (run.result == 1) {
                EXPECT_EQ(run.out, expected) << failing;
                EXPECT_EQ(run.exitCalls, 1) << failing;
            } else {
                EXPECT_EQ(run.out, "Unable to start " + command + "\n") << failing;
                EXPECT_EQ(run.exitCalls, 0) << failing;
            }
        };
        const int handlesBefore = OpenHandleCount();
        const auto typesBefore = OpenHandleTypes();
        runFailing();
        const int handlesAfter = OpenHandleCount();
        if (handlesAfter == handlesBefore)
            continue;
        // The C runtime gives a lock its wait event the first time two
        // threads meet on it and keeps it for the lock's life; a failed
        // launch makes the run's threads meet on the redirector's long-lived
        // locks at moments a normal run rarely does. That is one Event, once.
        // A leak of the run's own grows again with every failure.
        const std::string growth = HandleGrowth(typesBefore, OpenHandleTypes());
        EXPECT_EQ(growth, "Event +1") << failing;
        runFailing();
        runFailing();
        EXPECT_EQ(OpenHandleCount(), handlesAfter)
            << failing << ", again: " << HandleGrowth(typesBefore, OpenHandleTypes());
    }
}

INSTANTIATE_TEST_SUITE_P(LaunchCalls, FaultInjection, testing::ValuesIn(kSeams), SeamName);

namespace {
int g_internalErrorsLeft = 0;
BOOL WINAPI CreateProcessFailingTransiently(LPCWSTR application, LPWSTR commandLine,
                                            LPSECURITY_ATTRIBUTES processAttributes,
                                            LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit,
                                            DWORD flags, LPVOID environment, LPCWSTR directory,
                                            LPSTARTUPINFOW startup, LPPROCESS_INFORMATION created) {
    if (g_internalErrorsLeft > 0) {
        --g_internalErrorsLeft;
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }
    return CreateProcessW(application, commandLine, processAttributes, threadAttributes, inherit,
                          flags, environment, directory, startup, created);
}
} // namespace

// Wine now and then fails to set up a new console under load; such a
// failure is tried again, while a real one (no such program) is not.
TEST(TransientStartFailure, InternalErrorIsTriedAgain) {
    g_sys.createProcess = CreateProcessFailingTransiently;
    g_internalErrorsLeft = 2;
    const Recording run = RunRecorded(ChildCommand("textlines 1"));
    const int leftAfterRun = g_internalErrorsLeft;
    g_internalErrorsLeft = 5;
    const Recording failed = RunRecorded(ChildCommand("textlines 1"));
    g_sys = RealSysCalls();
    WatchLaunchCalls();
    EXPECT_EQ(leftAfterRun, 0);
    EXPECT_EQ(run.out, "line 1\n");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(failed.result, 0);
    EXPECT_EQ(failed.out.rfind("Unable to start", 0), 0u);
}
