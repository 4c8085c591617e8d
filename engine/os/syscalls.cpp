#include "engine/os/syscalls.h"

SysCalls RealSysCalls() noexcept {
    return SysCalls{
        &::CreateNamedPipeW,
        &::CreateFileW,
        &::CreateEventW,
        &::CreateIoCompletionPort,
        &::CreateProcessW,
        &::CreateJobObjectW,
        &::SetInformationJobObject,
        &::AssignProcessToJobObject,
        &::CreateThread,
        &::ResumeThread,
    };
}

SysCalls g_sys = RealSysCalls();
