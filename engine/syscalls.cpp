#include "engine/syscalls.h"

SysCalls RealSysCalls() noexcept {
    return SysCalls{
        &::CreatePipe,
        &::DuplicateHandle,
        &::CreateEventA,
        &::CreateProcessA,
        &::CreateJobObjectA,
        &::SetInformationJobObject,
        &::AssignProcessToJobObject,
        &::CreateThread,
        &::ResumeThread,
    };
}

SysCalls g_sys = RealSysCalls();
