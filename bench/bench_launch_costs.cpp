// Where the start and end of a run go: the child that exits at once, started
// with one ingredient of the library's launch at a time added to the plain
// CreateProcess of figure 5, then with the pair that costs more together than
// apart, then with all of them, then with two other ways of keeping the
// child's console out of sight, then through the library itself.
//
// Prints a Markdown table of its own: milliseconds per run; the extra over
// the plain start, a median over repetitions of a difference taken within
// one repetition; and, where reader threads watch the pipes, how long after
// the child's end its pipes broke, which is when a run can end.
//
//   bench_launch_costs [repetitions]
#include "bench_common.h"

#include "brackwyn.h"

namespace {

constexpr int kRunsPerRepetition = 10;

enum Ingredient : unsigned {
    kPipes = 1u << 0,      // three inheritable pipes as the standard handles
    kNewConsole = 1u << 1, // CREATE_NEW_CONSOLE with a hidden window
    kSuspended = 1u << 2,  // CREATE_SUSPENDED, then ResumeThread
    kJob = 1u << 3,        // a job with the kill-on-close limit
    kThreads = 1u << 4,    // two pipe readers and a watcher, all joined
    kNoWindow = 1u << 5,   // CREATE_NO_WINDOW instead of a new console
    kDetached = 1u << 6,   // DETACHED_PROCESS: no console at all
    kLibrary = 1u << 7,    // dllglue_main itself
};

constexpr unsigned kAsLibrary = kPipes | kNewConsole | kSuspended | kJob | kThreads;

struct Variant {
    const char *name;
    unsigned ingredients;
};

const Variant kVariants[] = {
    {"plain CreateProcess (figure 5 baseline)", 0},
    {"+ three inheritable pipes", kPipes},
    {"+ CREATE_NEW_CONSOLE, hidden", kNewConsole},
    {"+ CREATE_SUSPENDED and ResumeThread", kSuspended},
    {"+ job object, kill on close", kJob},
    {"+ pipes, two readers and a watcher thread", kPipes | kThreads},
    {"+ pipes, readers, watcher and CREATE_NEW_CONSOLE", kPipes | kThreads | kNewConsole},
    {"all of the above (the library's launch)", kAsLibrary},
    {"all, CREATE_NO_WINDOW for CREATE_NEW_CONSOLE", (kAsLibrary & ~kNewConsole) | kNoWindow},
    {"all, DETACHED_PROCESS for CREATE_NEW_CONSOLE", (kAsLibrary & ~kNewConsole) | kDetached},
    {"dllglue_main", kLibrary},
};

struct Pipe {
    HANDLE own = nullptr;
    HANDLE child = nullptr;
};

Pipe MakePipe(bool childReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        bench::Fail("CreatePipe failed");
    Pipe pipe;
    pipe.own = childReads ? write : read;
    pipe.child = childReads ? read : write;
    SetHandleInformation(pipe.own, HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

DWORD WINAPI DrainPipe(LPVOID pipe) {
    char buffer[1024];
    DWORD count = 0;
    while (ReadFile(static_cast<HANDLE>(pipe), buffer, sizeof buffer, &count, nullptr)) {
    }
    return 0;
}

struct WatchedRun {
    HANDLE process;
    HANDLE readers[2];
    LONGLONG ended;   // when the child's process ended
    LONGLONG drained; // when both its pipes had broken
};

DWORD WINAPI Watch(LPVOID run) {
    auto *watched = static_cast<WatchedRun *>(run);
    WaitForSingleObject(watched->process, INFINITE);
    watched->ended = bench::Now();
    WaitForMultipleObjects(2, watched->readers, TRUE, INFINITE);
    watched->drained = bench::Now();
    return 0;
}

void Close(HANDLE handle) {
    if (handle != nullptr)
        CloseHandle(handle);
}

// One start and end of the exiting child with the given ingredients.
// Returns how long after the child's end its pipes broke, in milliseconds,
// when reader threads were there to see it, else a negative number.
double RunOnce(unsigned ingredients, const std::string &line) {
    if (ingredients & kLibrary) {
        const char *arguments[] = {"exit"};
        if (dllglue_main(bench::ChildCommand().c_str(), 1, arguments, nullptr) != 1)
            bench::Fail("a library run of the exiting child failed");
        return -1.0;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    Pipe in, out, err;
    if (ingredients & kPipes) {
        in = MakePipe(true);
        out = MakePipe(false);
        err = MakePipe(false);
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = in.child;
        startup.hStdOutput = out.child;
        startup.hStdError = err.child;
    }
    DWORD flags = 0;
    if (ingredients & kNewConsole) {
        flags |= CREATE_NEW_CONSOLE;
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }
    if (ingredients & kNoWindow)
        flags |= CREATE_NO_WINDOW;
    if (ingredients & kDetached)
        flags |= DETACHED_PROCESS;
    if (ingredients & kSuspended)
        flags |= CREATE_SUSPENDED;
    std::string writable(line);
    PROCESS_INFORMATION created{};
    if (!CreateProcessA(nullptr, &writable[0], nullptr, nullptr,
                        (ingredients & kPipes) ? TRUE : FALSE, flags, nullptr, nullptr, &startup,
                        &created))
        bench::Fail("CreateProcess failed");
    Close(in.child);
    Close(out.child);
    Close(err.child);
    HANDLE job = nullptr;
    if (ingredients & kJob) {
        job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        // Without CREATE_SUSPENDED the child may already be gone; the cost of
        // the attempt is what is measured.
        AssignProcessToJobObject(job, created.hProcess);
    }
    HANDLE threads[3] = {};
    WatchedRun watched{created.hProcess, {nullptr, nullptr}, 0, 0};
    if (ingredients & kThreads) {
        threads[0] = CreateThread(nullptr, 0, DrainPipe, out.own, 0, nullptr);
        threads[1] = CreateThread(nullptr, 0, DrainPipe, err.own, 0, nullptr);
        watched.readers[0] = threads[0];
        watched.readers[1] = threads[1];
        threads[2] = CreateThread(nullptr, 0, Watch, &watched, 0, nullptr);
    }
    if (ingredients & kSuspended)
        ResumeThread(created.hThread);
    if (ingredients & kThreads)
        WaitForMultipleObjects(3, threads, TRUE, INFINITE);
    else
        WaitForSingleObject(created.hProcess, INFINITE);
    for (HANDLE handle : {threads[0], threads[1], threads[2], job, in.own, out.own, err.own,
                          created.hThread, created.hProcess})
        Close(handle);
    return (ingredients & kThreads) ? bench::TicksToMs(watched.drained - watched.ended) : -1.0;
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
