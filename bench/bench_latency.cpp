// Figure 2: how long a small write of the child takes to reach the host.
//
// A child writes 2000 stamped records about 1 ms apart, each stamped with
// QueryPerformanceCounter right before its write; the consumer reads the same
// counter when a chunk arrives. Through the library the consumer is the
// output callback; the baseline is a thread of the host that reads a plain
// pipe from another copy of the child with ReadFile calls of the library's
// read size. A read returns as soon as any byte is there, whatever its size,
// so large reads must not cost latency; this figure is where that shows.
//
// The two run at the same time: both children are told one start instant, so
// a stall of the machine (another program, another virtual machine) lands on
// both sides of a repetition alike. Run one after the other, the p99 of either
// side moved by a factor of several between neighbouring runs and swamped the
// difference being measured. Each repetition starts one child half a gap
// after the other, taking turns, so that neither always writes first.
//
// Besides its table rows it writes every latency (all repetitions) to
// latency-library.dat and latency-raw.dat in the current folder, as
// "microseconds cumulative-fraction" lines for run_bench.sh's plot.
//
//   bench_latency [repetitions]
#include "bench_common.h"

#include <fstream>
#include <iomanip>

#include "brackwyn.h"

namespace {

constexpr size_t kMessages = 2000;
const char *const kMessagesText = "2000";
const char *const kGapMsText = "1";
// Time for both children to be started before either writes; a library
// launch takes tens of milliseconds under Wine, more on a busy machine.
constexpr LONGLONG kLeadMs = 500;

void Check(const bench::StampSink &sink) {
    if (sink.Faults() != 0 || sink.LatenciesUs().size() != kMessages)
        bench::Fail("stamped records went missing, came out of order or had a future stamp");
}

void BRACKWYN_CALL Arrived(const char *text, size_t length, void *user) {
    const LONGLONG arrival = bench::Now();
    static_cast<bench::StampSink *>(user)->Consume(text, length, arrival);
}

std::string StartText(LONGLONG start) {
    return std::to_string(static_cast<long long>(start));
}

// One repetition: both children at once. Appends each side's latencies.
void RunBoth(LONGLONG libraryStart, LONGLONG rawStart, std::vector<double> &library,
             std::vector<double> &raw) {
    bench::StampSink rawSink(kMessages);
    bench::RawChild child;
    if (!child.Start({"stamp", kMessagesText, kGapMsText, StartText(rawStart)}))
        bench::Fail("the raw stamping child did not start");
    {
        bench::Thread reader([&] {
            std::unique_ptr<char[]> buffer(new char[kReadSize]);
            DWORD count = 0;
            while (ReadFile(child.Output(), buffer.get(), kReadSize, &count, nullptr))
                rawSink.Consume(buffer.get(), count, bench::Now());
        });
        bench::StampSink librarySink(kMessages);
        const std::string start = StartText(libraryStart);
        const char *arguments[] = {"stamp", kMessagesText, kGapMsText, start.c_str()};
        if (dllglue_main(bench::ChildCommand().c_str(), 4, arguments, &librarySink) != 1)
            bench::Fail("the library run of the stamping child failed");
        Check(librarySink);
        library = librarySink.LatenciesUs();
        if (!child.Wait())
            bench::Fail("the raw stamping child failed");
    }
    Check(rawSink);
    raw = rawSink.LatenciesUs();
}

void WriteDistribution(const char *path, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::ofstream file(path);
    file.setf(std::ios::fixed);
    for (size_t i = 0; i < values.size(); ++i)
        file << std::setprecision(1) << values[i] << ' ' << std::setprecision(6)
             << static_cast<double>(i + 1) / static_cast<double>(values.size()) << '\n';
    if (!file)
        bench::Fail("cannot write the latency distribution");
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 7);
    dllglue_setconsoleout(Arrived);
    const LONGLONG halfGap = bench::TicksPerSecond() / 2000;
    std::vector<double> libP50, libP99, rawP50, rawP99, ratios50, ratios99;
    std::vector<double> libraryAll, rawAll;
    for (int i = 0; i < repetitions; ++i) {
        const LONGLONG start = bench::Now() + kLeadMs * bench::TicksPerSecond() / 1000;
        const bool libraryFirst = i % 2 == 0;
        std::vector<double> library, raw;
        RunBoth(libraryFirst ? start : start + halfGap, libraryFirst ? start + halfGap : start,
                library, raw);
        const double lib50 = bench::Percentile(library, 50), lib99 = bench::Percentile(library, 99);
        const double raw50 = bench::Percentile(raw, 50), raw99 = bench::Percentile(raw, 99);
        std::fprintf(stderr, "latency: library p50 %.0f p99 %.0f, raw p50 %.0f p99 %.0f us\n",
                     lib50, lib99, raw50, raw99);
        libP50.push_back(lib50);
        libP99.push_back(lib99);
        rawP50.push_back(raw50);
        rawP99.push_back(raw99);
        ratios50.push_back(lib50 / raw50);
        ratios99.push_back(lib99 / raw99);
        libraryAll.insert(libraryAll.end(), library.begin(), library.end());
        rawAll.insert(rawAll.end(), raw.begin(), raw.end());
    }
    WriteDistribution("latency-library.dat", libraryAll);
    WriteDistribution("latency-raw.dat", rawAll);
    bench::PrintRow("2. relay latency, child write to callback, p50 (&micro;s)",
                    bench::Format("%.0f", bench::Median(libP50)),
                    bench::Format("%.0f", bench::Median(rawP50)), bench::RatioText(ratios50),
                    "&le; 1.1 &times; baseline", bench::Met(bench::Median(ratios50) <= 1.1));
    bench::PrintRow("2. relay latency, child write to callback, p99 (&micro;s)",
                    bench::Format("%.0f", bench::Median(libP99)),
                    bench::Format("%.0f", bench::Median(rawP99)), bench::RatioText(ratios99),
                    "&le; 1.1 &times; baseline", bench::Met(bench::Median(ratios99) <= 1.1));
    return 0;
}
