// A batch file gets each argument as one parameter, and cmd.exe never takes a
// character of one for an operator, a redirection or a variable.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/command/cmdline.h"
#include "test_support.h"

namespace {

// A folder of the test's own under %TEMP% for scripts and markers; removed
// with what is in it.
class ScriptFolder {
public:
    ScriptFolder() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        m_path = std::string(temp) + "bw-batch-" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~ScriptFolder() {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((m_path + "*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do
                DeleteFileA((m_path + found.cFileName).c_str());
            while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(m_path.c_str());
    }
    ScriptFolder(const ScriptFolder &) = delete;
    ScriptFolder &operator=(const ScriptFolder &) = delete;

    // Writes a script from its lines; returns its path.
    std::string Write(const std::string &name, const std::vector<std::string> &lines) const {
        std::ofstream file(m_path + name, std::ios::binary);
        for (const std::string &line : lines)
            file << line << "\r\n";
        return m_path + name;
    }
    std::string Path(const std::string &name) const { return m_path + name; }

private:
    std::string m_path;
};

bool Exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Quoted(const std::string &path) {
    return "\"" + path + "\"";
}

// Echoes each parameter as cmd.exe hands it over (%1, quotes kept: %~1 would
// strip them and expose what they protect), one line each, then hands them
// all on to bw_child, whose C runtime must read back the host's arguments.
std::vector<std::string> HandOnScript() {
    return {"@echo off", "set args=",
            ":next",     "if [%1]==[] goto done",
            "echo %1",   "set args=%args% %1",
            "shift",     "goto next",
            ":done",     Quoted(RunnerFolder() + "bw_child.exe") + " argv%args%"};
}

// What a run of HandOnScript must show: one echoed line per argument, each
// one quoted parameter, then exactly the arguments, and nothing on stderr (a
// stray command would complain there).
testing::AssertionResult HandedOnWhole(const Recording &run, const std::vector<std::string> &args) {
    const std::string handedOn = EncodedArgv(args);
    if (run.result != 1 || !run.err.empty() || run.out.size() < handedOn.size() ||
        run.out.compare(run.out.size() - handedOn.size(), handedOn.size(), handedOn) != 0)
        return testing::AssertionFailure() << "result " << run.result << ", stderr [" << run.err
                                           << "], stdout [" << run.out << "] " << run.launchFailure;
    std::vector<std::string> echoed;
    const std::string head = run.out.substr(0, run.out.size() - handedOn.size());
    for (size_t start = 0; start < head.size();) {
        size_t end = head.find('\n', start);
        end = end == std::string::npos ? head.size() : end;
        std::string line = head.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        echoed.push_back(line);
        start = end + 1;
    }
    bool quotedEach = echoed.size() == args.size();
    for (const std::string &line : echoed)
        quotedEach = quotedEach && line.size() >= 2 && line.front() == '"' && line.back() == '"';
    if (!quotedEach)
        return testing::AssertionFailure()
               << args.size() << " arguments, echoed as [" << head << "]";
    return testing::AssertionSuccess();
}

// Seeded rounds of 50 arguments each through a .bat, a .cmd and an upper-case
// .BAT: filler drawn from `alphabet`, now and then an injection attempt from
// `attacks` in it. An attack that worked would echo BWINJ on a line of its
// own, write the marker file, or leave an argument changed.
void ExpectNoArgumentRunsCommands(const std::string &alphabet, unsigned seed,
                                  const std::vector<std::string> &extraAttacks = {}) {
    ScriptFolder folder;
    const std::string marker = folder.Path("injected");
    std::vector<std::string> attacks = {"\" & echo BWINJ & rem \"",
                                        "x\\\" & echo BWINJ & rem",
                                        "\" > " + marker + " & rem \"",
                                        ">" + marker,
                                        "^\" | echo BWINJ",
                                        "\"&(echo BWINJ>\"" + marker + "\")&\"",
                                        "\\\\\"&echo BWINJ&\\",
                                        "!BW_PROBE!"};
    attacks.insert(attacks.end(), extraAttacks.begin(), extraAttacks.end());
    const std::vector<std::string> script = HandOnScript();
    folder.Write("fuzz.bat", script);
    folder.Write("fuzz.cmd", script);
    const std::string commands[] = {Quoted(folder.Path("fuzz.bat")),
                                    Quoted(folder.Path("fuzz.cmd")),
                                    Quoted(folder.Path("FUZZ.BAT"))};
    // Were ! or % expanded, this value would show up instead of the name.
    SetEnvironmentVariableA("BW_PROBE", "BWINJ");
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<size_t> pickAttack(0, attacks.size() - 1);
    std::uniform_int_distribution<int> length(0, 10);
    for (int round = 0; round < 6; ++round) {
        std::vector<std::string> args(50);
        for (std::string &arg : args) {
            for (int i = length(random); i > 0; --i)
                arg += alphabet[pick(random)];
            if (random() % 3 == 0)
                arg.insert(arg.empty() ? 0 : random() % arg.size(), attacks[pickAttack(random)]);
        }
        const Recording run = RunRecorded(commands[round % 3], args);
        EXPECT_TRUE(HandedOnWhole(run, args)) << "round " << round << ": " << commands[round % 3];
        ASSERT_FALSE(Exists(marker)) << "round " << round;
    }
    SetEnvironmentVariableA("BW_PROBE", nullptr);
}

} // namespace

TEST(Batch, FuzzedArgumentsNeverRunCommands) {
    ExpectNoArgumentRunsCommands("\"&|<>^!(),;=\\ \tab", 20260419);
}

// On Windows cmd.exe expands a parameter's text once, where the script uses
// %1; Wine's cmd.exe scans the expanded text again, so there a script that
// merely echoes %1 expands %PATH% in it, whatever the caller did.
TEST(Batch, PercentSignsNeverExpand) {
    if (UnderWine())
        GTEST_SKIP() << "Wine's cmd.exe expands variables inside a parameter's value again";
    ExpectNoArgumentRunsCommands("\"&|<>^%!(),;=\\ \tab", 20260420,
                                 {"%BW_PROBE%", "%PATH%", "%cd%", "%~1", "%%", "%", "%cd:~,%"});
}

// What a script reads with %~1: the host's text, for the arguments that need
// no doubling of quotes or backslashes.
TEST(Batch, ScriptReceivesPlainArgumentsExactly) {
    ScriptFolder folder;
    const std::string script =
        folder.Write("plain.bat", {"@echo off", ":next", "if [%1]==[] goto :eof", "echo [%~1]",
                                   "shift", "goto next"});
    const Recording run = RunRecorded(Quoted(script), {"plain", "with space", "", "tab\there",
                                                       "a,b;c=d", "C:\\Program Files\\x y"});
    EXPECT_EQ(run.result, 1) << run.launchFailure;
    EXPECT_EQ(run.out, "[plain]\r\n[with space]\r\n[]\r\n[tab\there]\r\n[a,b;c=d]\r\n"
                       "[C:\\Program Files\\x y]\r\n");
}

// cmd.exe ends a command at a line break, quoted or not: the rest of the
// argument would run as a command of its own.
TEST(Batch, LineBreaksAreRefusedAndNothingStarts) {
    ScriptFolder folder;
    const std::string marker = folder.Path("ran");
    const std::string script = Quoted(folder.Write("ran.cmd", {"@echo ran>" + Quoted(marker)}));
    for (const char *broken : {"a\nb", "a\rb", "\r\n"}) {
        const std::vector<std::string> args = {"fine", broken};
        const std::vector<const char *> argv = ArgvOf(args);
        const LaunchCommand launch = ComposeLaunchCommand(script.c_str(), 2, argv.data());
        EXPECT_NE(launch.refusal, "");
        const Recording run = RunRecorded(script, args);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.exitCalls, 0);
        EXPECT_EQ(run.out,
                  "Unable to start " + ComposeCommandLine(script.c_str(), 2, argv.data()) + "\n");
        EXPECT_FALSE(Exists(marker));
    }
    // Nothing keeps a program from receiving a line break.
    const Recording program = RunRecorded(ChildCommand("argv"), {"a\nb"});
    EXPECT_EQ(program.out, EncodedArgv({"a\nb"}));
}

// Only the program's own extension counts, as CreateProcess reads the program
// from the command; everything else keeps the C runtime's quoting.
TEST(Batch, OnlyBatchFilesGoThroughCmd) {
    const char *argv[] = {"a b", ""};
    for (const char *command : {"t.bat", "T.CMD", "\"C:\\a b\\t.Bat\" /x", " t.cmd", "t.bat. .",
                                "\"C:\\a b\\t.bat. \""}) {
        const LaunchCommand launch = ComposeLaunchCommand(command, 2, argv);
        EXPECT_EQ(launch.display, ComposeCommandLine(command, 2, argv)) << command;
        EXPECT_EQ(launch.commandLine.find(Quoted(launch.application) + " /d "), 0u) << command;
        EXPECT_EQ(launch.application.substr(1, 2), ":\\") << command;
        EXPECT_EQ(launch.refusal, "") << command;
    }
    for (const char *command :
         {"t.bat.exe", "t.batch", "cmd /c t", "\"C:\\x.bat\\t.exe\" a.bat", "x", "bat"}) {
        const LaunchCommand launch = ComposeLaunchCommand(command, 2, argv);
        EXPECT_EQ(launch.commandLine, ComposeCommandLine(command, 2, argv)) << command;
        EXPECT_EQ(launch.application, "") << command;
    }
    // A quote the host left open would put every argument outside quotes.
    EXPECT_NE(ComposeLaunchCommand("\"C:\\a b\\t.bat", 2, argv).refusal, "");
}

// Unquoted, "C:\some dir\t.bat" is found by trying "C:\some" first, then
// run through cmd.exe with quoting meant for a C runtime, in which an
// argument's & starts a command. Neither interface starts it; quoted, it
// runs as any batch file.
TEST(Batch, UnquotedPathsWithBlanksToABatchFileStartNothing) {
    ScriptFolder folder;
    const std::string marker = folder.Path("ran");
    folder.Write("run me.bat", {"@echo ran>" + Quoted(marker)});
    folder.Write("run me.cmd", {"@echo ran>" + Quoted(marker)});
    const std::vector<std::string> args = {"\"&echo BWINJ&rem ", "x\\\"&echo BWINJ>" + marker,
                                           "\"|echo BWINJ"};
    const std::vector<const char *> argv = ArgvOf(args);
    for (const std::string &command :
         {folder.Path("run me.bat"), folder.Path("RUN ME.BAT. "), folder.Path("run me.cmd") + " /x",
          "cmd /c " + folder.Path("run me.bat")}) {
        const Recording run = RunRecorded(command, args);
        EXPECT_EQ(run.out,
                  "Unable to start " + ComposeCommandLine(command.c_str(), 3, argv.data()) + "\n");
        EXPECT_EQ(run.exitCalls, 0) << command;
        ConsoleRun *started = nullptr;
        EXPECT_EQ(dllglue_runstart(command.c_str(), 3, argv.data(), nullptr, &started),
                  DLLGLUE_ESTART)
            << command;
        EXPECT_EQ(std::string(dllglue_lasterror()).find("Unable to start " + command), 0u)
            << dllglue_lasterror();
        dllglue_runclose(started);
    }
    ASSERT_FALSE(Exists(marker));
    const Recording quoted = RunRecorded(Quoted(folder.Path("run me.bat")), args);
    EXPECT_EQ(quoted.result, 1) << quoted.out << quoted.launchFailure;
    EXPECT_TRUE(Exists(marker));
}

// cmd.exe runs no line over 8191 characters; Wine's would, so a host would
// see the script run here and fail on Windows.
TEST(Batch, LinesLongerThanCmdTakesAreRefused) {
    ScriptFolder folder;
    const std::string script = folder.Write("short.bat", {"@echo ran"});
    // cmd.exe runs "<script>" "<argument>": the script's path, four quotes and a blank.
    const size_t fits = 8191 - script.size() - 5;
    const Recording atLimit = RunRecorded(Quoted(script), {std::string(fits, 'a')});
    EXPECT_EQ(atLimit.out, "ran\r\n");
    const std::string over(fits + 1, 'a');
    const Recording tooLong = RunRecorded(Quoted(script), {over});
    EXPECT_EQ(tooLong.out, "Unable to start " + Quoted(script) + " " + Quoted(over) + "\n");
    EXPECT_EQ(tooLong.exitCalls, 0);
}

// Under code page 932 (ctest's Dbcs.cp932 runs Wine under a Japanese
// locale), a character whose second byte is 0x5C reaches a program and a
// batch file whole, and splits no argument from the next.
TEST(Dbcs, DoubleByteArgumentsArriveWhole) {
    if (GetACP() != 932)
        GTEST_SKIP() << "needs the ANSI code page 932; ctest's Dbcs.cp932 runs it so";
    const std::vector<std::string> args = {"\x95\x5C",         "next",       "\x95\x5C\"",
                                           "a\x95\x5C b",      "\x83\x5C\\", "\x95\x5C\x95\x5C",
                                           "\x83\x7C&\x83\x5E"};
    const Recording program = RunRecorded(ChildCommand("acp-argv"), args);
    EXPECT_EQ(program.out, "acp:932\n" + EncodedArgv(args));
    ScriptFolder folder;
    const std::string script = folder.Write("dbcs.bat", HandOnScript());
    EXPECT_TRUE(HandedOnWhole(RunRecorded(Quoted(script), args), args));
}
