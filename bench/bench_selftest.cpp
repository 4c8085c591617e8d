// Checks the measuring instruments before anyone trusts their figures: the
// statistics, the stamped-record reader, the clock shared by two processes,
// the processor-time reading, the bench child, and that the library and the
// baselines see the same stream. A fault in any of them would still print
// plausible numbers, which is why they are tested.
//
//   bench_selftest       ends with "N passed, M failed"; exit code 1 on a failure
#include "bench_launch.h"

#include <cstring>
#include <functional>

#include "brackwyn.h"

namespace {

int g_failures = 0;

void Expect(bool condition, const char *what, const char *file, int line) {
    if (!condition) {
        std::printf("    %s:%d: %s\n", file, line, what);
        ++g_failures;
    }
}
#define EXPECT(condition) Expect((condition), #condition, __FILE__, __LINE__)

struct Case {
    const char *name;
    std::function<void()> body;
};

// Reads everything the raw child writes as the figures' raw loops do;
// returns its exit code.
DWORD RunRaw(const std::vector<std::string> &arguments, std::string &output, DWORD pipeBuffer = 0,
             DWORD readSize = 4096) {
    bench::RawChild child;
    if (!child.Start(arguments, pipeBuffer))
        return 0xFFFFFFFF;
    bench::ReadUntilBroken(child.Output(), readSize, &output);
    WaitForSingleObject(child.Process(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.Process(), &code);
    return code;
}

std::string Records(unsigned first, unsigned count, LONGLONG stamp) {
    std::string stream;
    for (unsigned i = first; i < first + count; ++i) {
        char record[bench::kStampLength + 1];
        bench::FormatStamp(record, i, stamp);
        stream.append(record, bench::kStampLength);
    }
    return stream;
}

void Statistics() {
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i); // unsorted on purpose
    EXPECT(bench::Percentile(hundred, 50) == 50);
    EXPECT(bench::Percentile(hundred, 99) == 99);
    EXPECT(bench::Percentile(hundred, 100) == 100);
    EXPECT(bench::Percentile(hundred, 0) == 1);
    std::vector<double> twoThousand;
    for (int i = 1; i <= 2000; ++i)
        twoThousand.push_back(i);
    // The 1980th of 2000: the 20 slowest are above p99, not 21 or 19.
    EXPECT(bench::Percentile(twoThousand, 99) == 1980);
    EXPECT(bench::Percentile({}, 99) == 0);
    EXPECT(bench::Median({3, 1, 2}) == 2);
    EXPECT(bench::Median({4, 1, 3, 2}) == 2.5);
    EXPECT(bench::Median({7}) == 7);
}

void StampsCutAnywhere() {
    const LONGLONG sent = 1000;
    const LONGLONG arrival = sent + bench::TicksPerSecond() / 1000; // 1 ms later
    const std::string stream = Records(0, 5, sent);
    // Every way of cutting the stream in two, as 1024-byte reads of a backed
    // up pipe would, must yield the same five records.
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        bench::StampSink sink(5);
        sink.Consume(stream.data(), cut, arrival);
        sink.Consume(stream.data() + cut, stream.size() - cut, arrival);
        EXPECT(sink.Faults() == 0);
        EXPECT(sink.LatenciesUs().size() == 5);
        for (double latency : sink.LatenciesUs())
            EXPECT(latency > 999.0 && latency < 1001.0);
    }
}

void StampFaultsAreCounted() {
    const LONGLONG arrival = 5000;
    {
        // Record 2 lost: one fault, and the records after it still measured.
        bench::StampSink sink(5);
        const std::string stream = Records(0, 2, 100) + Records(3, 2, 100);
        sink.Consume(stream.data(), stream.size(), arrival);
        EXPECT(sink.Faults() == 1);
        EXPECT(sink.LatenciesUs().size() == 3);
    }
    {
        // A corrupted byte.
        bench::StampSink sink(3);
        std::string stream = Records(0, 3, 100);
        stream[bench::kStampLength + 12] = 'x';
        sink.Consume(stream.data(), stream.size(), arrival);
        EXPECT(sink.Faults() == 1);
        EXPECT(sink.LatenciesUs().size() == 2);
    }
    {
        // Stamped after it arrived: the two clocks disagree.
        bench::StampSink sink(1);
        const std::string stream = Records(0, 1, arrival + 1);
        sink.Consume(stream.data(), stream.size(), arrival);
        EXPECT(sink.Faults() == 1);
        EXPECT(sink.LatenciesUs().empty());
    }
    {
        // The stream ended inside a record.
        bench::StampSink sink(2);
        const std::string stream = Records(0, 2, 100);
        sink.Consume(stream.data(), stream.size() - 1, arrival);
        EXPECT(sink.Faults() == 1);
    }
}

// The latency figure subtracts a stamp read in the child from one read in
// the host; that means nothing unless both read one counter.
void ClockIsSharedAcrossProcesses() {
    EXPECT(bench::TicksPerSecond() > 0);
    for (int i = 0; i < 5; ++i) {
        const LONGLONG before = bench::Now();
        std::string output;
        EXPECT(RunRaw({"qpc"}, output) == 0);
        const LONGLONG after = bench::Now();
        const LONGLONG child = std::atoll(output.c_str());
        EXPECT(before < child);
        EXPECT(child < after);
    }
}

// Figure 3 trusts GetProcessTimes to see this process's work.
void ProcessTimeCountsWork() {
    const double before = bench::ProcessCpuMs();
    const LONGLONG start = bench::Now();
    volatile unsigned sink = 0;
    while (bench::TicksToMs(bench::Now() - start) < 300.0)
        sink = sink + 1;
    const double spent = bench::ProcessCpuMs() - before;
    // Even on a busy machine a 300 ms spin gets a fair share of a core; the
    // counter's own steps are 10 ms under Wine.
    EXPECT(spent >= 50.0);
    EXPECT(spent <= 350.0);
}

// What `bench_child write <total> <block>` writes.
std::string Written(size_t total, size_t block) {
    std::string bytes(total, '\0');
    for (size_t i = 0; i < total; ++i)
        bytes[i] = static_cast<char>('a' + (i % block) % 26);
    return bytes;
}

void ChildWritesWhatItIsAsked() {
    std::string output;
    // Not a multiple of the block: the last write is a short one.
    EXPECT(RunRaw({"write", "100000", "4096"}, output) == 0);
    EXPECT(output == Written(100000, 4096));

    output.clear();
    EXPECT(RunRaw({"stamp", "20", "0"}, output) == 0);
    bench::StampSink sink(20);
    sink.Consume(output.data(), output.size(), bench::Now());
    EXPECT(sink.Faults() == 0);
    EXPECT(sink.LatenciesUs().size() == 20);

    output.clear();
    EXPECT(RunRaw({"sleep", "0"}, output) == 0);
    EXPECT(output == "ready\n");

    output.clear();
    EXPECT(RunRaw({"exit"}, output) == 0);
    EXPECT(output.empty());
    // A mistyped mode must not pass for a run that did its work.
    EXPECT(RunRaw({"wirte", "10", "10"}, output) == 2);
}

// A raw loop that stopped early would pass for a fast one: every read size
// and pipe buffer the figures use must read the whole stream, and figure 5's
// launch by hand must read both pipes to their end.
void RawLoopsReadEveryByte() {
    const std::string expected = Written(300000, 65536);
    for (DWORD readSize : {DWORD{1024}, kReadSize, DWORD{1} << 20}) {
        for (DWORD pipeBuffer : {DWORD{0}, kPipeBuffer, readSize}) {
            std::string output;
            EXPECT(RunRaw({"write", "300000", "65536"}, output, pipeBuffer, readSize) == 0);
            EXPECT(output == expected);
        }
    }
    const bench::RawLaunchResult launched =
        bench::RawLaunch(bench::kAsLibrary, bench::ChildCommandLine({"write", "300000", "65536"}));
    EXPECT(launched.bytes == 300000);
    EXPECT(launched.pipeLagMs >= 0);
}

// What the library hands the figures' callbacks must be what the baselines
// read: the same bytes in chunks of at most 1024, and stamps that parse.
struct Delivery {
    std::string bytes;
    size_t largestChunk = 0;
    bench::StampSink *stamps = nullptr;
};

void BRACKWYN_CALL Deliver(const char *text, size_t length, void *user) {
    auto *delivery = static_cast<Delivery *>(user);
    delivery->bytes.append(text, length);
    delivery->largestChunk = std::max(delivery->largestChunk, length);
    if (delivery->stamps != nullptr)
        delivery->stamps->Consume(text, length, bench::Now());
}

void LibraryDeliversWhatTheBaselineReads() {
    dllglue_setconsoleout(Deliver);
    const std::string command = bench::ChildCommand();
    {
        Delivery delivery;
        const char *arguments[] = {"write", "300000", "65536"};
        EXPECT(dllglue_main(command.c_str(), 3, arguments, &delivery) == 1);
        std::string raw;
        EXPECT(RunRaw({"write", "300000", "65536"}, raw) == 0);
        EXPECT(delivery.bytes.size() == 300000);
        EXPECT(delivery.bytes == raw);
        EXPECT(delivery.largestChunk <= 1024);
    }
    {
        bench::StampSink sink(50);
        Delivery delivery;
        delivery.stamps = &sink;
        const char *arguments[] = {"stamp", "50", "0"};
        EXPECT(dllglue_main(command.c_str(), 3, arguments, &delivery) == 1);
        EXPECT(sink.Faults() == 0);
        EXPECT(sink.LatenciesUs().size() == 50);
    }
    dllglue_setconsoleout(nullptr);
}

} // namespace

int main() {
    const Case cases[] = {
        {"statistics", Statistics},
        {"stamped records cut anywhere", StampsCutAnywhere},
        {"stamped record faults are counted", StampFaultsAreCounted},
        {"clock shared across processes", ClockIsSharedAcrossProcesses},
        {"process time counts work", ProcessTimeCountsWork},
        {"child writes what it is asked", ChildWritesWhatItIsAsked},
        {"raw loops read every byte", RawLoopsReadEveryByte},
        {"library delivers what the baseline reads", LibraryDeliversWhatTheBaselineReads},
    };
    int passed = 0, failed = 0;
    for (const Case &test : cases) {
        const int before = g_failures;
        test.body();
        const bool ok = g_failures == before;
        std::printf("%s %s\n", ok ? "PASS" : "FAIL", test.name);
        (ok ? passed : failed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
