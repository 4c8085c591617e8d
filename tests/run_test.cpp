// Run objects: several runs at once, each with its own callbacks, directory,
// environment, input, time limit and exit code.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/command/cmdline.h"
#include "engine/os/sizes.h"
#include "test_support.h"

namespace {

// Everything one run's callbacks received.
struct Collector {
    std::mutex lock;
    std::string out;
    std::string err;
    size_t largestChunk = 0;
    int exitCalls = 0;
    int stderrSeen = -1;
    bool textAfterExit = false;
    // Set by the test once dllglue_runstart has returned.
    std::atomic<ConsoleRun *> run{nullptr};
    int busyWait = 0;
    int busyClose = 0;
    bool tryBusyCalls = false;
};

void Note(std::string Collector::*stream, const char *text, size_t length, void *user) {
    auto *c = static_cast<Collector *>(user);
    std::lock_guard<std::mutex> lock(c->lock);
    (c->*stream).append(text, length);
    c->largestChunk = length > c->largestChunk ? length : c->largestChunk;
    c->textAfterExit |= c->exitCalls > 0;
}

void BRACKWYN_CALL OnOut(const char *text, size_t length, void *user) {
    Note(&Collector::out, text, length, user);
}
void BRACKWYN_CALL OnErr(const char *text, size_t length, void *user) {
    Note(&Collector::err, text, length, user);
}
void BRACKWYN_CALL OnExit(int stderrSeen, void *user) {
    auto *c = static_cast<Collector *>(user);
    if (c->tryBusyCalls) {
        // The run pointer may not be known yet for a child this quick.
        while (c->run.load() == nullptr)
            Sleep(1);
        c->busyWait = dllglue_runwait(c->run.load(), INFINITE, 0);
        c->busyClose = dllglue_runclose(c->run.load());
    }
    std::lock_guard<std::mutex> lock(c->lock);
    ++c->exitCalls;
    c->stderrSeen = stderrSeen;
}

ConsoleRunOptions OptionsFor(Collector &collector) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnOut;
    options.onError = OnErr;
    options.onExit = OnExit;
    options.user = &collector;
    return options;
}

// Starts `modeAndWords` of the helper child, waits for its end and closes it.
ConsoleRunResult RunToEnd(const std::string &modeAndWords, Collector &collector,
                          ConsoleRunOptions options, const std::vector<std::string> &args = {}) {
    const std::vector<const char *> argv = ArgvOf(args);
    ConsoleRun *run = nullptr;
    const int started =
        dllglue_runstart(ChildCommand(modeAndWords).c_str(), static_cast<int>(argv.size()),
                         argv.data(), &options, &run);
    EXPECT_EQ(started, DLLGLUE_OK) << dllglue_lasterror();
    if (run == nullptr)
        return ConsoleRunResult{};
    collector.run = run;
    EXPECT_EQ(dllglue_runwait(run, INFINITE, 0), DLLGLUE_OK);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
    return result;
}

std::string TempFolder(const std::string &leaf) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    const std::string folder = std::string(base) + leaf;
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::wstring Wide(const std::string &utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    &wide[0], static_cast<int>(wide.size())));
    return wide;
}

// Starts `command` with `args`, waits for its end and closes it: the exit
// code as text, or why it did not start, `code` being what the start
// returned.
std::string Outcome(const std::string &command, const ConsoleRunOptions &options, int &code,
                    const std::vector<std::string> &args = {"x"}) {
    const std::vector<const char *> argv = ArgvOf(args);
    ConsoleRun *run = nullptr;
    code = dllglue_runstart(command.c_str(), static_cast<int>(argv.size()), argv.data(), &options,
                            &run);
    if (run == nullptr)
        return dllglue_lasterror();
    dllglue_runwait(run, INFINITE, 0);
    const ConsoleRunResult result = ResultOf(run);
    dllglue_runclose(run);
    return std::to_string(result.exitCode);
}

// A copy of the helper child at `path`, or a file holding `text` instead.
bool Plant(const std::string &path, const char *text = nullptr) {
    if (text == nullptr)
        return CopyFileA((RunnerFolder() + "bw_child.exe").c_str(), path.c_str(), FALSE) != FALSE;
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}

// Removes the files, then the folders, in the order given.
void Remove(const std::vector<std::string> &files, const std::vector<std::string> &folders) {
    for (const std::string &file : files)
        DeleteFileA(file.c_str());
    for (const std::string &folder : folders)
        RemoveDirectoryA(folder.c_str());
}

} // namespace

// Eight runs flood both streams at once: each run's callbacks get that run's
// user value and exactly its own bytes.
TEST(Runs, EightAtOnceEachGetOnlyTheirOwnBytes) {
    constexpr int kRuns = 8;
    constexpr size_t kBytes = 1500000;
    Collector collectors[kRuns];
    ConsoleRun *runs[kRuns] = {};
    for (int i = 0; i < kRuns; ++i) {
        const ConsoleRunOptions options = OptionsFor(collectors[i]);
        const std::string command =
            ChildCommand("both " + std::to_string(kBytes) + " " + std::to_string(10 * i));
        ASSERT_EQ(dllglue_runstart(command.c_str(), 0, nullptr, &options, &runs[i]), DLLGLUE_OK)
            << dllglue_lasterror();
    }
    for (int i = 0; i < kRuns; ++i) {
        ASSERT_EQ(dllglue_runwait(runs[i], INFINITE, 0), DLLGLUE_OK);
        const ConsoleRunResult result = ResultOf(runs[i]);
        EXPECT_EQ(dllglue_runclose(runs[i]), DLLGLUE_OK);
        EXPECT_EQ(result.state, DLLGLUE_EXITED);
        EXPECT_EQ(result.outputBytes, kBytes);
        EXPECT_EQ(result.errorBytes, kBytes);
        EXPECT_TRUE(collectors[i].out == ExpectedStream(kBytes, 10 * i)) << "run " << i;
        EXPECT_TRUE(collectors[i].err == ExpectedStream(kBytes, 10 * i + 1)) << "run " << i;
        EXPECT_LE(collectors[i].largestChunk, 1024u);
        EXPECT_EQ(collectors[i].exitCalls, 1);
        EXPECT_EQ(collectors[i].stderrSeen, 1);
        EXPECT_FALSE(collectors[i].textAfterExit);
    }
}

// Started together from two threads, a quick child and one that lives 5 s:
// were the long one to inherit the quick one's pipe ends, the quick run
// would last 5 s.
TEST(Runs, ConcurrentLaunchesNeverShareTheirPipes) {
    ULONGLONG worst = 0;
    for (int i = 0; i < 50; ++i) {
        Collector quick, slow;
        ConsoleRun *quickRun = nullptr;
        ConsoleRun *slowRun = nullptr;
        std::atomic<int> ready{0};
        auto start = [&ready](const std::string &mode, Collector &c, ConsoleRun **run) {
            const ConsoleRunOptions options = OptionsFor(c);
            ++ready;
            while (ready.load() < 2) {
            }
            dllglue_runstart(ChildCommand(mode).c_str(), 0, nullptr, &options, run);
        };
        std::thread other(start, "sleep 5000", std::ref(slow), &slowRun);
        start("text x", quick, &quickRun);
        other.join();
        ASSERT_NE(quickRun, nullptr);
        ASSERT_NE(slowRun, nullptr);
        const ULONGLONG begin = GetTickCount64();
        EXPECT_EQ(dllglue_runwait(quickRun, 3000, 0), DLLGLUE_OK) << "iteration " << i;
        const ULONGLONG took = GetTickCount64() - begin;
        worst = took > worst ? took : worst;
        EXPECT_EQ(quick.out, "x");
        dllglue_runclose(quickRun);
        dllglue_runclose(slowRun);
        EXPECT_EQ(slow.exitCalls, 1);
    }
    std::printf("worst end delay of the quick run: %llu ms\n", worst);
}

// The child's directory and environment: a folder with spaces and, in UTF-8,
// one outside the ANSI code page; variables set, overridden in another case,
// removed, and a cleared environment.
TEST(Runs, DirectoryAndEnvironmentAreTheRunsOwn) {
    SetEnvironmentVariableA("BW_GONE", "host");
    SetEnvironmentVariableA("BW_CASE", "host");
    const std::string folder = TempFolder("bw dir \xC3\xBC\xE6\x97\xA5");
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    Collector utf8;
    ConsoleRunOptions options = OptionsFor(utf8);
    options.flags = DLLGLUE_UTF8;
    options.directory = folder.c_str();
    const char *entries[] = {"BW_NEW=\xC3\xA9t\xC3\xA9", "bw_case=first", "BW_CASE=last",
                             "BW_GONE=", nullptr};
    options.environment = entries;
    RunToEnd("setting BW_NEW BW_CASE BW_GONE PATH", utf8, options);
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    EXPECT_EQ(utf8.out, "cwd:" + folder +
                            "\nBW_NEW=\xC3\xA9t\xC3\xA9\nBW_CASE=last\n"
                            "BW_GONE=(unset)\nPATH=" +
                            std::string(getenv("PATH")) + "\n");

    Collector cleared;
    options = OptionsFor(cleared);
    options.flags = DLLGLUE_CLEARENV;
    const std::string root = std::string("SystemRoot=") + getenv("SystemRoot");
    const char *only[] = {root.c_str(), "BW_ONLY=1", nullptr};
    options.environment = only;
    const std::string ansiFolder = TempFolder("bw dir ansi");
    options.directory = ansiFolder.c_str();
    RunToEnd("setting BW_ONLY BW_CASE PATH", cleared, options);
    EXPECT_EQ(cleared.out, "cwd:" + ansiFolder + "\nBW_ONLY=1\nBW_CASE=(unset)\nPATH=(unset)\n");
    SetEnvironmentVariableA("BW_GONE", nullptr);
    SetEnvironmentVariableA("BW_CASE", nullptr);
}

// Input: data written to the child while it writes (10 MB echoed back: no
// deadlock, every byte), a closed input, and a child that never reads.
TEST(Runs, InputDataAndClosedInput) {
    std::string data(10 * 1024 * 1024, '\0');
    std::mt19937 random(7);
    for (char &each : data)
        each = static_cast<char>(random());
    Collector echo;
    ConsoleRunOptions options = OptionsFor(echo);
    options.input = DLLGLUE_INPUT_DATA;
    options.inputData = data.data();
    options.inputLength = data.size();
    ConsoleRunResult result = RunToEnd("echo-stdin", echo, options);
    EXPECT_EQ(result.inputBytes, data.size());
    EXPECT_TRUE(echo.out == data) << "echoed " << echo.out.size() << " bytes";

    Collector closed;
    options = OptionsFor(closed);
    options.input = DLLGLUE_INPUT_CLOSED;
    result = RunToEnd("stdin", closed, options);
    EXPECT_EQ(closed.out, "stdin-bytes:0\n");
    EXPECT_EQ(result.state, DLLGLUE_EXITED);

    Collector deaf;
    options = OptionsFor(deaf);
    options.input = DLLGLUE_INPUT_DATA;
    options.inputData = data.data();
    options.inputLength = data.size();
    result = RunToEnd("exit 0", deaf, options);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_LT(result.inputBytes, data.size());
}

// A run over its time limit is stopped, grandchild and all; what it wrote
// before still arrives.
// A host that appends to a control asks for large chunks: they come that
// large, and no larger, with every byte in order.
TEST(Runs, ChunkBytesSetsTheLargestChunk) {
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    options.chunkBytes = 64 * 1024;
    RunToEnd("out 3000000 7", c, options);
    EXPECT_TRUE(c.out == ExpectedStream(3000000, 7))
        << "output differs, " << c.out.size() << " bytes";
    EXPECT_GT(c.largestChunk, static_cast<size_t>(kChunkSize));
    EXPECT_LE(c.largestChunk, options.chunkBytes);
}

TEST(Runs, TimeLimitStopsTheWholeTree) {
    Collector sleeper;
    ConsoleRunOptions options = OptionsFor(sleeper);
    options.timeoutMs = 300;
    const ULONGLONG begin = GetTickCount64();
    ConsoleRunResult result = RunToEnd("print-sleep 60000", sleeper, options);
    EXPECT_LT(GetTickCount64() - begin, 3000u);
    EXPECT_EQ(result.state, DLLGLUE_TIMEDOUT);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(sleeper.out, "started\n");
    EXPECT_EQ(sleeper.exitCalls, 1);

    Collector parent;
    options = OptionsFor(parent);
    options.timeoutMs = 600;
    result = RunToEnd("grandchild-forever", parent, options);
    EXPECT_EQ(result.state, DLLGLUE_EXITED) << "the child had ended by itself";
    EXPECT_EQ(result.exitCode, 0u);
    const size_t at = parent.out.find("pid=");
    ASSERT_NE(at, std::string::npos) << parent.out;
    const DWORD pid = std::strtoul(parent.out.c_str() + at + 4, nullptr, 10);
    Sleep(200);
    EXPECT_FALSE(ProcessAlive(pid));
}

// The child's own exit code, whatever its value: 259 is a real exit code.
TEST(Runs, ExitCodesAreTheChildsOwn) {
    for (unsigned long code : {0ul, 3ul, 259ul, 0xC0000005ul}) {
        Collector c;
        const ConsoleRunResult result = RunToEnd("exit " + std::to_string(code), c, OptionsFor(c));
        EXPECT_EQ(result.state, DLLGLUE_EXITED) << code;
        EXPECT_EQ(result.exitCode, code);
    }
}

// In UTF-8 mode the program's path and its arguments reach it exactly,
// whatever their script.
TEST(Runs, Utf8CommandAndArgumentsRoundTrip) {
    const std::string folder = TempFolder("bw \xD0\x96\xE8\xA1\xA8");
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    const std::string copy = folder + "\\bw_\xCE\xB1\xF0\x9F\x98\x80.exe";
    ASSERT_TRUE(
        CopyFileW(Wide(RunnerFolder() + "bw_child.exe").c_str(), Wide(copy).c_str(), FALSE));
    const std::vector<std::string> args = {
        "\xC3\xBC",         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xCE\x95\xCE\xBB\xCE\xBB",
        "\xD7\xA2\xD7\x91", "\xF0\x9F\x98\x80 two words",           "",
        "\"quoted\\\""};
    const std::vector<const char *> argv = ArgvOf(args);
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    options.flags = DLLGLUE_UTF8;
    ConsoleRun *run = nullptr;
    const std::string command = "\"" + copy + "\" wargv";
    ASSERT_EQ(dllglue_runstart(command.c_str(), static_cast<int>(argv.size()), argv.data(),
                               &options, &run),
              DLLGLUE_OK)
        << dllglue_lasterror();
    dllglue_runwait(run, INFINITE, 0);
    dllglue_runclose(run);
    std::string expected;
    for (const std::string &arg : args)
        expected += std::to_string(arg.size()) + ":" + arg + "\n";
    EXPECT_EQ(c.out, expected);
    DeleteFileW(Wide(copy).c_str());
}

// Each bad argument is refused with its own reason, nothing started, nothing
// left open.
TEST(Runs, BadArgumentsAreRefusedWithAReason) {
    const std::string child = ChildCommand("exit 0");
    Collector c;
    const ConsoleRunOptions good = OptionsFor(c);
    // The first run and the first failure of a process open what stays open.
    ConsoleRun *warmUp = nullptr;
    dllglue_runstart(child.c_str(), 0, nullptr, &good, &warmUp);
    dllglue_runclose(warmUp);
    dllglue_runstart("no-such-program-here", 0, nullptr, &good, &warmUp);
    const int handlesBefore = OpenHandleCount();
    struct Case {
        const char *what;
        int expected;
        const char *textHas;
        ConsoleRunOptions options;
        const char *command;
        std::vector<std::string> args;
    };
    const std::string file = RunnerFolder() + "bw_child.exe";
    std::vector<Case> cases;
    auto add = [&](const char *what, int expected, const char *textHas,
                   void (*change)(ConsoleRunOptions &), const char *command,
                   std::vector<std::string> args = {}) {
        ConsoleRunOptions options = good;
        if (change != nullptr)
            change(options);
        cases.push_back({what, expected, textHas, options, command, args});
    };
    add("null command", DLLGLUE_EINVAL, "command", nullptr, nullptr);
    add("empty command", DLLGLUE_EINVAL, "empty", nullptr, "");
    add("blank command", DLLGLUE_EINVAL, "empty", nullptr, " \t ", {"arg"});
    add(
        "small size", DLLGLUE_EINVAL, "size", [](ConsoleRunOptions &o) { o.size = 8; },
        child.c_str());
    add(
        "unknown flag", DLLGLUE_EINVAL, "flags", [](ConsoleRunOptions &o) { o.flags = 0x100; },
        child.c_str());
    add(
        "bad input", DLLGLUE_EINVAL, "input", [](ConsoleRunOptions &o) { o.input = 7; },
        child.c_str());
    add(
        "merged into onError alone", DLLGLUE_EINVAL, "onOutput",
        [](ConsoleRunOptions &o) {
            o.flags = DLLGLUE_MERGE;
            o.onOutput = nullptr;
            o.onError = [](const char *, size_t, void *) {};
        },
        child.c_str());
    add(
        "chunk over 1 MiB", DLLGLUE_EINVAL, "chunkBytes",
        [](ConsoleRunOptions &o) { o.chunkBytes = 1024 * 1024 + 1; }, child.c_str());
    add("bad UTF-8", DLLGLUE_EINVAL, "UTF-8", [](ConsoleRunOptions &o) { o.flags = DLLGLUE_UTF8; },
        child.c_str(), {"\xC3("});
    static const char *noEquals[] = {"JUSTANAME", nullptr};
    add(
        "entry without =", DLLGLUE_EINVAL, "JUSTANAME",
        [](ConsoleRunOptions &o) { o.environment = noEquals; }, child.c_str());
    static const char *noName[] = {"=value", nullptr};
    add(
        "empty name", DLLGLUE_EINVAL, "empty name",
        [](ConsoleRunOptions &o) { o.environment = noName; }, child.c_str());
    add(
        "missing directory", DLLGLUE_ESTART, "bw-no-such-dir",
        [](ConsoleRunOptions &o) { o.directory = "C:\\bw-no-such-dir"; }, child.c_str());
    static std::string fileAsDirectory;
    fileAsDirectory = file;
    add(
        "file as directory", DLLGLUE_ESTART, "bw_child.exe",
        [](ConsoleRunOptions &o) { o.directory = fileAsDirectory.c_str(); }, child.c_str());
    add("no such program", DLLGLUE_ESTART, "Unable to start no-such-program-here", nullptr,
        "no-such-program-here");
    add("line break for a batch file", DLLGLUE_ESTART, "Unable to start", nullptr, "t.bat",
        {"a\nb"});
    for (const Case &k : cases) {
        const std::vector<const char *> argv = ArgvOf(k.args);
        ConsoleRun *run = reinterpret_cast<ConsoleRun *>(1);
        const int code = dllglue_runstart(k.command, static_cast<int>(argv.size()), argv.data(),
                                          &k.options, &run);
        EXPECT_EQ(code, k.expected) << k.what;
        EXPECT_EQ(run, nullptr) << k.what;
        EXPECT_NE(std::string(dllglue_lasterror()).find(k.textHas), std::string::npos)
            << k.what << ": " << dllglue_lasterror();
    }
    // A host built before the options' last four fields passes a shorter size.
    ConsoleRunOptions older = good;
    older.size = offsetof(ConsoleRunOptions, maxPendingBytes);
    ConsoleRun *olderRun = nullptr;
    EXPECT_EQ(dllglue_runstart(child.c_str(), 0, nullptr, &older, &olderRun), DLLGLUE_OK)
        << dllglue_lasterror();
    EXPECT_EQ(dllglue_runclose(olderRun), DLLGLUE_OK);
    // A later header's larger options are fine when the rest is zero.
    struct Later {
        ConsoleRunOptions options;
        void *added;
    } later{good, nullptr};
    later.options.size = sizeof(later);
    ConsoleRun *run = nullptr;
    EXPECT_EQ(dllglue_runstart(child.c_str(), 0, nullptr, &later.options, &run), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
    later.added = &later;
    EXPECT_EQ(dllglue_runstart(child.c_str(), 0, nullptr, &later.options, &run), DLLGLUE_EINVAL);
    EXPECT_EQ(dllglue_runstart(child.c_str(), 0, nullptr, nullptr, nullptr), DLLGLUE_EINVAL);
    EXPECT_EQ(dllglue_runclose(nullptr), DLLGLUE_OK);
    EXPECT_EQ(c.exitCalls, 3);
    EXPECT_EQ(OpenHandleCount(), handlesBefore);
}

// A narrow child gets its command line converted by best fit: U+FF02 would
// arrive as a quote and U+FF3C as a backslash, moving its arguments'
// boundaries; for cmd.exe U+FF06 would be &. Other characters reach a wide
// child exactly.
TEST(Runs, CharactersAnAnsiChildReadsAsSyntaxAreRefused) {
    char converted[4] = {};
    const wchar_t fullwidthQuote = 0xFF02;
    if (WideCharToMultiByte(CP_ACP, 0, &fullwidthQuote, 1, converted, 4, nullptr, nullptr) != 1 ||
        converted[0] != '"')
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " has a character for U+FF02";
    const std::string quote = "\xEF\xBC\x82", backslash = "\xEF\xBC\xBC";
    const std::string ampersand = "\xEF\xBC\x86", letterA = "\xEF\xBC\xA1";
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    options.flags = DLLGLUE_UTF8;
    const std::string child = ChildCommand("wargv");
    const std::vector<std::pair<std::string, std::vector<std::string>>> refused = {
        {child, {"a" + quote + " b", "c"}},
        {child, {"x" + backslash}},
        {ChildCommand("wargv " + quote), {}},
    };
    for (const auto &k : refused) {
        const std::vector<const char *> argv = ArgvOf(k.second);
        ConsoleRun *run = nullptr;
        EXPECT_EQ(dllglue_runstart(k.first.c_str(), static_cast<int>(argv.size()), argv.data(),
                                   &options, &run),
                  DLLGLUE_ESTART);
        EXPECT_EQ(run, nullptr);
        EXPECT_NE(std::string(dllglue_lasterror()).find("ANSI"), std::string::npos)
            << dllglue_lasterror();
        dllglue_runclose(run);
    }
    const char *forBatch[] = {ampersand.c_str()};
    EXPECT_NE(ComposeLaunchCommand("t.bat", 1, forBatch, CP_UTF8).refusal, "");
    const std::vector<std::string> passing = {ampersand, letterA, "\xC3\xA9", "\xE6\x97\xA5"};
    RunToEnd("wargv", c, options, passing);
    std::string expected;
    for (const std::string &arg : passing)
        expected += std::to_string(arg.size()) + ":" + arg + "\n";
    EXPECT_EQ(c.out, expected);
}

// A bare name is never taken from the host's current directory, where a GUI
// host's file dialog may have left it; a relative folder is the run's
// directory's; the run's PATH and PATHEXT find programs and batch files.
TEST(Runs, ProgramsAreNeverTakenFromTheCurrentDirectory) {
    const std::string folder = TempFolder("bw-search-" + std::to_string(GetCurrentProcessId()));
    const std::string planted = folder + "\\bwplanted.exe";
    const std::string script = folder + "\\bwscript.bat";
    ASSERT_TRUE(CopyFileA((RunnerFolder() + "bw_child.exe").c_str(), planted.c_str(), FALSE));
    {
        std::ofstream file(script, std::ios::binary);
        file << "@echo script %~1\r\n";
    }
    char hostDirectory[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, hostDirectory);
    auto run = [](const char *command, const ConsoleRunOptions &options, int &code) {
        const char *argv[] = {"x"};
        const int argc = std::strncmp(command, "cmd ", 4) == 0 ? 0 : 1;
        ConsoleRun *started = nullptr;
        code = dllglue_runstart(command, argc, argv, &options, &started);
        const std::string why = dllglue_lasterror();
        if (started == nullptr)
            return why;
        dllglue_runwait(started, INFINITE, 0);
        const ConsoleRunResult result = ResultOf(started);
        dllglue_runclose(started);
        return std::to_string(result.exitCode);
    };
    Collector c;
    const ConsoleRunOptions plain = OptionsFor(c);
    int code = 0;
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    std::string why = run("bwplanted argv", plain, code);
    SetCurrentDirectoryA(hostDirectory);
    EXPECT_EQ(code, DLLGLUE_ESTART);
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_NE(why.find(system), std::string::npos) << why;
    EXPECT_EQ(why.find(folder), std::string::npos) << why;

    ConsoleRunOptions inFolder = plain;
    inFolder.directory = folder.c_str();
    EXPECT_EQ(run(".\\bwplanted.exe argv", inFolder, code), "0");
    ConsoleRunOptions onPath = plain;
    const std::string path = "PATH=" + folder;
    const char *environment[] = {path.c_str(), nullptr};
    onPath.environment = environment;
    EXPECT_EQ(run("bwscript", onPath, code), "0");
    EXPECT_EQ(run("cmd /c exit 3", plain, code), "3");
    EXPECT_EQ(c.out, "1:x\nscript x\r\n");
    DeleteFileA(planted.c_str());
    DeleteFileA(script.c_str());
    RemoveDirectoryA(folder.c_str());
}

// "C:x", "C:." and "\x" are relative to a drive's current directory or to the
// current drive, which are the host's and follow its file dialogs: on PATH
// they are skipped, as commands they mean the run's directory or its drive.
// A folder that is on PATH twice is looked in, and named, once.
TEST(Runs, LookupNeverReachesTheHostsCurrentDirectoryOrDrive) {
    const std::string id = std::to_string(GetCurrentProcessId());
    const std::string host = TempFolder("bw-host-" + id), runs = TempFolder("bw-rundir-" + id);
    const std::string sub = TempFolder("bw-host-" + id + "\\sub");
    const std::vector<std::string> files = {host + "\\bwplant.exe", sub + "\\bwplant.exe",
                                            runs + "\\bwrun.exe", host + "\\bwrun.exe"};
    // The host's bwrun.exe cannot start: a run that reached it would fail.
    ASSERT_TRUE(Plant(files[0]) && Plant(files[1]) && Plant(files[2]) &&
                Plant(files[3], "not a program"));
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string drive = host.substr(0, 2);
    const std::string path = "PATH=" + drive + ".;" + drive + "sub;" + host.substr(2) + ";" +
                             system + ";" + system + "\\";
    const char *environment[] = {path.c_str(), nullptr};
    Collector c;
    ConsoleRunOptions onPath = OptionsFor(c);
    onPath.environment = environment;
    ConsoleRunOptions inRuns = OptionsFor(c);
    inRuns.directory = runs.c_str();
    // Another drive for the host's current directory, where there is one.
    std::string other;
    for (char letter = 'Z'; letter > 'A' && other.empty(); --letter) {
        const std::string root = std::string(1, letter) + ":\\";
        if (letter != std::toupper(static_cast<unsigned char>(runs[0])) &&
            GetDriveTypeA(root.c_str()) == DRIVE_FIXED)
            other = root;
    }
    char hostDirectory[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, hostDirectory);
    int onPathCode = 0, code = 0, offDrive = DLLGLUE_ESTART;
    SetCurrentDirectoryA(host.c_str());
    const std::string why = Outcome("bwplant", onPath, onPathCode);
    const std::string driveRelative = Outcome(drive + "bwrun.exe argv", inRuns, code);
    std::string rootRelative = "0", otherDrive = "not on that drive";
    if (!other.empty() && SetCurrentDirectoryA(other.c_str())) {
        rootRelative = Outcome(runs.substr(2) + "\\bwrun.exe argv", inRuns, code);
        otherDrive = Outcome(other.substr(0, 2) + "bwrun.exe argv", inRuns, offDrive);
    }
    SetCurrentDirectoryA(hostDirectory);
    EXPECT_EQ(onPathCode, DLLGLUE_ESTART);
    EXPECT_NE(why.find("no program"), std::string::npos) << why;
    EXPECT_EQ(why.find(host.substr(2)), std::string::npos) << why;
    size_t listed = 0;
    for (size_t at = why.find(system); at != std::string::npos; at = why.find(system, at + 1))
        ++listed;
    EXPECT_EQ(listed, 1u) << why;
    EXPECT_EQ(driveRelative, "0");
    EXPECT_EQ(rootRelative, "0");
    EXPECT_EQ(offDrive, DLLGLUE_ESTART);
    EXPECT_NE(otherDrive.find("not on that drive"), std::string::npos) << otherDrive;
    Remove(files, {sub, host, runs});
}

// Only what CreateProcess starts is a program: a script that PATHEXT names
// in an earlier PATH folder does not hide the program in a later one, and a
// program image runs under any name. A program that fails to start is named
// in the reason, which has no unfilled "%1".
TEST(Runs, OnlyWhatCanStartIsFound) {
    const std::string folder = TempFolder("bw-startable-" + std::to_string(GetCurrentProcessId()));
    const std::string first =
        TempFolder("bw-startable-" + std::to_string(GetCurrentProcessId()) + "\\first");
    const std::string second =
        TempFolder("bw-startable-" + std::to_string(GetCurrentProcessId()) + "\\second");
    const std::vector<std::string> files = {first + "\\bwtwo.vbs", second + "\\bwtwo.exe",
                                            folder + "\\bwimage.dat", second + "\\bwbad.exe"};
    ASSERT_TRUE(Plant(files[0], "WScript.Echo 1") && Plant(files[1]) && Plant(files[2]) &&
                Plant(files[3], "not a program"));
    const std::string path = "PATH=" + first + ";" + second;
    const char *environment[] = {path.c_str(), "PATHEXT=.COM;.EXE;.BAT;.CMD;.VBS;.JS", nullptr};
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    options.environment = environment;
    int code = 0;
    EXPECT_EQ(Outcome("bwtwo argv", options, code), "0");
    EXPECT_EQ(Outcome("\"" + files[2] + "\" argv", options, code), "0");
    const std::string why = Outcome("bwbad argv", options, code);
    EXPECT_EQ(code, DLLGLUE_ESTART);
    EXPECT_NE(why.find(second + "\\bwbad."), std::string::npos) << why; // .EXE, as PATHEXT has it
    EXPECT_EQ(why.find('%'), std::string::npos) << why;
    Remove(files, {first, second, folder});
}

// Unquoted, "C:\my tools\x.exe" runs C:\my.exe when someone has put one
// there, and even without it the child's arguments begin with "tools\x.exe":
// a run refuses such a command and says to quote the path.
TEST(Runs, UnquotedProgramPathsWithBlanksAreRefused) {
    const std::string id = std::to_string(GetCurrentProcessId());
    const std::string folder = TempFolder("bw-blanks-" + id);
    const std::string tools = TempFolder("bw-blanks-" + id + "\\my tools");
    const std::string program = tools + "\\bwecho.exe", planted = folder + "\\my.exe";
    ASSERT_TRUE(Plant(program));
    Collector c;
    const ConsoleRunOptions options = OptionsFor(c);
    int alone = 0, withPlanted = 0, quoted = 0;
    const std::string whyAlone = Outcome(program + " argv", options, alone, {"x y"});
    ASSERT_TRUE(Plant(planted));
    const std::string whyPlanted = Outcome(program + " argv", options, withPlanted, {"x y"});
    EXPECT_EQ(Outcome("\"" + program + "\" argv", options, quoted, {"x y"}), "0");
    EXPECT_EQ(alone, DLLGLUE_ESTART);
    EXPECT_NE(whyAlone.find("put it in quotes"), std::string::npos) << whyAlone;
    EXPECT_EQ(withPlanted, DLLGLUE_ESTART);
    EXPECT_NE(whyPlanted.find("put it in quotes"), std::string::npos) << whyPlanted;
    EXPECT_EQ(c.out, "3:x y\n");
    Remove({program, planted}, {tools, folder});
}

// dllglue_main's start failure goes to the output callback as it always has,
// and its reason to the calling thread's last error; a run that starts
// clears it.
TEST(Runs, MainsStartFailureSaysWhyInTheLastError) {
    EXPECT_EQ(RunRecorded("no-such-program-here").result, 0);
    const std::string missing = dllglue_lasterror();
    std::string elsewhere;
    std::thread([&elsewhere] { elsewhere = dllglue_lasterror(); }).join();
    RunRecorded(ChildCommand("argv"), {std::string(32767, 'y')});
    const std::string tooLong = dllglue_lasterror();
    EXPECT_EQ(RunRecorded(ChildCommand("exit 0")).result, 1);
    EXPECT_EQ(missing.find("Unable to start no-such-program-here: "), 0u) << missing;
    EXPECT_NE(missing.find("(error 2)"), std::string::npos) << missing;
    EXPECT_EQ(elsewhere.find("no-such-program"), std::string::npos) << elsewhere;
    EXPECT_NE(tooLong.find("32766"), std::string::npos)
        << tooLong.substr(tooLong.size() > 200 ? tooLong.size() - 200 : 0);
    EXPECT_STREQ(dllglue_lasterror(), "");
}

namespace {
std::atomic<int> g_ticks{0};
LRESULT CountTicks(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        ++g_ticks;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

std::atomic<int> g_filtered{0};
std::atomic<void *> g_filterUser{nullptr};
constexpr UINT kSwallowed = WM_APP + 77;
int BRACKWYN_CALL SwallowOne(MSG *message, void *user) {
    g_filterUser = user;
    if (message->message != kSwallowed)
        return 0;
    ++g_filtered;
    return 1;
}
std::atomic<int> g_swallowedDispatched{0};
LRESULT CountSwallowed(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kSwallowed)
        ++g_swallowedDispatched;
    return CountTicks(window, message, wParam, lParam);
}
} // namespace

// A wait with a limit returns while the run goes on; a pumping wait keeps the
// thread's windows alive and lets the host's filter take messages first.
TEST(Runs, WaitWithALimitAndPumpingWait) {
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    options.messageFilter = SwallowOne;
    ConsoleRun *run = nullptr;
    ASSERT_EQ(dllglue_runstart(ChildCommand("sleep 800").c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK);
    EXPECT_EQ(dllglue_runwait(run, 100, 0), DLLGLUE_ETIMEOUT);
    EXPECT_EQ(ResultOf(run).state, DLLGLUE_RUNNING);
    TestWindow window(CountSwallowed);
    g_ticks = 0;
    SetTimer(window.Get(), 1, 50, nullptr);
    PostMessageA(window.Get(), kSwallowed, 0, 0);
    EXPECT_EQ(dllglue_runwait(run, INFINITE, DLLGLUE_WAIT_PUMP), DLLGLUE_OK);
    KillTimer(window.Get(), 1);
    EXPECT_GE(g_ticks.load(), 3);
    EXPECT_EQ(g_filtered.load(), 1);
    EXPECT_EQ(g_swallowedDispatched.load(), 0);
    EXPECT_EQ(g_filterUser.load(), &c);
    EXPECT_EQ(c.exitCalls, 1);
    EXPECT_EQ(ResultOf(run).state, DLLGLUE_EXITED);
    dllglue_runclose(run);
}

// Closing a run that is still going ends its whole tree and delivers its
// completion before it returns; nothing of it comes afterwards. Waiting or
// closing from the run's own callback would deadlock and is refused.
TEST(Runs, CloseEndsTheTreeAndCallbacksCannotWaitOrClose) {
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    ConsoleRun *run = nullptr;
    ASSERT_EQ(
        dllglue_runstart(ChildCommand("grandchild-forever").c_str(), 0, nullptr, &options, &run),
        DLLGLUE_OK);
    for (int i = 0; i < 200 && c.out.find('\n') == std::string::npos; ++i)
        Sleep(10);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
    const int exitCallsAtClose = c.exitCalls;
    const size_t at = c.out.find("pid=");
    ASSERT_NE(at, std::string::npos) << c.out;
    Sleep(200);
    EXPECT_EQ(exitCallsAtClose, 1);
    EXPECT_EQ(c.exitCalls, 1);
    EXPECT_FALSE(ProcessAlive(std::strtoul(c.out.c_str() + at + 4, nullptr, 10)));

    Collector busy;
    busy.tryBusyCalls = true;
    const ConsoleRunResult result = RunToEnd("exit 0", busy, OptionsFor(busy));
    EXPECT_EQ(busy.busyWait, DLLGLUE_EBUSY);
    EXPECT_EQ(busy.busyClose, DLLGLUE_EBUSY);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
}

namespace {
int BRACKWYN_CALL DialogNavigation(MSG *message, void *user) {
    return IsDialogMessageW(static_cast<HWND>(user), message);
}

// A dialog template in memory: two tab-stop buttons, ids 1 and 2.
struct DialogTemplate {
    DLGTEMPLATE dialog;
    WORD menu, windowClass, title;
    struct Item {
        alignas(4) DLGITEMTEMPLATE item;
        WORD classMarker, classAtom, text, extra;
    } items[2];
};
} // namespace

// The host's filter makes Tab move between a dialog's controls during a
// pumping wait, and a message it has handled is not dispatched again.
TEST(Runs, MessageFilterGivesDialogNavigationDuringAWait) {
    DialogTemplate t{};
    t.dialog.style = WS_POPUP | WS_VISIBLE;
    t.dialog.cdit = 2;
    t.dialog.cx = 100;
    t.dialog.cy = 50;
    for (WORD i = 0; i < 2; ++i) {
        t.items[i].item.style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
        t.items[i].item.x = static_cast<short>(5 + 45 * i);
        t.items[i].item.cx = 40;
        t.items[i].item.cy = 14;
        t.items[i].item.id = static_cast<WORD>(i + 1);
        t.items[i].classMarker = 0xFFFF;
        t.items[i].classAtom = 0x0080; // BUTTON
    }
    HWND dialog = CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), &t.dialog, nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    ASSERT_NE(dialog, nullptr) << GetLastError();
    SetFocus(GetDlgItem(dialog, 1));
    ASSERT_EQ(GetFocus(), GetDlgItem(dialog, 1));
    Collector c;
    ConsoleRunOptions options = OptionsFor(c);
    options.messageFilter = DialogNavigation;
    options.user = dialog; // the filter gets the run's user value
    options.onOutput = nullptr;
    options.onError = nullptr;
    options.onExit = nullptr;
    ConsoleRun *run = nullptr;
    ASSERT_EQ(dllglue_runstart(ChildCommand("sleep 300").c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK);
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
    EXPECT_EQ(dllglue_runwait(run, INFINITE, DLLGLUE_WAIT_PUMP), DLLGLUE_OK);
    dllglue_runclose(run);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 2));
    DestroyWindow(dialog);
}
