#include "engine/os/worker_thread.h"

#include "engine/os/syscalls.h"

namespace {

// Reserved, not committed: a worker needs little stack (its buffers live on
// the heap), and many runs at once should not reserve a megabyte each.
constexpr SIZE_T kWorkerStack = 64 * 1024;

} // namespace

#ifdef BRACKWYN_BUILDING
namespace {
HMODULE ThisLibrary(DWORD flags) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                       reinterpret_cast<LPCWSTR>(&HoldLibrary), &module);
    return module;
}
} // namespace

void HoldLibrary() {
    ThisLibrary(0);
}

void ReleaseLibrary() {
    FreeLibrary(ThisLibrary(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT));
}

// The reference may be the last one: FreeLibraryAndExitThread lives in the
// system, so the library can go without this thread returning into it.
DWORD LeaveWorker() {
    FreeLibraryAndExitThread(ThisLibrary(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), 0);
}
#else
void HoldLibrary() {}
void ReleaseLibrary() {}
DWORD LeaveWorker() {
    return 0;
}
#endif

HANDLE StartWorkerThread(LPTHREAD_START_ROUTINE procedure, void *argument) {
    HoldLibrary();
    HANDLE thread = g_sys.createThread(nullptr, kWorkerStack, procedure, argument,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr)
        ReleaseLibrary();
    return thread;
}
