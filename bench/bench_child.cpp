// The console program the benchmarks run, through the library and raw.
//
//   bench_child write <bytes> <block>   writes <bytes> to stdout in writes of
//                                       <block> bytes
//   bench_child text <bytes> <block> ascii|mixed
//                                       the same with lines of text: ASCII,
//                                       or UTF-8 German and Cyrillic lines
//                                       between lines of German in code page
//                                       437
//   bench_child stamp <count> <gap-ms> [<start>]
//                                       writes <count> stamped records (see
//                                       bench_common.h), one every <gap-ms>,
//                                       the first once QueryPerformanceCounter
//                                       reaches <start>
//   bench_child sleep <ms>              writes "ready\n", then sleeps
//   bench_child ctrlc <ms>              the same, and exits with code 0 at
//                                       once on Ctrl+C
//   bench_child qpc                     writes its QueryPerformanceCounter
//   bench_child exit                    exits at once
//   bench_child read <bytes>            reads stdin in 64 KiB reads until its
//                                       end and discards it; exit code 3
//                                       unless exactly <bytes> came
//
// It writes with WriteFile on the standard output handle, not through the C
// runtime, so that no stdio buffering decides when bytes reach the pipe. Exit
// code 0 when everything was written, 2 for bad arguments, 3 for a failed
// write.
#include "bench_common.h"

#include <cstring>

namespace {

BOOL WINAPI ExitAtOnce(DWORD type) {
    if (type != CTRL_C_EVENT)
        return FALSE;
    ExitProcess(0);
}

bool WriteAll(const char *data, size_t length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (length > 0) {
        DWORD written = 0;
        const DWORD asked = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
        if (!WriteFile(out, data, asked, &written, nullptr) || written == 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

// `text` repeated to fill `block` bytes; a block may end within a line, or
// within a character, as a program's writes may.
std::vector<char> Repeated(const std::string &text, long long block) {
    std::vector<char> data(static_cast<size_t>(block));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = text[i % text.size()];
    return data;
}

int WriteBlocks(long long total, long long block, const std::vector<char> &data) {
    while (total > 0) {
        const size_t now = static_cast<size_t>(std::min(total, block));
        if (!WriteAll(data.data(), now))
            return 3;
        total -= static_cast<long long>(now);
    }
    return 0;
}

int WriteBytes(long long total, long long block) {
    if (total < 0 || block <= 0)
        return 2;
    // A repeating alphabet rather than zeros: bench_selftest checks that what
    // arrives is what was written, which a count alone would not show.
    return WriteBlocks(total, block, Repeated("abcdefghijklmnopqrstuvwxyz", block));
}

int WriteText(long long total, long long block, const char *kind) {
    if (total < 0 || block <= 0)
        return 2;
    const std::string ascii = "The quick brown fox jumps over the lazy dog, 0123456789 times.\r\n";
    // Each line of one kind: UTF-8 as a modern program writes it, and code
    // page 437 as cmd writes German (0x81 is u umlaut, 0x94 o umlaut, 0xE1
    // sharp s).
    const std::string mixed = "UTF-8: Gr\xC3\xBC\xC3\x9F"
                              "e aus K\xC3\xB6ln, \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2"
                              "\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80!\r\n"
                              "OEM: M\x81ller, Gr\x94\xE1"
                              "e, K\x94ln und S\x81\xE1"
                              "es in Code Page 437.\r\n";
    if (std::strcmp(kind, "ascii") == 0)
        return WriteBlocks(total, block, Repeated(ascii, block));
    if (std::strcmp(kind, "mixed") == 0)
        return WriteBlocks(total, block, Repeated(mixed, block));
    return 2;
}

// Two children given the same start begin together, so that whatever the
// machine does meanwhile happens to both of them.
void WaitUntil(LONGLONG start) {
    const LONGLONG spinTicks = bench::TicksPerSecond() / 500; // the last 2 ms
    for (LONGLONG now = bench::Now(); now < start; now = bench::Now()) {
        if (start - now > spinTicks)
            Sleep(1);
    }
}

int WriteStamps(long count, long gapMs, LONGLONG start) {
    if (count < 0 || gapMs < 0)
        return 2;
    WaitUntil(start);
    for (long i = 0; i < count; ++i) {
        char record[bench::kStampLength + 1];
        // The stamp is read as late as possible: what is measured is the trip
        // from this write to the host's callback.
        bench::FormatStamp(record, static_cast<unsigned>(i), bench::Now());
        if (!WriteAll(record, bench::kStampLength))
            return 3;
        Sleep(static_cast<DWORD>(gapMs));
    }
    return 0;
}

int ReadBytes(long long expected) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<char> buffer(64 * 1024);
    long long total = 0;
    DWORD got = 0;
    while (ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
        total += got;
    return total == expected ? 0 : 3;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    const char *mode = argv[1];
    if (std::strcmp(mode, "exit") == 0)
        return 0;
    if (std::strcmp(mode, "qpc") == 0) {
        char text[32];
        const int length =
            std::snprintf(text, sizeof text, "%lld\n", static_cast<long long>(bench::Now()));
        return WriteAll(text, static_cast<size_t>(length)) ? 0 : 3;
    }
    if (argc < 3)
        return 2;
    if (std::strcmp(mode, "read") == 0)
        return ReadBytes(std::atoll(argv[2]));
    if (std::strcmp(mode, "ctrlc") == 0)
        SetConsoleCtrlHandler(ExitAtOnce, TRUE);
    if (std::strcmp(mode, "sleep") == 0 || std::strcmp(mode, "ctrlc") == 0) {
        // The host waits for this line before it aborts, so that it aborts
        // a child that runs rather than one still starting.
        if (!WriteAll("ready\n", 6))
            return 3;
        Sleep(static_cast<DWORD>(std::atol(argv[2])));
        return 0;
    }
    if (argc < 4)
        return 2;
    if (std::strcmp(mode, "write") == 0)
        return WriteBytes(std::atoll(argv[2]), std::atoll(argv[3]));
    if (std::strcmp(mode, "text") == 0 && argc > 4)
        return WriteText(std::atoll(argv[2]), std::atoll(argv[3]), argv[4]);
    if (std::strcmp(mode, "stamp") == 0)
        return WriteStamps(std::atol(argv[2]), std::atol(argv[3]),
                           argc > 4 ? std::atoll(argv[4]) : 0);
    return 2;
}
