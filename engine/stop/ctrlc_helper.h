// The body of the short-lived process that raises Ctrl+C in a run's console
// (see engine/stop/console_ctrl.cpp for why a process of its own does it). Run by
// brackwyn-ctrlc.exe and by rundll32 through dllglue_ctrlc alike.
#pragma once

// `arguments` is "job=<handle> <process handle>...", the values in decimal:
// handles this process inherited from the library, the run's job and its
// processes, the child first. Attaches to the console of the first process
// that is still alive and in the job, provided every other process of that
// console is in the job too, raises CTRL_C_EVENT for every process of it,
// waits a bounded while for its own copy to arrive, and detaches. Returns
// false when no such console was found or the event not raised. Meant for a
// process without a console of its own: it gives up the one it has.
bool RaiseCtrlCInConsoleOf(const char *arguments);
