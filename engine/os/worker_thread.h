// The threads a run starts (its readers, its watcher, its input's writer),
// and the reference each holds on the library.
//
// A worker keeps the DLL loaded while it runs, so that a host unloading it
// during a run (which it should not do) gets no crash from a worker running
// unmapped code. The starting thread takes one reference per worker before
// creating it; the worker gives it back as its very last act. Nothing in the
// static library, whose code lives as long as the program.
#pragma once

#include <windows.h>

void HoldLibrary();
void ReleaseLibrary();
// A worker's last act: gives the library back and ends the thread. Its
// result is the thread procedure's.
DWORD LeaveWorker();

// Starts `procedure(argument)` on a worker with a small stack, the library
// held for it; null, the library not held, when the system refused. The
// procedure must end with LeaveWorker().
HANDLE StartWorkerThread(LPTHREAD_START_ROUTINE procedure, void *argument);
