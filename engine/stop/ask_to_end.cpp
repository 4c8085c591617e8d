#include "engine/stop/ask_to_end.h"

#include "engine/stop/console_ctrl.h"

#include <algorithm>

namespace {

struct WindowSearch {
    const std::vector<DWORD> *processIds;
};

// A console's own window is left alone: closing it ends the console and
// every program in it at once, instead of asking the program. Windows
// reports one of the console's programs as that window's owner; Wine's
// console window belongs to its console host, which is not one of ours.
bool IsConsoleWindow(HWND window) {
    wchar_t name[64] = {};
    if (GetClassNameW(window, name, 64) == 0)
        return false;
    return lstrcmpW(name, L"ConsoleWindowClass") == 0 ||
           lstrcmpW(name, L"PseudoConsoleWindow") == 0;
}

BOOL CALLBACK CloseIfOurs(HWND window, LPARAM search) {
    const std::vector<DWORD> &ids = *reinterpret_cast<WindowSearch *>(search)->processIds;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // Posted, never sent: a program that does not answer must not hold the
    // stop.
    if (std::find(ids.begin(), ids.end(), owner) != ids.end() && !IsConsoleWindow(window))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

} // namespace

void AskToEnd(HANDLE job, const std::vector<HANDLE> &processes) {
    if (processes.empty())
        return;
    DeliverCtrlC(job, processes);
    std::vector<DWORD> processIds;
    for (HANDLE process : processes)
        processIds.push_back(GetProcessId(process));
    WindowSearch search{&processIds};
    EnumWindows(CloseIfOurs, reinterpret_cast<LPARAM>(&search));
}
