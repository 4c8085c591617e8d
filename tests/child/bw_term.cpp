// bw_term: the console program the terminal tests start, one behaviour per
// mode. It writes through the C runtime's printf, as real programs do, and
// never flushes: through a pipe its output waits in the runtime's buffer,
// in a console it goes out as it is printed. <stdio.h> comes first, before
// anything that includes <windows.h>, and the build asks for the runtime's
// own stdio: otherwise MinGW puts a printf of its own in its place
// (terminal_test.cpp checks the imports).
//
//   bw_term ticks <count> <ms>  "tick <i> <GetTickCount64>\n", then sleeps.
//   bw_term probe               "type=<GetFileType> console=<0|1>
//                               size=<columns>x<rows>\n" for its output.
//   bw_term show                The probe's line, then colours (attributes and
//                               SGR), cursor hide and show, a title, then
//                               "plain\n".
//   bw_term progress            "progress 10%", then "\r" rewrites, "\n".
//   bw_term long <n>            One line of <n> letters, then "after\n".
//   bw_term input               fgets a line, ReadConsoleW a line (beyond
//                               ASCII as "<U+XXXX>"), fgets until end of
//                               input; prints each.
//   bw_term ctrlc <code>        "ready\n", then waits for Ctrl+C; its handler
//                               makes it exit with <code>.
//   bw_term exit <code>         "bye pid=<own id>\n" and exits with <code>.
//   bw_term sleep <ms>          "sleeping\n", then sleeps.
//   bw_term sizes <count> <ms>  Its console's size as "size=<c>x<r>\n",
//                               <count> times, <ms> apart.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

namespace {

volatile LONG g_ctrlC = 0;

BOOL WINAPI OnCtrl(DWORD event) {
    if (event == CTRL_C_EVENT) {
        InterlockedExchange(&g_ctrlC, 1);
        return TRUE;
    }
    return FALSE;
}

void PrintSize() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
    printf("size=%dx%d\n", info.dwSize.X, info.dwSize.Y);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 100;
    const char *mode = argv[1];
    const int first = argc > 2 ? atoi(argv[2]) : 0;
    const int second = argc > 3 ? atoi(argv[3]) : 0;
    if (strcmp(mode, "ticks") == 0) {
        for (int i = 0; i < first; ++i) {
            printf("tick %d %llu\n", i, static_cast<unsigned long long>(GetTickCount64()));
            Sleep(static_cast<DWORD>(second));
        }
    } else if (strcmp(mode, "probe") == 0 || strcmp(mode, "show") == 0) {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD consoleMode = 0;
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(out, &info);
        printf("type=%lu console=%d size=%dx%d\n", GetFileType(out),
               GetConsoleMode(out, &consoleMode) ? 1 : 0, info.dwSize.X, info.dwSize.Y);
    }
    if (strcmp(mode, "ticks") == 0 || strcmp(mode, "probe") == 0) {
    } else if (strcmp(mode, "show") == 0) {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        SetConsoleTextAttribute(out, FOREGROUND_GREEN | FOREGROUND_INTENSITY);
        printf("green\n");
        SetConsoleTextAttribute(out, FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE);
        DWORD consoleMode = 0;
        GetConsoleMode(out, &consoleMode);
        // The program's own sequences, which the console interprets.
        SetConsoleMode(out, consoleMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        // In one write: Wine's console host interprets a program's sequence
        // only within one WriteConsole, and printf writes a character at a
        // time.
        const char sequences[] = "\x1b[31mred\x1b[0m \x1b[?25lhidden\x1b[?25h\n";
        DWORD written = 0;
        WriteConsoleA(out, sequences, sizeof(sequences) - 1, &written, nullptr);
        SetConsoleTitleA("a title");
        printf("plain\n");
    } else if (strcmp(mode, "progress") == 0) {
        printf("progress 10%%");
        Sleep(300);
        printf("\rprogress 50%%");
        Sleep(300);
        printf("\rprogress 100%%\n");
    } else if (strcmp(mode, "long") == 0) {
        char *line = static_cast<char *>(malloc(static_cast<size_t>(first) + 2));
        for (int i = 0; i < first; ++i)
            line[i] = static_cast<char>('a' + i % 26);
        line[first] = '\n';
        line[first + 1] = '\0';
        fputs(line, stdout);
        printf("after\n");
    } else if (strcmp(mode, "input") == 0) {
        char line[256];
        if (fgets(line, sizeof(line), stdin) != nullptr) {
            line[strcspn(line, "\r\n")] = '\0';
            printf("fgets:[%s]\n", line);
        }
        wchar_t wide[256];
        DWORD read = 0;
        if (ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), wide, 255, &read, nullptr)) {
            while (read > 0 && (wide[read - 1] == L'\r' || wide[read - 1] == L'\n'))
                --read;
            // Beyond ASCII as code points: what the console read, whatever
            // code page its output is in.
            printf("console:[");
            for (DWORD i = 0; i < read; ++i) {
                if (wide[i] < 0x80)
                    printf("%c", static_cast<char>(wide[i]));
                else
                    printf("<U+%04X>", static_cast<unsigned>(wide[i]));
            }
            printf("]\n");
        }
        while (fgets(line, sizeof(line), stdin) != nullptr) {
            line[strcspn(line, "\r\n")] = '\0';
            printf("more:[%s]\n", line);
        }
        printf("end of input\n");
    } else if (strcmp(mode, "ctrlc") == 0) {
        SetConsoleCtrlHandler(OnCtrl, TRUE);
        printf("ready\n");
        for (int i = 0; i < 3000 && g_ctrlC == 0; ++i)
            Sleep(10);
        printf(g_ctrlC != 0 ? "got ctrl-c\n" : "no ctrl-c\n");
        return first;
    } else if (strcmp(mode, "exit") == 0) {
        printf("bye pid=%lu\n", GetCurrentProcessId());
        return first;
    } else if (strcmp(mode, "sleep") == 0) {
        printf("sleeping\n");
        Sleep(static_cast<DWORD>(first));
    } else if (strcmp(mode, "sizes") == 0) {
        for (int i = 0; i < first; ++i) {
            PrintSize();
            Sleep(static_cast<DWORD>(second));
        }
    } else {
        return 100;
    }
    return 0;
}
