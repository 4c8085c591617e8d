// Figure 5: how many runs a second the library manages when the child has
// nothing to do, which is what the start and end of a run cost.
//
// The child exits at once. The library side calls dllglue_main in a loop; the
// baseline is the plainest start of the same child: CreateProcess (no
// redirection, no console of its own, no job), WaitForSingleObject and
// CloseHandle. bench_launch_costs shows where the difference goes.
//
//   bench_runs [repetitions]
#include "bench_common.h"

#include "brackwyn.h"

namespace {

constexpr int kRunsPerRepetition = 10; // per block; four blocks a repetition

double LibraryRate() {
    const char *arguments[] = {"exit"};
    const std::string command = bench::ChildCommand();
    const LONGLONG start = bench::Now();
    for (int i = 0; i < kRunsPerRepetition; ++i) {
        if (dllglue_main(command.c_str(), 1, arguments, nullptr) != 1)
            bench::Fail("a library run of the exiting child failed");
    }
    return kRunsPerRepetition / (bench::TicksToMs(bench::Now() - start) / 1000.0);
}

double RawRate() {
    const std::string line = bench::ChildCommandLine({"exit"});
    const LONGLONG start = bench::Now();
    for (int i = 0; i < kRunsPerRepetition; ++i) {
        std::string writable(line);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION created{};
        if (!CreateProcessA(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &created))
            bench::Fail("the raw exiting child did not start");
        WaitForSingleObject(created.hProcess, INFINITE);
        CloseHandle(created.hThread);
        CloseHandle(created.hProcess);
    }
    return kRunsPerRepetition / (bench::TicksToMs(bench::Now() - start) / 1000.0);
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 5);
    std::vector<double> library, raw, ratios;
    for (int i = 0; i < repetitions; ++i) {
        double libraryRate = 0, rawRate = 0;
        // Two blocks a side; each side's rate is the mean of its two.
        for (bool throughLibrary : bench::kRunOrder) {
            if (throughLibrary)
                libraryRate += LibraryRate() / 2;
            else
                rawRate += RawRate() / 2;
        }
        std::fprintf(stderr, "runs: library %.1f/s, raw %.1f/s\n", libraryRate, rawRate);
        library.push_back(libraryRate);
        raw.push_back(rawRate);
        ratios.push_back(libraryRate / rawRate);
    }
    bench::PrintRow("5. runs per second, child that exits at once",
                    bench::Format("%.1f", bench::Median(library)),
                    bench::Format("%.1f", bench::Median(raw)), bench::RatioText(ratios),
                    "&ge; 0.90 &times; baseline", bench::Met(bench::Median(ratios) >= 0.90));
    return 0;
}
