// Promises that real hosts test without meaning to: processes the host
// starts on its own, an abort that lands in the middle of a launch, Unicode
// windows typing during a run.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "engine/os/syscalls.h"
#include "test_support.h"

namespace {

// Starts an inheriting sleeper every few milliseconds until told to stop, as
// a host's own system() or _popen calls would. The sleepers sit in a job
// that ends them with the test.
class ForeignProcessStarter {
public:
    ForeignProcessStarter() : m_job(CreateJobObjectA(nullptr, nullptr)) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                std::string command = ChildCommand("sleep 5000");
                STARTUPINFOA startup{};
                startup.cb = sizeof(startup);
                PROCESS_INFORMATION created{};
                if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                                   &created)) {
                    AssignProcessToJobObject(m_job, created.hProcess);
                    ResumeThread(created.hThread);
                    CloseHandle(created.hThread);
                    CloseHandle(created.hProcess);
                    ++m_started;
                }
                Sleep(150);
            }
        });
    }
    ~ForeignProcessStarter() {
        m_stop = true;
        m_thread.join();
        CloseHandle(m_job);
    }
    int Started() const { return m_started.load(); }

private:
    HANDLE m_job;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_started{0};
    std::thread m_thread;
};

} // namespace

namespace {
std::atomic<ULONGLONG> g_lastChunkAt{0};
void BRACKWYN_CALL NoteChunkTime(const char *, size_t, void *) {
    g_lastChunkAt = GetTickCount64();
}
} // namespace

// A process the host starts while a run launches must not inherit the run's
// pipe ends, and if it holds them anyway the run must not wait for it. The
// child writes and exits at once, so the time from its text to the end of the
// run is the time the run took to notice its end: a few hundred ms at worst
// under Wine with dozens of sleepers about, the sleeper's whole life (5 s)
// when one holds the pipes. The launch itself, slowed down by so many Wine
// processes, is not measured.
TEST(Hardening, ProcessesTheHostStartsMeanwhileDoNotHoldRunsOpen) {
    ForeignProcessStarter starter;
    RegisterRecordingCallbacks();
    dllglue_setconsoleout(NoteChunkTime);
    ULONGLONG slowest = 0;
    for (int i = 0; i < 25; ++i) {
        g_lastChunkAt = 0;
        const int result = dllglue_main(ChildCommand("text x").c_str(), 0, nullptr, nullptr);
        const ULONGLONG endDelay = GetTickCount64() - g_lastChunkAt.load();
        EXPECT_EQ(result, 1);
        EXPECT_NE(g_lastChunkAt.load(), 0u);
        slowest = endDelay > slowest ? endDelay : slowest;
    }
    RegisterRecordingCallbacks();
    EXPECT_GT(starter.Started(), 10);
    EXPECT_LT(slowest, 2000u) << "a run lasted as long as a foreign sleeper";
}

namespace {

// An abort from another thread, made while the launching thread is inside
// one system call of the launch; 1 once one of them stopped something (a
// later one finds nothing left).
std::atomic<int> g_abortInLaunch{-1};

template <auto Entry, typename R, typename... A> R AbortingFirst(A... args) {
    std::thread stopper([] {
        const int stopped = dllglue_abort();
        if (g_abortInLaunch.load() != 1)
            g_abortInLaunch = stopped;
    });
    stopper.join();
    return (RealSysCalls().*Entry)(args...);
}

template <auto Entry, typename R, typename... A> void AbortBefore(R (*SysCalls::*)(A...)) {
    g_sys.*Entry = &AbortingFirst<Entry, R, A...>;
}

} // namespace

// Whichever step of the launch it lands on, an abort stops that run: the
// child never gets to run its course, the completion comes once, the result
// is 0, and nothing is left half-stopped.
TEST(Hardening, AbortDuringTheLaunchStopsThatRun) {
    struct Step {
        const char *name;
        void (*inject)();
    };
    const Step steps[] = {
        {"CreateNamedPipe",
         [] { AbortBefore<&SysCalls::createNamedPipe>(&SysCalls::createNamedPipe); }},
        {"CreateProcess", [] { AbortBefore<&SysCalls::createProcess>(&SysCalls::createProcess); }},
        {"AssignProcessToJobObject",
         [] {
             AbortBefore<&SysCalls::assignProcessToJobObject>(&SysCalls::assignProcessToJobObject);
         }},
        {"CreateThread", [] { AbortBefore<&SysCalls::createThread>(&SysCalls::createThread); }},
    };
    for (const Step &step : steps) {
        g_abortInLaunch = -1;
        step.inject();
        const Recording run = RunRecorded(ChildCommand("print-sleep 5000"));
        g_sys = RealSysCalls();
        WatchLaunchCalls();
        EXPECT_EQ(g_abortInLaunch.load(), 1) << step.name;
        EXPECT_EQ(run.result, 0) << step.name;
        EXPECT_EQ(run.exitCalls, 1) << step.name;
        EXPECT_EQ(run.out.find("done"), std::string::npos) << step.name;
        EXPECT_LT(run.elapsedMs, 2000u) << step.name;
    }
}

// Aborts racing the start and the end of short runs: each run either ends by
// itself or is stopped, never hangs, and always reports its end once.
TEST(Hardening, AbortsRacingStartAndEndNeverHangARun) {
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> delay(0, 250);
    for (int i = 0; i < 40; ++i) {
        const int afterMs = delay(random);
        std::atomic<int> aborted{-1};
        std::thread stopper([&aborted, afterMs] {
            Sleep(afterMs);
            aborted = dllglue_abort();
        });
        const Recording run = RunRecorded(ChildCommand("print-sleep 100"));
        stopper.join();
        EXPECT_EQ(run.exitCalls, 1) << "abort after " << afterMs << " ms";
        EXPECT_LT(run.elapsedMs, 2000u) << "abort after " << afterMs << " ms";
        if (aborted.load() == 0) {
            // Nothing was stopped: the run went its whole way.
            EXPECT_EQ(run.result, 1) << "abort after " << afterMs << " ms";
            EXPECT_EQ(run.out, "started\ndone\n") << "abort after " << afterMs << " ms";
        }
    }
}

namespace {

WPARAM g_wideChar = 0;
WPARAM g_ansiChar = 0;

LRESULT CALLBACK WideWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CHAR)
        g_wideChar = wParam;
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK AnsiWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CHAR)
        g_ansiChar = wParam;
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

// Characters typed during a run reach each window as its kind expects them:
// a Unicode window gets a character outside the ANSI code page whole, an
// ANSI window gets its code page's byte.
TEST(Hardening, UnicodeAndAnsiWindowsGetTheirCharactersDuringARun) {
    WNDCLASSW wideClass{};
    wideClass.lpfnWndProc = WideWindowProc;
    wideClass.hInstance = GetModuleHandleW(nullptr);
    wideClass.lpszClassName = L"brackwyn-test-wide";
    RegisterClassW(&wideClass);
    WNDCLASSA ansiClass{};
    ansiClass.lpfnWndProc = AnsiWindowProc;
    ansiClass.hInstance = GetModuleHandleA(nullptr);
    ansiClass.lpszClassName = "brackwyn-test-ansi";
    RegisterClassA(&ansiClass);
    HWND wide = CreateWindowW(L"brackwyn-test-wide", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wideClass.hInstance, nullptr);
    HWND ansi = CreateWindowA("brackwyn-test-ansi", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              ansiClass.hInstance, nullptr);
    ASSERT_TRUE(IsWindowUnicode(wide));
    g_wideChar = g_ansiChar = 0;
    // Queued before the run, so the run's own loop is what takes them.
    PostMessageW(wide, WM_CHAR, 0x0416, 0); // CYRILLIC CAPITAL LETTER ZHE
    PostMessageA(ansi, WM_CHAR, GetACP() == 1252 ? 0xE9 : 'e', 0);
    const Recording run = RunRecorded(ChildCommand("sleep 200"));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(g_wideChar, 0x0416u);
    EXPECT_EQ(g_ansiChar, GetACP() == 1252 ? 0xE9u : static_cast<WPARAM>('e'));
    DestroyWindow(wide);
    DestroyWindow(ansi);
}
