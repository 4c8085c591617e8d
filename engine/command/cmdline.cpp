#include "engine/command/cmdline.h"

#include "engine/command/environment.h"

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

// Whether [begin, end) is a batch file's name. Windows ignores trailing dots
// and spaces in a file name, so "t.bat." is t.bat too.
bool IsBatchName(const char *begin, const char *end) {
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

// The program a command names, as CreateProcess reads it: up to the closing
// quote when it starts with one, else up to the first blank.
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
    return IsBatchName(begin, end);
}

// CreateProcess reads an unquoted command with blanks by trying its
// prefixes: for C:\some dir\t.bat it tries C:\some, then the whole path. A
// batch file found so runs through cmd.exe with the arguments quoted for a
// C runtime, where \" escapes nothing and an argument's & starts a command.
bool LaterPrefixNamesBatchFile(const char *command) {
    const char *begin = command + std::strspn(command, " \t");
    if (*begin == '"')
        return false;
    const char *end = begin + std::strcspn(begin, " \t");
    while (*end != '\0') {
        end += std::strspn(end, " \t");
        end += std::strcspn(end, " \t");
        if (IsBatchName(begin, end))
            return true;
    }
    return false;
}

bool IsBlank(const char *command) {
    return command[std::strspn(command, " \t")] == '\0';
}

// A child whose main is narrow receives its command line converted to the
// ANSI code page, and the system converts by best fit: U+FF02 becomes ",
// U+FF3C \. Quoting judges the text as we give it, so such a character would
// move the boundaries the child's C runtime, or cmd.exe, reads. Only text in
// another code page than the ANSI one is converted at all.
bool BestFitYieldsAny(const char *text, UINT codePage, const char *syntax) {
    if (text == nullptr || codePage == CP_ACP || codePage == GetACP())
        return false;
    std::wstring wide;
    if (!ToWide(text, codePage, wide))
        return false; // the caller has already refused text that is not valid
    for (size_t i = 0; i < wide.size(); ++i) {
        if (wide[i] < 0x80)
            continue; // quoting has dealt with it
        const int units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() ? 2 : 1;
        char ansi[8];
        // Flags 0: the system's best fit, exactly as the child will get it.
        const int length =
            WideCharToMultiByte(CP_ACP, 0, &wide[i], units, ansi, sizeof(ansi), nullptr, nullptr);
        if (length == 1 && std::strchr(syntax, ansi[0]) != nullptr)
            return true;
        i += static_cast<size_t>(units) - 1;
    }
    return false;
}

size_t WideLength(const std::string &text, UINT codePage) {
    if (text.empty())
        return 0;
    return static_cast<size_t>(
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0));
}

// % in a path cmd.exe runs, made literal as AppendBatchArgument does.
std::string BatchLiteral(const std::string &path) {
    std::string literal;
    for (char c : path)
        literal += c == '%' ? std::string("%%cd:~,%") : std::string(1, c);
    return literal;
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

namespace {

// What an ANSI child would read as a quote or an escape; for cmd.exe also
// its operators, groups, escapes and variables.
const char kProgramSyntax[] = "\"\\";
const char kBatchSyntax[] = "\"\\%!^&|<>()";

// Why the command or an argument cannot be given as it stands, or empty.
std::string TextRefusal(const char *command, int count, const char *const *argv, UINT codePage,
                        bool batch) {
    const char *syntax = batch ? kBatchSyntax : kProgramSyntax;
    const char *what = batch ? "a quote, a backslash or cmd.exe syntax" : "a quote or a backslash";
    if (BestFitYieldsAny(command, codePage, syntax))
        return std::string("the command has a character that the ANSI code page turns into ") +
               what;
    for (int i = 0; i < count; ++i) {
        if (argv[i] != nullptr && HasBrokenCharacter(argv[i], codePage))
            return "an argument holds an incomplete double-byte character";
        if (BestFitYieldsAny(argv[i], codePage, syntax))
            return std::string("an argument has a character that the ANSI code page turns into ") +
                   what;
        if (batch && argv[i] != nullptr && std::strpbrk(argv[i], "\r\n") != nullptr)
            return "an argument for a batch file contains a line break";
    }
    return std::string();
}

// cmd.exe's line for a batch file: the script, by the path found for it when
// there is one, then each argument quoted for cmd.exe.
std::string BatchLine(const LaunchCommand &launch, const char *command, int count,
                      const char *const *argv, UINT codePage, const std::string &foundPath,
                      size_t foundEnd) {
    // /d: no AutoRun command of the registry's; /e:on: %cd:~,% needs the
    // command extensions; /v:off: ! is no variable; /s: the outer quotes go,
    // whatever is inside them.
    std::string line = "\"" + launch.application + "\" /d /e:on /v:off /s /c \"";
    if (foundPath.empty())
        line += command;
    else
        line += "\"" + BatchLiteral(foundPath) + "\"" + std::string(command + foundEnd);
    for (int i = 0; i < count; ++i)
        AppendBatchArgument(line, argv[i] != nullptr ? argv[i] : "", codePage);
    line += '"';
    return line;
}

// The text after "/c ", less the two quotes /s takes away: what cmd.exe runs.
size_t BatchCommandLength(const std::string &line, UINT codePage) {
    const size_t start = line.find(" /c ") + 4;
    return WideLength(line.substr(start), codePage) - 2;
}

} // namespace

LaunchCommand ComposeLaunchCommand(const char *command, int argc, const char *const *argv,
                                   UINT codePage, const std::string &foundPath, size_t foundEnd) {
    LaunchCommand launch;
    launch.display = ComposeCommandLine(command, argc, argv, codePage);
    if (command == nullptr || IsBlank(command)) {
        launch.refusal = "no command was given";
        return launch;
    }
    const int count = argv == nullptr ? 0 : argc;
    if (!NamesBatchFile(command) && LaterPrefixNamesBatchFile(command)) {
        launch.refusal = "a batch file's path with blanks must be quoted";
        return launch;
    }
    const bool batch = foundPath.empty()
                           ? NamesBatchFile(command)
                           : IsBatchName(foundPath.data(), foundPath.data() + foundPath.size());
    launch.refusal = TextRefusal(command, count, argv, codePage, batch);
    if (!launch.refusal.empty())
        return launch;
    if (!batch) {
        launch.commandLine = launch.display;
        if (!foundPath.empty()) {
            launch.application = foundPath;
            launch.applicationCodePage = codePage;
        }
    } else {
        if (HasUnclosedQuote(command)) {
            launch.refusal = "the batch file's command has an unclosed quote";
            return launch;
        }
        if (!SystemCommandProcessor(launch.application)) {
            launch.refusal = "the system folder, where cmd.exe is, is unknown";
            return launch;
        }
        launch.commandLine = BatchLine(launch, command, count, argv, codePage, foundPath, foundEnd);
        if (BatchCommandLength(launch.commandLine, codePage) > kMaxBatchLine) {
            launch.refusal = "the batch file's command line is longer than the 8191 characters "
                             "cmd.exe takes";
            return launch;
        }
    }
    // Windows refuses a longer line; Wine would cut it short and start.
    if (WideLength(launch.commandLine, codePage) > kMaxCommandLine)
        launch.refusal = "the command line is longer than the 32766 characters Windows takes";
    return launch;
}
