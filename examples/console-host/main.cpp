// A console host for brackwyn: runs a program through the library's run
// interface and prints each chunk as it arrives, with the time since the
// start and its stream, then how the run ended.
//
//   console-host.exe [options] <program> [arguments...]
//   console-host.exe ping -n 4 127.0.0.1
//   console-host.exe --cwd C:\windows --env GREETING=hi "cmd /c echo %GREETING% & cd"
//   console-host.exe --interactive sort
//
//   --cwd DIR          the program's current directory
//   --env NAME=VALUE   an environment entry over this one's; NAME= removes
//                      NAME (repeatable)
//   --input FILE       the file's bytes are the program's standard input;
//                      without it the input stays open and receives nothing
//   --interactive      what is typed here (or piped in) goes to the program
//                      as it comes, line by line from a console; the end of
//                      this input (Ctrl+Z, Enter) closes the program's
//                      input; the first Ctrl+C asks the program to end (it
//                      gets a Ctrl+C of its own and 5 s to clean up), a
//                      second one ends it and all it started at once
//   --timeout MS       stop the program and all it started after MS ms
//   --utf8             pass every text to the library as UTF-8, so that
//                      characters outside the ANSI code page arrive intact
//   --utf8-text        receive the program's output as UTF-8, whatever code
//                      page it writes in (the OEM one unless it writes UTF-8)
//   --lines            receive one line per chunk; a prompt comes at once
//   --merge            the error output arrives within the output, in the
//                      order the program wrote it
//   --terminal         the program runs in a pseudo console of its own: it
//                      sees a console and prints as it goes, where through a
//                      pipe its C runtime would hold its output back; its
//                      text arrives as UTF-8 lines, a line it redraws (a
//                      progress bar) as a chunk marked "<" that replaces the
//                      one before
//   --terminal-vt      with --terminal: the console's own stream, control
//                      sequences included
//   --                 ends the options
//
// The program is the command, used as it stands; every further argument is
// passed on quoted. The exit code is the program's own when it ended by
// itself, 1 when it was stopped or could not start, 2 for a bad option.
#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    // A terminal run's rewrite of the line still being drawn.
    const bool rewrite = !shown.empty() && shown.front() == '\r';
    if (rewrite)
        shown.erase(0, 1);
    std::printf("[%8.3f s] %s %4zu bytes %c %s\n", SecondsSinceStart(), stream, length,
                rewrite ? '<' : '|', shown.c_str());
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

// The run that Ctrl+C stops, with --interactive; the lock keeps it from
// being freed while a handler uses it.
std::mutex g_runLock;
ConsoleRun *g_run = nullptr;
int g_interrupts = 0;

// Runs on a thread of its own for each Ctrl+C this console gets. The program
// runs in a console of its own, so it sees none of them: it gets the
// library's. Handled, so this host lives on to report how the run ended.
BOOL WINAPI StopOnCtrlC(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    std::lock_guard<std::mutex> lock(g_runLock);
    if (g_run == nullptr)
        return TRUE;
    if (++g_interrupts == 1) {
        std::printf("[%8.3f s] stopping (Ctrl+C again to abort)\n", SecondsSinceStart());
        std::fflush(stdout);
        dllglue_runstop(g_run, 5000);
    } else {
        dllglue_runabort(g_run);
    }
    return TRUE;
}

const char *StateName(int state) {
    switch (state) {
    case DLLGLUE_RUNNING:
        return "running";
    case DLLGLUE_EXITED:
        return "exited";
    case DLLGLUE_ABORTED:
        return "aborted";
    case DLLGLUE_TIMEDOUT:
        return "timed out";
    default:
        return "unknown";
    }
}

// The C runtime's argv is in the ANSI code page, which loses every character
// outside it; the wide command line has them all.
std::string Narrow(const wchar_t *text, UINT codePage) {
    const int size = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

bool ReadWholeFile(const wchar_t *path, std::string &data) {
    FILE *file = _wfopen(path, L"rb");
    if (file == nullptr)
        return false;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        data.append(buffer, got);
    const bool complete = std::ferror(file) == 0;
    std::fclose(file);
    return complete;
}

// --interactive: this host's input goes to the run's as it arrives. The run
// is freed by main once it has ended; the lock keeps a write from reaching a
// freed run.
struct Forwarder {
    std::mutex lock;
    ConsoleRun *run = nullptr;
};

void ForwardInput(Forwarder &forwarder) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD got = 0;
    // A console in line mode returns each line once Enter is pressed; a
    // pipe returns what has come so far.
    while (ReadFile(in, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> lock(forwarder.lock);
        if (forwarder.run == nullptr)
            return;
        if (dllglue_runwrite(forwarder.run, buffer, got) == DLLGLUE_ECLOSED) {
            std::printf("[%8.3f s] the program's input is closed\n", SecondsSinceStart());
            std::fflush(stdout);
            return;
        }
    }
    std::lock_guard<std::mutex> lock(forwarder.lock);
    if (forwarder.run != nullptr)
        dllglue_runclosein(forwarder.run);
}

int Usage(const char *why) {
    if (why != nullptr)
        std::fprintf(stderr, "console-host: %s\n", why);
    std::fprintf(stderr,
                 "usage: console-host [--cwd DIR] [--env NAME=VALUE]... [--input FILE]\n"
                 "                    [--timeout MS] [--utf8] [--utf8-text] [--lines]\n"
                 "                    [--merge] [--terminal [--terminal-vt]] [--interactive] [--]\n"
                 "                    <program> "
                 "[arguments...]\n");
    return 2;
}

} // namespace

int main() {
    int count = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr)
        return Usage("cannot read the command line");

    // Options first, so that they are known before any text is converted.
    bool utf8 = false;
    bool interactive = false;
    unsigned textFlags = 0;
    const wchar_t *directory = nullptr;
    const wchar_t *inputFile = nullptr;
    std::vector<const wchar_t *> environment;
    unsigned long timeoutMs = 0;
    int first = 1;
    for (; first < count; ++first) {
        const std::wstring option = args[first];
        const bool hasValue = first + 1 < count;
        if (option == L"--") {
            ++first;
            break;
        } else if (option == L"--utf8") {
            utf8 = true;
        } else if (option == L"--interactive") {
            interactive = true;
        } else if (option == L"--utf8-text") {
            textFlags |= DLLGLUE_TEXT_UTF8;
        } else if (option == L"--lines") {
            textFlags |= DLLGLUE_LINES;
        } else if (option == L"--merge") {
            textFlags |= DLLGLUE_MERGE;
        } else if (option == L"--terminal") {
            textFlags |= DLLGLUE_TERMINAL;
        } else if (option == L"--terminal-vt") {
            textFlags |= DLLGLUE_TERMINAL_VT;
        } else if (option == L"--cwd" && hasValue) {
            directory = args[++first];
        } else if (option == L"--env" && hasValue) {
            environment.push_back(args[++first]);
        } else if (option == L"--input" && hasValue) {
            inputFile = args[++first];
        } else if (option == L"--timeout" && hasValue) {
            const wchar_t *text = args[++first];
            wchar_t *end = nullptr;
            errno = 0;
            timeoutMs = std::wcstoul(text, &end, 10);
            if (*text < L'0' || *text > L'9' || *end != L'\0' || errno == ERANGE)
                return Usage("--timeout takes a number of milliseconds");
        } else if (option.compare(0, 2, L"--") == 0) {
            return Usage("unknown option, or one without its value");
        } else {
            break;
        }
    }
    if (first >= count)
        return Usage(nullptr);
    if (interactive && inputFile != nullptr)
        return Usage("--input and --interactive exclude each other");

    const UINT codePage = utf8 ? CP_UTF8 : CP_ACP;
    const std::string command = Narrow(args[first], codePage);
    std::vector<std::string> arguments;
    for (int i = first + 1; i < count; ++i)
        arguments.push_back(Narrow(args[i], codePage));
    std::vector<const char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(argument.c_str());
    const std::string directoryText = directory != nullptr ? Narrow(directory, codePage) : "";
    std::vector<std::string> entries;
    for (const wchar_t *entry : environment)
        entries.push_back(Narrow(entry, codePage));
    std::vector<const char *> entryPointers;
    for (const std::string &entry : entries)
        entryPointers.push_back(entry.c_str());
    entryPointers.push_back(nullptr);
    std::string input;
    if (inputFile != nullptr && !ReadWholeFile(inputFile, input)) {
        std::fprintf(stderr, "console-host: cannot read %s\n", Narrow(inputFile, CP_ACP).c_str());
        return 2;
    }

    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnStdout;
    options.onError = OnStderr;
    options.onExit = OnExit;
    options.flags = (utf8 ? DLLGLUE_UTF8 : 0) | textFlags;
    options.directory = directory != nullptr ? directoryText.c_str() : nullptr;
    options.environment = environment.empty() ? nullptr : entryPointers.data();
    options.input = interactive            ? DLLGLUE_INPUT_PIPE
                    : inputFile != nullptr ? DLLGLUE_INPUT_DATA
                                           : DLLGLUE_INPUT_OPEN;
    options.inputData = input.data();
    options.inputLength = input.size();
    options.timeoutMs = timeoutMs;

    // UTF-8 chunks show right only on a console that reads UTF-8.
    if ((textFlags & (DLLGLUE_TEXT_UTF8 | DLLGLUE_TERMINAL)) != 0)
        SetConsoleOutputCP(CP_UTF8);
    QueryPerformanceFrequency(&g_frequency);
    QueryPerformanceCounter(&g_start);
    ConsoleRun *run = nullptr;
    const int started = dllglue_runstart(command.c_str(), static_cast<int>(argv.size()),
                                         argv.data(), &options, &run);
    if (started != DLLGLUE_OK) {
        std::printf("[%8.3f s] %s\n", SecondsSinceStart(), dllglue_lasterror());
        return 1;
    }
    Forwarder forwarder;
    if (interactive) {
        {
            std::lock_guard<std::mutex> lock(g_runLock);
            g_run = run;
        }
        SetConsoleCtrlHandler(StopOnCtrlC, TRUE);
        forwarder.run = run;
        // Left blocked in its read when the run ends: the process's exit
        // ends it, and the lock keeps it away from the freed run meanwhile.
        std::thread(ForwardInput, std::ref(forwarder)).detach();
    }
    dllglue_runwait(run, INFINITE, 0);
    ConsoleRunResult result{};
    result.size = sizeof(result);
    dllglue_runresult(run, &result);
    {
        // No Ctrl+C and no input line may reach a run that is being freed.
        std::lock_guard<std::mutex> stopLock(g_runLock);
        std::lock_guard<std::mutex> inputLock(forwarder.lock);
        g_run = nullptr;
        forwarder.run = nullptr;
        dllglue_runclose(run);
    }
    std::printf(
        "[%8.3f s] %s, exit code %lu, %llu bytes out, %llu err, %llu in, %llu not written\n",
        SecondsSinceStart(), StateName(result.state), result.exitCode, result.outputBytes,
        result.errorBytes, result.inputBytes, result.inputPending);
    LocalFree(args);
    return result.state == DLLGLUE_EXITED ? static_cast<int>(result.exitCode) : 1;
}
