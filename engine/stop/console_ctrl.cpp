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
// It gets handles, not process ids: it attaches tens of milliseconds after
// the stop, when the child may have ended and the system may have given its
// id to another process, whose whole console would then get the Ctrl+C. A
// handle it holds keeps the id from passing on, and with the job's handle it
// can tell that the process, and everything in its console, is the run's.
//
// That process is brackwyn-ctrlc.exe when the host ships it beside the DLL:
// a plain program without a window starts in a fraction of the time the
// system's rundll32 takes, and the stop's latency is mostly that start.
// Without it, rundll32 runs dllglue_ctrlc from this library instead; it
// ships with the system, so a host may still ship this one DLL.
#include "engine/stop/console_ctrl.h"
#include "engine/command/program_search.h"
#include "engine/os/inheritance.h"
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

// A copy of `handle` with only `access`, inheritable only while the helper
// is created (StartDetachedWith); null when refused.
HANDLE NarrowCopy(HANDLE handle, DWORD access) {
    HANDLE self = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (handle == nullptr || !DuplicateHandle(self, handle, self, &copy, access, FALSE, 0))
        return nullptr;
    return copy;
}

// Starts `program` with `commandLine` (which names it first), handing it
// copies of `job` and `processes`, and lets it go unless `helper` is to
// keep it.
bool StartAndLetGo(const std::wstring &program, std::wstring commandLine, HANDLE job,
                   const std::vector<HANDLE> &processes, ScopedHandle *helper) {
    // Whatever the helper is handed, it may only look: whether a process
    // has ended, whether it is in the job, and its id. A run without a job
    // hands its child alone, and "job=0".
    std::vector<ScopedHandle> copies;
    copies.emplace_back(NarrowCopy(job, JOB_OBJECT_QUERY));
    if (job != nullptr && !copies.back().IsValid())
        return false;
    for (HANDLE process : processes) {
        ScopedHandle copy(NarrowCopy(process, PROCESS_QUERY_INFORMATION | SYNCHRONIZE));
        if (copy.IsValid())
            copies.push_back(std::move(copy));
    }
    if (copies.size() < 2)
        return false;
    std::vector<HANDLE> inherited;
    for (size_t i = 0; i < copies.size(); ++i) {
        commandLine += i == 0 ? L" job=" : L" ";
        commandLine += std::to_wstring(reinterpret_cast<ULONG_PTR>(copies[i].Get()));
        if (copies[i].IsValid())
            inherited.push_back(copies[i].Get());
    }
    // Exactly these copies and nothing else: the helper must not hold the
    // host's pipes.
    HANDLE started = StartDetachedWith(program, commandLine, inherited);
    if (started == nullptr)
        return false;
    // It ends by itself; nobody waits for it unless a caller asked to.
    if (helper != nullptr)
        helper->Reset(started);
    else
        CloseHandle(started);
    return true;
}

} // namespace

bool DeliverCtrlCThroughRundll32(HANDLE job, const std::vector<HANDLE> &processes) {
    const std::wstring rundll32 = Rundll32Path();
    const std::wstring library = LibraryPath();
    if (processes.empty() || rundll32.empty() || library.empty())
        return false;
    return StartAndLetGo(rundll32, L"\"" + rundll32 + L"\" \"" + library + L"\",dllglue_ctrlc", job,
                         processes, nullptr);
}

bool DeliverCtrlCThroughHelper(HANDLE job, const std::vector<HANDLE> &processes,
                               ScopedHandle &helper) {
    const std::wstring program = HelperPath();
    return !processes.empty() && !program.empty() &&
           StartAndLetGo(program, L"\"" + program + L"\"", job, processes, &helper);
}

bool DeliverCtrlC(HANDLE job, const std::vector<HANDLE> &processes) {
    if (processes.empty())
        return false;
    // A host may ship the DLL alone, and a helper that is there may still
    // refuse to start (blocked by a policy, say): neither may cost the stop
    // its Ctrl+C.
    const std::wstring helper = HelperPath();
    if (!helper.empty() && StartAndLetGo(helper, L"\"" + helper + L"\"", job, processes, nullptr))
        return true;
    return DeliverCtrlCThroughRundll32(job, processes);
}

// rundll32's entry: `arguments` as RaiseCtrlCInConsoleOf reads them, the
// handles inherited by the rundll32 process that runs this.
extern "C" void CALLBACK dllglue_ctrlc(HWND, HINSTANCE, LPSTR arguments, int) {
    RaiseCtrlCInConsoleOf(arguments);
}
