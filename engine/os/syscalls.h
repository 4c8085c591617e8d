// The system calls a launch depends on, behind one table.
//
// Every call that can make a launch fail goes through g_sys, so that tests
// can make each of them fail in turn and check that the library neither
// hangs, crashes nor leaves a handle or a child behind. The table holds the
// real functions unless a test swaps an entry.
#pragma once

#include <windows.h>

struct SysCalls {
    decltype(&::CreateNamedPipeW) createNamedPipe;
    decltype(&::CreateFileW) createFile;
    decltype(&::CreateEventW) createEvent;
    decltype(&::CreateIoCompletionPort) createIoCompletionPort;
    decltype(&::CreateProcessW) createProcess;
    decltype(&::CreateJobObjectW) createJobObject;
    decltype(&::SetInformationJobObject) setInformationJobObject;
    decltype(&::AssignProcessToJobObject) assignProcessToJobObject;
    decltype(&::CreateThread) createThread;
    decltype(&::ResumeThread) resumeThread;
};

extern SysCalls g_sys;

// The table with every entry pointing at the real system call.
SysCalls RealSysCalls() noexcept;
