// gui-ticker: the child that shows what the Terminal check box is for. It
// prints a line every few hundred milliseconds with the C runtime's own
// printf and never flushes, as most programs do: through a pipe the runtime
// holds the lines until its buffer fills or the program ends, in a console
// (a terminal run) each shows as it is printed.
//
//   gui-ticker [<count> [<gapMs>]]      default: 10 lines, 300 ms apart
//
// <stdio.h> comes before <windows.h> and the build asks for the runtime's
// own printf (__USE_MINGW_ANSI_STDIO=0): otherwise MinGW puts a printf of
// its own in its place, which buffers differently from the one real
// programs use.
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>

int main(int argc, char **argv) {
    const int count = argc > 1 ? atoi(argv[1]) : 10;
    const int gapMs = argc > 2 ? atoi(argv[2]) : 300;
    for (int i = 1; i <= count; ++i) {
        printf("tick %d of %d\n", i, count);
        Sleep(static_cast<DWORD>(gapMs));
    }
    return 0;
}
