// brackwyn-ctrlc.exe: raises Ctrl+C in the hidden console of a brackwyn run.
//
// It exists because the library's graceful stop needs a process of its own
// to attach to the run's console (the host must keep its own console, its
// handlers and its standard handles), and the system's rundll32, which can
// run the DLL's dllglue_ctrlc for that, is a window program that takes
// several times longer to start than this. Shipped beside brackwyn.dll it is
// found there and used; without it the library falls back to rundll32.
//
//   brackwyn-ctrlc <process id>...
//
// The library starts it without a console (DETACHED_PROCESS); it attaches to
// the console of the first id still running, raises the event, waits for its
// own copy and exits: 0 when the event was raised, 1 otherwise.
#include "engine/ctrlc_helper.h"

#include <string>

int main(int argc, char **argv) {
    std::string processIds;
    for (int i = 1; i < argc; ++i)
        processIds.append(argv[i]).append(" ");
    return RaiseCtrlCInConsoleOf(processIds.c_str()) ? 0 : 1;
}
