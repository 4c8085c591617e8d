// The start and end of a run done by hand, one ingredient of the library's
// launch at a time: what figure 5 holds the library to (every ingredient at
// once) and what bench_launch_costs takes apart.
#pragma once

#include "bench_common.h"

namespace bench {

enum Ingredient : unsigned {
    kPipes = 1u << 0,      // three inheritable pipes as the standard handles
    kNewConsole = 1u << 1, // CREATE_NEW_CONSOLE with a hidden window
    kSuspended = 1u << 2,  // CREATE_SUSPENDED, then ResumeThread
    kJob = 1u << 3,        // a job with the kill-on-close limit
    kThreads = 1u << 4,    // two pipe readers and a watcher, all joined
    kNoWindow = 1u << 5,   // CREATE_NO_WINDOW instead of a new console
    kDetached = 1u << 6,   // DETACHED_PROCESS: no console at all
};

// Everything the library's own launch does, without the library.
constexpr unsigned kAsLibrary = kPipes | kNewConsole | kSuspended | kJob | kThreads;

struct RawLaunchResult {
    // How long after the child's end both its pipes had broken (which is when
    // a run can end); negative without reader threads to see it.
    double pipeLagMs = -1.0;
    // What the readers read from both pipes.
    long long bytes = 0;
};

namespace detail {

struct LaunchPipe {
    HANDLE own = nullptr;
    HANDLE child = nullptr;
};

inline LaunchPipe MakeLaunchPipe(bool childReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, kPipeBuffer))
        Fail("CreatePipe failed");
    LaunchPipe pipe;
    pipe.own = childReads ? write : read;
    pipe.child = childReads ? read : write;
    SetHandleInformation(pipe.own, HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

struct LaunchReader {
    HANDLE pipe = nullptr;
    long long bytes = 0;
};

// Reads as the library does: in reads of its size, until the pipe breaks.
inline DWORD WINAPI LaunchRead(LPVOID reader) {
    auto *self = static_cast<LaunchReader *>(reader);
    self->bytes = ReadUntilBroken(self->pipe, kReadSize);
    return 0;
}

struct LaunchWatch {
    HANDLE process;
    HANDLE readers[2];
    LONGLONG ended;   // when the child's process ended
    LONGLONG drained; // when both its pipes had broken
};

inline DWORD WINAPI LaunchWatcher(LPVOID watch) {
    auto *self = static_cast<LaunchWatch *>(watch);
    WaitForSingleObject(self->process, INFINITE);
    self->ended = Now();
    WaitForMultipleObjects(2, self->readers, TRUE, INFINITE);
    self->drained = Now();
    return 0;
}

inline void CloseIfOpen(HANDLE handle) {
    if (handle != nullptr)
        CloseHandle(handle);
}

} // namespace detail

// Starts `line` with the given ingredients and waits for its end: for both
// pipes to break when there are reader threads, else for the process. Any
// failure of the system makes the figure worthless and ends the program.
inline RawLaunchResult RawLaunch(unsigned ingredients, const std::string &line) {
    using namespace detail;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    LaunchPipe in, out, err;
    if (ingredients & kPipes) {
        in = MakeLaunchPipe(true);
        out = MakeLaunchPipe(false);
        err = MakeLaunchPipe(false);
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
    PROCESS_INFORMATION created{};
    // Wine now and then fails the creation of a child with a new console with
    // ERROR_INTERNAL_ERROR, and the same call succeeds a moment later; the
    // library tries three times, and so does its launch by hand.
    for (int attempt = 1;; ++attempt) {
        std::string writable(line);
        if (CreateProcessA(nullptr, &writable[0], nullptr, nullptr,
                           (ingredients & kPipes) ? TRUE : FALSE, flags, nullptr, nullptr, &startup,
                           &created))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3)
            Fail("CreateProcess failed");
        Sleep(20 * attempt);
    }
    CloseIfOpen(in.child);
    CloseIfOpen(out.child);
    CloseIfOpen(err.child);
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
    LaunchReader outReader{out.own, 0}, errReader{err.own, 0};
    LaunchWatch watch{created.hProcess, {nullptr, nullptr}, 0, 0};
    if (ingredients & kThreads) {
        threads[0] = CreateThread(nullptr, 0, LaunchRead, &outReader, 0, nullptr);
        threads[1] = CreateThread(nullptr, 0, LaunchRead, &errReader, 0, nullptr);
        watch.readers[0] = threads[0];
        watch.readers[1] = threads[1];
        threads[2] = CreateThread(nullptr, 0, LaunchWatcher, &watch, 0, nullptr);
        if (threads[0] == nullptr || threads[1] == nullptr || threads[2] == nullptr)
            Fail("CreateThread failed");
    }
    if (ingredients & kSuspended)
        ResumeThread(created.hThread);
    if (ingredients & kThreads)
        WaitForMultipleObjects(3, threads, TRUE, INFINITE);
    else
        WaitForSingleObject(created.hProcess, INFINITE);
    for (HANDLE handle : {threads[0], threads[1], threads[2], job, in.own, out.own, err.own,
                          created.hThread, created.hProcess})
        CloseIfOpen(handle);
    RawLaunchResult result;
    if (ingredients & kThreads) {
        result.pipeLagMs = TicksToMs(watch.drained - watch.ended);
        result.bytes = outReader.bytes + errReader.bytes;
    }
    return result;
}

} // namespace bench
