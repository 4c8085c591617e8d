// Figures 10 and 11: what text costs against plain bytes.
//
// Figure 10: the child writes 64 MiB of lines in 64 KiB writes, once all
// ASCII and once UTF-8 lines between lines in code page 437. The library
// relays them as merged UTF-8 lines (DLLGLUE_TEXT_UTF8 | DLLGLUE_LINES |
// DLLGLUE_MERGE, code page 437) and, as the baseline, as plain bytes; the
// callback only counts. Each time spans the run from its start to the
// return of its wait.
//
// Figure 11: two copies of figure 2's stamping child at once, told one start
// instant, one run in line mode (its 32-byte records end with "\n") and one
// in plain byte mode: a line must not reach the host later than its bytes
// would. Each repetition starts one child half a gap after the other, taking
// turns.
//
//   bench_text [repetitions]
#include "bench_common.h"

#include <atomic>

#include "brackwyn.h"

namespace {

constexpr long long kBytes = 64ll << 20;
const char *const kBytesText = "67108864";
const char *const kBlockText = "65536";
constexpr unsigned kTextFlags = DLLGLUE_TEXT_UTF8 | DLLGLUE_LINES | DLLGLUE_MERGE;

constexpr size_t kMessages = 2000;
const char *const kMessagesText = "2000";
const char *const kGapMsText = "1";
constexpr LONGLONG kLeadMs = 500;

std::atomic<long long> g_chunks{0};

void BRACKWYN_CALL CountChunk(const char *, size_t, void *) {
    ++g_chunks;
}

void BRACKWYN_CALL Arrived(const char *text, size_t length, void *user) {
    const LONGLONG arrival = bench::Now();
    static_cast<bench::StampSink *>(user)->Consume(text, length, arrival);
}

ConsoleRun *Start(const std::vector<std::string> &words, unsigned flags,
                  ConsoleTextCallback onOutput, void *user) {
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = onOutput;
    options.user = user;
    options.flags = flags;
    options.textCodePage = 437;
    ConsoleRun *run = nullptr;
    if (dllglue_runstart(bench::ChildCommand().c_str(), static_cast<int>(argv.size()), argv.data(),
                         &options, &run) != DLLGLUE_OK)
        bench::Fail(dllglue_lasterror());
    return run;
}

// Waits for the run and closes it; fails unless every byte was relayed.
void Finish(ConsoleRun *run, long long expectedBytes) {
    dllglue_runwait(run, INFINITE, 0);
    ConsoleRunResult result{};
    result.size = sizeof(result);
    dllglue_runresult(run, &result);
    dllglue_runclose(run);
    if (result.state != DLLGLUE_EXITED || result.exitCode != 0 ||
        (expectedBytes >= 0 && static_cast<long long>(result.outputBytes) != expectedBytes))
        bench::Fail("a run did not relay every byte");
}

double ThroughputSeconds(const char *kind, unsigned flags) {
    const LONGLONG start = bench::Now();
    Finish(Start({"text", kBytesText, kBlockText, kind}, flags, CountChunk, nullptr), kBytes);
    return bench::TicksToMs(bench::Now() - start) / 1000.0;
}

void Throughput(const char *kind, const char *label, double goal, int repetitions) {
    std::vector<double> textRate, byteRate, ratios;
    for (int i = 0; i < repetitions; ++i) {
        double seconds[2] = {0, 0};
        bench::ThereAndBack(2, [&](size_t side) {
            const double spent = ThroughputSeconds(kind, side == 0 ? kTextFlags : 0);
            seconds[side] += spent;
            std::fprintf(stderr, "text: %s %s %.1f MB/s\n", kind, side == 0 ? "text" : "bytes",
                         static_cast<double>(kBytes) / 1e6 / spent);
        });
        textRate.push_back(2 * static_cast<double>(kBytes) / 1e6 / seconds[0]);
        byteRate.push_back(2 * static_cast<double>(kBytes) / 1e6 / seconds[1]);
        ratios.push_back(seconds[1] / seconds[0]);
    }
    bench::PrintRow(std::string("11. throughput of 64 MiB of ") + label +
                        " as merged UTF-8 lines, against plain bytes (MB/s)",
                    bench::Format("%.0f", bench::Median(textRate)),
                    bench::Format("%.0f", bench::Median(byteRate)), bench::RatioText(ratios),
                    bench::Format("&ge; %.2f &times; baseline", goal),
                    bench::Met(bench::Median(ratios) >= goal));
}

void Latency(int repetitions) {
    const LONGLONG halfGap = bench::TicksPerSecond() / 2000;
    std::vector<double> lineP50, lineP99, byteP50, byteP99, ratios50, ratios99;
    for (int i = 0; i < repetitions; ++i) {
        const LONGLONG start = bench::Now() + kLeadMs * bench::TicksPerSecond() / 1000;
        const bool linesFirst = i % 2 == 0;
        const LONGLONG lineStart = linesFirst ? start : start + halfGap;
        const LONGLONG byteStart = linesFirst ? start + halfGap : start;
        bench::StampSink lines(kMessages), bytes(kMessages);
        ConsoleRun *lineRun = Start({"stamp", kMessagesText, kGapMsText, std::to_string(lineStart)},
                                    DLLGLUE_LINES, Arrived, &lines);
        ConsoleRun *byteRun = Start({"stamp", kMessagesText, kGapMsText, std::to_string(byteStart)},
                                    0, Arrived, &bytes);
        Finish(lineRun, -1);
        Finish(byteRun, -1);
        if (lines.Faults() != 0 || bytes.Faults() != 0 || lines.LatenciesUs().size() != kMessages ||
            bytes.LatenciesUs().size() != kMessages)
            bench::Fail("stamped records went missing or came out of order");
        const double l50 = bench::Percentile(lines.LatenciesUs(), 50);
        const double l99 = bench::Percentile(lines.LatenciesUs(), 99);
        const double b50 = bench::Percentile(bytes.LatenciesUs(), 50);
        const double b99 = bench::Percentile(bytes.LatenciesUs(), 99);
        std::fprintf(stderr, "text: lines p50 %.0f p99 %.0f, bytes p50 %.0f p99 %.0f us\n", l50,
                     l99, b50, b99);
        lineP50.push_back(l50);
        lineP99.push_back(l99);
        byteP50.push_back(b50);
        byteP99.push_back(b99);
        ratios50.push_back(l50 / b50);
        ratios99.push_back(l99 / b99);
    }
    bench::PrintRow("12. line latency in line mode, against plain bytes, p50 (&micro;s)",
                    bench::Format("%.0f", bench::Median(lineP50)),
                    bench::Format("%.0f", bench::Median(byteP50)), bench::RatioText(ratios50),
                    "&le; 1.1 &times; baseline", bench::Met(bench::Median(ratios50) <= 1.1));
    bench::PrintRow("12. line latency in line mode, against plain bytes, p99 (&micro;s)",
                    bench::Format("%.0f", bench::Median(lineP99)),
                    bench::Format("%.0f", bench::Median(byteP99)), bench::RatioText(ratios99),
                    "&le; 1.1 &times; baseline", bench::Met(bench::Median(ratios99) <= 1.1));
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    Throughput("ascii", "ASCII", 0.9, repetitions);
    Throughput("mixed", "mixed UTF-8 and OEM text", 0.7, repetitions);
    Latency(repetitions);
    return 0;
}
