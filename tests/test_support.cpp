#include "test_support.h"

#include <winternl.h>

#include <gtest/gtest.h>

#include <atomic>

#include "child/handle_count.h"
#include "child/stream.h"
#include "engine/os/syscalls.h"

namespace {

std::mutex g_recordLock;
Recording *g_current = nullptr;

// Appends one chunk to the text and sizes of one stream of the run that
// `user` records; chunks of an earlier run that is long over are dropped.
void RecordChunk(std::string Recording::*text, std::vector<size_t> Recording::*sizes,
                 const char *chunk, size_t length, void *user) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    auto *record = static_cast<Recording *>(user);
    if (record == nullptr || record != g_current)
        return;
    (record->*text).append(chunk, length);
    (record->*sizes).push_back(length);
    record->textAfterExit |= record->exitCalls > 0;
    record->badTerminator |= chunk[length] != '\0';
}

void BRACKWYN_CALL RecordStdout(const char *text, size_t length, void *user) {
    RecordChunk(&Recording::out, &Recording::outChunkSizes, text, length, user);
}

void BRACKWYN_CALL RecordStderr(const char *text, size_t length, void *user) {
    RecordChunk(&Recording::err, &Recording::errChunkSizes, text, length, user);
}

void BRACKWYN_CALL RecordExit(int stderrSeen, void *user) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    auto *record = static_cast<Recording *>(user);
    if (record == nullptr || record != g_current)
        return;
    ++record->exitCalls;
    record->stderrSeen = stderrSeen;
}

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto handler = reinterpret_cast<TestWindow::Handler>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (handler != nullptr)
        return handler(window, message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

std::atomic<const char *> g_failedCall{nullptr};
std::atomic<DWORD> g_failedCallError{0};

template <const char *Name, auto Entry, typename R, typename... A> R Watched(A... args) {
    const R result = (RealSysCalls().*Entry)(args...);
    if (result == FailureOf<R>()) {
        g_failedCallError = GetLastError();
        g_failedCall = Name;
    }
    return result;
}

template <const char *Name, auto Entry, typename R, typename... A>
void Watch(R (*SysCalls::*)(A...)) {
    g_sys.*Entry = &Watched<Name, Entry, R, A...>;
}

constexpr char kCreateNamedPipe[] = "CreateNamedPipe";
constexpr char kCreateFile[] = "CreateFile";
constexpr char kCreateIoCompletionPort[] = "CreateIoCompletionPort";
constexpr char kCreateEvent[] = "CreateEvent";
constexpr char kCreateProcess[] = "CreateProcess";
constexpr char kCreateThread[] = "CreateThread";
constexpr char kResumeThread[] = "ResumeThread";

} // namespace

void WatchLaunchCalls() {
    Watch<kCreateNamedPipe, &SysCalls::createNamedPipe>(&SysCalls::createNamedPipe);
    Watch<kCreateFile, &SysCalls::createFile>(&SysCalls::createFile);
    Watch<kCreateIoCompletionPort, &SysCalls::createIoCompletionPort>(
        &SysCalls::createIoCompletionPort);
    Watch<kCreateEvent, &SysCalls::createEvent>(&SysCalls::createEvent);
    Watch<kCreateProcess, &SysCalls::createProcess>(&SysCalls::createProcess);
    Watch<kCreateThread, &SysCalls::createThread>(&SysCalls::createThread);
    Watch<kResumeThread, &SysCalls::resumeThread>(&SysCalls::resumeThread);
}

std::string RunnerFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string ChildCommand(const std::string &modeAndWords) {
    return "\"" + RunnerFolder() + "bw_child.exe\" " + modeAndWords;
}

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void RegisterRecordingCallbacks() {
    dllglue_setconsoleout(RecordStdout);
    dllglue_setconsoleerr(RecordStderr);
    dllglue_setconsoleexit(RecordExit);
}

std::string ExpectedStream(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(bw_stream_byte(i, seed));
    return bytes;
}

std::string EncodedArgv(const std::vector<std::string> &args) {
    std::string encoded;
    for (const std::string &arg : args)
        encoded += std::to_string(arg.size()) + ":" + arg + "\n";
    return encoded;
}

std::vector<const char *> ArgvOf(const std::vector<std::string> &args) {
    std::vector<const char *> argv;
    for (const std::string &arg : args)
        argv.push_back(arg.c_str());
    return argv;
}

Recording RunRecorded(const std::string &command, const std::vector<std::string> &args) {
    const std::vector<const char *> argv = ArgvOf(args);
    return RunRecordedRaw(command.c_str(), static_cast<int>(argv.size()),
                          argv.empty() ? nullptr : argv.data());
}

Recording RunRecordedRaw(const char *command, int argc, const char *const *argv) {
    Recording record;
    {
        std::lock_guard<std::mutex> lock(g_recordLock);
        g_current = &record;
    }
    RegisterRecordingCallbacks();
    g_failedCall = nullptr;
    const ULONGLONG start = GetTickCount64();
    const int result = dllglue_main(command, argc, argv, &record);
    if (const char *failed = g_failedCall.load())
        record.launchFailure =
            std::string(failed) + " failed with error " + std::to_string(g_failedCallError.load());
    std::lock_guard<std::mutex> lock(g_recordLock);
    record.elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
    record.result = result;
    g_current = nullptr;
    return record;
}

int OpenHandleCount() {
    return bw_count_handles();
}

std::map<std::string, int> OpenHandleTypes() {
    // ObjectTypeInformation answers with a UNICODE_STRING naming the type,
    // its characters following in the same buffer.
    using QueryObject = NTSTATUS(NTAPI *)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryObject>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    std::map<std::string, int> types;
    for (ULONG_PTR value = 4; value <= 0xFFFC; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags))
            continue;
        alignas(8) unsigned char buffer[512] = {};
        ULONG length = 0;
        std::string name = "(unnamed)";
        if (query != nullptr &&
            query(handle, ObjectTypeInformation, buffer, sizeof(buffer) - 2, &length) >= 0) {
            const auto *type = reinterpret_cast<const UNICODE_STRING *>(buffer);
            name.clear();
            for (USHORT i = 0; i < type->Length / 2; ++i)
                name += static_cast<char>(type->Buffer[i] < 0x80 ? type->Buffer[i] : '?');
        }
        ++types[name];
    }
    return types;
}

std::string HandleGrowth(const std::map<std::string, int> &before,
                         const std::map<std::string, int> &after) {
    std::string growth;
    for (const auto &[type, count] : after) {
        const auto old = before.find(type);
        const int grown = count - (old == before.end() ? 0 : old->second);
        if (grown > 0)
            growth += (growth.empty() ? "" : ", ") + type + " +" + std::to_string(grown);
    }
    return growth;
}

bool ProcessAlive(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

TestWindow::TestWindow(Handler handler) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = TestWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "brackwyn-test-window";
    RegisterClassA(&windowClass); // fails harmlessly when already registered
    m_window = CreateWindowA("brackwyn-test-window", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             windowClass.hInstance, nullptr);
    SetWindowLongPtrA(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler));
}

TestWindow::~TestWindow() {
    DestroyWindow(m_window);
}

ConsoleRunResult ResultOf(ConsoleRun *run) {
    ConsoleRunResult result{};
    result.size = sizeof(result);
    EXPECT_EQ(dllglue_runresult(run, &result), DLLGLUE_OK);
    return result;
}
