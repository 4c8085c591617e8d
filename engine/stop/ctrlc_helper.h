// The body of the short-lived process that raises Ctrl+C in a run's console
// (see engine/stop/console_ctrl.cpp for why a process of its own does it). Run by
// brackwyn-ctrlc.exe and by rundll32 through dllglue_ctrlc alike.
#pragma once

// Attaches to the console of the first process of `processIds` (decimal ids
// separated by spaces) that is still there, raises CTRL_C_EVENT for every
// process of it, waits a bounded while for its own copy to arrive, and
// detaches. Returns false when no console could be attached or the event not
// raised. Meant for a process without a console of its own: it gives up the
// one it has.
bool RaiseCtrlCInConsoleOf(const char *processIds);
