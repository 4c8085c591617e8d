// Why a helper process delivers the Ctrl+C.
//
// The only way to raise Ctrl+C in a console is GenerateConsoleCtrlEvent from
// a process attached to it, and a process is attached to one console at a
// time. The host may have a console of its own (a console program, or a GUI
// that called AllocConsole for its log), its own Ctrl+C handler, and several
// runs to stop at once from several threads. Attaching the host itself would
// take its console away, change its standard handles, and hand it the very
// Ctrl+C it sends. So a process of its own does it: rundll32 runs
// dllglue_ctrlc from this library, which has no console to lose, attaches to
// the run's console, raises the event, and ignores it itself until it has
// come (delivery is asynchronous: a process that stops ignoring it too soon
// is hit by it), then exits. rundll32 ships with the system, so a host still
// ships this one DLL.
#include "engine/console_ctrl.h"
#include "engine/program_search.h"

#include <cstdlib>
#include <string>

namespace {

// How long the helper waits for its own copy of the event before it gives
// up; the stop's grace, not this, bounds how long the run may take.
constexpr DWORD kDeliveryWaitMs = 5000;

HANDLE g_delivered = nullptr;

// Ignores every event (returns TRUE, so the default handler that ends the
// process never runs) and notes that the Ctrl+C has come.
BOOL WINAPI NoteDelivery(DWORD) {
    if (g_delivered != nullptr)
        SetEvent(g_delivered);
    return TRUE;
}

// The DLL that holds dllglue_ctrlc. Linked statically (the tests), the code
// lives in the program, and the DLL is the one beside it.
std::wstring LibraryPath() {
#ifdef BRACKWYN_BUILDING
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&DeliverCtrlC), &self);
    return ModulePath(self);
#else
    std::wstring path = ModulePath(nullptr);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring()
                                       : path.substr(0, slash + 1) + L"brackwyn.dll";
#endif
}

// rundll32 from the system folder by its full path: a rundll32.exe in the
// host's current directory or on its PATH must never run instead.
std::wstring Rundll32Path() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return std::wstring(folder, length) + L"\\rundll32.exe";
}

} // namespace

bool DeliverCtrlC(const std::vector<DWORD> &processIds) {
    const std::wstring rundll32 = Rundll32Path();
    const std::wstring library = LibraryPath();
    if (processIds.empty() || rundll32.empty() || library.empty())
        return false;
    std::wstring commandLine = L"\"" + rundll32 + L"\" \"" + library + L"\",dllglue_ctrlc";
    for (DWORD id : processIds)
        commandLine += L" " + std::to_wstring(id);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    // No handle inherited: the helper needs none, and must not hold the
    // host's pipes. DETACHED_PROCESS: no console of its own, even if the
    // system's rundll32 were a console program, so that it can attach to
    // the run's.
    if (!CreateProcessW(rundll32.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        DETACHED_PROCESS, nullptr, nullptr, &startup, &created))
        return false;
    // It ends by itself; nobody waits for it.
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return true;
}

// rundll32's entry: `arguments` are the process ids, in decimal, separated by
// spaces.
extern "C" void CALLBACK dllglue_ctrlc(HWND, HINSTANCE, LPSTR arguments, int) {
    g_delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_delivered == nullptr || arguments == nullptr)
        return;
    // A host that ignores Ctrl+C passes that on to the processes it starts;
    // the helper must see its own copy arrive, so it takes the events back
    // and ignores them through its handler instead.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(NoteDelivery, TRUE);
    FreeConsole();
    bool attached = false;
    for (char *cursor = arguments; !attached && *cursor != '\0';) {
        char *end = nullptr;
        const unsigned long id = std::strtoul(cursor, &end, 10);
        if (end == cursor)
            break;
        cursor = end;
        // A process of the run that has ended meanwhile refuses; the next
        // one may still be there.
        attached = id != 0 && AttachConsole(static_cast<DWORD>(id)) != FALSE;
    }
    if (attached && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        WaitForSingleObject(g_delivered, kDeliveryWaitMs);
    if (attached)
        FreeConsole();
}
