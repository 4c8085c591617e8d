// bw_child: the console program that brackwyn's tests start through the
// library, one behaviour per mode.
//
//   bw_child.exe <mode> [args...]
//
// All output goes out with WriteFile on the standard handles, never through
// stdio, so each write in this file is exactly one write the library sees and
// nothing lingers in a buffer when a mode sleeps or the process is killed.
// Numbers are plain decimal. The exit code is 0 unless a mode says otherwise;
// an unknown mode or bad arguments exit 100 with a message on stderr; a write
// or system call that fails (for example because the reader closed its end of
// the pipe) exits 101, so a test can tell that from a clean run.
//
// Modes:
//   argv [args...]       Each argument as the C runtime's argv delivered it,
//                        as "<byte length>:<bytes>\n".
//   acp-argv [args...]   "acp:<n>\n" with GetACP(), the code page the C
//                        runtime split the arguments in, then as `argv`.
//   cmdline              GetCommandLineA() unchanged, then "\n".
//   argv-batch <file>    Each line of <file> (split on "\n" only; a "\r"
//                        stays in the line; no NUL bytes) is a command-line
//                        tail. It is split by the system's own parser,
//                        CommandLineToArgvW on "x " + line, in the ANSI code
//                        page, and each argument is printed as in `argv`;
//                        every vector, even an empty one, ends with an empty
//                        line "\n". All output goes out in one write.
//   out <N> [seed]       N bytes bw_stream_byte(i, seed) (stream.h; seed 0
//                        when left out) on stdout and nothing else, in writes
//                        of 1..4096 bytes whose sizes follow from the seed, so
//                        the library's chunk boundaries fall anywhere.
//   err <N> [seed]       The same on stderr.
//   both <N> [seed]      `out` with seed and `err` with seed+1 at the same
//                        time from two threads, so that a reader that drains
//                        only one pipe at a time deadlocks.
//   text <string>        <string> on stdout as it is, no line end added.
//   textlines <count>    "line 1\n" .. "line <count>\n", one write per line.
//   errtext <string>     <string> on stderr, then exit at once.
//   writes <step>...     Each step in turn: "p<ms>" sleeps, anything else is
//                        hex (two digits a byte) and goes to stdout in one
//                        write, so a test chooses every byte and where the
//                        library's reads may split them.
//   interleave <count>   "<k> out\n" on stdout for even k and "<k> err\n" on
//                        stderr for odd k, k from 0 to count-1, one write
//                        each: merged, they must keep this order.
//   nul                  "ab\0cd\0\0ef" (9 bytes) on stdout in one write,
//                        then "x\0y" (3 bytes) on stderr in one write.
//   exit <code>          Exit with <code>, 0..4294967295.
//   sleep <ms>           Sleep, then exit.
//   print-sleep <ms>     "started\n" on stdout, sleep, "done\n".
//   stdin                Read stdin until end or error, then print
//                        "stdin-bytes:<n>\n".
//   grandchild <ms>      Start a copy of this program as
//                        `grandchild-body <ms>` with the same three standard
//                        handles (inherited, same console), print
//                        "parent-exit pid=<grandchild pid>\n" and exit without
//                        waiting for it.
//   grandchild-forever   The same with `grandchild-body forever`.
//   self-exit <code> [forever]
//                        "self=<own pid>\n", with `forever` also start
//                        `grandchild-body forever` as `grandchild` does, then
//                        exit with <code>: a child whose end a test can see.
//   grandchild-body <ms|forever>
//                        The grandchild's part: sleep <ms> then write
//                        "grandchild done\n" on stdout; `forever` sleeps
//                        until killed and never writes.
//   echo-stdin           Copies stdin to stdout until its end.
//   stdin-sum            Read stdin until end or error, then print
//                        "stdin-bytes:<n> fnv:<h>\n", h the 64-bit FNV-1a
//                        hash of the bytes in lowercase hex, so that order
//                        and content are checked, not just the count.
//   close-stdin <ms>     Read stdin until a "\n" arrives, close the stdin
//                        handle, print "closed\n", sleep, exit 0.
//   setting [names...]   "cwd:<current directory>\n", then "<name>=<value>\n"
//                        for each name ("(unset)" for none), all in UTF-8.
//   wargv [args...]      Each argument as CommandLineToArgvW splits the wide
//                        command line, in UTF-8, counted as in `argv`.
//   close-stdout <ms>    "closing\n" on stdout, close the stdout handle,
//                        sleep, exit 7: the pipe ends long before the process.
//   dacl                 "dacl:null\n" when the process object has no DACL or
//                        a NULL one (open to everyone), otherwise
//                        "dacl:present aces=<n>\n"; "dacl:error <code>\n" on
//                        stdout and exit 101 if the query fails.
//   console              "console-window:<hex>\n" (GetConsoleWindow, lowercase
//                        hex without prefix, 0 for none), "visible:<0|1>\n",
//                        then "stdin-type:<n> stdout-type:<n> stderr-type:<n>\n"
//                        from GetFileType (a pipe is 3, a console 2).
//   flood-forever        "flood out <k>\n" on stdout and "flood err <k>\n" on
//                        stderr (k counting from 0) from two threads, as fast
//                        as the pipes take them. A stream whose write fails
//                        stops, but the process stays alive until killed, so
//                        an abort that only closes the pipes is noticed.
//   handles              "handles:<n>\n", the number of open handles found by
//                        bw_count_handles() (handle_count.h).
//   ctrlc <code>         "ready pid=<own pid>\n", then waits (at most a
//                        minute, then exits 100). Its Ctrl+C handler writes
//                        "ctrl-c pid=<own pid>\n" and exits with <code>.
//   ctrlc-tree <code>    Starts `ctrlc <code+1>` in its own console with the
//                        same standard handles, then behaves as `ctrlc <code>`:
//                        two "ready" lines, two "ctrl-c" lines.
//   ctrlc-ignore         "ready pid=<own pid>\n", then waits a minute; each
//                        Ctrl+C writes "ignored\n" and is ignored.
//   hidden-window <code> Ignores Ctrl+C as `ctrlc-ignore` does and owns a
//                        hidden top-level window; WM_CLOSE to it writes
//                        "wm-close\n" and ends the program with <code>.
//   leftover <N>         Starts `grandchild-body forever` with the same three
//                        handles, writes "leftover pid=<its pid>\n", then the
//                        N bytes of `out`, and exits 0 without waiting.
//   daemon               Starts `grandchild-body forever` as a daemon does:
//                        detached, inheriting no handle, so it holds none of
//                        the pipes; writes "daemon pid=<its pid>\n", exits 0.
//   stop-host            A host of brackwyn.dll (loaded from beside this
//                        program) with a console and a counting Ctrl+C handler
//                        of its own: starts eight `ctrlc <10+i>` runs, stops
//                        them at once from eight threads with dllglue_runstop,
//                        prints "run <i> state=<s> exit=<code> stopped=<0|1>\n"
//                        for each, then "host console=<same:0|1> handles=<same:
//                        0|1> ctrl-c=<n>\n" (n: Ctrl+C events this host got),
//                        then raises Ctrl+C in its own console and prints
//                        "own-handler=<0|1>\n" (its handler saw it).
//
// Link with advapi32 (GetSecurityInfo), shell32 (CommandLineToArgvW) and
// user32 (IsWindowVisible):
//   x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -static
//       -I../../include bw_child.cpp -o bw_child.exe -ladvapi32 -lshell32 -luser32
// (brackwyn.h only for `stop-host`, which loads brackwyn.dll at run time.)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>
#include <shellapi.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "brackwyn.h"
#include "handle_count.h"
#include "stream.h"

// argv must show exactly what the quoting produced; a MinGW runtime built
// with wildcard expansion would turn an argument "*" into file names.
#ifdef __MINGW32__
extern "C" {
int _dowildcard = 0;
}
#endif

#ifdef _MSC_VER
#pragma comment(lib, "advapi32.lib")
#pragma comment(lib, "shell32.lib")
#pragma comment(lib, "user32.lib")
#endif

namespace {

const int kExitUsage = 100;
const int kExitFailed = 101;

// ---------------------------------------------------------------- output

bool write_all(HANDLE handle, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        DWORD part = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, p, part, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

bool write_out(const std::string &text)
{
    return write_all(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
}

bool write_err(const std::string &text)
{
    return write_all(GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size());
}

// Mode results that are a plain "did every write get through".
int written(bool ok)
{
    return ok ? 0 : kExitFailed;
}

int usage(const std::string &why)
{
    write_err("bw_child: " + why + "\n");
    return kExitUsage;
}

std::string to_hex(unsigned long long value)
{
    const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 15]);
        value >>= 4;
    } while (value != 0);
    return text;
}

// "<length>:<bytes>\n", unambiguous whatever the bytes are.
void append_counted(std::string &out, const std::string &arg)
{
    out += std::to_string(arg.size());
    out += ':';
    out += arg;
    out += '\n';
}

// ---------------------------------------------------------------- arguments

// Strict decimal: no sign, no spaces, no trailing junk, no overflow past max.
bool parse_number(const char *text, unsigned long long max, unsigned long long &value)
{
    if (*text == '\0')
        return false;
    value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        unsigned digit = static_cast<unsigned>(*text - '0');
        if (value > (max - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

// INFINITE is excluded: `sleep` must end on its own.
bool parse_ms(const char *text, DWORD &ms)
{
    unsigned long long value = 0;
    if (!parse_number(text, INFINITE - 1, value))
        return false;
    ms = static_cast<DWORD>(value);
    return true;
}

// "<N> [seed]" of out, err and both.
bool parse_stream_args(int count, char **args, unsigned long long &size, unsigned &seed)
{
    unsigned long long seed_value = 0;
    if (!parse_number(args[0], ~0ULL, size))
        return false;
    if (count > 1 && !parse_number(args[1], 0xFFFFFFFFULL, seed_value))
        return false;
    seed = static_cast<unsigned>(seed_value);
    return true;
}

// ---------------------------------------------------------------- streams

struct StreamJob {
    HANDLE handle;
    unsigned long long size;
    unsigned seed;
    bool ok;
};

// The write sizes have their own generator so the bytes (stream.h) stay a
// pure function of position while the boundaries still vary with the seed.
DWORD next_write_size(unsigned long long &state)
{
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<DWORD>(1 + (state >> 33) % 4096);
}

void write_stream(StreamJob &job)
{
    unsigned long long state = job.seed * 0x9E3779B97F4A7C15ULL + 7;
    unsigned char buffer[4096];
    unsigned long long index = 0;
    job.ok = true;
    while (index < job.size) {
        unsigned long long left = job.size - index;
        DWORD size = next_write_size(state);
        if (size > left)
            size = static_cast<DWORD>(left);
        for (DWORD i = 0; i < size; ++i)
            buffer[i] = bw_stream_byte(index + i, job.seed);
        if (!write_all(job.handle, buffer, size)) {
            job.ok = false;
            return;
        }
        index += size;
    }
}

DWORD WINAPI stream_thread(LPVOID param)
{
    write_stream(*static_cast<StreamJob *>(param));
    return 0;
}

int run_stream(DWORD which, int count, char **args)
{
    StreamJob job = {GetStdHandle(which), 0, 0, false};
    if (!parse_stream_args(count, args, job.size, job.seed))
        return usage("expected <N> [seed] in decimal");
    write_stream(job);
    return written(job.ok);
}

int mode_out(int count, char **args)
{
    return run_stream(STD_OUTPUT_HANDLE, count, args);
}

int mode_err(int count, char **args)
{
    return run_stream(STD_ERROR_HANDLE, count, args);
}

int mode_both(int count, char **args)
{
    StreamJob out = {GetStdHandle(STD_OUTPUT_HANDLE), 0, 0, false};
    if (!parse_stream_args(count, args, out.size, out.seed))
        return usage("expected <N> [seed] in decimal");
    StreamJob err = {GetStdHandle(STD_ERROR_HANDLE), out.size, out.seed + 1, false};
    HANDLE threads[2] = {CreateThread(nullptr, 0, stream_thread, &out, 0, nullptr),
                         CreateThread(nullptr, 0, stream_thread, &err, 0, nullptr)};
    if (threads[0] == nullptr || threads[1] == nullptr) {
        // Without both threads the test proves nothing; don't fake it with
        // one stream after the other.
        write_err("bw_child: CreateThread failed\n");
        ExitProcess(kExitFailed);
    }
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    return written(out.ok && err.ok);
}

// ---------------------------------------------------------------- arguments out

int mode_argv(int count, char **args)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        append_counted(out, args[i]);
    return written(write_out(out));
}

int mode_acp_argv(int count, char **args)
{
    std::string out = "acp:" + std::to_string(GetACP()) + "\n";
    for (int i = 0; i < count; ++i)
        append_counted(out, args[i]);
    return written(write_out(out));
}

int mode_cmdline(int, char **)
{
    return written(write_out(std::string(GetCommandLineA()) + "\n"));
}

bool read_file(const char *path, std::string &content)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        content.append(buffer, got);
    }
    CloseHandle(file);
    return ok;
}

std::wstring widen(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string narrow(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

// The system parser treats the program name by different rules from the
// rest, hence the dummy "x " in front of every tail.
bool split_like_system(const std::string &tail, std::string &out)
{
    int count = 0;
    LPWSTR *args = CommandLineToArgvW(widen("x " + tail).c_str(), &count);
    if (args == nullptr)
        return false;
    for (int i = 1; i < count; ++i)
        append_counted(out, narrow(args[i]));
    out += '\n';
    LocalFree(args);
    return true;
}

int mode_argv_batch(int, char **args)
{
    std::string content;
    if (!read_file(args[0], content))
        return usage(std::string("cannot read ") + args[0]);
    std::string out;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        if (!split_like_system(content.substr(start, end - start), out)) {
            write_err("bw_child: CommandLineToArgvW failed\n");
            return kExitFailed;
        }
        start = end + 1;
    }
    return written(write_out(out));
}

// ---------------------------------------------------------------- text

int mode_text(int, char **args)
{
    return written(write_out(args[0]));
}

int mode_textlines(int, char **args)
{
    unsigned long long lines = 0;
    if (!parse_number(args[0], ~0ULL, lines))
        return usage("textlines: expected <count> in decimal");
    for (unsigned long long i = 1; i <= lines; ++i) {
        if (!write_out("line " + std::to_string(i) + "\n"))
            return kExitFailed;
    }
    return 0;
}

int mode_writes(int count, char **args)
{
    for (int i = 0; i < count; ++i) {
        const std::string step = args[i];
        if (step[0] == 'p') {
            DWORD ms = 0;
            if (!parse_ms(step.c_str() + 1, ms))
                return usage("writes: expected p<ms>");
            Sleep(ms);
            continue;
        }
        const char digits[] = "0123456789abcdef";
        std::string bytes;
        for (size_t at = 0; at + 1 < step.size(); at += 2) {
            const char *high = std::strchr(digits, step[at]);
            const char *low = std::strchr(digits, step[at + 1]);
            if (high == nullptr || low == nullptr)
                return usage("writes: expected lowercase hex bytes");
            bytes.push_back(static_cast<char>((high - digits) * 16 + (low - digits)));
        }
        if (bytes.size() * 2 != step.size())
            return usage("writes: expected hex bytes");
        if (!write_out(bytes))
            return kExitFailed;
    }
    return 0;
}

int mode_interleave(int, char **args)
{
    unsigned long long lines = 0;
    if (!parse_number(args[0], ~0ULL, lines))
        return usage("interleave: expected <count> in decimal");
    for (unsigned long long k = 0; k < lines; ++k) {
        const bool ok = k % 2 == 0 ? write_out(std::to_string(k) + " out\n")
                                   : write_err(std::to_string(k) + " err\n");
        if (!ok)
            return kExitFailed;
    }
    return 0;
}

int mode_errtext(int, char **args)
{
    ExitProcess(write_err(args[0]) ? 0 : kExitFailed);
}

int mode_nul(int, char **)
{
    static const char out[] = "ab\0cd\0\0ef";
    static const char err[] = "x\0y";
    bool ok = write_all(GetStdHandle(STD_OUTPUT_HANDLE), out, sizeof out - 1);
    ok = write_all(GetStdHandle(STD_ERROR_HANDLE), err, sizeof err - 1) && ok;
    return written(ok);
}

// ---------------------------------------------------------------- process life

int mode_exit(int, char **args)
{
    unsigned long long code = 0;
    if (!parse_number(args[0], 0xFFFFFFFFULL, code))
        return usage("exit: expected <code> in 0..4294967295");
    // Through ExitProcess: main's int return cannot carry codes above
    // 0x7FFFFFFF portably.
    ExitProcess(static_cast<UINT>(code));
}

int mode_sleep(int, char **args)
{
    DWORD ms = 0;
    if (!parse_ms(args[0], ms))
        return usage("sleep: expected <ms> in decimal");
    Sleep(ms);
    return 0;
}

int mode_print_sleep(int, char **args)
{
    DWORD ms = 0;
    if (!parse_ms(args[0], ms))
        return usage("print-sleep: expected <ms> in decimal");
    if (!write_out("started\n"))
        return kExitFailed;
    Sleep(ms);
    return written(write_out("done\n"));
}

int mode_stdin(int, char **)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[65536];
    unsigned long long total = 0;
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0)
        total += got;
    return written(write_out("stdin-bytes:" + std::to_string(total) + "\n"));
}

int mode_stdin_sum(int, char **)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    static char buffer[65536];
    unsigned long long total = 0;
    unsigned long long hash = 14695981039346656037ull;
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        total += got;
        for (DWORD i = 0; i < got; ++i)
            hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    }
    std::string hex(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4)
        hex[i] = "0123456789abcdef"[hash & 0xf];
    return written(write_out("stdin-bytes:" + std::to_string(total) + " fnv:" + hex + "\n"));
}

int mode_close_stdin(int, char **args)
{
    DWORD ms = 0;
    if (!parse_ms(args[0], ms))
        return usage("close-stdin: expected <ms> in decimal");
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char byte = 0;
    DWORD got = 0;
    while (byte != '\n' && ReadFile(in, &byte, 1, &got, nullptr) && got == 1) {
    }
    CloseHandle(in);
    if (!write_out("closed\n"))
        return kExitFailed;
    Sleep(ms);
    return 0;
}

int mode_echo_stdin(int, char **)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    static char buffer[65536];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        DWORD put = 0;
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got)
            return kExitFailed;
    }
    return 0;
}

std::string utf8_of(const wchar_t *text, int length = -1)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, &utf8[0], size, nullptr, nullptr);
    if (length < 0 && !utf8.empty())
        utf8.pop_back(); // the NUL
    return utf8;
}

int mode_setting(int count, char **args)
{
    wchar_t cwd[MAX_PATH * 2];
    GetCurrentDirectoryW(MAX_PATH * 2, cwd);
    std::string out = "cwd:" + utf8_of(cwd) + "\n";
    for (int i = 0; i < count; ++i) {
        wchar_t name[1024] = {};
        MultiByteToWideChar(CP_ACP, 0, args[i], -1, name, 1023);
        wchar_t value[32768];
        SetLastError(0);
        const DWORD length = GetEnvironmentVariableW(name, value, 32768);
        out += std::string(args[i]) + "=";
        out += length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? "(unset)" : utf8_of(value);
        out += "\n";
    }
    return written(write_out(out));
}

int mode_wargv(int, char **)
{
    int count = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::string out;
    for (int i = 2; i < count; ++i)
        append_counted(out, utf8_of(args[i]).c_str());
    LocalFree(args);
    return written(write_out(out));
}

int mode_close_stdout(int, char **args)
{
    DWORD ms = 0;
    if (!parse_ms(args[0], ms))
        return usage("close-stdout: expected <ms> in decimal");
    if (!write_out("closing\n"))
        return kExitFailed;
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    Sleep(ms);
    ExitProcess(7);
}

// ---------------------------------------------------------------- grandchild

// Starts a copy of this program with `tail` as its arguments, sharing this
// process's console and standard handles.
bool start_self(const std::string &tail, DWORD &pid)
{
    std::vector<wchar_t> self(32768);
    DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0 || length >= self.size()) {
        write_err("bw_child: cannot find own program path\n");
        return false;
    }

    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // Handles given in STARTUPINFO reach the grandchild only if inheritable;
    // the library's pipe ends normally arrive that way already, but a test run
    // by hand from a console must work too. Console handles may refuse.
    HANDLE std_handles[3] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
    for (HANDLE handle : std_handles) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }

    std::wstring command = L"\"" + std::wstring(self.data()) + L"\" " + widen(tail);
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (!CreateProcessW(self.data(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
        write_err("bw_child: CreateProcess failed, error " + std::to_string(GetLastError()) +
                  "\n");
        return false;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    pid = info.dwProcessId;
    return true;
}

int start_grandchild(const std::string &duration)
{
    DWORD pid = 0;
    if (!start_self("grandchild-body " + duration, pid))
        return kExitFailed;
    return written(write_out("parent-exit pid=" + std::to_string(pid) + "\n"));
}

int mode_grandchild(int, char **args)
{
    DWORD ms = 0;
    if (!parse_ms(args[0], ms))
        return usage("grandchild: expected <ms> in decimal");
    return start_grandchild(args[0]);
}

int mode_grandchild_forever(int, char **)
{
    return start_grandchild("forever");
}

int mode_self_exit(int argc, char **args)
{
    unsigned long long code = 0;
    if (!parse_number(args[0], 0xFFFFFFFFULL, code))
        return usage("self-exit: expected <code> in 0..4294967295");
    if (!write_out("self=" + std::to_string(GetCurrentProcessId()) + "\n"))
        return kExitFailed;
    if (argc > 1 && start_grandchild("forever") != 0)
        return kExitFailed;
    ExitProcess(static_cast<UINT>(code));
}

int mode_grandchild_body(int, char **args)
{
    if (std::strcmp(args[0], "forever") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    DWORD ms = 0;
    if (!parse_ms(args[0], ms))
        return usage("grandchild-body: expected <ms> or forever");
    Sleep(ms);
    return written(write_out("grandchild done\n"));
}

// ---------------------------------------------------------------- environment

int mode_dacl(int, char **)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                  &descriptor);
    if (error != ERROR_SUCCESS) {
        write_out("dacl:error " + std::to_string(error) + "\n");
        return kExitFailed;
    }
    std::string line = dacl == nullptr
                           ? std::string("dacl:null\n")
                           : "dacl:present aces=" + std::to_string(dacl->AceCount) + "\n";
    LocalFree(descriptor);
    return written(write_out(line));
}

int mode_console(int, char **)
{
    HWND window = GetConsoleWindow();
    bool visible = window != nullptr && IsWindowVisible(window) != FALSE;
    std::string out = "console-window:" + to_hex(reinterpret_cast<ULONG_PTR>(window)) + "\n";
    out += std::string("visible:") + (visible ? "1" : "0") + "\n";
    out += "stdin-type:" + std::to_string(GetFileType(GetStdHandle(STD_INPUT_HANDLE)));
    out += " stdout-type:" + std::to_string(GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)));
    out += " stderr-type:" + std::to_string(GetFileType(GetStdHandle(STD_ERROR_HANDLE))) + "\n";
    return written(write_out(out));
}

int mode_handles(int, char **)
{
    return written(write_out("handles:" + std::to_string(bw_count_handles()) + "\n"));
}

struct FloodJob {
    DWORD which;
    const char *label;
};

DWORD WINAPI flood_thread(LPVOID param)
{
    const FloodJob &job = *static_cast<const FloodJob *>(param);
    HANDLE handle = GetStdHandle(job.which);
    for (unsigned long long k = 0;; ++k) {
        std::string line = std::string("flood ") + job.label + " " + std::to_string(k) + "\n";
        if (!write_all(handle, line.data(), line.size()))
            return 0;
    }
}

int mode_flood_forever(int, char **)
{
    static const FloodJob jobs[2] = {{STD_OUTPUT_HANDLE, "out"}, {STD_ERROR_HANDLE, "err"}};
    for (const FloodJob &job : jobs) {
        HANDLE thread = CreateThread(nullptr, 0, flood_thread,
                                     const_cast<FloodJob *>(&job), 0, nullptr);
        if (thread == nullptr) {
            write_err("bw_child: CreateThread failed\n");
            ExitProcess(kExitFailed);
        }
        CloseHandle(thread);
    }
    Sleep(INFINITE);
    return 0;
}

// ---------------------------------------------------------------- stops

std::atomic<UINT> g_ctrl_c_code{0};

BOOL WINAPI exit_on_ctrl_c(DWORD type)
{
    if (type != CTRL_C_EVENT)
        return FALSE;
    write_out("ctrl-c pid=" + std::to_string(GetCurrentProcessId()) + "\n");
    ExitProcess(g_ctrl_c_code.load());
}

BOOL WINAPI ignore_ctrl_c(DWORD type)
{
    if (type != CTRL_C_EVENT)
        return FALSE;
    write_out("ignored\n");
    return TRUE;
}

bool parse_code(const char *text, UINT &code)
{
    unsigned long long value = 0;
    if (!parse_number(text, 0xFFFFFFFEULL, value))
        return false;
    code = static_cast<UINT>(value);
    return true;
}

int wait_ready(PHANDLER_ROUTINE handler)
{
    SetConsoleCtrlHandler(handler, TRUE);
    if (!write_out("ready pid=" + std::to_string(GetCurrentProcessId()) + "\n"))
        return kExitFailed;
    Sleep(60000);
    return kExitUsage;
}

int mode_ctrlc(int, char **args)
{
    UINT code = 0;
    if (!parse_code(args[0], code))
        return usage("ctrlc: expected <code>");
    g_ctrl_c_code = code;
    return wait_ready(exit_on_ctrl_c);
}

int mode_ctrlc_tree(int, char **args)
{
    UINT code = 0;
    DWORD pid = 0;
    if (!parse_code(args[0], code))
        return usage("ctrlc-tree: expected <code>");
    if (!start_self("ctrlc " + std::to_string(code + 1), pid))
        return kExitFailed;
    g_ctrl_c_code = code;
    return wait_ready(exit_on_ctrl_c);
}

int mode_ctrlc_ignore(int, char **)
{
    return wait_ready(ignore_ctrl_c);
}

LRESULT CALLBACK closing_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_CLOSE) {
        write_out("wm-close\n");
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int mode_hidden_window(int, char **args)
{
    UINT code = 0;
    if (!parse_code(args[0], code))
        return usage("hidden-window: expected <code>");
    SetConsoleCtrlHandler(ignore_ctrl_c, TRUE);
    WNDCLASSW window_class;
    std::memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = closing_window;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"bw_child_hidden";
    // Top-level (not message-only, which no enumeration finds) and never
    // shown.
    if (RegisterClassW(&window_class) == 0 ||
        CreateWindowW(L"bw_child_hidden", L"bw_child", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                      nullptr, nullptr, window_class.hInstance, nullptr) == nullptr)
        return kExitFailed;
    if (!write_out("ready pid=" + std::to_string(GetCurrentProcessId()) + "\n"))
        return kExitFailed;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    ExitProcess(code);
}

int mode_leftover(int count, char **args)
{
    unsigned long long size = 0;
    unsigned seed = 0;
    DWORD pid = 0;
    if (!parse_stream_args(count, args, size, seed))
        return usage("leftover: expected <N>");
    if (!start_self("grandchild-body forever", pid) ||
        !write_out("leftover pid=" + std::to_string(pid) + "\n"))
        return kExitFailed;
    StreamJob job = {GetStdHandle(STD_OUTPUT_HANDLE), size, 0, false};
    write_stream(job);
    return written(job.ok);
}

int mode_daemon(int, char **)
{
    std::vector<wchar_t> self(32768);
    DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0 || length >= self.size())
        return kExitFailed;
    std::wstring command = L"\"" + std::wstring(self.data()) + L"\" grandchild-body forever";
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    // No console and no inherited handle: nothing ties it to this program.
    if (!CreateProcessW(self.data(), &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &info))
        return kExitFailed;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return written(write_out("daemon pid=" + std::to_string(info.dwProcessId) + "\n"));
}

std::atomic<int> g_host_ctrl_c{0};

BOOL WINAPI count_ctrl_c(DWORD type)
{
    if (type != CTRL_C_EVENT)
        return FALSE;
    ++g_host_ctrl_c;
    return TRUE;
}

struct HostRun {
    ConsoleRun *run = nullptr;
    std::atomic<bool> ready{false};
    HANDLE go = nullptr;
    int (BRACKWYN_CALL *stop)(ConsoleRun *, unsigned long) = nullptr;
};

void BRACKWYN_CALL note_ready(const char *text, size_t length, void *user)
{
    if (std::string(text, length).find("ready") != std::string::npos)
        static_cast<HostRun *>(user)->ready = true;
}

DWORD WINAPI stop_when_told(LPVOID param)
{
    HostRun &run = *static_cast<HostRun *>(param);
    WaitForSingleObject(run.go, INFINITE);
    run.stop(run.run, 30000);
    return 0;
}

int mode_stop_host(int, char **)
{
    std::vector<wchar_t> self(32768);
    DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    std::wstring folder(self.data(), length);
    folder.resize(folder.find_last_of(L'\\') + 1);
    HMODULE library = LoadLibraryW((folder + L"brackwyn.dll").c_str());
    if (library == nullptr)
        return usage("stop-host: cannot load brackwyn.dll");
    auto start = reinterpret_cast<decltype(&dllglue_runstart)>(
        reinterpret_cast<void *>(GetProcAddress(library, "dllglue_runstart")));
    auto stop = reinterpret_cast<decltype(&dllglue_runstop)>(
        reinterpret_cast<void *>(GetProcAddress(library, "dllglue_runstop")));
    auto wait = reinterpret_cast<decltype(&dllglue_runwait)>(
        reinterpret_cast<void *>(GetProcAddress(library, "dllglue_runwait")));
    auto result_of = reinterpret_cast<decltype(&dllglue_runresult)>(
        reinterpret_cast<void *>(GetProcAddress(library, "dllglue_runresult")));
    auto close = reinterpret_cast<decltype(&dllglue_runclose)>(
        reinterpret_cast<void *>(GetProcAddress(library, "dllglue_runclose")));
    if (!start || !stop || !wait || !result_of || !close)
        return usage("stop-host: brackwyn.dll lacks an entry point");

    AllocConsole(); // fails harmlessly when the library gave it one already
    SetConsoleCtrlHandler(count_ctrl_c, TRUE);
    const HWND console = GetConsoleWindow();
    const HANDLE standard[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                                GetStdHandle(STD_ERROR_HANDLE)};
    const std::string program = narrow(self.data());

    const int kRuns = 8;
    static HostRun runs[kRuns];
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[kRuns];
    for (int i = 0; i < kRuns; ++i) {
        ConsoleRunOptions options;
        std::memset(&options, 0, sizeof options);
        options.size = sizeof options;
        options.onOutput = note_ready;
        options.user = &runs[i];
        const std::string command = "\"" + program + "\" ctrlc " + std::to_string(10 + i);
        if (start(command.c_str(), 0, nullptr, &options, &runs[i].run) != DLLGLUE_OK)
            return usage("stop-host: a run did not start");
        runs[i].go = go;
        runs[i].stop = stop;
        threads[i] = CreateThread(nullptr, 0, stop_when_told, &runs[i], 0, nullptr);
    }
    for (int i = 0; i < kRuns; ++i) {
        for (int tries = 0; !runs[i].ready.load() && tries < 3000; ++tries)
            Sleep(10);
    }
    SetEvent(go);
    WaitForMultipleObjects(kRuns, threads, TRUE, INFINITE);
    std::string out;
    for (int i = 0; i < kRuns; ++i) {
        wait(runs[i].run, 60000, 0);
        ConsoleRunResult result;
        std::memset(&result, 0, sizeof result);
        result.size = sizeof result;
        result_of(runs[i].run, &result);
        out += "run " + std::to_string(i) + " state=" + std::to_string(result.state) +
               " exit=" + std::to_string(result.exitCode) +
               " stopped=" + std::to_string(result.stopRequested) + "\n";
        close(runs[i].run);
    }
    // A stray Ctrl+C would come late, as the helpers' do.
    Sleep(1000);
    const bool same_handles = GetStdHandle(STD_INPUT_HANDLE) == standard[0] &&
                              GetStdHandle(STD_OUTPUT_HANDLE) == standard[1] &&
                              GetStdHandle(STD_ERROR_HANDLE) == standard[2];
    out += "host console=" + std::to_string(GetConsoleWindow() == console ? 1 : 0) +
           " handles=" + std::to_string(same_handles ? 1 : 0) +
           " ctrl-c=" + std::to_string(g_host_ctrl_c.load()) + "\n";
    const int before = g_host_ctrl_c.load();
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    for (int tries = 0; g_host_ctrl_c.load() == before && tries < 300; ++tries)
        Sleep(10);
    out += "own-handler=" + std::to_string(g_host_ctrl_c.load() > before ? 1 : 0) + "\n";
    return written(write_out(out));
}

// ---------------------------------------------------------------- dispatch

struct Mode {
    const char *name;
    int min_args;
    int max_args;
    int (*run)(int count, char **args);
};

const Mode kModes[] = {
    {"argv", 0, 1 << 30, mode_argv},
    {"acp-argv", 0, 1 << 30, mode_acp_argv},
    {"cmdline", 0, 1 << 30, mode_cmdline},
    {"argv-batch", 1, 1, mode_argv_batch},
    {"out", 1, 2, mode_out},
    {"err", 1, 2, mode_err},
    {"both", 1, 2, mode_both},
    {"text", 1, 1, mode_text},
    {"textlines", 1, 1, mode_textlines},
    {"errtext", 1, 1, mode_errtext},
    {"writes", 1, 1 << 30, mode_writes},
    {"interleave", 1, 1, mode_interleave},
    {"nul", 0, 0, mode_nul},
    {"exit", 1, 1, mode_exit},
    {"sleep", 1, 1, mode_sleep},
    {"print-sleep", 1, 1, mode_print_sleep},
    {"stdin", 0, 0, mode_stdin},
    {"echo-stdin", 0, 0, mode_echo_stdin},
    {"stdin-sum", 0, 0, mode_stdin_sum},
    {"close-stdin", 1, 1, mode_close_stdin},
    {"setting", 0, 1 << 30, mode_setting},
    {"wargv", 0, 1 << 30, mode_wargv},
    {"grandchild", 1, 1, mode_grandchild},
    {"grandchild-forever", 0, 0, mode_grandchild_forever},
    {"grandchild-body", 1, 1, mode_grandchild_body},
    {"self-exit", 1, 2, mode_self_exit},
    {"close-stdout", 1, 1, mode_close_stdout},
    {"dacl", 0, 0, mode_dacl},
    {"console", 0, 0, mode_console},
    {"flood-forever", 0, 0, mode_flood_forever},
    {"handles", 0, 0, mode_handles},
    {"ctrlc", 1, 1, mode_ctrlc},
    {"ctrlc-tree", 1, 1, mode_ctrlc_tree},
    {"ctrlc-ignore", 0, 0, mode_ctrlc_ignore},
    {"hidden-window", 1, 1, mode_hidden_window},
    {"leftover", 1, 1, mode_leftover},
    {"daemon", 0, 0, mode_daemon},
    {"stop-host", 0, 0, mode_stop_host},
};

int unknown_mode(const char *given)
{
    std::string why = given == nullptr ? "no mode given" : std::string("unknown mode ") + given;
    why += "\nusage: bw_child.exe <mode> [args...]; modes:";
    for (const Mode &mode : kModes)
        why += std::string(" ") + mode.name;
    return usage(why);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return unknown_mode(nullptr);
    for (const Mode &mode : kModes) {
        if (std::strcmp(argv[1], mode.name) != 0)
            continue;
        int count = argc - 2;
        if (count < mode.min_args || count > mode.max_args)
            return usage(std::string("wrong number of arguments for ") + mode.name);
        return mode.run(count, argv + 2);
    }
    return unknown_mode(argv[1]);
}
