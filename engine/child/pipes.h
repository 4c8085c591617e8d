// The pipes between the library and a child.
#pragma once

#include <windows.h>

#include "engine/os/scoped_handle.h"

// Which way the bytes flow: the child reads its input, writes its output.
enum class PipeDirection { ToChild, FromChild };

// Creates one pipe. `childEnd` is a plain synchronous handle, as a console
// program expects on its standard handles; `ownEnd` is opened for overlapped
// I/O so that the library can stop a read or a write that would otherwise
// block for as long as some other process holds the pipe open. Neither end
// is inheritable: the launch makes the child's end inheritable for the one
// call that creates the child. Returns false when either end could not be
// made, with GetLastError telling why; nothing is left open then.
bool CreateChildPipe(PipeDirection direction, ScopedHandle &childEnd, ScopedHandle &ownEnd);
