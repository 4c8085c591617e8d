// Figure 10: input throughput. 256 MiB go to a child that reads and discards
// them, in 64 KiB calls of dllglue_runwrite, against a raw loop of the same
// 64 KiB WriteFile calls into the same kind of child: a hidden console of its
// own, started suspended in a job, its input an anonymous pipe of the
// library's buffer size. Both spans run from the child's start to its end,
// and both children check that every byte came.
//
//   bench_input [repetitions]
#include "bench_common.h"

#include "brackwyn.h"

namespace {

constexpr size_t kTotal = 256u << 20;
constexpr size_t kBlock = 64u << 10;

std::vector<std::string> ChildArguments() {
    return {"read", std::to_string(kTotal)};
}

// MB/s through the library.
double Library(const std::vector<char> &block) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.input = DLLGLUE_INPUT_PIPE;
    const std::string line = bench::ChildCommandLine(ChildArguments());
    const LONGLONG start = bench::Now();
    ConsoleRun *run = nullptr;
    if (dllglue_runstart(line.c_str(), 0, nullptr, &options, &run) != DLLGLUE_OK)
        bench::Fail(dllglue_lasterror());
    for (size_t sent = 0; sent < kTotal; sent += kBlock) {
        if (dllglue_runwrite(run, block.data(), kBlock) != DLLGLUE_OK)
            bench::Fail(dllglue_lasterror());
    }
    dllglue_runclosein(run);
    dllglue_runwait(run, INFINITE, 0);
    const double seconds = bench::TicksToMs(bench::Now() - start) / 1000.0;
    ConsoleRunResult result{};
    result.size = sizeof(result);
    dllglue_runresult(run, &result);
    dllglue_runclose(run);
    if (result.state != DLLGLUE_EXITED || result.exitCode != 0 || result.inputBytes != kTotal)
        bench::Fail("the child did not read every byte written through the library");
    return kTotal / 1e6 / seconds;
}

// MB/s of a raw loop: the child started with the library's ingredients, its
// input on an anonymous pipe, and the same writes in a loop.
double Raw(const std::vector<char> &block) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const LONGLONG start = bench::Now();
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, kPipeBuffer))
        bench::Fail("CreatePipe failed");
    SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    HANDLE child = bench::StartRawChild(ChildArguments(), read, GetStdHandle(STD_OUTPUT_HANDLE),
                                        GetStdHandle(STD_ERROR_HANDLE), job);
    CloseHandle(read);
    for (size_t sent = 0; sent < kTotal; sent += kBlock) {
        DWORD written = 0;
        if (!WriteFile(write, block.data(), static_cast<DWORD>(kBlock), &written, nullptr) ||
            written != kBlock)
            bench::Fail("a raw write failed");
    }
    CloseHandle(write);
    WaitForSingleObject(child, INFINITE);
    const double seconds = bench::TicksToMs(bench::Now() - start) / 1000.0;
    DWORD code = 1;
    GetExitCodeProcess(child, &code);
    CloseHandle(child);
    CloseHandle(job);
    if (code != 0)
        bench::Fail("the raw child did not read every byte");
    return kTotal / 1e6 / seconds;
}

} // namespace

int main(int argc, char **argv) {
    const int repetitions = bench::Repetitions(argc, argv, 3);
    std::vector<char> block(kBlock);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('a' + i % 26);
    std::vector<double> library, raw, ratios;
    for (int i = 0; i < repetitions; ++i) {
        double libraryRate = 0, rawRate = 0;
        bench::ThereAndBack(2, [&](size_t side) {
            if (side == 0)
                libraryRate += Library(block) / 2;
            else
                rawRate += Raw(block) / 2;
        });
        library.push_back(libraryRate);
        raw.push_back(rawRate);
        ratios.push_back(libraryRate / rawRate);
        std::fprintf(stderr, "input: library %.0f MB/s, raw %.0f MB/s\n", libraryRate, rawRate);
    }
    bench::PrintRow("13. input throughput, 256 MiB in 64 KiB dllglue_runwrite calls, against a "
                    "raw loop of the same writes (MB/s)",
                    bench::Format("%.0f", bench::Median(library)),
                    bench::Format("%.0f", bench::Median(raw)), bench::RatioText(ratios),
                    "&ge; 0.90 &times; baseline", bench::Met(bench::Median(ratios) >= 0.90));
    return 0;
}
