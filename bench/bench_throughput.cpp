// Figures 1 and 6: how fast the child's standard output reaches the host, and
// what relaying it costs the host's processor.
//
// The child writes 64 MiB in 64 KiB writes. The library relays it through the
// output callback, which only counts. The baseline is the limit any reader
// of the library's sizes meets: a loop of ReadFile calls of the library's
// read size (kReadSize) on a plain pipe of its buffer size (kPipeBuffer) from
// the same child. Two more sides show where the library stands: the same
// reads in the library's own launch done by hand (a hidden console of the
// child's own, a job, reader threads; bench_launch.h), which tells the cost
// of the launch from that of the relay; and a loop of 1024-byte reads on a
// pipe of the system's default size, as the library once read, which shows
// what the large reads gained. Every time spans the child's start to its end,
// so the start of a run is in each.
//
// Figure 6 is the host's processor time per MiB for the same runs: on a
// shared machine the wall clock of neighbouring runs can differ by a factor
// of four, while the work a run costs the host does not.
//
//   bench_throughput [repetitions]
#include "bench_launch.h"

#include <atomic>

#include "brackwyn.h"

namespace {

constexpr long long kBytes = 64ll << 20;
const char *const kBytesText = "67108864";
const char *const kBlockText = "65536";
constexpr double kMiB = static_cast<double>(kBytes) / (1 << 20);

std::atomic<long long> g_delivered{0};

void BRACKWYN_CALL CountChunk(const char *, size_t length, void *) {
    g_delivered += static_cast<long long>(length);
}

// One run's wall-clock seconds and the host's processor time in it.
struct Run {
    double seconds = 0;
    double cpuMs = 0;
};

enum Side : size_t { kLibrary, kRawLarge, kByHand, kRawSmall, kSides };

Run RunSide(size_t side) {
    const double cpuBefore = bench::ProcessCpuMs();
    const LONGLONG start = bench::Now();
    long long received = 0;
    bool succeeded = false;
    if (side == kLibrary) {
        g_delivered = 0;
        const char *arguments[] = {"write", kBytesText, kBlockText};
        succeeded = dllglue_main(bench::ChildCommand().c_str(), 3, arguments, nullptr) == 1;
        received = g_delivered.load();
    } else if (side == kByHand) {
        const std::string line = bench::ChildCommandLine({"write", kBytesText, kBlockText});
        received = bench::RawLaunch(bench::kAsLibrary, line).bytes;
        succeeded = true; // every byte read is all a run by hand can tell
    } else {
        bench::RawChild child;
        const bool large = side == kRawLarge;
        if (!child.Start({"write", kBytesText, kBlockText}, large ? kPipeBuffer : 0))
            bench::Fail("the raw child did not start");
        received = bench::ReadUntilBroken(child.Output(), large ? kReadSize : 1024);
        succeeded = child.Wait();
    }
    Run run;
    run.seconds = bench::TicksToMs(bench::Now() - start) / 1000.0;
    run.cpuMs = bench::ProcessCpuMs() - cpuBefore;
    if (!succeeded || received != kBytes)
        bench::Fail("a run did not deliver every byte");
    return run;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    const char *const names[kSides] = {"library", "raw large reads", "launch by hand",
                                       "raw 1024-byte reads"};
    dllglue_setconsoleout(CountChunk);
    std::vector<double> rate[kSides], cpuPerMiB[kSides];
    std::vector<double> ratios, byHandRatios, oldRatios, cpuRatios;
    for (int i = 0; i < repetitions; ++i) {
        Run sum[kSides];
        bench::ThereAndBack(kSides, [&](size_t side) {
            const Run run = RunSide(side);
            sum[side].seconds += run.seconds;
            sum[side].cpuMs += run.cpuMs;
            std::fprintf(stderr, "throughput: %s %.1f MB/s, host CPU %.0f ms\n", names[side],
                         static_cast<double>(kBytes) / 1e6 / run.seconds, run.cpuMs);
        });
        // Two runs a side, so each side moved 2 * kBytes.
        for (size_t side = 0; side < kSides; ++side) {
            rate[side].push_back(2 * static_cast<double>(kBytes) / 1e6 / sum[side].seconds);
            cpuPerMiB[side].push_back(sum[side].cpuMs / (2 * kMiB));
        }
        ratios.push_back(sum[kRawLarge].seconds / sum[kLibrary].seconds);
        byHandRatios.push_back(sum[kByHand].seconds / sum[kLibrary].seconds);
        oldRatios.push_back(sum[kRawSmall].seconds / sum[kLibrary].seconds);
        cpuRatios.push_back(sum[kLibrary].cpuMs / sum[kRawLarge].cpuMs);
    }
    const std::string readKiB = std::to_string(kReadSize / 1024);
    bench::PrintRow("1. stdout throughput, 64 MiB in 64 KiB writes, against raw " + readKiB +
                        " KiB reads (MB/s)",
                    bench::Format("%.0f", bench::Median(rate[kLibrary])),
                    bench::Format("%.0f", bench::Median(rate[kRawLarge])), bench::RatioText(ratios),
                    "&ge; 0.90 &times; baseline", bench::Met(bench::Median(ratios) >= 0.90));
    bench::PrintRow("1. the same, against the library's launch by hand, raw " + readKiB +
                        " KiB reads (MB/s)",
                    bench::Format("%.0f", bench::Median(rate[kLibrary])),
                    bench::Format("%.0f", bench::Median(rate[kByHand])),
                    bench::RatioText(byHandRatios), "&mdash;", "&mdash;");
    bench::PrintRow("1. the same, against raw 1024-byte reads (the old design's) (MB/s)",
                    bench::Format("%.0f", bench::Median(rate[kLibrary])),
                    bench::Format("%.1f", bench::Median(rate[kRawSmall])),
                    bench::RatioText(oldRatios), "&mdash;", "&mdash;");
    bench::PrintRow("6. host CPU per MiB relayed, against raw " + readKiB + " KiB reads (ms)",
                    bench::Format("%.2f", bench::Median(cpuPerMiB[kLibrary])),
                    bench::Format("%.2f", bench::Median(cpuPerMiB[kRawLarge])),
                    bench::RatioText(cpuRatios), "&mdash;", "&mdash;");
    return 0;
}
