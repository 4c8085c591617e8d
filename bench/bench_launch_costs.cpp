// Where the start and end of a run go: the child that exits at once, started
// with one ingredient of the library's launch at a time added to a plain
// CreateProcess, then with the pair that costs more together than apart, then
// with all of them (figure 5's baseline), then with two other ways of keeping
// the child's console out of sight, then through the library itself.
//
// Prints a Markdown table of its own: milliseconds per run; the extra over
// the plain start, a median over repetitions of a difference taken within
// one repetition; and, where reader threads watch the pipes, how long after
// the child's end its pipes broke, which is when a run can end.
//
//   bench_launch_costs [repetitions]
#include "bench_launch.h"

#include "brackwyn.h"

namespace {

constexpr int kRunsPerRepetition = 10;

using namespace bench;

constexpr unsigned kLibrary = 1u << 31; // dllglue_main itself

struct Variant {
    const char *name;
    unsigned ingredients;
};

const Variant kVariants[] = {
    {"plain CreateProcess", 0},
    {"+ three inheritable pipes", kPipes},
    {"+ CREATE_NEW_CONSOLE, hidden", kNewConsole},
    {"+ CREATE_SUSPENDED and ResumeThread", kSuspended},
    {"+ job object, kill on close", kJob},
    {"+ pipes, two readers and a watcher thread", kPipes | kThreads},
    {"+ pipes, readers, watcher and CREATE_NEW_CONSOLE", kPipes | kThreads | kNewConsole},
    {"all of the above (the library's launch, figure 5 baseline)", kAsLibrary},
    {"all, CREATE_NO_WINDOW for CREATE_NEW_CONSOLE", (kAsLibrary & ~kNewConsole) | kNoWindow},
    {"all, DETACHED_PROCESS for CREATE_NEW_CONSOLE", (kAsLibrary & ~kNewConsole) | kDetached},
    {"dllglue_main", kLibrary},
};

// One start and end of the exiting child with the given ingredients.
// Returns how long after the child's end its pipes broke, in milliseconds,
// when reader threads were there to see it, else a negative number.
double RunOnce(unsigned ingredients, const std::string &line) {
    if (ingredients & kLibrary) {
        const char *arguments[] = {"exit"};
        if (dllglue_main(ChildCommand().c_str(), 1, arguments, nullptr) != 1)
            Fail("a library run of the exiting child failed");
        return -1.0;
    }
    return RawLaunch(ingredients, line).pipeLagMs;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 3);
    const std::string line = bench::ChildCommandLine({"exit"});
    const size_t count = sizeof kVariants / sizeof kVariants[0];
    std::vector<std::vector<double>> perRun(count), extra(count), lag(count);
    for (int i = 0; i < repetitions; ++i) {
        std::vector<double> ms(count);
        for (size_t n = 0; n < count; ++n) {
            // Every other repetition backwards, so that no variant always
            // runs on a machine that has been busy longest.
            const size_t v = i % 2 == 0 ? n : count - 1 - n;
            double lagSum = 0;
            const LONGLONG start = bench::Now();
            for (int r = 0; r < kRunsPerRepetition; ++r)
                lagSum += RunOnce(kVariants[v].ingredients, line);
            ms[v] = bench::TicksToMs(bench::Now() - start) / kRunsPerRepetition;
            perRun[v].push_back(ms[v]);
            lag[v].push_back(lagSum / kRunsPerRepetition);
        }
        for (size_t v = 0; v < count; ++v)
            extra[v].push_back(ms[v] - ms[0]);
    }
    std::printf("| start of the exiting child | ms per run | extra over plain (ms) | "
                "pipes broke after the child's end (ms) |\n");
    std::printf("|---|---:|---:|---:|\n");
    for (size_t v = 0; v < count; ++v) {
        const double pipeLag = bench::Median(lag[v]);
        std::printf("| %s | %.1f | %+.1f | %s |\n", kVariants[v].name, bench::Median(perRun[v]),
                    bench::Median(extra[v]),
                    pipeLag < 0 ? "&mdash;" : bench::Format("%.1f", pipeLag).c_str());
    }
    return 0;
}
