// Figure 10: how soon a gracefully stopped run ends.
//
// The child says "ready" and sleeps; its Ctrl+C handler exits at once. 50 ms
// after its "ready" the host calls dllglue_runstop; the figure runs from that
// call to the return of dllglue_runwait. The baseline delivers the Ctrl+C by
// hand the least a host can that must not attach its own console: a helper
// process (this program, `bench_stop deliver <pid>`) attaches to the child's
// console, generates the event, waits for its own copy and detaches; the
// span runs from the helper's start to the child's end and its pipe's break.
// The child has a hidden console of its own on both sides.
//
//   bench_stop [repetitions]
#include "bench_common.h"

#include <cstring>

#include "brackwyn.h"

namespace {

constexpr double kSettleMs = 50.0;
const char *const kSleepMsText = "30000";

HANDLE g_delivered = nullptr;

BOOL WINAPI NoteDelivery(DWORD) {
    SetEvent(g_delivered);
    return TRUE;
}

// The helper side of the baseline.
int Deliver(DWORD pid) {
    g_delivered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(NoteDelivery, TRUE);
    if (!AttachConsole(pid) || !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        return 1;
    WaitForSingleObject(g_delivered, 5000);
    FreeConsole();
    return 0;
}

void BRACKWYN_CALL OnOutput(const char *, size_t, void *user) {
    SetEvent(static_cast<HANDLE>(user));
}

double LibraryStop() {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnOutput;
    options.user = ready;
    const char *arguments[] = {"ctrlc", kSleepMsText};
    ConsoleRun *run = nullptr;
    if (dllglue_runstart(bench::ChildCommand().c_str(), 2, arguments, &options, &run) != DLLGLUE_OK)
        bench::Fail("the library's run did not start");
    if (WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0)
        bench::Fail("the library's child never said it runs");
    Sleep(static_cast<DWORD>(kSettleMs));
    const LONGLONG calledAt = bench::Now();
    dllglue_runstop(run, 10000);
    dllglue_runwait(run, INFINITE, 0);
    const LONGLONG endedAt = bench::Now();
    ConsoleRunResult result{};
    result.size = sizeof(result);
    dllglue_runresult(run, &result);
    dllglue_runclose(run);
    CloseHandle(ready);
    if (result.state != DLLGLUE_EXITED || result.stopRequested != 1)
        bench::Fail("the stopped child did not end by its own handler");
    return bench::TicksToMs(endedAt - calledAt);
}

double RawStop(const std::string &self) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output = nullptr, write = nullptr;
    if (!CreatePipe(&output, &write, &inheritable, 0))
        bench::Fail("CreatePipe failed");
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    DWORD childId = 0;
    HANDLE child =
        bench::StartRawChild({"ctrlc", kSleepMsText}, nullptr, write, write, nullptr, &childId);
    CloseHandle(write);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LONGLONG calledAt = 0;
    {
        bench::Thread reader([&] {
            char buffer[1024];
            DWORD count = 0;
            while (ReadFile(output, buffer, sizeof buffer, &count, nullptr))
                SetEvent(ready);
        });
        if (WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0)
            bench::Fail("the raw child never said it runs");
        Sleep(static_cast<DWORD>(kSettleMs));
        calledAt = bench::Now();
        std::string helper = "\"" + self + "\" deliver " + std::to_string(childId);
        STARTUPINFOA plain{};
        plain.cb = sizeof(plain);
        PROCESS_INFORMATION delivering{};
        if (!CreateProcessA(nullptr, &helper[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                            nullptr, &plain, &delivering))
            bench::Fail("the helper did not start");
        CloseHandle(delivering.hThread);
        CloseHandle(delivering.hProcess);
        WaitForSingleObject(child, INFINITE);
    } // joins the reader, which ends when the pipe breaks
    const LONGLONG endedAt = bench::Now();
    DWORD code = 0;
    GetExitCodeProcess(child, &code);
    CloseHandle(child);
    CloseHandle(output);
    CloseHandle(ready);
    if (code != 0)
        bench::Fail("the raw child did not end by its own handler");
    return bench::TicksToMs(endedAt - calledAt);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "deliver") == 0)
        return Deliver(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    // Ten repetitions, each stopping two runs a side: twenty stops each.
    const int repetitions = bench::Repetitions(argc, argv, 10);
    char path[MAX_PATH];
    const std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    std::vector<double> library, raw, ratios;
    for (int i = 0; i < repetitions; ++i) {
        double sums[2] = {0.0, 0.0};
        bench::ThereAndBack(2, [&](size_t side) {
            const double ms = side == 0 ? LibraryStop() : RawStop(self);
            (side == 0 ? library : raw).push_back(ms);
            sums[side] += ms;
        });
        ratios.push_back(sums[0] / sums[1]);
        std::fprintf(stderr, "stop: library %.1f ms, by hand %.1f ms, ratio %.2f\n", sums[0] / 2,
                     sums[1] / 2, ratios.back());
    }
    const double worst = bench::Largest(library);
    char result[96];
    std::snprintf(result, sizeof result, "%s; worst %.1f ms", bench::RatioText(ratios).c_str(),
                  worst);
    bench::PrintRow("10. stop latency, Ctrl+C to the run's end (ms)",
                    bench::Format("%.1f", bench::Median(library)),
                    bench::Format("%.1f", bench::Median(raw)), result,
                    "&le; 1.2, worst &lt; 1000 ms",
                    bench::Met(bench::Median(ratios) <= 1.2 && worst < 1000.0));
    return 0;
}
