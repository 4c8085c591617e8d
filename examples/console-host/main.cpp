// A console host for brackwyn: runs a program through the library and prints
// each chunk as it arrives, with the time since the start and its stream.
//
//   console-host.exe <program> [arguments...]
//   console-host.exe ping -n 4 127.0.0.1
//
// The program is the command, used as it stands; every further argument is
// passed on quoted. The exit code is 0 when the library reports success.
#include <windows.h>

#include <cstdio>
#include <string>

#include "brackwyn.h"

namespace {

LARGE_INTEGER g_start;
LARGE_INTEGER g_frequency;

double SecondsSinceStart() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - g_start.QuadPart) /
           static_cast<double>(g_frequency.QuadPart);
}

// Both readers call in at once; one printf per chunk keeps lines whole.
void PrintChunk(const char *stream, const char *text, size_t length) {
    std::string shown(text, length);
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r'))
        shown.pop_back();
    std::printf("[%8.3f s] %s %4zu bytes | %s\n", SecondsSinceStart(), stream, length,
                shown.c_str());
    std::fflush(stdout);
}

void BRACKWYN_CALL OnStdout(const char *text, size_t length, void *) {
    PrintChunk("out", text, length);
}

void BRACKWYN_CALL OnStderr(const char *text, size_t length, void *) {
    PrintChunk("err", text, length);
}

void BRACKWYN_CALL OnExit(int stderrSeen, void *) {
    std::printf("[%8.3f s] finished, stderr seen: %d\n", SecondsSinceStart(), stderrSeen);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: console-host <program> [arguments...]\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);
    QueryPerformanceCounter(&g_start);
    dllglue_setconsoleout(OnStdout);
    dllglue_setconsoleerr(OnStderr);
    dllglue_setconsoleexit(OnExit);
    const int result = dllglue_main(argv[1], argc - 2, argv + 2, nullptr);
    std::printf("[%8.3f s] dllglue_main returned %d\n", SecondsSinceStart(), result);
    return result == 1 ? 0 : 1;
}
