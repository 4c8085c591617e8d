#include "engine/child/pipes.h"
#include "engine/os/sizes.h"
#include "engine/os/syscalls.h"

#include <atomic>
#include <cwchar>
#include <utility>

namespace {

std::atomic<unsigned long> g_pipeSerial{0};

// An anonymous pipe is a named pipe with a name nobody knows. Overlapped I/O
// needs one we open ourselves, so it gets a name no other pipe has: this
// process, a serial number and the time, which also keeps it apart from a
// pipe that an earlier process with the same id left behind.
void UniquePipeName(wchar_t (&name)[80]) {
    swprintf(name, sizeof(name) / sizeof(name[0]), L"\\\\.\\pipe\\brackwyn-%lu-%lu-%llu",
             GetCurrentProcessId(), ++g_pipeSerial, GetTickCount64());
}

} // namespace

bool CreateChildPipe(PipeDirection direction, ScopedHandle &childEnd, ScopedHandle &ownEnd) {
    const bool toChild = direction == PipeDirection::ToChild;
    wchar_t name[80];
    UniquePipeName(name);
    // Overlapped: reads and writes on the library's end can be cancelled.
    // First instance: if another process got hold of this name first, the
    // creation fails instead of joining its pipe.
    const DWORD openMode = (toChild ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) |
                           FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    // A byte stream like an anonymous pipe; no client from another machine.
    const DWORD pipeMode =
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    // One instance: once the child's end is connected, nobody else can be.
    // No security attributes: the default descriptor, and not inheritable.
    ScopedHandle own(
        g_sys.createNamedPipe(name, openMode, pipeMode, 1, kPipeBuffer, kPipeBuffer, 0, nullptr));
    if (!own.IsValid())
        return false;
    // The same rights an anonymous pipe's ends carry, so that a child that
    // changes its handle's mode or asks for its state keeps working.
    const DWORD access =
        toChild ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    ScopedHandle child(
        g_sys.createFile(name, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!child.IsValid())
        return false;
    ownEnd = std::move(own);
    childEnd = std::move(child);
    return true;
}
