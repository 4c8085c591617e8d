// Figure 1: how fast the child's standard output reaches the host.
//
// The child writes 64 MiB in 64 KiB writes. The library relays it through the
// output callback, which only counts; the baseline is a loop of 1024-byte
// ReadFile calls on a plain pipe from the same child, which is the least any
// reader that hands out chunks of that size must do. Both times span the
// child's start to its end, so the start of a run is in both.
//
// A second row gives the host's processor time for the same runs: on a
// shared machine the wall clock of neighbouring runs can differ by a factor
// of four, while the work a run costs the host does not.
//
//   bench_throughput [repetitions]
#include "bench_common.h"

#include <atomic>

#include "brackwyn.h"

namespace {

constexpr long long kBytes = 64ll << 20;
const char *const kBytesText = "67108864";
const char *const kBlockText = "65536";

std::atomic<long long> g_delivered{0};

void BRACKWYN_CALL CountChunk(const char *, size_t length, void *) {
    g_delivered += static_cast<long long>(length);
}

// One run's wall-clock seconds and the host's processor time in it. The
// processor time hardly depends on what else the machine is doing, so it
// shows the cost of the relay path even when the wall clock is swamped by
// other load.
struct Run {
    double seconds;
    double cpuMs;
};

Run LibraryRun() {
    g_delivered = 0;
    const char *arguments[] = {"write", kBytesText, kBlockText};
    const std::string command = bench::ChildCommand();
    const double cpuBefore = bench::ProcessCpuMs();
    const LONGLONG start = bench::Now();
    const int succeeded = dllglue_main(command.c_str(), 3, arguments, nullptr);
    const LONGLONG end = bench::Now();
    const double cpuAfter = bench::ProcessCpuMs();
    if (succeeded != 1 || g_delivered.load() != kBytes)
        bench::Fail("the library run did not deliver every byte");
    return {bench::TicksToMs(end - start) / 1000.0, cpuAfter - cpuBefore};
}

Run RawRun() {
    const double cpuBefore = bench::ProcessCpuMs();
    const LONGLONG start = bench::Now();
    long long received = 0;
    bool succeeded = false;
    {
        bench::RawChild child;
        if (!child.Start({"write", kBytesText, kBlockText}))
            bench::Fail("the raw child did not start");
        char buffer[1024];
        DWORD count = 0;
        while (ReadFile(child.Output(), buffer, sizeof buffer, &count, nullptr))
            received += count;
        succeeded = child.Wait();
    }
    const LONGLONG end = bench::Now();
    const double cpuAfter = bench::ProcessCpuMs();
    if (!succeeded || received != kBytes)
        bench::Fail("the raw run did not deliver every byte");
    return {bench::TicksToMs(end - start) / 1000.0, cpuAfter - cpuBefore};
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    dllglue_setconsoleout(CountChunk);
    std::vector<double> library, raw, ratios, libraryCpu, rawCpu, cpuRatios;
    for (int i = 0; i < repetitions; ++i) {
        Run librarySum{0, 0}, rawSum{0, 0};
        for (bool throughLibrary : bench::kRunOrder) {
            const Run run = throughLibrary ? LibraryRun() : RawRun();
            Run &sum = throughLibrary ? librarySum : rawSum;
            sum.seconds += run.seconds;
            sum.cpuMs += run.cpuMs;
            std::fprintf(stderr, "throughput: %s %.1f MB/s, host CPU %.0f ms\n",
                         throughLibrary ? "library" : "raw",
                         static_cast<double>(kBytes) / 1e6 / run.seconds, run.cpuMs);
        }
        // Two runs a side, so each side moved 2 * kBytes.
        library.push_back(2 * static_cast<double>(kBytes) / 1e6 / librarySum.seconds);
        raw.push_back(2 * static_cast<double>(kBytes) / 1e6 / rawSum.seconds);
        ratios.push_back(rawSum.seconds / librarySum.seconds);
        libraryCpu.push_back(librarySum.cpuMs / 2);
        rawCpu.push_back(rawSum.cpuMs / 2);
        cpuRatios.push_back(librarySum.cpuMs / rawSum.cpuMs);
    }
    const double ratio = bench::Median(ratios);
    bench::PrintRow("1. stdout throughput, 64 MiB in 64 KiB writes (MB/s)",
                    bench::Format("%.0f", bench::Median(library)),
                    bench::Format("%.0f", bench::Median(raw)), bench::RatioText(ratios),
                    "&ge; 0.90 &times; baseline", bench::Met(ratio >= 0.90));
    bench::PrintRow("1. host CPU for those 64 MiB (ms)",
                    bench::Format("%.0f", bench::Median(libraryCpu)),
                    bench::Format("%.0f", bench::Median(rawCpu)), bench::RatioText(cpuRatios),
                    "&mdash;", "&mdash;");
    return 0;
}
