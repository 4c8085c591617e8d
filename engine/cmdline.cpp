#include "engine/cmdline.h"

#include <cstring>

namespace {

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
void AppendBatchArgument(std::string &line, const char *argument) {
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
// backslashes anywhere else are literal. Quoting every argument and escaping
// only where those rules would otherwise bite gives the child exactly the
// bytes the host passed, and leaves plain arguments as ` "text"`.
void AppendQuotedArgument(std::string &line, const char *argument) {
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
        line += *p;
    }
    // Trailing backslashes precede the closing quote: double them.
    line.append(backslashes * 2, '\\');
    line += '"';
}

std::string ComposeCommandLine(const char *command, int argc, const char *const *argv) {
    // Without a program, arguments alone would be taken for one.
    if (command == nullptr)
        return std::string();
    std::string line(command);
    if (argv == nullptr)
        return line;
    for (int i = 0; i < argc; ++i)
        AppendQuotedArgument(line, argv[i]);
    return line;
}

LaunchCommand ComposeLaunchCommand(const char *command, int argc, const char *const *argv) {
    LaunchCommand launch;
    launch.display = ComposeCommandLine(command, argc, argv);
    if (command == nullptr) {
        launch.refusal = "no command was given";
        return launch;
    }
    const int count = argv == nullptr ? 0 : argc;
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
        AppendBatchArgument(line, argv[i] != nullptr ? argv[i] : "");
    line += '"';
    launch.commandLine = line;
    return launch;
}
