// Figures 7 to 9: several runs at once through the run interface.
//
//   7. Eight runs at once, each child writing 16 MiB: the aggregate rate the
//      library relays, against eight raw readers at once (each an anonymous
//      pipe read in 64 KiB blocks by a thread of its own, the child started
//      with the library's ingredients).
//   8. Runs per second of a child that exits at once, four in flight against
//      one at a time: what concurrency buys, under Wine's console host.
//   9. Committed memory of the host per run with 64 runs at once.
//
//   bench_concurrent [repetitions]
#include "bench_common.h"

#include <psapi.h>

#include <atomic>

#include "brackwyn.h"

namespace {

constexpr int kStreams = 8;
constexpr size_t kBytesPerStream = 16u << 20;

void BRACKWYN_CALL Count(const char *, size_t length, void *user) {
    *static_cast<std::atomic<unsigned long long> *>(user) += length;
}

ConsoleRun *Start(const std::vector<std::string> &arguments, ConsoleRunOptions &options) {
    ConsoleRun *run = nullptr;
    const std::string line = bench::ChildCommandLine(arguments);
    if (dllglue_runstart(line.c_str(), 0, nullptr, &options, &run) != DLLGLUE_OK)
        bench::Fail(dllglue_lasterror());
    return run;
}

// MiB/s relayed by the library, eight runs at once.
double LibraryStreams() {
    std::atomic<unsigned long long> relayed{0};
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = Count;
    options.user = &relayed;
    ConsoleRun *runs[kStreams];
    const LONGLONG start = bench::Now();
    for (ConsoleRun *&run : runs)
        run = Start({"write", std::to_string(kBytesPerStream), "65536"}, options);
    for (ConsoleRun *run : runs) {
        dllglue_runwait(run, INFINITE, 0);
        dllglue_runclose(run);
    }
    const double seconds = bench::TicksToMs(bench::Now() - start) / 1000.0;
    if (relayed.load() != kStreams * kBytesPerStream)
        bench::Fail("the library lost bytes of the concurrent streams");
    return kStreams * (kBytesPerStream / 1048576.0) / seconds;
}

// A raw child started with the library's own ingredients, so that figure 7
// compares reading and relaying, not launches: its output on an anonymous
// pipe, a hidden console of its own (under Wine a console host process per
// child, the largest part of a launch), suspended until it is in a job.
struct RawStream {
    HANDLE output = nullptr;
    HANDLE process = nullptr;
};

RawStream StartLikeTheLibrary(HANDLE job) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    RawStream stream;
    HANDLE write = nullptr;
    if (!CreatePipe(&stream.output, &write, &inheritable, 0))
        bench::Fail("CreatePipe failed");
    SetHandleInformation(stream.output, HANDLE_FLAG_INHERIT, 0);
    stream.process = bench::StartRawChild({"write", std::to_string(kBytesPerStream), "65536"},
                                          nullptr, write, write, job);
    CloseHandle(write);
    return stream;
}

// The same with eight raw children and reader threads, 64 KiB a read.
double RawStreams() {
    std::atomic<unsigned long long> read{0};
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    std::vector<RawStream> streams;
    std::vector<HANDLE> threads;
    struct Job {
        HANDLE pipe;
        std::atomic<unsigned long long> *read;
    };
    const LONGLONG start = bench::Now();
    for (int i = 0; i < kStreams; ++i) {
        streams.push_back(StartLikeTheLibrary(job));
        threads.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                auto *j = static_cast<Job *>(parameter);
                std::vector<char> buffer(65536);
                DWORD got = 0;
                while (ReadFile(j->pipe, buffer.data(), 65536, &got, nullptr))
                    *j->read += got;
                delete j;
                return 0;
            },
            new Job{streams.back().output, &read}, 0, nullptr));
    }
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    const double seconds = bench::TicksToMs(bench::Now() - start) / 1000.0;
    for (size_t i = 0; i < threads.size(); ++i) {
        CloseHandle(threads[i]);
        WaitForSingleObject(streams[i].process, INFINITE);
        CloseHandle(streams[i].process);
        CloseHandle(streams[i].output);
    }
    CloseHandle(job);
    if (read.load() != kStreams * kBytesPerStream)
        bench::Fail("the raw readers lost bytes");
    return kStreams * (kBytesPerStream / 1048576.0) / seconds;
}

// Runs per second of the exiting child with `inFlight` runs going at once.
double RunsPerSecond(int inFlight, int total) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    std::vector<ConsoleRun *> going;
    int started = 0;
    const LONGLONG start = bench::Now();
    while (started < total || !going.empty()) {
        while (started < total && static_cast<int>(going.size()) < inFlight) {
            going.push_back(Start({"exit"}, options));
            ++started;
        }
        dllglue_runwait(going.front(), INFINITE, 0);
        dllglue_runclose(going.front());
        going.erase(going.begin());
    }
    return total / (bench::TicksToMs(bench::Now() - start) / 1000.0);
}

size_t Committed() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage; // Wine fills this one, not PrivateUsage
}

// KiB committed per run while 64 children sleep.
double KiBPerRun() {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    std::vector<ConsoleRun *> runs;
    const size_t before = Committed();
    for (int i = 0; i < 64; ++i)
        runs.push_back(Start({"sleep", "3000"}, options));
    Sleep(500); // every run's threads have started and read once
    const size_t during = Committed();
    for (ConsoleRun *run : runs)
        dllglue_runclose(run);
    return (during > before ? during - before : 0) / 64.0 / 1024.0;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 3);
    std::vector<double> library, raw, ratios, one, four, gains;
    for (int i = 0; i < repetitions; ++i) {
        double libraryRate = 0, rawRate = 0;
        // Library, raw, raw, library: a machine that speeds up or slows down
        // over a repetition weighs on both sides alike.
        for (bool throughLibrary : {true, false, false, true}) {
            if (throughLibrary)
                libraryRate += LibraryStreams() / 2;
            else
                rawRate += RawStreams() / 2;
        }
        library.push_back(libraryRate);
        raw.push_back(rawRate);
        ratios.push_back(libraryRate / rawRate);
        const double serial = RunsPerSecond(1, 12);
        const double parallel = RunsPerSecond(4, 12);
        one.push_back(serial);
        four.push_back(parallel);
        gains.push_back(parallel / serial);
        std::fprintf(stderr,
                     "concurrent: library %.0f MiB/s, raw %.0f MiB/s; runs %.1f/s alone, "
                     "%.1f/s four at a time\n",
                     libraryRate, rawRate, serial, parallel);
    }
    bench::PrintRow("7. 8 runs at once, 16 MiB each (aggregate MiB/s)",
                    bench::Format("%.0f", bench::Median(library)),
                    bench::Format("%.0f", bench::Median(raw)), bench::RatioText(ratios),
                    "&ge; 0.90 &times; baseline", bench::Met(bench::Median(ratios) >= 0.90));
    bench::PrintRow("8. runs per second, 4 in flight vs 1 at a time",
                    bench::Format("%.1f/s", bench::Median(four)),
                    bench::Format("%.1f/s", bench::Median(one)), bench::RatioText(gains),
                    "information", "");
    bench::PrintRow("9. committed memory per run, 64 runs at once",
                    bench::Format("%.0f KiB", KiBPerRun()), "", "", "information", "");
    return 0;
}
