// Where a run's program is. CreateProcess would look a bare name up in the
// host's current directory, which for a GUI host is wherever a file dialog
// last went: a git.exe or cmd.exe planted there would run instead. A run
// looks only where its host and the system put programs.
#pragma once

#include <windows.h>

#include <string>

struct ProgramSearch {
    // The code page of the command, of the path found and of the reason.
    UINT codePage = CP_ACP;
    // The run's directory; empty: the host's current directory. Only a name
    // with a relative folder, or relative to a drive, is looked up there.
    std::wstring directory;
    // The run's environment block (for PATH and PATHEXT); null: the host's.
    const std::wstring *environment = nullptr;
};

struct FoundProgram {
    // The program's full path, in the search's code page.
    std::string path;
    // How many bytes of the command named it, a closing quote included.
    size_t commandEnd = 0;
};

// The program `command` names: up to the closing quote when it starts with
// one, else its first word. Unquoted, a longer blank-delimited prefix that
// names a file is refused: CreateProcess would read the shortest that does,
// and the child would split its command line there anyway. A name without a
// folder is looked up in the host program's folder, the system folder, the
// Windows folder and then PATH's absolute folders, each once; one with a
// relative folder, "C:x" on the run directory's drive and "\x" are the run
// directory's (and "C:x" on another drive is refused). Without an extension
// PATHEXT's are tried in order; only a file CreateProcess starts counts.
// False, with `why` naming where it looked, when nothing was found.
bool FindProgram(const char *command, const ProgramSearch &search, FoundProgram &found,
                 std::string &why);

// The full path of a loaded module (null: the program itself); empty when
// the system cannot say.
std::wstring ModulePath(HMODULE module);
