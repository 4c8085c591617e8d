// bench_term_child: the buffering child of the terminal figures. It writes
// through the C runtime's own stdio, which holds output back when it goes to
// a pipe and not when it goes to a console; <stdio.h> comes before
// <windows.h> and the build asks for the runtime's own printf, or MinGW
// would put one of its own in its place.
//
//   bench_term_child stamp <count> <gapMs>   "<QueryPerformanceCounter>\n"
//                                            with printf, <gapMs> apart
//   bench_term_child lines <bytes>           lines of 100 bytes with fwrite
//                                            in 64 KiB blocks
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fcntl.h>
#include <io.h>

#include <windows.h>

int main(int argc, char **argv) {
    if (argc < 3)
        return 100;
    if (strcmp(argv[1], "stamp") == 0 && argc > 3) {
        const int count = atoi(argv[2]);
        const DWORD gap = static_cast<DWORD>(atoi(argv[3]));
        for (int i = 0; i < count; ++i) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            printf("%lld\n", static_cast<long long>(now.QuadPart));
            Sleep(gap);
        }
        return 0;
    }
    if (strcmp(argv[1], "lines") == 0) {
        long long left = atoll(argv[2]);
        static char block[65536];
        for (size_t i = 0; i < sizeof(block); ++i)
            block[i] = i % 100 == 99 ? '\n' : static_cast<char>('a' + i % 26);
        // Binary: the byte counts are the ones written, no "\r" added.
        _setmode(_fileno(stdout), _O_BINARY);
        while (left > 0) {
            const size_t piece = left < static_cast<long long>(sizeof(block) - 36)
                                     ? static_cast<size_t>(left)
                                     : sizeof(block) - 36; // whole lines
            fwrite(block, 1, piece, stdout);
            left -= static_cast<long long>(piece);
        }
        return 0;
    }
    return 100;
}
