// A GUI host for brackwyn: a window with a command box, a Terminal check
// box, Run, Stop and Abort buttons, an input line with Send and Close input,
// an output pane that fills while the program runs (error text in red) and a
// status line with the outcome of the run.
//
//   gui-host.exe [--command "<command line>"] [--autorun] [--abort-after <ms>]
//                [--stop-after <ms>] [--send <line>] [--enter <line>]
//                [--close-input] [--exit-after-run <ms>] [--dump <file>]
//                [--line-times] [--separate] [--code-page <n>] [--flood]
//                [--terminal]
//
// Stop asks the program to end (Ctrl+C, WM_CLOSE to its windows, end of its
// input) and gives it 5 s to clean up before it is terminated; Abort
// terminates it at once. The input line goes to the program's input while it
// runs: Send (or Enter in the input line) writes the line and a line end,
// Close input lets the program read the end of its input.
//
// The switches let a script drive the window like a person: --autorun presses
// Run once the window shows, --abort-after and --stop-after press Abort or
// Stop that long after Run; --send and --enter (in the order given, one every
// 300 ms from Run) type a line into the input line and press Send or Enter,
// and --close-input then presses Close input; --exit-after-run closes the
// window that long after a run has ended (time for a screenshot), and --dump
// writes the status line and the pane, each line tagged "out|" or "err|" by
// its colour on screen, to a file in UTF-8 when a run ends; with
// --line-times each line of the dump starts with the milliseconds from Run
// to the arrival of its end.
//
// Terminal (the check box, or --terminal) runs the program in a pseudo
// console of its own (DLLGLUE_TERMINAL): it sees a console, so its C runtime
// does not hold its output back as it does for a pipe, and each line shows
// as it is printed. gui-ticker.exe, beside this program, prints a line every
// 300 ms with the runtime's buffered printf: run "gui-ticker" with and
// without Terminal to see the difference. A terminal run's text comes as
// lines too, and a line the program redraws (a progress bar) comes again
// after a "\r", which replaces the pane's unfinished last line; what is
// typed goes to the console as keystrokes, UTF-8.
//
// --flood runs, instead of the command, this program itself writing 256 MiB
// to its output as fast as it can; the status line counts what has arrived,
// and the pane shows the latest text only. The window stays usable
// throughout: Stop and Abort answer at once.
//
// The pane shows text as a log pane should: UTF-8 lines from the library
// (whatever code page the program writes in; --code-page names the one that
// is not UTF-8, the OEM one by default), shown through the wide window
// functions, error text merged into the output in the order the program
// wrote it. --separate keeps the two streams apart, the error text in red.
//
// How text gets from the library to the window
//
// The run is started with DLLGLUE_HOST_THREAD, so its callbacks run on this
// UI thread, from its message dispatch: they append to the pane directly.
// While the run lasts, the library's pumping wait (dllglue_runwait with
// DLLGLUE_WAIT_PUMP) dispatches the UI thread's messages from inside the Run
// handler, and with them the library's turns of text, so the chunks show up
// live. A turn hands out text for about 10 ms, then the window's input,
// paint and timer messages go first, so the window stays responsive however
// fast the program writes; past a bound on what waits undelivered the
// library stops reading and the program waits in its write. Chunks of
// 64 KiB (chunkBytes) make one append of many lines rather than one per
// line.
//
// Order: all text comes before the completion callback, each stream in its
// own order; between the two streams the pane shows the order in which the
// readers got them, which is close to, but not always, the order in which
// the child wrote them, as they travel through two pipes (merged, they share
// one).
#include <windows.h>

#include <richedit.h>
#include <shellapi.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "brackwyn.h"

namespace {

// wParam: the run's result, 1 for exit code 0 (as dllglue_main counts).
constexpr UINT WM_APP_RETURNED = WM_APP + 4;
constexpr UINT WM_APP_AUTORUN = WM_APP + 5;

enum : int {
    IDC_COMMAND = 100,
    IDC_RUN,
    IDC_ABORT,
    IDC_OUTPUT,
    IDC_STATUS,
    IDC_STOP,
    IDC_INPUT,
    IDC_SEND,
    IDC_CLOSE_INPUT,
    IDC_TERMINAL
};
enum : UINT_PTR { TIMER_ABORT = 1, TIMER_EXIT, TIMER_STOP, TIMER_TYPE };
// How long Stop lets the program clean up before it is terminated.
constexpr unsigned long kStopGraceMs = 5000;

constexpr COLORREF kErrorColour = RGB(200, 0, 0);
const char kDefaultCommand[] =
    "cmd /c echo building... & ping -n 2 127.0.0.1 >nul & echo warning: slow step 1>&2 & "
    "ping -n 2 127.0.0.1 >nul & echo done";

// A line that --send or --enter types into the input line.
struct Typed {
    std::wstring line;
    bool withEnter; // pressed Enter in the input line rather than Send
};

struct Options {
    std::string command = kDefaultCommand;
    bool autorun = false;
    UINT abortAfterMs = 0; // 0: never
    UINT stopAfterMs = 0;  // 0: never
    std::vector<Typed> typed;
    bool closeInput = false;
    UINT exitAfterRunMs = 0;
    bool exitAfterRun = false;
    std::string dumpPath;
    bool separate = false;
    unsigned codePage = 0;
    bool flood = false;
    bool terminal = false;
    bool lineTimes = false;
};

// What --flood writes, and how the status line counts it.
constexpr unsigned long long kFloodBytes = 256ull << 20;

Options g_options;
HWND g_command, g_terminal, g_run, g_stop, g_abort, g_input, g_send, g_closeInput, g_output,
    g_status;
HFONT g_uiFont, g_paneFont;

// The state of the current run; touched by the UI thread alone.
bool g_running = false;
ConsoleRun *g_current = nullptr;
bool g_abortPressed = false;
bool g_stopPressed = false;
size_t g_typedSoFar = 0; // of g_options.typed, in this run
bool g_closeAfterRun = false;
int g_stderrSeen = -1; // -1 until the completion callback: the run never began
ConsoleRunResult g_outcome{};
ULONGLONG g_startTick = 0;
unsigned long long g_floodBytes = 0;
bool g_terminalRun = false;
// When each line's end reached the pane, in ms from Run (--line-times).
std::vector<ULONGLONG> g_lineTimes;

// --- UI thread ------------------------------------------------------------

std::string WindowText(HWND window) {
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(
        static_cast<size_t>(GetWindowTextA(window, &text[0], static_cast<int>(text.size()))));
    return text;
}

// The pane takes UTF-16; the library's text is UTF-8, its error messages
// are in the ANSI code page.
std::wstring Wide(const std::string &text, UINT codePage = CP_UTF8) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(codePage, 0, text.data(),
                                                        static_cast<int>(text.size()), &wide[0],
                                                        static_cast<int>(wide.size()))));
    return wide;
}

std::string Narrow(const std::wstring &wide, UINT codePage = CP_UTF8) {
    std::string narrow(wide.size() * 3, '\0');
    narrow.resize(static_cast<size_t>(
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0],
                            static_cast<int>(narrow.size()), nullptr, nullptr)));
    return narrow;
}

void AppendToPane(const std::string &chunk, bool isError) {
    // A terminal run's text has no "\r\n": a chunk that begins with "\r"
    // is the unfinished last line as it now stands, and replaces it.
    const bool rewrite = g_terminalRun && !chunk.empty() && chunk[0] == '\r';
    std::string shown;
    shown.reserve(chunk.size() + chunk.size() / 16);
    for (char c : chunk) {
        // A chunk may end between \r and \n, so line ends are rebuilt from
        // the \n alone. A NUL would end the text at EM_REPLACESEL; a console
        // window shows it as a blank, and so do we.
        if (c == '\r')
            continue;
        if (c == '\n')
            shown += '\r';
        shown += c == '\0' ? ' ' : c;
    }
    // Past the end: the control puts the caret at the end of the text. A
    // rewrite selects the last line, which is the unfinished one.
    LPARAM from = INT_MAX;
    if (rewrite) {
        const LRESULT last = SendMessageW(g_output, EM_GETLINECOUNT, 0, 0) - 1;
        from = SendMessageW(g_output, EM_LINEINDEX, last, 0);
    }
    SendMessageW(g_output, EM_SETSEL, from, INT_MAX);
    CHARFORMAT2W format{};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_COLOR;
    format.dwEffects = isError ? 0 : CFE_AUTOCOLOR;
    format.crTextColor = kErrorColour;
    SendMessageW(g_output, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    SendMessageW(g_output, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Wide(shown).c_str()));
    SendMessageW(g_output, WM_VSCROLL, SB_BOTTOM, 0);
    if (g_options.lineTimes) {
        const ULONGLONG now = GetTickCount64() - g_startTick;
        for (char c : chunk) {
            if (c == '\n')
                g_lineTimes.push_back(now);
        }
    }
}

// The run's callbacks, on this thread (DLLGLUE_HOST_THREAD). A flood is
// counted, and the pane shows its latest text once per MiB.
void BRACKWYN_CALL OnOutput(const char *text, size_t length, void *) {
    if (!g_options.flood) {
        AppendToPane(std::string(text, length), false);
        return;
    }
    const unsigned long long before = g_floodBytes;
    g_floodBytes += length;
    if (before >> 20 == g_floodBytes >> 20)
        return;
    char status[96];
    std::snprintf(status, sizeof(status), "Flood: %llu of %llu MiB received", g_floodBytes >> 20,
                  kFloodBytes >> 20);
    SetWindowTextA(g_status, status);
    const size_t tail = length < 2048 ? length : 2048;
    SetWindowTextW(g_output, Wide(std::string(text + length - tail, tail)).c_str());
}

void BRACKWYN_CALL OnError(const char *text, size_t length, void *) {
    AppendToPane(std::string(text, length), true);
}

void BRACKWYN_CALL OnExit(int stderrSeen, void *) {
    g_stderrSeen = stderrSeen;
}

bool IsErrorAt(LONG position) {
    SendMessageW(g_output, EM_SETSEL, position, position + 1);
    CHARFORMAT2W format{};
    format.cbSize = sizeof(format);
    SendMessageW(g_output, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    return !(format.dwEffects & CFE_AUTOCOLOR) && format.crTextColor == kErrorColour;
}

// Reads the pane back from the control with WM_GETTEXT, so the dump shows
// what a person sees. The pane does not wrap, so a line of the text is a line
// of the control, whose first character tells its colour.
void WriteDump() {
    std::string dump = "status: " + WindowText(g_status) + "\n";
    const LRESULT length = SendMessageW(g_output, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) * 2 + 1, L'\0');
    text.resize(static_cast<size_t>(
        SendMessageW(g_output, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]))));
    // Reading a colour takes a selection; no redraw for each one.
    SendMessageW(g_output, WM_SETREDRAW, FALSE, 0);
    LRESULT line = 0;
    for (size_t start = 0; start < text.size(); ++line) {
        size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        if (end > start) {
            const LONG first = static_cast<LONG>(SendMessageW(g_output, EM_LINEINDEX, line, 0));
            if (g_options.lineTimes) {
                const size_t index = static_cast<size_t>(line);
                dump +=
                    (index < g_lineTimes.size() ? std::to_string(g_lineTimes[index]) : "-") + " ";
            }
            dump += (IsErrorAt(first) ? "err| " : "out| ") +
                    Narrow(text.substr(start, end - start)) + "\n";
        }
        // A line break is "\r\n" or a lone "\r" (or "\n"), by the control's version.
        start = end + (text.compare(end, 2, L"\r\n") == 0 ? 2 : 1);
    }
    SendMessageW(g_output, EM_SETSEL, INT_MAX, INT_MAX);
    SendMessageW(g_output, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(g_output, nullptr, TRUE);
    HANDLE file = CreateFileA(g_options.dumpPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, dump.data(), static_cast<DWORD>(dump.size()), &written, nullptr);
    CloseHandle(file);
}

// Only while this window is the active one: a run that ends must not pull a
// person back from another window.
void MoveFocus(HWND control) {
    if (GetActiveWindow() == GetParent(control))
        SetFocus(control);
}

void SetInputOpen(bool open) {
    // A disabled control loses the focus to nobody, and then the keyboard
    // does nothing until the next click. The pane takes it: Enter there
    // does nothing, where on a button it would press it.
    if (!open && GetFocus() == g_input)
        MoveFocus(g_output);
    EnableWindow(g_input, open);
    EnableWindow(g_send, open);
    EnableWindow(g_closeInput, open);
}

void SetRunning(bool running) {
    g_running = running;
    EnableWindow(g_command, !running);
    EnableWindow(g_terminal, !running);
    EnableWindow(g_run, !running);
    EnableWindow(g_stop, running);
    EnableWindow(g_abort, running);
    SetInputOpen(running);
    // While it runs, what a person types is most likely for the program.
    MoveFocus(running ? g_input : g_command);
}

// The program reads its input in the code page it writes in: a console
// program's is the OEM one unless --code-page names another. Characters that
// code page lacks arrive as '?'.
void SendInputLine() {
    if (g_current == nullptr)
        return;
    const int length = GetWindowTextLengthW(g_input);
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    wide.resize(static_cast<size_t>(GetWindowTextW(g_input, &wide[0], length + 1)));
    // A console takes keystrokes as UTF-8 text, whatever its program's code
    // page.
    const UINT codePage = g_terminalRun        ? CP_UTF8
                          : g_options.codePage ? g_options.codePage
                                               : CP_OEMCP;
    const std::string line = Narrow(wide, codePage) + "\r\n";
    // Queued, not waited for: a program that does not read never blocks the window.
    if (dllglue_runwrite(g_current, line.data(), line.size()) != DLLGLUE_OK) {
        // The program closed its input or ended: nothing more can reach it.
        SetInputOpen(false);
        MessageBeep(MB_ICONWARNING);
        return;
    }
    SetWindowTextW(g_input, L"");
}

void CloseInput() {
    if (g_current != nullptr)
        dllglue_runclosein(g_current);
    SetInputOpen(false);
}

// One --send or --enter line per call, then --close-input.
void TypeNext(HWND window) {
    if (g_typedSoFar < g_options.typed.size()) {
        const Typed &typed = g_options.typed[g_typedSoFar++];
        // Posted, not sent: each key goes through the message loop and its
        // filter as a real one does, and the queue keeps them in order.
        SetFocus(g_input);
        for (wchar_t c : typed.line)
            PostMessageW(g_input, WM_CHAR, c, 1);
        if (typed.withEnter)
            PostMessageW(g_input, WM_KEYDOWN, VK_RETURN, 1);
        else
            PostMessageW(g_send, BM_CLICK, 0, 0);
        return;
    }
    KillTimer(window, TIMER_TYPE);
    if (g_options.closeInput)
        SendMessageA(g_closeInput, BM_CLICK, 0, 0);
}

void StartRun(HWND window) {
    if (g_running)
        return;
    const std::string command = WindowText(g_command);
    SetWindowTextW(g_output, L"");
    SetWindowTextA(g_status, "Running...");
    g_abortPressed = false;
    g_stopPressed = false;
    g_stderrSeen = -1;
    g_outcome = ConsoleRunResult{};
    g_typedSoFar = 0;
    SetRunning(true);
    if (g_options.abortAfterMs)
        SetTimer(window, TIMER_ABORT, g_options.abortAfterMs, nullptr);
    if (g_options.stopAfterMs)
        SetTimer(window, TIMER_STOP, g_options.stopAfterMs, nullptr);
    if (!g_options.typed.empty() || g_options.closeInput)
        SetTimer(window, TIMER_TYPE, 300, nullptr);
    g_startTick = GetTickCount64();
    g_floodBytes = 0;
    g_lineTimes.clear();
    g_terminalRun = SendMessageA(g_terminal, BM_GETCHECK, 0, 0) == BST_CHECKED;
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = OnOutput;
    options.onError = OnError;
    options.onExit = OnExit;
    options.user = window;
    // Whole lines of UTF-8, one stream in the program's own order, the
    // callbacks on this thread, in chunks of many lines.
    options.flags = DLLGLUE_TEXT_UTF8 | DLLGLUE_LINES | DLLGLUE_HOST_THREAD |
                    (g_options.separate ? 0 : DLLGLUE_MERGE);
    // The program in a pseudo console of its own: it shows each line as it
    // prints it. Its error text shares the console, so --separate has
    // nothing to keep apart.
    if (g_terminalRun)
        options.flags |= DLLGLUE_TERMINAL;
    options.chunkBytes = 64 * 1024;
    // The input stays open for the input line until Close input or Stop.
    options.input = DLLGLUE_INPUT_PIPE;
    options.textCodePage = g_options.codePage;
    // The wait hands over wide messages: the ANSI IsDialogMessage would take
    // a typed character for an ANSI one and garble it.
    options.messageFilter = [](MSG *message, void *user) {
        return IsDialogMessageW(static_cast<HWND>(user), message) ? 1 : 0;
    };
    int result = 0; // 1 for exit code 0, as dllglue_main counts
    std::string line = command;
    if (g_options.flood) {
        // This very program, as the child that floods (see WinMain).
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        line = "\"" + Narrow(self, CP_ACP) + "\" --write-flood";
        options.flags &= ~static_cast<unsigned>(DLLGLUE_LINES | DLLGLUE_TEXT_UTF8);
    }
    if (dllglue_runstart(line.c_str(), 0, nullptr, &options, &g_current) != DLLGLUE_OK) {
        AppendToPane(Narrow(Wide(dllglue_lasterror(), CP_ACP)) + "\n", false);
    } else {
        // Blocks until the run is over, dispatching this thread's messages.
        dllglue_runwait(g_current, INFINITE, DLLGLUE_WAIT_PUMP);
        g_outcome.size = sizeof(g_outcome);
        dllglue_runresult(g_current, &g_outcome);
        result = g_outcome.state == DLLGLUE_EXITED && g_outcome.exitCode == 0 ? 1 : 0;
        dllglue_runclose(g_current);
        g_current = nullptr;
    }
    KillTimer(window, TIMER_ABORT);
    KillTimer(window, TIMER_STOP);
    KillTimer(window, TIMER_TYPE);
    PostMessageA(window, WM_APP_RETURNED, static_cast<WPARAM>(result), 0);
}

void FinishRun(HWND window, int result) {
    SetRunning(false);
    char status[160];
    const double seconds = static_cast<double>(GetTickCount64() - g_startTick) / 1000.0;
    if (g_stderrSeen < 0) {
        std::snprintf(status, sizeof(status), "Not started: result %d", result);
    } else if (g_stopPressed && !g_abortPressed) {
        // Whether the program used its grace tells a host whether it cleaned up.
        char ending[64] = "terminated after the grace";
        if (g_outcome.state == DLLGLUE_EXITED)
            std::snprintf(ending, sizeof(ending),
                          g_outcome.exitCode < 0x10000 ? "ended in the grace, exit code %lu"
                                                       : "ended in the grace, exit code 0x%lX",
                          g_outcome.exitCode);
        std::snprintf(status, sizeof(status),
                      "Stopped after %.1f s (%s): result %d, stderr seen %d", seconds, ending,
                      result, g_stderrSeen);
    } else {
        std::snprintf(status, sizeof(status), "%s after %.1f s: result %d, stderr seen %d",
                      g_abortPressed ? "Aborted" : "Finished", seconds, result, g_stderrSeen);
    }
    if (g_options.flood) {
        const size_t used = std::strlen(status);
        std::snprintf(status + used, sizeof(status) - used, ", %llu MiB received",
                      g_floodBytes >> 20);
    }
    SetWindowTextA(g_status, status);
    if (!g_options.dumpPath.empty())
        WriteDump();
    if (g_closeAfterRun)
        DestroyWindow(window);
    else if (g_options.exitAfterRun)
        SetTimer(window, TIMER_EXIT, g_options.exitAfterRunMs, nullptr);
}

void Layout(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    const int margin = 8, row = 24, button = 80;
    const int width = client.right - 2 * margin;
    // The command and the input line fill what the buttons on their right
    // leave; the Terminal check box goes before Run.
    const int boxWidth = width - 3 * (button + margin);
    const int buttonLeft = 2 * margin + boxWidth;
    MoveWindow(g_command, margin, margin, boxWidth - button - margin, row, TRUE);
    MoveWindow(g_terminal, buttonLeft - button - margin, margin, button, row, TRUE);
    MoveWindow(g_run, buttonLeft, margin, button, row, TRUE);
    MoveWindow(g_stop, buttonLeft + button + margin, margin, button, row, TRUE);
    MoveWindow(g_abort, buttonLeft + 2 * (button + margin), margin, button, row, TRUE);
    const int inputTop = 2 * margin + row;
    MoveWindow(g_input, margin, inputTop, boxWidth, row, TRUE);
    MoveWindow(g_send, buttonLeft, inputTop, button, row, TRUE);
    MoveWindow(g_closeInput, buttonLeft + button + margin, inputTop, 2 * button + margin, row,
               TRUE);
    const int paneTop = inputTop + margin + row;
    const int statusTop = client.bottom - margin - row + 4;
    MoveWindow(g_output, margin, paneTop, width, statusTop - margin - paneTop, TRUE);
    MoveWindow(g_status, margin, statusTop, width, row - 4, TRUE);
}

HWND CreateChild(HWND parent, const char *className, const char *text, DWORD style, int id,
                 DWORD exStyle = 0) {
    HWND child = CreateWindowExA(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0,
                                 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleA(nullptr), nullptr);
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_uiFont), FALSE);
    return child;
}

bool CreateControls(HWND window) {
    g_command = CreateChild(window, "EDIT", g_options.command.c_str(), WS_TABSTOP | ES_AUTOHSCROLL,
                            IDC_COMMAND, WS_EX_CLIENTEDGE);
    g_terminal =
        CreateChild(window, "BUTTON", "&Terminal", WS_TABSTOP | BS_AUTOCHECKBOX, IDC_TERMINAL);
    if (g_options.terminal)
        SendMessageA(g_terminal, BM_SETCHECK, BST_CHECKED, 0);
    g_run = CreateChild(window, "BUTTON", "&Run", WS_TABSTOP | BS_DEFPUSHBUTTON, IDC_RUN);
    g_stop = CreateChild(window, "BUTTON", "&Stop", WS_TABSTOP | WS_DISABLED, IDC_STOP);
    g_abort = CreateChild(window, "BUTTON", "&Abort", WS_TABSTOP | WS_DISABLED, IDC_ABORT);
    // The wide class, so that a line in any script can be typed.
    g_input =
        CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                        WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED | ES_AUTOHSCROLL, 0, 0, 0,
                        0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_INPUT)),
                        GetModuleHandleW(nullptr), nullptr);
    SendMessageW(g_input, WM_SETFONT, reinterpret_cast<WPARAM>(g_uiFont), FALSE);
    g_send = CreateChild(window, "BUTTON", "S&end", WS_TABSTOP | WS_DISABLED, IDC_SEND);
    g_closeInput =
        CreateChild(window, "BUTTON", "&Close input", WS_TABSTOP | WS_DISABLED, IDC_CLOSE_INPUT);
    // RichEdit 2.0 for the coloured error text; the wide class, so that
    // every character of the UTF-8 text shows, whatever the code pages.
    g_output = CreateWindowExW(
        WS_EX_CLIENTEDGE, RICHEDIT_CLASSW, L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
            ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
        0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_OUTPUT)),
        GetModuleHandleW(nullptr), nullptr);
    if (!g_output)
        return false;
    SendMessageW(g_output, WM_SETFONT, reinterpret_cast<WPARAM>(g_paneFont), FALSE);
    // The default limit is 32K characters; a build log outgrows that quickly.
    SendMessageW(g_output, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
    // No word wrap: an output line stays one line, with a horizontal scroll
    // bar, as in a console, and the dump can read the pane line by line.
    SendMessageW(g_output, EM_SETTARGETDEVICE, 0, 1);
    g_status = CreateChild(window, "STATIC", "Ready", SS_LEFTNOWORDWRAP, IDC_STATUS);
    return true;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return CreateControls(window) ? 0 : -1;
    case WM_SIZE:
        Layout(window);
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO *>(lParam)->ptMinTrackSize = POINT{480, 240};
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: // Enter: sends in the input line, runs anywhere else
            if (GetFocus() == g_input)
                SendInputLine();
            else
                StartRun(window);
            return 0;
        case IDC_RUN:
            StartRun(window);
            return 0;
        case IDC_SEND:
            SendInputLine();
            return 0;
        case IDC_CLOSE_INPUT:
            CloseInput();
            return 0;
        case IDC_STOP:
            // Returns at once; the wait in StartRun sees the end of the run.
            if (g_current != nullptr && dllglue_runstop(g_current, kStopGraceMs) == 1) {
                g_stopPressed = true;
                SetInputOpen(false); // a stop closes the program's input
            }
            return 0;
        case IDC_ABORT:
            if (g_current != nullptr && dllglue_runabort(g_current) == 1)
                g_abortPressed = true;
            return 0;
        }
        break;
    case WM_APP_RETURNED:
        FinishRun(window, static_cast<int>(wParam));
        return 0;
    case WM_APP_AUTORUN:
        SendMessageA(g_run, BM_CLICK, 0, 0);
        return 0;
    case WM_TIMER:
        if (wParam == TIMER_TYPE) {
            TypeNext(window); // repeats until the last line is typed
            return 0;
        }
        KillTimer(window, wParam);
        if (wParam == TIMER_ABORT)
            SendMessageA(g_abort, BM_CLICK, 0, 0); // a real press: BN_CLICKED and all
        else if (wParam == TIMER_STOP)
            SendMessageA(g_stop, BM_CLICK, 0, 0);
        else if (wParam == TIMER_EXIT)
            PostMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        // The Run handler is still on this thread's stack inside the wait:
        // destroying the window now would pull it out from under that call.
        // Stop the run instead and close once the handler has unwound.
        if (g_running) {
            g_closeAfterRun = true;
            if (g_current != nullptr)
                dllglue_runabort(g_current);
            return 0;
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// From the wide command line, so that a line for --send or --enter may hold
// any character; the command and the file name go to the ANSI functions.
bool ParseOptions() {
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return false;
    const std::vector<std::wstring> args(wide, wide + count);
    LocalFree(wide);
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring &name = args[i];
        const bool hasValue = i + 1 < args.size();
        const auto ansi = [&] { return Narrow(args[++i], CP_ACP); };
        const auto number = [&] {
            return static_cast<UINT>(std::wcstoul(args[++i].c_str(), nullptr, 10));
        };
        if (name == L"--autorun") {
            g_options.autorun = true;
        } else if (name == L"--command" && hasValue) {
            g_options.command = ansi();
        } else if (name == L"--abort-after" && hasValue) {
            g_options.abortAfterMs = number();
        } else if (name == L"--stop-after" && hasValue) {
            g_options.stopAfterMs = number();
        } else if ((name == L"--send" || name == L"--enter") && hasValue) {
            g_options.typed.push_back(Typed{args[++i], name == L"--enter"});
        } else if (name == L"--close-input") {
            g_options.closeInput = true;
        } else if (name == L"--exit-after-run" && hasValue) {
            g_options.exitAfterRun = true;
            g_options.exitAfterRunMs = number();
        } else if (name == L"--dump" && hasValue) {
            g_options.dumpPath = ansi();
        } else if (name == L"--separate") {
            g_options.separate = true;
        } else if (name == L"--code-page" && hasValue) {
            g_options.codePage = number();
        } else if (name == L"--flood") {
            g_options.flood = true;
        } else if (name == L"--terminal") {
            g_options.terminal = true;
        } else if (name == L"--line-times") {
            g_options.lineTimes = true;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

// The child of --flood: 256 MiB of lines to the standard output as fast as
// the pipe takes them, then exit.
int WriteFlood() {
    // A window program gets no Ctrl+C of its console, so the end of its
    // input (a stop closes it) is what ends it early.
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            char read;
            DWORD count = 0;
            while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &read, 1, &count, nullptr) &&
                   count > 0) {
            }
            ExitProcess(1);
        },
        nullptr, 0, nullptr);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string block;
    // Writes of 4 KiB, as a chatty program's runtime makes them.
    for (int line = 0; block.size() < 4 * 1024 - 80; ++line)
        block += "flood line " + std::to_string(line) +
                 " ........................................................\n";
    for (unsigned long long written = 0; written < kFloodBytes;) {
        const DWORD size = static_cast<DWORD>(
            kFloodBytes - written < block.size() ? kFloodBytes - written : block.size());
        DWORD done = 0;
        if (!WriteFile(output, block.data(), size, &done, nullptr))
            return 1; // the reader is gone: stopped
        written += done;
    }
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    if (std::strstr(GetCommandLineA(), "--write-flood") != nullptr)
        return WriteFlood();
    if (!ParseOptions()) {
        MessageBoxA(nullptr,
                    "usage: gui-host [--command \"<command line>\"] [--autorun]\n"
                    "    [--abort-after <ms>] [--stop-after <ms>] [--send <line>]\n"
                    "    [--enter <line>] [--close-input] [--exit-after-run <ms>]\n"
                    "    [--dump <file>] [--line-times] [--separate] [--code-page <n>]\n"
                    "    [--flood] [--terminal]",
                    "gui-host", MB_ICONERROR);
        return 2;
    }
    if (!LoadLibraryA("riched20.dll")) {
        MessageBoxA(nullptr, "riched20.dll could not be loaded.", "gui-host", MB_ICONERROR);
        return 1;
    }
    g_uiFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    g_paneFont = CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             FIXED_PITCH | FF_MODERN, "Courier New");

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    windowClass.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));     // IDI_APPLICATION
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "BrackwynGuiHost";
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "brackwyn gui-host",
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 760, 480,
                                  nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    if (g_options.autorun)
        PostMessageA(window, WM_APP_AUTORUN, 0, 0);

    MSG message;
    // Wide messages, as the library's pumping wait takes them: a character
    // typed into the input line must reach it whole.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab between the controls and Enter for Run, as in a dialog.
        if (IsDialogMessageW(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DeleteObject(g_paneFont);
    return static_cast<int>(message.wParam);
}
