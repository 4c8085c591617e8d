// brackwyn-ctrlc.exe: raises Ctrl+C in the hidden console of a brackwyn run.
//
// It exists because the library's graceful stop needs a process of its own
// to attach to the run's console (the host must keep its own console, its
// handlers and its standard handles), and the system's rundll32, which can
// run the DLL's dllglue_ctrlc for that, is a window program that takes
// markedly longer to start than this. Shipped beside brackwyn.dll it is
// found there and used; without it the library falls back to rundll32.
//
//   brackwyn-ctrlc job=<handle> <process handle>...
//
// The library starts it without a console (DETACHED_PROCESS), handing it the
// run's job and processes as inherited handles: bare ids could have passed
// to other processes by the time it attaches. It attaches to the console of
// the first process still alive in the job, if that console holds nothing
// outside the job, raises the event, waits for its own copy and exits: 0
// when the event was raised, 1 otherwise.
#include "engine/stop/ctrlc_helper.h"

#include <cstring>

int main(int argc, char **argv) {
    // The arguments as one line, as rundll32 hands them to dllglue_ctrlc. A
    // run has a handful of processes; handles beyond the room are left out,
    // as the helper only needs the first one still running.
    char arguments[4096] = "";
    size_t used = 0;
    for (int i = 1; i < argc; ++i) {
        const size_t length = std::strlen(argv[i]);
        if (used + length + 2 > sizeof(arguments))
            break;
        std::memcpy(arguments + used, argv[i], length);
        used += length;
        arguments[used++] = ' ';
        arguments[used] = '\0';
    }
    return RaiseCtrlCInConsoleOf(arguments) ? 0 : 1;
}
