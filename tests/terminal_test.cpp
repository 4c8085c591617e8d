// Terminal runs: the child in a pseudo console of its own, its output as
// the host can show it. The child is bw_term, which prints with the C
// runtime's buffered printf as real programs do.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/os/syscalls.h"
#include "test_support.h"

namespace {

struct Lines {
    std::mutex lock;
    std::vector<std::string> chunks;
    std::vector<ULONGLONG> times;
    std::string All() {
        std::lock_guard<std::mutex> hold(lock);
        std::string all;
        for (const std::string &chunk : chunks)
            all += chunk;
        return all;
    }
    bool Has(const std::string &text) { return All().find(text) != std::string::npos; }
};

void BRACKWYN_CALL OnText(const char *text, size_t length, void *user) {
    auto *lines = static_cast<Lines *>(user);
    std::lock_guard<std::mutex> hold(lines->lock);
    lines->chunks.emplace_back(text, length);
    lines->times.push_back(GetTickCount64());
}

std::atomic<int> g_errorCalls{0};
void BRACKWYN_CALL OnErrorText(const char *, size_t, void *) {
    ++g_errorCalls;
}

std::string TermCommand(const std::string &modeAndWords) {
    return "\"" + RunnerFolder() + "bw_term.exe\" " + modeAndWords;
}

ConsoleRunOptions TermOptions(Lines &lines, unsigned flags = DLLGLUE_TERMINAL) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnText;
    options.onError = OnErrorText;
    options.user = &lines;
    options.flags = flags;
    return options;
}

ConsoleRun *Start(const std::string &modeAndWords, const ConsoleRunOptions &options) {
    ConsoleRun *run = nullptr;
    EXPECT_EQ(dllglue_runstart(TermCommand(modeAndWords).c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK)
        << dllglue_lasterror();
    return run;
}

ConsoleRunResult Finish(ConsoleRun *run) {
    EXPECT_EQ(dllglue_runwait(run, 20000, 0), DLLGLUE_OK);
    const ConsoleRunResult result = ResultOf(run);
    dllglue_runclose(run);
    return result;
}

ConsoleRunResult RunTerm(const std::string &modeAndWords, Lines &lines,
                         unsigned flags = DLLGLUE_TERMINAL) {
    ConsoleRun *run = Start(modeAndWords, TermOptions(lines, flags));
    return run == nullptr ? ConsoleRunResult{} : Finish(run);
}

bool WaitFor(Lines &lines, const std::string &text, DWORD ms = 10000) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (!lines.Has(text)) {
        if (GetTickCount64() > end)
            return false;
        Sleep(10);
    }
    return true;
}

// Whether `program` imports `function` from `dll`.
bool Imports(const std::string &program, const char *dll, const char *function) {
    HMODULE image = LoadLibraryExA(program.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (image == nullptr)
        return false;
    const auto *base = reinterpret_cast<const unsigned char *>(image);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool found = false;
    for (auto *entry =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
         entry->Name != 0 && !found; ++entry) {
        if (_stricmp(reinterpret_cast<const char *>(base + entry->Name), dll) != 0)
            continue;
        for (auto *thunk = reinterpret_cast<const IMAGE_THUNK_DATA *>(
                 base +
                 (entry->OriginalFirstThunk != 0 ? entry->OriginalFirstThunk : entry->FirstThunk));
             thunk->u1.AddressOfData != 0; ++thunk) {
            if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal))
                continue;
            const auto *name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + thunk->u1.AddressOfData);
            found |= std::strcmp(reinterpret_cast<const char *>(name->Name), function) == 0;
        }
    }
    FreeLibrary(image);
    return found;
}

// Processes named `name` that this process started: tests running beside
// this one in the same prefix start their own.
int CountChildren(const wchar_t *name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        count += _wcsicmp(entry.szExeFile, name) == 0 &&
                         entry.th32ParentProcessID == GetCurrentProcessId()
                     ? 1
                     : 0;
    CloseHandle(snapshot);
    return count;
}

// As a host whose own job forbids nested jobs finds it.
HANDLE WINAPI NoJob(LPSECURITY_ATTRIBUTES, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

} // namespace

// The reason for terminal mode: a child that buffers its output when it
// goes to a pipe shows each line as it prints it in a pseudo console (a
// tick printed every 300 ms comes well within 150 ms of its printing),
// where through a pipe all of them arrive together at its end.
TEST(Terminal, BufferingChildShowsEachLineAsItPrints) {
    ASSERT_TRUE(Imports(RunnerFolder() + "bw_term.exe", "msvcrt.dll", "printf"))
        << "the test child must print with msvcrt's own buffered printf";
    Lines terminal;
    RunTerm("ticks 4 300", terminal);
    ASSERT_EQ(terminal.chunks.size(), 4u) << terminal.All();
    for (size_t i = 0; i < terminal.chunks.size(); ++i) {
        const std::string &chunk = terminal.chunks[i];
        ASSERT_EQ(chunk.rfind("tick " + std::to_string(i) + " ", 0), 0u) << chunk;
        const ULONGLONG printed =
            std::strtoull(chunk.c_str() + chunk.find(' ', 5) + 1, nullptr, 10);
        EXPECT_LT(terminal.times[i] - printed, 150u) << chunk;
    }
    Lines pipe;
    ConsoleRunOptions options = TermOptions(pipe, DLLGLUE_LINES | DLLGLUE_TEXT_UTF8);
    ConsoleRun *run = Start("ticks 4 300", options);
    ASSERT_NE(run, nullptr);
    Finish(run);
    ASSERT_EQ(pipe.chunks.size(), 4u) << pipe.All();
    EXPECT_LT(pipe.times.back() - pipe.times.front(), 100u);
}

// The child sees a console, and its colours, cursor and title never reach
// the text; the same run raw carries the console host's own sequences (the
// child wrote none of "ESC[?25l"), so the bytes came through the pseudo
// console and not past it on the host's own handles. Standard error shares
// the console: the error callback is never called.
TEST(Terminal, ChildSeesAConsoleAndTextCarriesNoSequences) {
    Lines text;
    const ConsoleRunResult result = RunTerm("show", text);
    EXPECT_EQ(text.All(), "type=2 console=1 size=4096x25\ngreen\nred hidden\nplain\n");
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_GT(result.outputBytes, text.All().size());
    EXPECT_EQ(result.errorBytes, 0u);
    EXPECT_EQ(result.stderrSeen, 0);
    Lines raw;
    RunTerm("show", raw, DLLGLUE_TERMINAL | DLLGLUE_TERMINAL_VT | DLLGLUE_MERGE);
    const std::string all = raw.All();
    EXPECT_NE(all.find("\x1b[?25l"), std::string::npos) << all;
    EXPECT_NE(all.find("\x1b[92m"), std::string::npos) << all;
    EXPECT_EQ(g_errorCalls.load(), 0);
}

// A progress line redrawn with "\r" comes as it stands and then as
// rewrites; a line five times wider than most consoles comes as one line.
TEST(Terminal, ProgressComesAsRewritesAndALongLineAsOne) {
    Lines progress;
    RunTerm("progress", progress);
    std::string joined;
    for (const std::string &chunk : progress.chunks)
        joined += chunk + "|";
    EXPECT_EQ(joined, "progress 10%|\rprogress 50%|\rprogress 100%\n|");
    Lines wide;
    ConsoleRunOptions options = TermOptions(wide);
    options.terminalColumns = 1000;
    ConsoleRun *run = Start("long 5000", options);
    ASSERT_NE(run, nullptr);
    Finish(run);
    std::string letters;
    for (int i = 0; i < 5000; ++i)
        letters.push_back(static_cast<char>('a' + i % 26));
    EXPECT_EQ(wide.All(), letters + "\nafter\n");
}

// Keystrokes, UTF-8: each kind of line end is one Enter, for the C
// runtime's fgets and for ReadConsoleW alike; closing the input is the console's end
// of input, which fgets reads as the end. The console echoes what it reads.
TEST(Terminal, InputReachesFgetsAndReadConsole) {
    Lines lines;
    ConsoleRunOptions options = TermOptions(lines);
    options.input = DLLGLUE_INPUT_PIPE;
    ConsoleRun *run = Start("input", options);
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(dllglue_runwrite(run, "first line\r\n", 12), DLLGLUE_OK);
    EXPECT_TRUE(WaitFor(lines, "fgets:[first line]\n")) << lines.All();
    EXPECT_EQ(dllglue_runwrite(run, "second \xC3\xA9\n", 10), DLLGLUE_OK);
    EXPECT_TRUE(WaitFor(lines, "console:[second <U+00E9>]\n")) << lines.All();
    EXPECT_EQ(dllglue_runwrite(run, "third\r", 6), DLLGLUE_OK);
    EXPECT_TRUE(WaitFor(lines, "more:[third]\n")) << lines.All();
    EXPECT_EQ(dllglue_runclosein(run), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runwrite(run, "x", 1), DLLGLUE_ECLOSED);
    const ConsoleRunResult result = Finish(run);
    EXPECT_TRUE(lines.Has("end of input\n")) << lines.All();
    EXPECT_TRUE(lines.Has("first line\n")) << lines.All();
    EXPECT_TRUE(lines.Has("second \xC3\xA9\n")) << lines.All();
    EXPECT_EQ(result.exitCode, 0u);
}

// Exit codes, the process id, a stop whose Ctrl+C the child's handler
// answers with its own exit code, an abort and a time limit: the child's
// own, as for any run; no console host or helper is left afterwards.
TEST(Terminal, EndsAreTheChildsOwn) {
    const int consoleHosts = CountChildren(L"conhost.exe");
    Lines zero;
    ConsoleRunResult result = RunTerm("exit 0", zero);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(zero.All(), "bye pid=" + std::to_string(result.processId) + "\n");
    Lines three;
    EXPECT_EQ(RunTerm("exit 3", three).exitCode, 3u);

    Lines stopped;
    ConsoleRun *run = Start("ctrlc 7", TermOptions(stopped));
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(WaitFor(stopped, "ready\n"));
    EXPECT_EQ(dllglue_runstop(run, 5000), 1);
    result = Finish(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 7u);
    EXPECT_TRUE(stopped.Has("got ctrl-c\n")) << stopped.All();

    Lines aborted;
    run = Start("sleep 20000", TermOptions(aborted));
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(WaitFor(aborted, "sleeping\n"));
    // The console host is this process's child while the run lasts.
    EXPECT_EQ(CountChildren(L"conhost.exe"), 1);
    EXPECT_EQ(dllglue_runabort(run), 1);
    EXPECT_EQ(Finish(run).state, DLLGLUE_ABORTED);

    Lines limited;
    ConsoleRunOptions options = TermOptions(limited);
    options.timeoutMs = 500;
    run = Start("sleep 20000", options);
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(Finish(run).state, DLLGLUE_TIMEDOUT);
    EXPECT_TRUE(limited.Has("sleeping\n"));

    EXPECT_EQ(consoleHosts, 0);
    EXPECT_EQ(CountChildren(L"conhost.exe"), 0);
    EXPECT_EQ(CountChildren(L"brackwyn-term.exe"), 0);
}

// A resize reaches the child's console; other runs cannot be resized, and
// the flags are checked before anything starts.
TEST(Terminal, ResizeAndFlags) {
    Lines lines;
    ConsoleRunOptions options = TermOptions(lines);
    options.terminalColumns = 120;
    options.terminalRows = 30;
    ConsoleRun *run = Start("sizes 100 50", options);
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(WaitFor(lines, "size=120x30\n")) << lines.All();
    EXPECT_EQ(dllglue_runresize(run, 100, 40), DLLGLUE_OK) << dllglue_lasterror();
    EXPECT_TRUE(WaitFor(lines, "size=100x40\n")) << lines.All();
    EXPECT_EQ(dllglue_runresize(run, 0, 40), DLLGLUE_EINVAL);
    dllglue_runabort(run);
    Finish(run);

    Lines plain;
    run = Start("sleep 10", TermOptions(plain, 0));
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(dllglue_runresize(run, 80, 25), DLLGLUE_EINVAL);
    Finish(run);

    const unsigned refusedFlags[] = {DLLGLUE_TERMINAL_VT,
                                     DLLGLUE_TERMINAL | DLLGLUE_TERMINAL_VT | DLLGLUE_LINES,
                                     DLLGLUE_TERMINAL | DLLGLUE_TERMINAL_VT | DLLGLUE_TEXT_UTF8};
    for (const unsigned flags : refusedFlags) {
        ConsoleRunOptions bad = TermOptions(plain, flags);
        ConsoleRun *refused = nullptr;
        EXPECT_EQ(dllglue_runstart(TermCommand("exit 0").c_str(), 0, nullptr, &bad, &refused),
                  DLLGLUE_EINVAL)
            << flags;
        EXPECT_EQ(refused, nullptr);
    }
}

// Eight terminal runs at once: each gets its own lines, whole; a second
// round leaves the host no handle more than the first did (a console, a
// pipe or a helper's handle kept would show).
TEST(Terminal, EightRunsAtOnce) {
    constexpr int kRuns = 8;
    const auto round = [] {
        Lines lines[kRuns];
        ConsoleRun *runs[kRuns] = {};
        for (int i = 0; i < kRuns; ++i)
            runs[i] = Start("exit " + std::to_string(i), TermOptions(lines[i]));
        for (int i = 0; i < kRuns; ++i) {
            ASSERT_NE(runs[i], nullptr);
            const ConsoleRunResult result = Finish(runs[i]);
            EXPECT_EQ(result.exitCode, static_cast<unsigned long>(i));
            EXPECT_EQ(lines[i].All(), "bye pid=" + std::to_string(result.processId) + "\n");
        }
    };
    round();
    const auto before = OpenHandleTypes();
    round();
    EXPECT_EQ(HandleGrowth(before, OpenHandleTypes()), "");
}

// A run goes on without a job where the host's own job forbids one; then
// nothing says when its last process is gone, and a pseudo console's pipe
// never breaks by itself. The run ends with its child, every line and the
// exit code delivered.
TEST(Terminal, RunWithoutAJobEndsWithItsChild) {
    g_sys.createJobObject = NoJob;
    Lines lines;
    const ULONGLONG started = GetTickCount64();
    const ConsoleRunResult result = RunTerm("exit 3", lines);
    const ULONGLONG spent = GetTickCount64() - started;
    g_sys = RealSysCalls();
    WatchLaunchCalls();
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(lines.All(), "bye pid=" + std::to_string(result.processId) + "\n");
    EXPECT_LT(spent, 10000u);
}
