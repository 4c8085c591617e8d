#include "engine/cmdline.h"

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
