// The product as a host meets it: brackwyn.dll loaded by name, its exports,
// what it imports, and what loading, unloading and exiting do to a run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

#include "test_support.h"

namespace {

std::string DllPath() {
    return RunnerFolder() + "brackwyn.dll";
}

// The names of the DLLs that a loaded module imports from, upper-cased.
std::set<std::string> ImportedDlls(HMODULE module) {
    auto *base = reinterpret_cast<const unsigned char *>(module);
    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> names;
    auto *entry =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
    for (; directory.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        std::string name(reinterpret_cast<const char *>(base + entry->Name));
        for (char &c : name)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        names.insert(name);
    }
    return names;
}

template <typename Function> Function Export(HMODULE module, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

std::mutex g_dllOutLock;
std::string g_dllOut;
int g_dllExits = 0;
// Both readers call in, at the same time.
void BRACKWYN_CALL CollectOut(const char *text, size_t length, void *) {
    std::lock_guard<std::mutex> lock(g_dllOutLock);
    g_dllOut.append(text, length);
}
void BRACKWYN_CALL CountExit(int, void *) {
    ++g_dllExits;
}

} // namespace

TEST(Dll, ExportsEveryEntryPointByItsPlainName) {
    HMODULE dll = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(dll, nullptr);
    for (const char *name :
         {"dllglue_main", "dllglue_abort", "dllglue_setconsoleout", "dllglue_setconsoleerr",
          "dllglue_setconsoleexit", "dllglue_setconsolestart"})
        EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
    using Version = unsigned(BRACKWYN_CALL *)(void);
    const auto version =
        reinterpret_cast<Version>(reinterpret_cast<void *>(GetProcAddress(dll, "dllglue_version")));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), static_cast<unsigned>(BRACKWYN_VERSION));
#ifdef __GNUC__
    // Cbrackwyn's copy and move assignment, as this compiler names them.
    EXPECT_NE(GetProcAddress(dll, "_ZN9CbrackwynaSERKS_"), nullptr);
    EXPECT_NE(GetProcAddress(dll, "_ZN9CbrackwynaSEOS_"), nullptr);
#endif
    FreeLibrary(dll);
}

// A host that ships the DLL alone must not need any compiler runtime DLL.
TEST(Dll, ImportsOnlySystemLibraries) {
    HMODULE dll = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(dll, nullptr);
    for (const std::string &name : ImportedDlls(dll)) {
        const bool allowed = name == "KERNEL32.DLL" || name == "USER32.DLL" ||
                             name == "ADVAPI32.DLL" || name == "MSVCRT.DLL" ||
                             name.rfind("API-MS-WIN-CRT-", 0) == 0;
        EXPECT_TRUE(allowed) << "brackwyn.dll imports " << name;
    }
    FreeLibrary(dll);
}

// No worker of a run may still run library code once dllglue_main has
// returned: a host may unload the library at once.
TEST(Dll, HostMayUnloadTheLibraryRightAfterARun) {
    for (int round = 0; round < 20; ++round) {
        HMODULE dll = LoadLibraryA(DllPath().c_str());
        ASSERT_NE(dll, nullptr);
        Export<void (*)(ConsoleTextCallback)>(dll, "dllglue_setconsoleout")(CollectOut);
        Export<void (*)(ConsoleTextCallback)>(dll, "dllglue_setconsoleerr")(CollectOut);
        Export<void (*)(ConsoleExitCallback)>(dll, "dllglue_setconsoleexit")(CountExit);
        auto run =
            Export<int (*)(const char *, int, const char *const *, void *)>(dll, "dllglue_main");
        g_dllOut.clear();
        g_dllExits = 0;
        EXPECT_EQ(run(ChildCommand("both 20000 3").c_str(), 0, nullptr, nullptr), 1);
        EXPECT_EQ(g_dllOut.size(), 40000u);
        EXPECT_EQ(g_dllExits, 1);
        ASSERT_TRUE(FreeLibrary(dll));
    }
}

namespace {

// Runs this test program again in one of its helper modes and returns its
// exit code.
DWORD RunSelf(const std::string &mode, const std::string &argument) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string commandLine = "\"" + std::string(self) + "\" " + mode + " \"" + argument + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return static_cast<DWORD>(-1);
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

} // namespace

// A host that exits from a window handler in the middle of a run ends with
// its own exit code, and the run's processes go with it.
TEST(Dll, HostExitingDuringARunTakesTheChildTreeWithIt) {
    const std::string pidFile = RunnerFolder() + "exit-during-run.pid";
    DeleteFileA(pidFile.c_str());
    EXPECT_EQ(RunSelf("--mode=exit-during-run", pidFile), 17u);
    std::ifstream file(pidFile);
    DWORD pid = 0;
    file >> pid;
    file.close();
    DeleteFileA(pidFile.c_str());
    ASSERT_NE(pid, 0u);
    const ULONGLONG deadline = GetTickCount64() + 3000;
    while (ProcessAlive(pid) && GetTickCount64() < deadline)
        Sleep(20);
    EXPECT_FALSE(ProcessAlive(pid)) << "the grandchild outlived its host";
}

// --mode=exit-during-run <pid file>: runs a child whose grandchild holds the
// output for ever, writes the grandchild's id to the file, and exits with 17
// from a timer while dllglue_main still runs.
namespace {
std::atomic<DWORD> g_grandchildPid{0};
std::string g_pidFile;

void BRACKWYN_CALL NoteGrandchild(const char *text, size_t length, void *) {
    const std::string chunk(text, length);
    const size_t at = chunk.find("pid=");
    if (at != std::string::npos)
        g_grandchildPid = std::strtoul(chunk.c_str() + at + 4, nullptr, 10);
}

void CALLBACK ExitWhenTheGrandchildRuns(HWND, UINT, UINT_PTR, DWORD) {
    if (g_grandchildPid.load() == 0)
        return;
    std::ofstream(g_pidFile) << g_grandchildPid.load();
    ExitProcess(17);
}
} // namespace

int ExitDuringRunMode(const char *pidFile) {
    g_pidFile = pidFile;
    HMODULE dll = LoadLibraryA(DllPath().c_str());
    if (dll == nullptr)
        return 2;
    Export<void (*)(ConsoleTextCallback)>(dll, "dllglue_setconsoleout")(NoteGrandchild);
    SetTimer(nullptr, 0, 100, ExitWhenTheGrandchildRuns);
    Export<int (*)(const char *, int, const char *const *, void *)>(dll, "dllglue_main")(
        ChildCommand("grandchild-forever").c_str(), 0, nullptr, nullptr);
    return 3; // the run ended by itself: the exit never happened
}
