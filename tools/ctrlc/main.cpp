// brackwyn-ctrlc.exe: raises Ctrl+C in the hidden console of a brackwyn run.
//
// It exists because the library's graceful stop needs a process of its own
// to attach to the run's console (the host must keep its own console, its
// handlers and its standard handles), and the system's rundll32, which can
// run the DLL's dllglue_ctrlc for that, is a window program that takes
// markedly longer to start than this. Shipped beside brackwyn.dll it is
// found there and used; without it the library falls back to rundll32.
//
//   brackwyn-ctrlc <process id>...
//
// The library starts it without a console (DETACHED_PROCESS); it attaches to
// the console of the first id still running, raises the event, waits for its
// own copy and exits: 0 when the event was raised, 1 otherwise.
#include "engine/stop/ctrlc_helper.h"

#include <cstring>

int main(int argc, char **argv) {
    // The ids as one line, as rundll32 hands them to dllglue_ctrlc. A run has
    // a handful of processes; ids beyond the room are left out, as the
    // helper only needs the first one still running.
    char processIds[4096] = "";
    size_t used = 0;
    for (int i = 1; i < argc; ++i) {
        const size_t length = std::strlen(argv[i]);
        if (used + length + 2 > sizeof(processIds))
            break;
        std::memcpy(processIds + used, argv[i], length);
        used += length;
        processIds[used++] = ' ';
        processIds[used] = '\0';
    }
    return RaiseCtrlCInConsoleOf(processIds) ? 0 : 1;
}
