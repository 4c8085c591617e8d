// brackwyn-term.exe: starts a program in a pseudo console for brackwyn, and
// resizes that console where the system cannot.
//
//   brackwyn-term start <host> <report> <n> <application> <command line>
//       Run by the library inside the run's pseudo console. Opens the
//       console's CONIN$ and CONOUT$ and creates the program, suspended,
//       with them as its standard input, output and error (why a helper
//       does this: engine/child/pseudo_console.h). <host> is an inherited
//       handle of the library's process that lets this one duplicate the
//       program's process and thread handles into it; <report> an inherited
//       pipe on which it writes "ok <process> <thread> <id>" (the values as
//       the host sees them) or "fail <error>". <n> is the length in UTF-16
//       units of <application> (0: none, the command line names it); the
//       command line is everything after it and one blank.
//   brackwyn-term resize <process> <columns> <rows>
//       Started without a console: attaches to the console of <process>
//       (an inherited handle) and sets its buffer and window to that size,
//       as a process in the console may, where ResizePseudoConsole cannot
//       (Wine). Exits 0 when done.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// The next decimal number at `cursor`, which moves past it and one blank.
unsigned long long Number(const wchar_t *&cursor) {
    wchar_t *end = nullptr;
    const unsigned long long value = std::wcstoull(cursor, &end, 10);
    cursor = end;
    if (*cursor == L' ')
        ++cursor;
    return value;
}

HANDLE AsHandle(unsigned long long value) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
}

void Report(HANDLE pipe, const std::string &text) {
    DWORD written = 0;
    WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Read and write: a program may query and set its console through either
// handle; shared both ways, as every other handle on the console is.
HANDLE OpenConsole(const wchar_t *name, SECURITY_ATTRIBUTES *inheritable) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       inheritable, OPEN_EXISTING, 0, nullptr);
}

int Start(const wchar_t *cursor) {
    HANDLE host = AsHandle(Number(cursor));
    HANDLE report = AsHandle(Number(cursor));
    const size_t applicationLength = static_cast<size_t>(Number(cursor));
    if (std::wcslen(cursor) < applicationLength)
        return 2;
    const std::wstring application(cursor, applicationLength);
    cursor += applicationLength;
    if (*cursor == L' ')
        ++cursor;
    std::wstring commandLine(cursor);
    commandLine.push_back(L'\0');
    // The program inherits the console's handles and nothing of ours.
    SetHandleInformation(host, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(report, HANDLE_FLAG_INHERIT, 0);
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE input = OpenConsole(L"CONIN$", &inheritable);
    HANDLE output = OpenConsole(L"CONOUT$", &inheritable);
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE) {
        Report(report, "fail " + std::to_string(GetLastError()));
        return 1;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // The console's own handles as the program's standard handles: the
    // reason this helper exists.
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION created{};
    // Suspended: the library puts it in the run's job before it runs. Our
    // environment and directory are the ones the run gave it; it inherits
    // the console, ours.
    if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), &commandLine[0],
                        nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &created)) {
        Report(report, "fail " + std::to_string(GetLastError()));
        return 1;
    }
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    // The library gets the handles with every right they have here (a
    // creator's full access), not inheritable in the host.
    if (!DuplicateHandle(GetCurrentProcess(), created.hProcess, host, &process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
        !DuplicateHandle(GetCurrentProcess(), created.hThread, host, &thread, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const DWORD error = GetLastError();
        TerminateProcess(created.hProcess, 1);
        Report(report, "fail " + std::to_string(error));
        return 1;
    }
    Report(report, "ok " + std::to_string(reinterpret_cast<ULONG_PTR>(process)) + " " +
                       std::to_string(reinterpret_cast<ULONG_PTR>(thread)) + " " +
                       std::to_string(created.dwProcessId));
    return 0;
}

int Resize(const wchar_t *cursor) {
    HANDLE process = AsHandle(Number(cursor));
    const SHORT columns = static_cast<SHORT>(Number(cursor));
    const SHORT rows = static_cast<SHORT>(Number(cursor));
    const DWORD id = GetProcessId(process);
    if (id == 0 || WaitForSingleObject(process, 0) != WAIT_TIMEOUT || !AttachConsole(id))
        return 1;
    HANDLE output = OpenConsole(L"CONOUT$", nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return 1;
    // The window must fit in the buffer at every step: shrink it to one
    // cell, set the buffer, then widen the window to the whole buffer.
    SMALL_RECT tiny{0, 0, 0, 0};
    SetConsoleWindowInfo(output, TRUE, &tiny);
    const BOOL buffer = SetConsoleScreenBufferSize(output, COORD{columns, rows});
    SMALL_RECT whole{0, 0, static_cast<SHORT>(columns - 1), static_cast<SHORT>(rows - 1)};
    const BOOL window = SetConsoleWindowInfo(output, TRUE, &whole);
    CloseHandle(output);
    FreeConsole();
    return buffer && window ? 0 : 1;
}

} // namespace

int main() {
    // The command line as it was given: the program's own is passed on
    // exactly, which argv could not do. It starts with this program's
    // path, which the library quotes.
    const wchar_t *line = GetCommandLineW();
    if (*line == L'"') {
        line = std::wcschr(line + 1, L'"');
        if (line == nullptr)
            return 2;
        ++line;
    } else {
        while (*line != L'\0' && *line != L' ')
            ++line;
    }
    while (*line == L' ')
        ++line;
    if (std::wcsncmp(line, L"start ", 6) == 0)
        return Start(line + 6);
    if (std::wcsncmp(line, L"resize ", 7) == 0)
        return Resize(line + 7);
    return 2;
}
