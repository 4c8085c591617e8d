// Figure 3: what a run costs the host while the child does nothing.
//
// The child sleeps 3 s. The figure is the processor time of the whole host
// process (every thread, the start and end of the run included) from just
// before dllglue_main to just after it returns. A host that waits well sleeps
// through the run, so this should be a few milliseconds. The baseline is the
// same child started raw, with one reader thread blocked on its pipe and the
// main thread waiting for its end.
//
//   bench_idle [repetitions]
#include "bench_common.h"

#include "brackwyn.h"

namespace {

const char *const kSleepMsText = "3000";

struct Cost {
    double cpuMs;
    double wallMs;
};

Cost LibraryRun() {
    const char *arguments[] = {"sleep", kSleepMsText};
    const std::string command = bench::ChildCommand();
    const LONGLONG start = bench::Now();
    const double cpuBefore = bench::ProcessCpuMs();
    const int succeeded = dllglue_main(command.c_str(), 2, arguments, nullptr);
    const double cpuAfter = bench::ProcessCpuMs();
    const LONGLONG end = bench::Now();
    if (succeeded != 1)
        bench::Fail("the library run of the sleeping child failed");
    return {cpuAfter - cpuBefore, bench::TicksToMs(end - start)};
}

Cost RawRun() {
    const LONGLONG start = bench::Now();
    const double cpuBefore = bench::ProcessCpuMs();
    {
        bench::RawChild child;
        if (!child.Start({"sleep", kSleepMsText}))
            bench::Fail("the raw sleeping child did not start");
        bench::Thread reader([&] {
            char buffer[1024];
            DWORD count = 0;
            while (ReadFile(child.Output(), buffer, sizeof buffer, &count, nullptr)) {
            }
        });
        if (!child.Wait())
            bench::Fail("the raw sleeping child failed");
    }
    const double cpuAfter = bench::ProcessCpuMs();
    const LONGLONG end = bench::Now();
    return {cpuAfter - cpuBefore, bench::TicksToMs(end - start)};
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 3);
    std::vector<double> libraryCpu, rawCpu, libraryShare;
    for (int i = 0; i < repetitions; ++i) {
        Cost library{}, raw{};
        if (i % 2 == 0) {
            library = LibraryRun();
            raw = RawRun();
        } else {
            raw = RawRun();
            library = LibraryRun();
        }
        std::fprintf(stderr, "idle: library %.1f ms CPU in %.0f ms, raw %.1f ms CPU in %.0f ms\n",
                     library.cpuMs, library.wallMs, raw.cpuMs, raw.wallMs);
        libraryCpu.push_back(library.cpuMs);
        rawCpu.push_back(raw.cpuMs);
        libraryShare.push_back(100.0 * library.cpuMs / library.wallMs);
    }
    // An absolute goal: the baseline shows what a host that does nothing at
    // all still pays under this system (process start, thread start).
    const double cpu = bench::Median(libraryCpu);
    bench::PrintRow("3. host CPU while the child sleeps 3 s (ms)", bench::Format("%.1f", cpu),
                    bench::Format("%.1f", bench::Median(rawCpu)),
                    bench::Format("%.2f %% of one core", bench::Median(libraryShare)),
                    "&le; 30 ms (1 %)", bench::Met(cpu <= 30.0));
    return 0;
}
