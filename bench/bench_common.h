// What every benchmark program shares: the clock, the statistics, the way to
// find and start bench_child.exe without the library (the baselines), the
// stamped-message format of the latency figure, and the table row format that
// run_bench.sh collects.
//
// Everything here is header-only so that each benchmark stays one source file
// plus this header, for MinGW and MSVC alike.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// The library's read and pipe sizes, which the raw baselines use too.
#include "engine/os/sizes.h"

namespace bench {

// ---------------------------------------------------------------------------
// Time. QueryPerformanceCounter is one counter for the whole machine (under
// Wine the host's CLOCK_MONOTONIC_RAW in 100 ns units), so a value stamped by
// the child can be compared with one read in the host. bench_selftest checks
// that it is.

inline LONGLONG Now() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

inline LONGLONG TicksPerSecond() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return frequency;
}

inline double TicksToMs(LONGLONG ticks) {
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(TicksPerSecond());
}

inline double TicksToUs(LONGLONG ticks) {
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(TicksPerSecond());
}

// Processor time of this whole process (every thread, user plus kernel), in
// milliseconds.
inline double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1.0;
    auto hundredNs = [](const FILETIME &t) {
        return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(hundredNs(kernel) + hundredNs(user)) / 1e4;
}

// ---------------------------------------------------------------------------
// Statistics. Percentiles use the nearest rank, so p99 of 2000 samples is an
// observed sample (the 1980th smallest), never an interpolation between two.

inline double Percentile(std::vector<double> values, double percent) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(values.size()));
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= values.size())
        index = values.size() - 1;
    return values[index];
}

inline double Median(std::vector<double> values) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2.0;
}

inline double Smallest(const std::vector<double> &values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

inline double Largest(const std::vector<double> &values) {
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

// ---------------------------------------------------------------------------
// The table. Every program prints its figures as Markdown rows of one shared
// table; run_bench.sh prints the header once and keeps the rows in order.
// Columns: figure | library | baseline | result | goal | met.

inline std::string Format(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

inline void PrintRow(const std::string &figure, const std::string &library,
                     const std::string &baseline, const std::string &result,
                     const std::string &goal, const std::string &met) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", figure.c_str(), library.c_str(),
                baseline.c_str(), result.c_str(), goal.c_str(), met.c_str());
    std::fflush(stdout);
}

// A ratio computed within each repetition, shown as its median and range:
// on a shared machine only these ratios are stable, not the absolute values.
inline std::string RatioText(const std::vector<double> &ratios) {
    char text[96];
    std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", Median(ratios), Smallest(ratios),
                  Largest(ratios));
    return text;
}

inline const char *Met(bool met) {
    return met ? "yes" : "**no**";
}

// The order of the runs within one repetition: every side once, then every
// side once more backwards (library, baseline, baseline, library for two). A
// machine that speeds up or slows down steadily over a repetition then weighs
// on every side alike, which alternating pairs would not ensure.
template <typename RunSide> void ThereAndBack(size_t sides, RunSide runSide) {
    for (size_t side = 0; side < sides; ++side)
        runSide(side);
    for (size_t side = sides; side-- > 0;)
        runSide(side);
}

// Repetitions from the first argument, else `fallback`; run_bench.sh passes a
// smaller count for a quick look.
inline int Repetitions(int argc, char **argv, int fallback) {
    if (argc > 1) {
        const int count = std::atoi(argv[1]);
        if (count > 0)
            return count;
    }
    return fallback;
}

// A measurement that went wrong (the child failed, bytes went missing) makes
// the whole figure worthless; it is reported and the program exits non-zero
// so that run_bench.sh shows the failure instead of a number.
[[noreturn]] inline void Fail(const char *what) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::fflush(stderr);
    std::exit(1);
}

// ---------------------------------------------------------------------------
// The child. bench_child.exe lies next to the benchmark program (and next to
// brackwyn.dll); its path is quoted because the build folder may hold spaces.

inline std::string ChildCommand() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    folder.erase(folder.find_last_of("\\/") + 1);
    return "\"" + folder + "bench_child.exe\"";
}

// The child's command line for a raw CreateProcess: the arguments are plain
// words and numbers, so they need no quoting.
inline std::string ChildCommandLine(const std::vector<std::string> &arguments) {
    std::string line = ChildCommand();
    for (const std::string &argument : arguments)
        line += " " + argument;
    return line;
}

// Starts the bench child with `arguments` as the library would, by hand:
// hidden in a console of its own, with the given standard handles (which
// must be inheritable), and, with a `job`, suspended until it has joined it.
// Returns the process handle; any failure ends the program, since the figure
// would be worthless.
inline HANDLE StartRawChild(const std::vector<std::string> &arguments, HANDLE input, HANDLE output,
                            HANDLE error, HANDLE job = nullptr, DWORD *processId = nullptr) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    std::string line = ChildCommandLine(arguments);
    PROCESS_INFORMATION created{};
    const DWORD flags = CREATE_NEW_CONSOLE | (job != nullptr ? CREATE_SUSPENDED : 0);
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup, &created))
        Fail("a raw child did not start");
    if (job != nullptr) {
        AssignProcessToJobObject(job, created.hProcess);
        ResumeThread(created.hThread);
    }
    CloseHandle(created.hThread);
    if (processId != nullptr)
        *processId = created.dwProcessId;
    return created.hProcess;
}

// Reads `pipe` in reads of `readSize` bytes until it breaks, as a raw
// baseline's reader does; returns the bytes read, and appends them to `copy`
// when there is one (bench_selftest checks that every byte is read).
inline long long ReadUntilBroken(HANDLE pipe, DWORD readSize, std::string *copy = nullptr) {
    std::unique_ptr<char[]> buffer(new char[readSize]);
    long long total = 0;
    DWORD count = 0;
    while (ReadFile(pipe, buffer.get(), readSize, &count, nullptr)) {
        total += count;
        if (copy != nullptr)
            copy->append(buffer.get(), count);
    }
    return total;
}

// The child started the plain way a program without the library would: its
// standard output and error on one inheritable anonymous pipe, no console of
// its own, no job, not suspended. The baseline of figures 1 to 4; figure 5's
// is the library's own launch done by hand (bench_launch.h).
class RawChild {
public:
    RawChild() = default;
    RawChild(const RawChild &) = delete;
    RawChild &operator=(const RawChild &) = delete;
    ~RawChild() {
        Close(m_output);
        Close(m_process);
    }

    // `pipeBuffer` 0 is the system's default size.
    bool Start(const std::vector<std::string> &arguments, DWORD pipeBuffer = 0) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&m_output, &write, &inheritable, pipeBuffer))
            return false;
        // Only the write end goes to the child: were the read end inherited
        // too, the pipe would never break.
        SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = write;
        std::string line = ChildCommandLine(arguments);
        PROCESS_INFORMATION created{};
        const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                            nullptr, &startup, &created);
        CloseHandle(write);
        if (!started)
            return false;
        CloseHandle(created.hThread);
        m_process = created.hProcess;
        return true;
    }

    HANDLE Output() const { return m_output; }
    HANDLE Process() const { return m_process; }

    // Waits for the child's end; true when it exited with code 0.
    bool Wait() {
        WaitForSingleObject(m_process, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(m_process, &code);
        return code == 0;
    }

private:
    static void Close(HANDLE &handle) {
        if (handle != nullptr)
            CloseHandle(handle);
        handle = nullptr;
    }

    HANDLE m_output = nullptr;
    HANDLE m_process = nullptr;
};

// A thread of the host, for the baselines that read a pipe the way the
// library's reader does.
template <typename Body> class Thread {
public:
    explicit Thread(Body body) : m_body(body) {
        m_handle = CreateThread(nullptr, 0, &Thread::Entry, this, 0, nullptr);
        if (m_handle == nullptr)
            Fail("CreateThread failed");
    }
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;
    ~Thread() {
        Join();
        CloseHandle(m_handle);
    }
    void Join() { WaitForSingleObject(m_handle, INFINITE); }

private:
    static DWORD WINAPI Entry(LPVOID self) {
        static_cast<Thread *>(self)->m_body();
        return 0;
    }
    Body m_body;
    HANDLE m_handle = nullptr;
};

// ---------------------------------------------------------------------------
// Stamped messages of the latency figure: fixed-size text records
//   "#SSSSSSSS TTTTTTTTTTTTTTTTTTTTT\n"
// with a sequence number and the child's QueryPerformanceCounter value at the
// moment just before it wrote the record. Fixed size, so a reader can split
// a stream that chunk boundaries cut anywhere.

constexpr size_t kStampLength = 32;

inline void FormatStamp(char (&record)[kStampLength + 1], unsigned sequence, LONGLONG stamp) {
    std::snprintf(record, sizeof record, "#%08u %021lld\n", sequence % 100000000u,
                  static_cast<long long>(stamp));
}

// Turns a stream of stamped records into delivery latencies, stamping each
// record's arrival with the time its chunk reached the consumer. A record
// that does not parse, arrives out of order or carries a stamp later than
// its arrival (clocks that disagree) is counted, not measured.
class StampSink {
public:
    explicit StampSink(size_t expected) { m_latencyUs.reserve(expected); }

    void Consume(const char *data, size_t length, LONGLONG arrival) {
        while (length > 0) {
            const size_t take = std::min(length, kStampLength - m_pendingLength);
            std::copy(data, data + take, m_pending + m_pendingLength);
            m_pendingLength += take;
            data += take;
            length -= take;
            if (m_pendingLength == kStampLength) {
                Record(arrival);
                m_pendingLength = 0;
            }
        }
    }

    const std::vector<double> &LatenciesUs() const { return m_latencyUs; }
    size_t Faults() const { return m_faults + (m_pendingLength != 0 ? 1 : 0); }

private:
    void Record(LONGLONG arrival) {
        LONGLONG stamp = 0;
        unsigned sequence = 0;
        bool wellFormed =
            m_pending[0] == '#' && m_pending[9] == ' ' && m_pending[kStampLength - 1] == '\n';
        for (size_t i = 1; wellFormed && i < 9; ++i) {
            wellFormed = m_pending[i] >= '0' && m_pending[i] <= '9';
            sequence = sequence * 10 + static_cast<unsigned>(m_pending[i] - '0');
        }
        for (size_t i = 10; wellFormed && i < kStampLength - 1; ++i) {
            wellFormed = m_pending[i] >= '0' && m_pending[i] <= '9';
            stamp = stamp * 10 + (m_pending[i] - '0');
        }
        if (!wellFormed || sequence != m_nextSequence || stamp > arrival) {
            ++m_faults;
            // Resynchronise on the sequence the record claims, so one bad
            // record is one fault rather than a fault for every later one.
            m_nextSequence = sequence + 1;
            return;
        }
        ++m_nextSequence;
        m_latencyUs.push_back(TicksToUs(arrival - stamp));
    }

    char m_pending[kStampLength] = {};
    size_t m_pendingLength = 0;
    unsigned m_nextSequence = 0;
    size_t m_faults = 0;
    std::vector<double> m_latencyUs;
};

} // namespace bench
