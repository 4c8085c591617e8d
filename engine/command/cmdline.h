// The command line a run starts with: the host's command, then its arguments
// quoted for whatever splits them again in the child. A C runtime's parser
// for programs, cmd.exe's for batch files.
#pragma once

#include <windows.h>

#include <string>

// `command` unchanged, then each argument quoted so that the Microsoft C
// runtime hands it to the child exactly. A negative argc means none; a null
// argv means none; a null entry is an empty argument. Double-byte characters
// of `codePage` are kept whole: their second byte may look like a backslash.
std::string ComposeCommandLine(const char *command, int argc, const char *const *argv,
                               UINT codePage = CP_ACP);
void AppendQuotedArgument(std::string &line, const char *argument, UINT codePage = CP_ACP);

// Everything a launch needs to start the host's command, or to refuse it.
struct LaunchCommand {
    // The host's command line (command + C-runtime-quoted arguments): what
    // "Unable to start" reports, whatever actually runs.
    std::string display;
    // What CreateProcess is given; equals display for a program.
    std::string commandLine;
    // lpApplicationName for CreateProcess, or empty for none.
    std::string application;
    // The code page `application` is in: a program a run found may have a
    // path that only UTF-8 can hold, while cmd.exe's comes in ANSI.
    UINT applicationCodePage = CP_ACP;
    // Non-empty: this must never be started; why, in plain words.
    std::string refusal;
};

// A batch file (.bat or .cmd) runs through the system's cmd.exe, with each
// argument quoted so that cmd.exe takes none of its characters as an
// operator, a redirection or a variable. Any other command is composed as
// ComposeCommandLine does. `foundPath` (in `codePage`), when not empty, is
// the program the caller found for the first `foundEnd` bytes of the command:
// it is what runs, and the child's command line stays the host's. Refused: a
// blank command, text an ANSI child would read otherwise, an unquoted path
// with blanks that reaches a batch file, and lines longer than Windows or
// cmd.exe take.
LaunchCommand ComposeLaunchCommand(const char *command, int argc, const char *const *argv,
                                   UINT codePage = CP_ACP, const std::string &foundPath = {},
                                   size_t foundEnd = 0);

// The longest command line CreateProcess takes, in UTF-16 units without the
// NUL, and the longest line cmd.exe runs.
constexpr size_t kMaxCommandLine = 32766;
constexpr size_t kMaxBatchLine = 8191;
