#include "engine/child/pseudo_console.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "brackwyn.h"
#include "engine/child/pipes.h"
#include "engine/command/program_search.h"
#include "engine/input/input_queue.h"
#include "engine/os/inheritance.h"
#include "engine/output/output_stream.h"
#include "engine/output/terminal_stages.h"

namespace {

using CreateFn = HRESULT(WINAPI *)(COORD, HANDLE, HANDLE, DWORD, void **);
using ResizeFn = HRESULT(WINAPI *)(void *, COORD);
using CloseFn = void(WINAPI *)(void *);

// Looked up rather than linked: a system without them must still load the
// library, and refuse only terminal runs.
struct Exports {
    CreateFn create = nullptr;
    ResizeFn resize = nullptr;
    CloseFn close = nullptr;
};

const Exports &PseudoConsoleExports() {
    static const Exports exports = [] {
        Exports found;
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        if (kernel != nullptr) {
            found.create = reinterpret_cast<CreateFn>(
                reinterpret_cast<void *>(GetProcAddress(kernel, "CreatePseudoConsole")));
            found.resize = reinterpret_cast<ResizeFn>(
                reinterpret_cast<void *>(GetProcAddress(kernel, "ResizePseudoConsole")));
            found.close = reinterpret_cast<CloseFn>(
                reinterpret_cast<void *>(GetProcAddress(kernel, "ClosePseudoConsole")));
        }
        return found;
    }();
    return exports;
}

const wchar_t kHelperName[] = L"brackwyn-term.exe";

// The helper beside the DLL, by the DLL's own full path, never a search:
// a brackwyn-term.exe in the host's current directory must not run instead.
// Linked statically (the tests), the code lives in the program, and the
// helper sits beside it.
std::wstring HelperPath() {
    HMODULE self = nullptr;
#ifdef BRACKWYN_BUILDING
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&PseudoConsoleExports), &self);
#endif
    const std::wstring module = ModulePath(self);
    const size_t slash = module.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : module.substr(0, slash + 1) + kHelperName;
}

// How long the helper may take to start the program, and a resize; far
// more than either takes, a bound for a system that stalls.
constexpr DWORD kHelperWaitMs = 10000;

// A copy with only `access`, inheritable only while a launch creates the
// helper that is to get it.
HANDLE CopyFor(HANDLE handle, DWORD access) {
    HANDLE self = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(self, handle, self, &copy, access, FALSE, 0))
        return nullptr;
    return copy;
}

// Starts a helper without a console of its own (DETACHED_PROCESS, so that
// it can attach to the run's), handing it `handles` alone, and waits for
// its exit code.
bool RunDetachedHelper(std::wstring commandLine, const std::vector<HANDLE> &handles,
                       DWORD &exitCode) {
    const std::wstring program = HelperPath();
    commandLine = L"\"" + program + L"\" " + commandLine;
    ScopedHandle helper(StartDetachedWith(program, commandLine, handles));
    if (!helper.IsValid())
        return false;
    if (WaitForSingleObject(helper.Get(), kHelperWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(helper.Get(), 1);
        return false;
    }
    return GetExitCodeProcess(helper.Get(), &exitCode) != FALSE;
}

} // namespace

PseudoConsole::~PseudoConsole() {
    // At unload nothing is closed: the console host may be waiting on a
    // pipe nobody reads any more (see the top of the header).
}

bool PseudoConsole::Available(const char *&why) {
    const Exports &exports = PseudoConsoleExports();
    if (exports.create == nullptr || exports.resize == nullptr || exports.close == nullptr) {
        why = "this system has no pseudo console (Windows 10 1809 or later has)";
        return false;
    }
    const std::wstring helper = HelperPath();
    const DWORD attributes =
        helper.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(helper.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = "brackwyn-term.exe, which starts a program in a pseudo console, is not beside "
              "brackwyn.dll";
        return false;
    }
    return true;
}

void PseudoConsole::SetSize(unsigned columns, unsigned rows) {
    m_size = TerminalSize::Pack(columns != 0 ? columns : TerminalSize::kDefaultColumns,
                                rows != 0 ? rows : TerminalSize::kDefaultRows);
}

bool PseudoConsole::Create(bool, InputQueue &input, OutputStream &output, OutputStream &) {
    const Exports &exports = PseudoConsoleExports();
    if (exports.create == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    ScopedHandle consoleInput;
    ScopedHandle inputWriter;
    ScopedHandle consoleOutput;
    ScopedHandle outputReader;
    if (!CreateChildPipe(PipeDirection::ToChild, consoleInput, inputWriter) ||
        !CreateChildPipe(PipeDirection::FromChild, consoleOutput, outputReader))
        return false;
    const unsigned long size = m_size.load();
    const COORD coord{static_cast<SHORT>(TerminalSize::Columns(size)),
                      static_cast<SHORT>(TerminalSize::Rows(size))};
    // No flags: PSEUDOCONSOLE_INHERIT_CURSOR would have the console ask
    // for the cursor's position and wait for an answer nobody gives.
    void *console = nullptr;
    const HRESULT created =
        exports.create(coord, consoleInput.Get(), consoleOutput.Get(), 0, &console);
    if (FAILED(created)) {
        SetLastError(HRESULT_FACILITY(created) == FACILITY_WIN32 ? HRESULT_CODE(created)
                                                                 : ERROR_GEN_FAILURE);
        return false;
    }
    {
        std::lock_guard<SrwLock> lock(m_lock);
        m_console = console;
    }
    // The console host holds its own copies of its ends.
    input.Attach(std::move(inputWriter));
    output.Attach(std::move(outputReader));
    // The helper hands the program's handles into this process, and says
    // so (or why it could not start it) on the report pipe.
    HANDLE reportRead = nullptr;
    HANDLE reportWrite = nullptr;
    if (!CreatePipe(&reportRead, &reportWrite, nullptr, 0))
        return false;
    m_reportRead.Reset(reportRead);
    m_reportWrite.Reset(reportWrite);
    // PROCESS_DUP_HANDLE and nothing else: the helper may put handles into
    // this process, not read or change it.
    m_hostForHelper.Reset(CopyFor(GetCurrentProcess(), PROCESS_DUP_HANDLE));
    return m_hostForHelper.IsValid();
}

void PseudoConsole::Prepare(STARTUPINFOW &, DWORD &, std::vector<HANDLE> &inherited) const {
    // No standard handles and no console flags: the pseudo console
    // attribute (Attribute) gives the helper its console, and the helper
    // opens the console's own handles. Its two handles are all it inherits.
    inherited.push_back(m_hostForHelper.Get());
    inherited.push_back(m_reportWrite.Get());
}

void PseudoConsole::Wrap(std::wstring &application, std::wstring &commandLine) const {
    const std::wstring helper = HelperPath();
    commandLine = L"\"" + helper + L"\" start " +
                  std::to_wstring(reinterpret_cast<ULONG_PTR>(m_hostForHelper.Get())) + L" " +
                  std::to_wstring(reinterpret_cast<ULONG_PTR>(m_reportWrite.Get())) + L" " +
                  std::to_wstring(application.size()) + L" " + application + L" " + commandLine;
    application = helper;
}

void PseudoConsole::Created() {
    m_hostForHelper.Close();
    m_reportWrite.Close();
}

// `created` is the helper, suspended: it runs now, and `created` becomes
// the program it started (suspended too, as the launch wants it).
bool PseudoConsole::Started(PROCESS_INFORMATION &created) {
    ScopedHandle helper(created.hProcess);
    ScopedHandle helperThread(created.hThread);
    created = PROCESS_INFORMATION{};
    if (ResumeThread(helperThread.Get()) == static_cast<DWORD>(-1))
        return false;
    if (WaitForSingleObject(helper.Get(), kHelperWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(helper.Get(), 1);
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    // The helper has ended: the report is whole in the pipe, and the read
    // ends at its end.
    char report[128] = {};
    DWORD got = 0;
    DWORD total = 0;
    while (
        total + 1 < sizeof(report) &&
        ReadFile(m_reportRead.Get(), report + total, sizeof(report) - 1 - total, &got, nullptr) &&
        got != 0)
        total += got;
    m_reportRead.Close();
    report[total] = '\0';
    unsigned long long process = 0;
    unsigned long long thread = 0;
    unsigned long id = 0;
    unsigned long error = 0;
    char *cursor = report;
    if (std::strncmp(report, "ok ", 3) == 0) {
        process = std::strtoull(cursor + 3, &cursor, 10);
        thread = std::strtoull(cursor, &cursor, 10);
        id = std::strtoul(cursor, &cursor, 10);
    } else if (std::strncmp(report, "fail ", 5) == 0) {
        error = std::strtoul(report + 5, nullptr, 10);
    }
    if (process == 0 || thread == 0 || id == 0) {
        if (process != 0)
            CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(process)));
        if (thread != 0)
            CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread)));
        SetLastError(error != 0 ? error : ERROR_GEN_FAILURE);
        return false;
    }
    created.hProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(process));
    created.hThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread));
    created.dwProcessId = id;
    return true;
}

void PseudoConsole::CloseConsole() {
    void *console = nullptr;
    {
        std::lock_guard<SrwLock> lock(m_lock);
        console = m_console;
        m_console = nullptr;
    }
    if (console != nullptr)
        PseudoConsoleExports().close(console);
}

// The reader still reads: the console host writes its last output, ends,
// and the pipe breaks behind it.
void PseudoConsole::End() {
    CloseConsole();
}

void PseudoConsole::Release() {
    CloseConsole();
    m_hostForHelper.Close();
    m_reportWrite.Close();
    m_reportRead.Close();
}

int PseudoConsole::Resize(unsigned columns, unsigned rows, HANDLE child) {
    {
        std::lock_guard<SrwLock> lock(m_lock);
        if (m_console == nullptr)
            return DLLGLUE_ECLOSED;
        const COORD size{static_cast<SHORT>(columns), static_cast<SHORT>(rows)};
        if (SUCCEEDED(PseudoConsoleExports().resize(m_console, size))) {
            m_size = TerminalSize::Pack(columns, rows);
            return DLLGLUE_OK;
        }
    }
    // Wine has no ResizePseudoConsole (E_NOTIMPL); a process attached to
    // the console may set its buffer and window itself. The helper does,
    // attached to the console of the run's child, which it is handed as a
    // handle so that the id cannot pass to another process meanwhile.
    if (child == nullptr || WaitForSingleObject(child, 0) != WAIT_TIMEOUT)
        return DLLGLUE_ECLOSED;
    // Enough to learn its id and whether it still runs, nothing more.
    ScopedHandle copy(CopyFor(child, PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE));
    if (!copy.IsValid())
        return DLLGLUE_ECLOSED;
    std::wstring commandLine = L"resize " +
                               std::to_wstring(reinterpret_cast<ULONG_PTR>(copy.Get())) + L" " +
                               std::to_wstring(columns) + L" " + std::to_wstring(rows);
    DWORD exitCode = 1;
    if (!RunDetachedHelper(commandLine, {copy.Get()}, exitCode) || exitCode != 0)
        return DLLGLUE_ECLOSED;
    m_size = TerminalSize::Pack(columns, rows);
    return DLLGLUE_OK;
}
