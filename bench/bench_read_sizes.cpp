// Throughput against read size: which read size, and which pipe buffer, the
// library should use (engine/os/sizes.h), and where the library stands.
//
// The child writes 64 MiB in 64 KiB writes, as in figure 1. A raw loop reads
// it with ReadFile calls of 1 KiB to 1 MiB, once from a pipe of the library's
// buffer size and once from a pipe whose buffer is as large as the read: a
// read takes at most what the pipe holds, so a read size far above the
// buffer gains nothing. The library's own run is the point at its read size,
// beside its launch done by hand with raw reads of that size (bench_launch.h),
// whose hidden console costs what the plain raw loop does not pay. Each
// repetition runs every variant once, every other repetition backwards.
//
// Prints a Markdown table of its own (median MB/s with range) and writes
// read-sizes.dat ("KiB median min max" for each curve, two blank lines
// between curves, then the library's point and the launch by hand's) in the
// current folder for run_bench.sh's plot.
//
//   bench_read_sizes [repetitions]
#include "bench_launch.h"

#include <atomic>
#include <fstream>

#include "brackwyn.h"

namespace {

constexpr long long kBytes = 64ll << 20;
const char *const kBytesText = "67108864";
const char *const kBlockText = "65536";
const DWORD kReadSizes[] = {1u << 10, 4u << 10, 16u << 10, 64u << 10, 256u << 10, 1u << 20};
constexpr size_t kSizes = sizeof kReadSizes / sizeof kReadSizes[0];

std::atomic<long long> g_delivered{0};

void BRACKWYN_CALL CountChunk(const char *, size_t length, void *) {
    g_delivered += static_cast<long long>(length);
}

double LibraryRate() {
    g_delivered = 0;
    const char *arguments[] = {"write", kBytesText, kBlockText};
    const LONGLONG start = bench::Now();
    if (dllglue_main(bench::ChildCommand().c_str(), 3, arguments, nullptr) != 1 ||
        g_delivered.load() != kBytes)
        bench::Fail("the library run did not deliver every byte");
    return static_cast<double>(kBytes) / 1e6 / (bench::TicksToMs(bench::Now() - start) / 1000);
}

double ByHandRate() {
    const std::string line = bench::ChildCommandLine({"write", kBytesText, kBlockText});
    const LONGLONG start = bench::Now();
    if (bench::RawLaunch(bench::kAsLibrary, line).bytes != kBytes)
        bench::Fail("the launch by hand did not read every byte");
    return static_cast<double>(kBytes) / 1e6 / (bench::TicksToMs(bench::Now() - start) / 1000);
}

double RawRate(DWORD pipeBuffer, DWORD readSize) {
    const LONGLONG start = bench::Now();
    bench::RawChild child;
    if (!child.Start({"write", kBytesText, kBlockText}, pipeBuffer))
        bench::Fail("the raw child did not start");
    const long long received = bench::ReadUntilBroken(child.Output(), readSize);
    if (!child.Wait() || received != kBytes)
        bench::Fail("a raw run did not read every byte");
    return static_cast<double>(kBytes) / 1e6 / (bench::TicksToMs(bench::Now() - start) / 1000);
}

std::string KiB(DWORD bytes) {
    return std::to_string(bytes / 1024) + " KiB";
}

std::string Spread(const std::vector<double> &rates) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f (%.0f-%.0f)", bench::Median(rates),
                  bench::Smallest(rates), bench::Largest(rates));
    return text;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    dllglue_setconsoleout(CountChunk);
    // Variants 0 .. kSizes-1: the library's buffer; kSizes .. 2*kSizes-1: a
    // buffer of the read's size; then the library and its launch by hand.
    const size_t library = 2 * kSizes, byHand = library + 1, count = byHand + 1;
    std::vector<std::vector<double>> rates(count);
    for (int i = 0; i < repetitions; ++i) {
        for (size_t n = 0; n < count; ++n) {
            const size_t v = i % 2 == 0 ? n : count - 1 - n;
            if (v == library)
                rates[v].push_back(LibraryRate());
            else if (v == byHand)
                rates[v].push_back(ByHandRate());
            else
                rates[v].push_back(RawRate(v < kSizes ? kPipeBuffer : kReadSizes[v - kSizes],
                                           kReadSizes[v % kSizes]));
        }
        std::fprintf(stderr, "read sizes: repetition %d done\n", i + 1);
    }

    std::printf(
        "| read size | MB/s, pipe buffer %s (the library's) | MB/s, pipe buffer as large as "
        "the read |\n",
        KiB(kPipeBuffer).c_str());
    std::printf("|---|---:|---:|\n");
    for (size_t s = 0; s < kSizes; ++s)
        std::printf("| %s | %s | %s |\n", KiB(kReadSizes[s]).c_str(), Spread(rates[s]).c_str(),
                    Spread(rates[kSizes + s]).c_str());
    std::printf("| %s, dllglue_main | %s | |\n", KiB(kReadSize).c_str(),
                Spread(rates[library]).c_str());
    std::printf("| %s, the library's launch by hand | %s | |\n", KiB(kReadSize).c_str(),
                Spread(rates[byHand]).c_str());

    std::ofstream data("read-sizes.dat");
    for (size_t curve = 0; curve < 2; ++curve) {
        for (size_t s = 0; s < kSizes; ++s) {
            const std::vector<double> &r = rates[curve * kSizes + s];
            data << kReadSizes[s] / 1024 << ' ' << bench::Median(r) << ' ' << bench::Smallest(r)
                 << ' ' << bench::Largest(r) << '\n';
        }
        data << "\n\n";
    }
    for (size_t point : {library, byHand}) {
        const std::vector<double> &r = rates[point];
        data << kReadSize / 1024 << ' ' << bench::Median(r) << ' ' << bench::Smallest(r) << ' '
             << bench::Largest(r) << "\n\n\n";
    }
    if (!data)
        bench::Fail("cannot write read-sizes.dat");
    return 0;
}
