// A host built the MSVC way: compiled for MSVC's ABI and linked by an
// MSVC-style linker (lld-link) against brackwyn.lib, with no C runtime and no
// SDK. It shows that the import library loads brackwyn.dll's C entry points
// and that the MSVC names of Cbrackwyn's operators are exported and return
// *this. Exit code 0 when all of it holds.
#include "brackwyn.h"

extern "C" {
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);
}

namespace {

// Globals rather than locals: a large stack frame would call __chkstk, which
// lives in the C runtime this program does without.
char g_out[1024];
size_t g_used;
int g_ends;

void BRACKWYN_CALL OnOutput(const char *text, size_t length, void *) {
    for (size_t i = 0; i < length && g_used + 1 < sizeof(g_out); ++i)
        g_out[g_used++] = text[i];
}

void BRACKWYN_CALL OnEnd(int, void *) {
    ++g_ends;
}

bool Contains(const char *text, const char *part) {
    for (; *text != '\0'; ++text) {
        size_t i = 0;
        while (part[i] != '\0' && text[i] == part[i])
            ++i;
        if (part[i] == '\0')
            return true;
    }
    return false;
}

[[noreturn]] void Finish(const char *message, unsigned int code) {
    unsigned long length = 0;
    while (message[length] != '\0')
        ++length;
    unsigned long written = 0;
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), message, length, &written, nullptr);
    ExitProcess(code);
}

} // namespace

extern "C" void HostMain() {
    dllglue_setconsoleout(OnOutput);
    dllglue_setconsoleexit(OnEnd);
    if (dllglue_main("cmd /c echo hello", 0, nullptr, nullptr) != 1 || !Contains(g_out, "hello") ||
        g_ends != 1)
        Finish("msvc-host: the run did not deliver \"hello\"\n", 1);
    Cbrackwyn a;
    Cbrackwyn b;
    if (&(a = b) != &a)
        Finish("msvc-host: the copy assignment did not return *this\n", 1);
    if (&(a = static_cast<Cbrackwyn &&>(b)) != &a)
        Finish("msvc-host: the move assignment did not return *this\n", 1);
    Finish("msvc-host: ok\n", 0);
}
