// Figure 5: how many runs a second the library manages when the child has
// nothing to do, which is what the start and end of a run cost.
//
// The child exits at once. The library side calls dllglue_main in a loop. The
// baseline the library is held to is its own launch done by hand, with every
// ingredient and no more (bench_launch.h): three pipes, a hidden console of
// the child's own, a suspended start, a job, two reader threads and a
// watcher, and the wait until both pipes break. The plainest start of the
// same child (CreateProcess with no redirection and no console of its own,
// WaitForSingleObject, CloseHandle) is shown too, as information;
// bench_launch_costs shows where the difference goes.
//
// With BENCH_COMPARE_DLL naming another build of brackwyn.dll (a copy under a
// name of its own, so that it loads beside this one), its dllglue_main runs
// as one more side, and a row compares this build with it.
//
//   bench_runs [repetitions]
#include "bench_launch.h"

#include "brackwyn.h"

namespace {

constexpr int kRunsPerRepetition = 10; // per block; two blocks a side

using MainEntry = decltype(&dllglue_main);

enum Side : size_t { kLibrary, kByHand, kPlain, kOtherBuild };

double Rate(size_t side, MainEntry otherMain) {
    const char *arguments[] = {"exit"};
    const std::string command = bench::ChildCommand();
    const std::string line = bench::ChildCommandLine({"exit"});
    const LONGLONG start = bench::Now();
    for (int i = 0; i < kRunsPerRepetition; ++i) {
        if (side == kLibrary || side == kOtherBuild) {
            const MainEntry entry = side == kLibrary ? &dllglue_main : otherMain;
            if (entry(command.c_str(), 1, arguments, nullptr) != 1)
                bench::Fail("a library run of the exiting child failed");
        } else {
            bench::RawLaunch(side == kByHand ? bench::kAsLibrary : 0, line);
        }
    }
    return kRunsPerRepetition / (bench::TicksToMs(bench::Now() - start) / 1000.0);
}

// The other build's entry point, or null when none is asked for.
MainEntry LoadOtherBuild(std::string &name) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("BENCH_COMPARE_DLL", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    name = path;
    name.erase(0, name.find_last_of("\\/") + 1);
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr)
        bench::Fail("BENCH_COMPARE_DLL does not load");
    const auto entry = reinterpret_cast<MainEntry>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "dllglue_main")));
    if (entry == nullptr)
        bench::Fail("BENCH_COMPARE_DLL has no dllglue_main");
    return entry;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    std::string otherName;
    const MainEntry otherMain = LoadOtherBuild(otherName);
    const size_t sides = otherMain != nullptr ? 4 : 3;
    const char *const names[4] = {"library", "by hand", "plain", "other build"};
    std::vector<double> rate[4], ratios[4];
    for (int i = 0; i < repetitions; ++i) {
        double sum[4] = {};
        bench::ThereAndBack(sides, [&](size_t side) { sum[side] += Rate(side, otherMain) / 2; });
        for (size_t side = 0; side < sides; ++side) {
            std::fprintf(stderr, "runs: %s %.1f/s%s", names[side], sum[side],
                         side + 1 < sides ? ", " : "\n");
            rate[side].push_back(sum[side]);
            ratios[side].push_back(sum[kLibrary] / sum[side]);
        }
    }
    auto row = [&](const std::string &figure, size_t side, const std::string &goal,
                   const std::string &met) {
        bench::PrintRow(figure, bench::Format("%.1f", bench::Median(rate[kLibrary])),
                        bench::Format("%.1f", bench::Median(rate[side])),
                        bench::RatioText(ratios[side]), goal, met);
    };
    row("5. runs per second, child that exits at once, against its launch by hand", kByHand,
        "&ge; 0.95 &times; baseline", bench::Met(bench::Median(ratios[kByHand]) >= 0.95));
    row("5. the same, against a plain CreateProcess", kPlain, "&mdash;", "&mdash;");
    if (otherMain != nullptr)
        row("5. the same, against " + otherName, kOtherBuild, "&mdash;", "&mdash;");
    return 0;
}
