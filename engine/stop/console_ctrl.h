// Ctrl+C for the hidden console of a run.
#pragma once

#include <windows.h>

#include <vector>

#include "engine/os/scoped_handle.h"

// Starts the short-lived helper that attaches to the console of the first of
// `processes` still alive in `job` (a console holding nothing outside the
// job) and sends Ctrl+C to every process of that console: brackwyn-ctrlc.exe
// beside the DLL when it is there, else the system's rundll32 running
// dllglue_ctrlc. The helper gets its own copies of the handles, so that the
// processes are still the run's when it gets to them, however soon the
// caller lets go of its own. Returns at once, without waiting for the
// delivery; false when no helper could be started.
bool DeliverCtrlC(HANDLE job, const std::vector<HANDLE> &processes);

// The same through rundll32 alone: what a host that ships only the DLL gets.
bool DeliverCtrlCThroughRundll32(HANDLE job, const std::vector<HANDLE> &processes);

// The same through brackwyn-ctrlc.exe alone, handing back its process: its
// exit code tells whether it raised the event (0) or found no console of the
// run (1).
bool DeliverCtrlCThroughHelper(HANDLE job, const std::vector<HANDLE> &processes,
                               ScopedHandle &helper);
