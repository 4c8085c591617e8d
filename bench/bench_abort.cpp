// Figure 4: how soon dllglue_main returns once the host asks for an abort.
//
// The child says "ready" and then sleeps 30 s; 50 ms after its "ready" the
// host calls dllglue_abort, either from a WM_TIMER handler of a window on the
// thread inside dllglue_main (what a Cancel button does) or from a thread of
// its own. The figure runs from the call to dllglue_main's return. The
// baseline is the least a raw host does for the same: TerminateProcess, then
// wait for the child's end and for its reader thread to see the pipe break.
//
//   bench_abort [repetitions]
#include "bench_common.h"

#include <atomic>

#include "brackwyn.h"

namespace {

const char *const kSleepMsText = "30000";
// Long enough for the child to be well inside its sleep.
constexpr double kSettleMs = 50.0;

std::atomic<LONGLONG> g_readyAt{0};
std::atomic<LONGLONG> g_abortCalledAt{0};
std::atomic<int> g_abortResult{0};
HANDLE g_readyEvent = nullptr;
// Only the timer run aborts from the timer: a WM_TIMER still queued from it
// must not abort the next run too.
bool g_timerArmed = false;

// The first chunk of the run, kept to explain a run that went wrong: a child
// that could not start says so through the output callback too.
char g_firstChunk[64];

void BRACKWYN_CALL OnOutput(const char *text, size_t length, void *) {
    LONGLONG expected = 0;
    if (g_readyAt.compare_exchange_strong(expected, bench::Now())) {
        std::snprintf(g_firstChunk, sizeof g_firstChunk, "%.*s", static_cast<int>(length), text);
        SetEvent(g_readyEvent);
    }
}

void Abort() {
    g_abortCalledAt = bench::Now();
    g_abortResult = dllglue_abort();
}

LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        const LONGLONG ready = g_readyAt.load();
        if (g_timerArmed && ready != 0 && bench::TicksToMs(bench::Now() - ready) >= kSettleMs) {
            g_timerArmed = false;
            KillTimer(window, wParam);
            Abort();
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeTimerWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = TimerWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "brackwyn_bench_abort";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr)
        bench::Fail("cannot create the timer window");
    return window;
}

// One aborted library run; `fromTimer` picks who aborts. Returns the
// milliseconds from the abort call to dllglue_main's return.
double LibraryRun(HWND window, bool fromTimer) {
    g_readyAt = 0;
    g_abortCalledAt = 0;
    g_abortResult = 0;
    g_firstChunk[0] = '\0';
    ResetEvent(g_readyEvent);
    const char *arguments[] = {"sleep", kSleepMsText};
    const std::string command = bench::ChildCommand();
    int succeeded = 0;
    LONGLONG returnedAt = 0;
    if (fromTimer) {
        g_timerArmed = true;
        SetTimer(window, 1, 10, nullptr);
        succeeded = dllglue_main(command.c_str(), 2, arguments, nullptr);
        returnedAt = bench::Now();
        g_timerArmed = false;
        KillTimer(window, 1);
    } else {
        bench::Thread aborter([] {
            // A child that never speaks is a failed run, reported below,
            // not a reason to hang.
            if (WaitForSingleObject(g_readyEvent, 10000) != WAIT_OBJECT_0)
                return;
            Sleep(static_cast<DWORD>(kSettleMs));
            Abort();
        });
        succeeded = dllglue_main(command.c_str(), 2, arguments, nullptr);
        returnedAt = bench::Now();
    }
    if (succeeded != 0 || g_abortResult.load() == 0 || g_abortCalledAt.load() == 0) {
        std::fprintf(stderr,
                     "abort from %s: dllglue_main %d, dllglue_abort %d, called %s, "
                     "child said \"%s\"\n",
                     fromTimer ? "timer" : "thread", succeeded, g_abortResult.load(),
                     g_abortCalledAt.load() != 0 ? "yes" : "no", g_firstChunk);
        bench::Fail("the abort did not end the run");
    }
    return bench::TicksToMs(returnedAt - g_abortCalledAt.load());
}

double RawRun() {
    bench::RawChild child;
    if (!child.Start({"sleep", kSleepMsText}))
        bench::Fail("the raw sleeping child did not start");
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LONGLONG calledAt = 0;
    {
        bench::Thread reader([&] {
            char buffer[1024];
            DWORD count = 0;
            while (ReadFile(child.Output(), buffer, sizeof buffer, &count, nullptr))
                SetEvent(ready);
        });
        if (WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0)
            bench::Fail("the raw sleeping child never said it runs");
        Sleep(static_cast<DWORD>(kSettleMs));
        calledAt = bench::Now();
        TerminateProcess(child.Process(), 1);
        WaitForSingleObject(child.Process(), INFINITE);
    } // joins the reader, which ends when the pipe breaks
    const LONGLONG returnedAt = bench::Now();
    CloseHandle(ready);
    return bench::TicksToMs(returnedAt - calledAt);
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    g_readyEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HWND window = MakeTimerWindow();
    dllglue_setconsoleout(OnOutput);
    std::vector<double> fromTimer, fromThread, raw;
    for (int i = 0; i < repetitions; ++i) {
        fromTimer.push_back(LibraryRun(window, true));
        fromThread.push_back(LibraryRun(window, false));
        raw.push_back(RawRun());
        std::fprintf(stderr, "abort: from timer %.1f ms, from thread %.1f ms, raw %.1f ms\n",
                     fromTimer.back(), fromThread.back(), raw.back());
    }
    DestroyWindow(window);
    CloseHandle(g_readyEvent);
    const double rawMedian = bench::Median(raw);
    const auto row = [&](const char *figure, const std::vector<double> &library) {
        // Judged on the median, as every figure is; the worst repetition is
        // shown too, since a user feels every abort, not the typical one.
        char result[64];
        std::snprintf(result, sizeof result, "worst %.1f ms", bench::Largest(library));
        bench::PrintRow(figure, bench::Format("%.1f", bench::Median(library)),
                        bench::Format("%.1f", rawMedian), result, "&le; 50 ms",
                        bench::Met(bench::Median(library) <= 50.0));
    };
    row("4. abort latency, from WM_TIMER on the run's thread (ms)", fromTimer);
    row("4. abort latency, from another thread (ms)", fromThread);
    return 0;
}
