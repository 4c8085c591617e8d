// The pumping wait shared by dllglue_main and dllglue_runwait.
#pragma once

#include <windows.h>

#include <atomic>

#include "brackwyn.h"

// Dispatches the calling thread's window messages, with the app-starting
// cursor, until `finished` is nonzero or `timeoutMs` has passed (INFINITE:
// no limit). Sleeps in the system between messages and wakes when `watcher`
// (the run's watcher thread) ends. Each message goes through `filter` first,
// when there is one. A WM_QUIT taken off the queue is posted again before
// the call returns, and the cursor the host had is set again, also when the
// filter or a window procedure throws, which leaves the call. Returns true
// when `finished` was seen.
bool PumpUntilFinished(const std::atomic<int> &finished, HANDLE watcher, DWORD timeoutMs,
                       ConsoleMessageFilter filter, void *user);
