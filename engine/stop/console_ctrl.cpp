// Why a helper process delivers the Ctrl+C.
//
// The only way to raise Ctrl+C in a console is GenerateConsoleCtrlEvent from
// a process attached to it, and a process is attached to one console at a
// time. The host may have a console of its own (a console program, or a GUI
// that called AllocConsole for its log), its own Ctrl+C handler, and several
// runs to stop at once from several threads. Attaching the host itself would
// take its console away, change its standard handles, and hand it the very
// Ctrl+C it sends. So a process of its own does it (engine/stop/ctrlc_helper.cpp):
// it has no console to lose, attaches to the run's console, raises the
// event, and ignores it itself until it has come (delivery is asynchronous:
// a process that stops ignoring it too soon is hit by it), then exits.
//
// That process is brackwyn-ctrlc.exe when the host ships it beside the DLL:
// a plain program without a window starts in a fraction of the time the
// system's rundll32 takes, and the stop's latency is mostly that start.
// Without it, rundll32 runs dllglue_ctrlc from this library instead; it
// ships with the system, so a host may still ship this one DLL.
#include "engine/stop/console_ctrl.h"
#include "engine/command/program_search.h"
#include "engine/stop/ctrlc_helper.h"

#include <string>

namespace {

const wchar_t kHelperName[] = L"brackwyn-ctrlc.exe";

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

// The helper program beside the DLL, by the DLL's own full path: never a
// search, so that a brackwyn-ctrlc.exe in the host's current directory or on
// its PATH cannot run instead.
std::wstring HelperPath() {
    const std::wstring library = LibraryPath();
    const size_t slash = library.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring()
                                       : library.substr(0, slash + 1) + kHelperName;
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

// Starts `program` with `commandLine` (which names it first) and lets it go.
bool StartAndLetGo(const std::wstring &program, std::wstring commandLine,
                   const std::vector<DWORD> &processIds) {
    for (DWORD id : processIds)
        commandLine += L" " + std::to_wstring(id);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    // No handle inherited: the helper needs none, and must not hold the
    // host's pipes. DETACHED_PROCESS: no console of its own (whether the
    // program is a console program or not), so that it can attach to the
    // run's.
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &created))
        return false;
    // It ends by itself; nobody waits for it.
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return true;
}

} // namespace

bool DeliverCtrlCThroughRundll32(const std::vector<DWORD> &processIds) {
    const std::wstring rundll32 = Rundll32Path();
    const std::wstring library = LibraryPath();
    if (processIds.empty() || rundll32.empty() || library.empty())
        return false;
    return StartAndLetGo(rundll32, L"\"" + rundll32 + L"\" \"" + library + L"\",dllglue_ctrlc",
                         processIds);
}

bool DeliverCtrlC(const std::vector<DWORD> &processIds) {
    if (processIds.empty())
        return false;
    // A host may ship the DLL alone, and a helper that is there may still
    // refuse to start (blocked by a policy, say): neither may cost the stop
    // its Ctrl+C.
    const std::wstring helper = HelperPath();
    if (!helper.empty() && StartAndLetGo(helper, L"\"" + helper + L"\"", processIds))
        return true;
    return DeliverCtrlCThroughRundll32(processIds);
}

// rundll32's entry: `arguments` are the process ids, in decimal, separated by
// spaces.
extern "C" void CALLBACK dllglue_ctrlc(HWND, HINSTANCE, LPSTR arguments, int) {
    RaiseCtrlCInConsoleOf(arguments);
}
