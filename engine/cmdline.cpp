#include "engine/cmdline.h"

#include <cstring>

namespace {

// Whether `byte` starts a double-byte character in `codePage`. UTF-8 never
// uses an ASCII byte inside a multibyte character, so nothing needs stepping
// over there, and the system's lead-byte table does not describe it.
bool IsLeadByte(UINT codePage, char byte) {
    return codePage != CP_UTF8 && IsDBCSLeadByteEx(codePage, static_cast<BYTE>(byte)) != FALSE;
}

// Every double-byte code page Windows has (932, 936, 949, 950) takes its
// second bytes from 0x40 up. A lead byte before anything lower, the end of
// the argument included, would take the next byte along when the command
// line is read: the closing quote, or a quote inside, and with it the
// boundary between arguments.
bool HasBrokenCharacter(const char *argument, UINT codePage) {
    for (const char *p = argument; *p != '\0'; ++p) {
        if (!IsLeadByte(codePage, *p))
            continue;
        if (static_cast<unsigned char>(p[1]) < 0x40)
            return true;
        ++p;
    }
    return false;
}

// The program a command names, as CreateProcess reads it: up to the closing
// quote when it starts with one, else up to the first blank. Windows ignores
// trailing dots and spaces in a file name, so "t.bat." is t.bat too.
bool NamesBatchFile(const char *command) {
    const char *begin = command + std::strspn(command, " \t");
    const char *end = nullptr;
    if (*begin == '"') {
        ++begin;
        end = std::strchr(begin, '"');
        if (end == nullptr)
            end = begin + std::strlen(begin);
    } else {
        end = begin + std::strcspn(begin, " \t");
    }
    while (end > begin && (end[-1] == '.' || end[-1] == ' '))
        --end;
    if (end - begin < 4)
        return false;
    std::string extension(end - 4, end);
    for (char &c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return extension == ".bat" || extension == ".cmd";
}

// cmd.exe splits a batch file's command line by rules of its own: outside
// quotes & | < > ( ) ^ are operators and escapes, and %name% is a variable
// everywhere. Each argument goes inside quotes, and a quote inside it is
// doubled: "" closes the quotes and opens them again at once, so no other
// character ever stands outside them. % becomes %%cd:~,%: no variable has an
// empty name, so cmd.exe keeps the first % as it is and reads on from the
// second, where %cd:~,% (none of the current folder's characters) expands to
// nothing; what followed the % is never read as a variable's name.
// Backslashes before a quote are doubled, as for a C runtime: the script may
// hand the argument on to a program, which must not read the closing quote as
// escaped. A line break cannot be quoted at all; the caller refuses it.
void AppendBatchArgument(std::string &line, const char *argument, UINT codePage) {
    line += " \"";
    size_t backslashes = 0;
    for (const char *p = argument; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == '"') {
            line.append(backslashes * 2, '\\');
            line += "\"\"";
        } else {
            line.append(backslashes, '\\');
            if (*p == '%') {
                line += "%%cd:~,%";
            } else if (IsLeadByte(codePage, *p)) {
                line.append(p, 2); // HasBrokenCharacter has vouched for p[1]
                ++p;
            } else {
                line += *p;
            }
        }
        backslashes = 0;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// Outside quotes, the arguments' characters would be cmd.exe syntax.
bool HasUnclosedQuote(const char *command) {
    size_t quotes = 0;
    for (const char *p = command; *p != '\0'; ++p)
        quotes += *p == '"';
    return quotes % 2 != 0;
}

// The system's own cmd.exe: one found on the search path could be anyone's.
bool SystemCommandProcessor(std::string &path) {
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    path.assign(folder, length);
    path += "\\cmd.exe";
    return true;
}

} // namespace

// The child's C runtime splits its command line by these rules: a double
// quote toggles quoting unless backslashes precede it; 2n backslashes before a
// quote stand for n backslashes, 2n+1 for n backslashes and a literal quote;
// backslashes anywhere else are literal; a double-byte character is read
// whole. Quoting every argument and escaping only where those rules would
// otherwise bite gives the child exactly the bytes the host passed, and
// leaves plain arguments as ` "text"`.
void AppendQuotedArgument(std::string &line, const char *argument, UINT codePage) {
    line += " \"";
    size_t backslashes = 0;
    for (const char *p = argument ? argument : ""; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == '"') {
            // Escape each pending backslash, then the quote itself.
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        // The second byte of 表 in code page 932 is 0x5C, the backslash.
        if (p[1] != '\0' && IsLeadByte(codePage, *p)) {
            line.append(p, 2);
            ++p;
            continue;
        }
        line += *p;
    }
    // Trailing backslashes precede the closing quote: double them.
    line.append(backslashes * 2, '\\');
    line += '"';
}

std::string ComposeCommandLine(const char *command, int argc, const char *const *argv,
                               UINT codePage) {
    // Without a program, arguments alone would be taken for one.
    if (command == nullptr)
        return std::string();
    std::string line(command);
    if (argv == nullptr)
        return line;
    for (int i = 0; i < argc; ++i)
        AppendQuotedArgument(line, argv[i], codePage);
    return line;
}

LaunchCommand ComposeLaunchCommand(const char *command, int argc, const char *const *argv,
                                   UINT codePage) {
    LaunchCommand launch;
    launch.display = ComposeCommandLine(command, argc, argv, codePage);
    if (command == nullptr) {
        launch.refusal = "no command was given";
        return launch;
    }
    const int count = argv == nullptr ? 0 : argc;
    for (int i = 0; i < count; ++i) {
        if (argv[i] != nullptr && HasBrokenCharacter(argv[i], codePage)) {
            launch.refusal = "an argument holds an incomplete double-byte character";
            return launch;
        }
    }
    if (!NamesBatchFile(command)) {
        launch.commandLine = launch.display;
        return launch;
    }
    for (int i = 0; i < count; ++i) {
        if (argv[i] != nullptr && std::strpbrk(argv[i], "\r\n") != nullptr) {
            launch.refusal = "an argument for a batch file contains a line break";
            return launch;
        }
    }
    if (HasUnclosedQuote(command)) {
        launch.refusal = "the batch file's command has an unclosed quote";
        return launch;
    }
    if (!SystemCommandProcessor(launch.application)) {
        launch.refusal = "the system folder, where cmd.exe is, is unknown";
        return launch;
    }
    // /d: no AutoRun command of the registry's; /e:on: %cd:~,% needs the
    // command extensions; /v:off: ! is no variable; /s: the outer quotes go,
    // whatever is inside them.
    std::string line = "\"" + launch.application + "\" /d /e:on /v:off /s /c \"" + command;
    for (int i = 0; i < count; ++i)
        AppendBatchArgument(line, argv[i] != nullptr ? argv[i] : "", codePage);
    line += '"';
    launch.commandLine = line;
    return launch;
}
