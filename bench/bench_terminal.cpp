// Figures 17 and 18: terminal runs against pipe runs, with a child that
// buffers its output as real programs do (bench_term_child).
//
// Figure 17: the child prints a stamped line every 50 ms with printf and
// never flushes; the host reads the same counter when the line arrives.
// In a terminal run (text) each line comes as it is printed; through a pipe
// (merged UTF-8 lines) the C runtime holds it until its buffer fills or
// the child ends, which here is the end.
//
// Figure 18: 100-byte lines, written in 64 KiB blocks, through a terminal
// run (text) against a plain byte run; the callback only counts, and both
// sides are given as MB/s. A pseudo console draws every line on a screen
// and sends the screen's changes, which costs, and the cost is the price of
// live output. The two sides move different amounts: Wine's console host
// draws some 0.1 MB/s, so 16 MiB through the terminal would take minutes
// (longer than run_bench.sh gives a program), while a byte run needs 16 MiB
// to last long enough to measure. The terminal side's rate does not depend
// on the amount beyond its start-up, which 500 KB (some five seconds)
// outweighs many times over.
//
//   bench_terminal [repetitions]
#include "bench_common.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "brackwyn.h"

namespace {

constexpr int kStamps = 40;
const char *const kStampsText = "40";
const char *const kGapText = "50";
constexpr long long kBytes = 16ll << 20;
const char *const kBytesText = "16777216";
// A whole number of the child's lines, so that the last one ends too and
// the lines that arrive can be counted.
constexpr long long kTerminalBytes = 500000;
const char *const kTerminalBytesText = "500000";

std::string TermChild() {
    std::string command = bench::ChildCommand();
    return command.replace(command.find("bench_child.exe"), 15, "bench_term_child.exe");
}

struct Stamps {
    std::mutex lock;
    std::vector<double> latencyMs;
    std::string pending;
};

void BRACKWYN_CALL OnStamp(const char *text, size_t length, void *user) {
    const LONGLONG arrival = bench::Now();
    auto *stamps = static_cast<Stamps *>(user);
    std::lock_guard<std::mutex> hold(stamps->lock);
    stamps->pending.append(text, length);
    size_t end;
    while ((end = stamps->pending.find('\n')) != std::string::npos) {
        const long long stamp = std::atoll(stamps->pending.c_str());
        stamps->latencyMs.push_back(bench::TicksToMs(arrival - stamp));
        stamps->pending.erase(0, end + 1);
    }
}

std::atomic<long long> g_chunks{0};
void BRACKWYN_CALL CountChunk(const char *, size_t, void *) {
    ++g_chunks;
}

// The terminal side counts its lines: a console that dropped some would
// look fast.
std::atomic<long long> g_lines{0};
void BRACKWYN_CALL CountLines(const char *text, size_t length, void *) {
    long long lines = 0;
    for (size_t i = 0; i < length; ++i)
        lines += text[i] == '\n' ? 1 : 0;
    g_lines += lines;
}

ConsoleRunResult Run(const std::vector<std::string> &words, unsigned flags,
                     ConsoleTextCallback onOutput, void *user) {
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = onOutput;
    options.user = user;
    options.flags = flags;
    ConsoleRun *run = nullptr;
    if (dllglue_runstart(TermChild().c_str(), static_cast<int>(argv.size()), argv.data(), &options,
                         &run) != DLLGLUE_OK)
        bench::Fail(dllglue_lasterror());
    dllglue_runwait(run, INFINITE, 0);
    ConsoleRunResult result{};
    result.size = sizeof(result);
    dllglue_runresult(run, &result);
    dllglue_runclose(run);
    if (result.state != DLLGLUE_EXITED || result.exitCode != 0)
        bench::Fail("a run did not end by itself with exit code 0");
    return result;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 3);
    std::vector<double> terminal, pipe;
    for (int i = 0; i < repetitions; ++i) {
        bench::ThereAndBack(2, [&](size_t side) {
            Stamps stamps;
            Run({"stamp", kStampsText, kGapText},
                side == 0 ? DLLGLUE_TERMINAL : DLLGLUE_TEXT_UTF8 | DLLGLUE_LINES | DLLGLUE_MERGE,
                OnStamp, &stamps);
            if (stamps.latencyMs.size() != static_cast<size_t>(kStamps))
                bench::Fail("stamped lines went missing");
            std::vector<double> &into = side == 0 ? terminal : pipe;
            into.insert(into.end(), stamps.latencyMs.begin(), stamps.latencyMs.end());
        });
    }
    const double t50 = bench::Percentile(terminal, 50);
    const double p50 = bench::Percentile(pipe, 50);
    bench::PrintRow("17. printf to callback, buffering child, terminal against pipe, p50 (ms)",
                    bench::Format("%.1f", t50), bench::Format("%.1f", p50),
                    bench::Format("%.1f (p99)", bench::Percentile(terminal, 99)),
                    "&le; 50 ms in terminal mode", bench::Met(t50 <= 50));

    // One pass of each side a repetition, terminal first, then bytes: the
    // terminal side lasts some five seconds, the byte side a fraction of one,
    // so going there and back would buy nothing but time.
    std::vector<double> terminalRate, byteRate, ratios;
    for (int i = 0; i < repetitions; ++i) {
        double rate[2] = {0, 0};
        for (size_t side = 0; side < 2; ++side) {
            const long long bytes = side == 0 ? kTerminalBytes : kBytes;
            g_lines = 0;
            const LONGLONG start = bench::Now();
            const ConsoleRunResult result =
                side == 0
                    ? Run({"lines", kTerminalBytesText}, DLLGLUE_TERMINAL, CountLines, nullptr)
                    : Run({"lines", kBytesText}, 0, CountChunk, nullptr);
            const double spent = bench::TicksToMs(bench::Now() - start) / 1000.0;
            if (side == 0 && g_lines != kTerminalBytes / 100)
                bench::Fail("a terminal run did not relay every line");
            if (side == 1 && static_cast<long long>(result.outputBytes) != kBytes)
                bench::Fail("a byte run did not relay every byte");
            rate[side] = static_cast<double>(bytes) / 1e6 / spent;
            std::fprintf(stderr, "terminal: %s %.2f MB/s (%.1f s)\n",
                         side == 0 ? "terminal" : "bytes", rate[side], spent);
        }
        terminalRate.push_back(rate[0]);
        byteRate.push_back(rate[1]);
        ratios.push_back(rate[1] / rate[0]);
    }
    bench::PrintRow("18. throughput of text lines, 500 KB through the terminal (Wine's console "
                    "host draws ~0.1 MB/s: 16 MiB would outlast the time a figure gets) against "
                    "16 MiB of plain bytes (MB/s)",
                    bench::Format("%.2f", bench::Median(terminalRate)),
                    bench::Format("%.0f", bench::Median(byteRate)),
                    bench::RatioText(ratios) + " &times; slower",
                    "information; published: a pseudo console 20-30 &times; slower than a pipe",
                    "");
    return 0;
}
