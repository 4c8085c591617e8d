// Figures 14 to 16: text delivered on the host's own thread.
//
// 14. How a window answers while a child floods it with 64 MiB: a 16 ms
//     WM_TIMER's lateness, the time a message that another thread posts
//     every 16 ms takes to be dispatched, and the time from invalidating the
//     window at each tick
//     to its WM_PAINT; p50 and p99 over every tick of every repetition.
//     Three sides: DLLGLUE_HOST_THREAD (callbacks on the window's thread, in
//     turns), worker callbacks that copy and post each chunk to the window
//     (the pattern it replaces), and the same window with no run at all.
// 15. Throughput of the same 64 MiB delivered on the host thread against
//     worker delivery of the same run, with chunkBytes 64 KiB and 1024.
// 16. What the process holds for a run whose host takes nothing for 3 s
//     (private bytes, against the same moment before the run).
//
//   bench_host_thread [repetitions]
#include "bench_common.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "brackwyn.h"

namespace {

const char *const kBytesText = "67108864";
constexpr long long kBytes = 64ll << 20;
constexpr UINT kTickMs = 16;
constexpr UINT kProbe = WM_APP + 1;
constexpr UINT kChunk = WM_APP + 2;
constexpr UINT kDone = WM_APP + 3;

// What the window measured, in milliseconds, and the run's state.
struct Window {
    std::vector<double> lateness, dispatch, paint;
    LONGLONG lastTick = 0;
    LONGLONG invalidatedAt = 0;
    long long received = 0;
    bool done = false;
};
Window *g_window = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Window &state = *g_window;
    const LONGLONG now = bench::Now();
    switch (message) {
    case WM_TIMER:
        if (state.lastTick != 0) {
            const double late = bench::TicksToMs(now - state.lastTick) - kTickMs;
            state.lateness.push_back(late < 0 ? 0 : late);
        }
        state.lastTick = now;
        if (state.invalidatedAt == 0) {
            state.invalidatedAt = now;
            InvalidateRect(window, nullptr, FALSE);
        }
        return 0;
    case kProbe:
        state.dispatch.push_back(bench::TicksToMs(now - static_cast<LONGLONG>(lParam)));
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        if (state.invalidatedAt != 0)
            state.paint.push_back(bench::TicksToMs(now - state.invalidatedAt));
        state.invalidatedAt = 0;
        return 0;
    }
    case kChunk: {
        // The by-hand pattern: the copy a worker callback posted.
        auto *copy = reinterpret_cast<std::string *>(lParam);
        state.received += static_cast<long long>(copy->size());
        delete copy;
        return 0;
    }
    case kDone:
        state.done = true;
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND g_hwnd = nullptr;

void BRACKWYN_CALL CountOnHostThread(const char *, size_t length, void *) {
    g_window->received += static_cast<long long>(length);
}
void BRACKWYN_CALL DoneOnHostThread(int, void *) {
    g_window->done = true;
}
// Worker callbacks: copy, post, return.
void BRACKWYN_CALL PostEachChunk(const char *text, size_t length, void *) {
    PostMessageW(g_hwnd, kChunk, 0, reinterpret_cast<LPARAM>(new std::string(text, length)));
}
void BRACKWYN_CALL PostDone(int, void *) {
    PostMessageW(g_hwnd, kDone, 0, 0);
}
std::atomic<long long> g_workerBytes{0};
void BRACKWYN_CALL CountOnWorker(const char *, size_t length, void *) {
    g_workerBytes += static_cast<long long>(length);
}

void Pump(const Window &state, ULONGLONG untilTick) {
    MSG message;
    while (!state.done && (untilTick == 0 || GetTickCount64() < untilTick) &&
           GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

ConsoleRun *Start(unsigned flags, ConsoleTextCallback output, ConsoleExitCallback exit,
                  unsigned long chunkBytes, unsigned long maxPending = 0,
                  const char *block = "65536") {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = output;
    options.onExit = exit;
    options.flags = flags;
    options.chunkBytes = chunkBytes;
    options.maxPendingBytes = maxPending;
    options.input = DLLGLUE_INPUT_CLOSED;
    const char *arguments[] = {"write", kBytesText, block};
    ConsoleRun *run = nullptr;
    if (dllglue_runstart(bench::ChildCommand().c_str(), 3, arguments, &options, &run) != DLLGLUE_OK)
        bench::Fail(dllglue_lasterror());
    return run;
}

enum Side : size_t { kHostThread, kPostEach, kIdle, kSides };

std::atomic<bool> g_probing{false};

// Another thread's messages, as a worker or a second window would post them.
DWORD WINAPI PostProbes(LPVOID) {
    while (g_probing.load()) {
        PostMessageW(g_hwnd, kProbe, 0, static_cast<LPARAM>(bench::Now()));
        Sleep(kTickMs);
    }
    return 0;
}

void Responsiveness(size_t side, Window &state) {
    state = Window{};
    SetTimer(g_hwnd, 1, kTickMs, nullptr);
    g_probing = true;
    HANDLE prober = CreateThread(nullptr, 0, PostProbes, nullptr, 0, nullptr);
    ConsoleRun *run = nullptr;
    if (side == kHostThread)
        run = Start(DLLGLUE_HOST_THREAD, CountOnHostThread, DoneOnHostThread, 0);
    else if (side == kPostEach)
        run = Start(0, PostEachChunk, PostDone, 0);
    Pump(state, side == kIdle ? GetTickCount64() + 3000 : 0);
    KillTimer(g_hwnd, 1);
    g_probing = false;
    WaitForSingleObject(prober, INFINITE);
    CloseHandle(prober);
    // The probes still queued count too: the last of them waited longest.
    state.done = false;
    PostMessageW(g_hwnd, kDone, 0, 0);
    Pump(state, 0);
    if (run != nullptr) {
        dllglue_runwait(run, INFINITE, 0);
        dllglue_runclose(run);
        if (state.received != kBytes)
            bench::Fail("a flood did not deliver every byte");
    }
}

double ThroughputMBs(bool hostThread, unsigned long chunkBytes, Window &state) {
    state = Window{};
    g_workerBytes = 0;
    const LONGLONG start = bench::Now();
    if (hostThread) {
        ConsoleRun *run =
            Start(DLLGLUE_HOST_THREAD, CountOnHostThread, DoneOnHostThread, chunkBytes);
        Pump(state, 0);
        dllglue_runwait(run, INFINITE, 0);
        dllglue_runclose(run);
    } else {
        ConsoleRun *run = Start(0, CountOnWorker, nullptr, chunkBytes);
        dllglue_runwait(run, INFINITE, 0);
        dllglue_runclose(run);
        state.received = g_workerBytes.load();
    }
    const double seconds = bench::TicksToMs(bench::Now() - start) / 1000.0;
    if (state.received != kBytes)
        bench::Fail("a throughput run did not deliver every byte");
    return static_cast<double>(kBytes) / 1e6 / seconds;
}

// The process's committed private memory, region by region: under Wine the
// process counters leave the heap's growth out.
double PrivateMiB() {
    double bytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char *at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            bytes += static_cast<double>(region.RegionSize);
    }
    return bytes / (1 << 20);
}

// A worker callback that stalls its reader for 3 s at its first chunk: what
// any run costs while nothing is delivered.
std::atomic<bool> g_stalled{false};
void BRACKWYN_CALL StallOnWorker(const char *, size_t length, void *) {
    if (!g_stalled.exchange(true))
        Sleep(3000);
    g_workerBytes += static_cast<long long>(length);
}

// The most the process held above its level before the run while nothing
// was delivered for 3 s; then the run delivers and ends.
double StalledHeldMiB(bool hostThread, unsigned long maxPending, Window &state) {
    state = Window{};
    g_workerBytes = 0;
    g_stalled = false;
    const double before = PrivateMiB();
    ConsoleRun *run =
        hostThread ? Start(DLLGLUE_HOST_THREAD, CountOnHostThread, DoneOnHostThread, 0, maxPending)
                   : Start(0, StallOnWorker, nullptr, 0);
    double most = 0;
    for (int i = 0; i < 30; ++i) {
        Sleep(100);
        const double held = PrivateMiB() - before;
        most = held > most ? held : most;
    }
    if (hostThread)
        Pump(state, 0);
    dllglue_runwait(run, INFINITE, 0);
    dllglue_runclose(run);
    if ((hostThread ? state.received : g_workerBytes.load()) != kBytes)
        bench::Fail("the stalled run did not deliver every byte");
    return most;
}

std::string P(const std::vector<double> &values, double percent) {
    return bench::Format("%.1f", bench::Percentile(values, percent));
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 3);
    Window state;
    g_window = &state;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"bench-host-thread";
    RegisterClassW(&windowClass);
    g_hwnd = CreateWindowExW(0, windowClass.lpszClassName, L"bench", WS_POPUP | WS_VISIBLE, 0, 0,
                             200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (g_hwnd == nullptr)
        bench::Fail("no window");

    std::vector<double> late[kSides], dispatch[kSides], paint[kSides];
    std::vector<double> ratios[2], hostRate[2], workerRate[2];
    std::vector<double> held;
    const unsigned long chunkSizes[2] = {64 * 1024, 1024};
    const unsigned long maxPending = 1 << 20;
    // First, while the heap has not yet grown for the floods below: their
    // memory, freed, would be used again without the process growing. Each
    // kind of run once before, for what the first of its kind costs.
    StalledHeldMiB(false, maxPending, state);
    StalledHeldMiB(true, maxPending, state);
    const double fixedCost = StalledHeldMiB(false, maxPending, state);
    held.push_back(StalledHeldMiB(true, maxPending, state));
    for (int i = 0; i < repetitions; ++i) {
        bench::ThereAndBack(kSides, [&](size_t side) {
            Responsiveness(side, state);
            late[side].insert(late[side].end(), state.lateness.begin(), state.lateness.end());
            dispatch[side].insert(dispatch[side].end(), state.dispatch.begin(),
                                  state.dispatch.end());
            paint[side].insert(paint[side].end(), state.paint.begin(), state.paint.end());
            std::fprintf(stderr,
                         "host-thread: side %zu ticks %zu, late p99 %.1f, dispatch p99 %.1f, "
                         "paint p99 %.1f ms\n",
                         side, state.lateness.size(), bench::Percentile(state.lateness, 99),
                         bench::Percentile(state.dispatch, 99), bench::Percentile(state.paint, 99));
        });
        for (size_t c = 0; c < 2; ++c) {
            const double worker1 = ThroughputMBs(false, chunkSizes[c], state);
            const double host1 = ThroughputMBs(true, chunkSizes[c], state);
            const double host2 = ThroughputMBs(true, chunkSizes[c], state);
            const double worker2 = ThroughputMBs(false, chunkSizes[c], state);
            hostRate[c].push_back((host1 + host2) / 2);
            workerRate[c].push_back((worker1 + worker2) / 2);
            ratios[c].push_back((host1 + host2) / (worker1 + worker2));
            std::fprintf(stderr, "host-thread: chunk %lu host %.0f worker %.0f MB/s\n",
                         chunkSizes[c], (host1 + host2) / 2, (worker1 + worker2) / 2);
        }
    }
    const char *const names[kSides] = {"DLLGLUE_HOST_THREAD", "worker posts each chunk",
                                       "idle thread"};
    const char *const metric[3] = {"16 ms WM_TIMER lateness", "posted message to dispatch",
                                   "InvalidateRect to WM_PAINT"};
    std::vector<double> *series[3] = {late, dispatch, paint};
    for (int m = 0; m < 3; ++m) {
        const std::vector<double> &host = series[m][kHostThread];
        const bool met = bench::Percentile(host, 99) <= 50.0;
        bench::PrintRow(std::string("14. ") + metric[m] + " during a 64 MiB flood, " +
                            names[kHostThread] + " against " + names[kPostEach] + " (p50 / p99 ms)",
                        P(host, 50) + " / " + P(host, 99),
                        P(series[m][kPostEach], 50) + " / " + P(series[m][kPostEach], 99),
                        std::string(names[kIdle]) + ": " + P(series[m][kIdle], 50) + " / " +
                            P(series[m][kIdle], 99),
                        "p99 &le; 50 ms", bench::Met(met));
    }
    for (size_t c = 0; c < 2; ++c) {
        bench::PrintRow("15. 64 MiB delivered on the host thread against worker delivery, "
                        "chunkBytes " +
                            std::to_string(chunkSizes[c]) + " (MB/s)",
                        bench::Format("%.0f", bench::Median(hostRate[c])),
                        bench::Format("%.0f", bench::Median(workerRate[c])),
                        bench::RatioText(ratios[c]), "&ge; 0.80 &times; baseline",
                        bench::Met(bench::Median(ratios[c]) >= 0.80));
    }
    const double bound = 2.0 * maxPending / (1 << 20) + 0.25;
    const double extra = held.back() - fixedCost;
    bench::PrintRow("16. memory held for a run whose host takes nothing for 3 s, maxPendingBytes "
                    "1 MiB, against a run whose worker callback stalls (MiB of committed private "
                    "memory, once)",
                    bench::Format("%.2f", held.back()), bench::Format("%.2f", fixedCost),
                    bench::Format("%.2f MiB more", extra),
                    "&le; 2 &times; maxPendingBytes + 256 KiB more", bench::Met(extra <= bound));
    std::fprintf(stderr, "host-thread: stalled host held %.2f MiB\n", held.back());
    DestroyWindow(g_hwnd);
    return 0;
}
