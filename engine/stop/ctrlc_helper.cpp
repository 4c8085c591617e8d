#include "engine/stop/ctrlc_helper.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

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

// One handle value in decimal at `cursor`, which moves past it; false when
// there is none.
bool NextHandle(const char *&cursor, HANDLE &handle) {
    char *end = nullptr;
    const unsigned long long value = std::strtoull(cursor, &end, 10);
    if (end == cursor)
        return false;
    cursor = end;
    handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    return true;
}

// A run without a job (the host's own job forbade one) hands over its child
// alone, in the console that was made for it: that is the run's.
bool InJob(HANDLE process, HANDLE job) {
    BOOL inJob = FALSE;
    return job == nullptr || (IsProcessInJob(process, job, &inJob) && inJob);
}

// Whether the console this process has just attached to holds no process
// outside the run: Ctrl+C goes to every process of a console, and one the
// run does not own (a terminal a descendant attached to, say) must never get
// it.
bool OnlyTheRunsConsole(HANDLE job) {
    if (job == nullptr)
        return true;
    std::vector<DWORD> ids(16);
    DWORD count = 0;
    for (;;) {
        count = GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()));
        if (count <= ids.size())
            break;
        ids.resize(count);
    }
    if (count == 0)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        if (ids[i] == GetCurrentProcessId())
            continue;
        // Attached, so its id cannot have passed to another process.
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ids[i]);
        const bool ours = process != nullptr && InJob(process, job);
        if (process != nullptr)
            CloseHandle(process);
        if (!ours)
            return false;
    }
    return true;
}

} // namespace

bool RaiseCtrlCInConsoleOf(const char *arguments) {
    g_delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static const char kJob[] = "job=";
    if (g_delivered == nullptr || arguments == nullptr)
        return false;
    const char *cursor = std::strstr(arguments, kJob);
    if (cursor == nullptr)
        return false;
    cursor += sizeof(kJob) - 1;
    HANDLE job = nullptr;
    if (!NextHandle(cursor, job))
        return false;
    // A host that ignores Ctrl+C passes that on to the processes it starts;
    // the helper must see its own copy arrive, so it takes the events back
    // and ignores them through its handler instead.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(NoteDelivery, TRUE);
    FreeConsole();
    bool attached = false;
    HANDLE process = nullptr;
    while (!attached && NextHandle(cursor, process)) {
        // The handle, held since before the helper started, keeps the id
        // from passing to another process; one that has ended, or that is
        // no process of the run, is skipped for the next.
        const DWORD id = GetProcessId(process);
        if (id == 0 || WaitForSingleObject(process, 0) != WAIT_TIMEOUT || !InJob(process, job) ||
            !AttachConsole(id))
            continue;
        attached = OnlyTheRunsConsole(job);
        if (!attached)
            FreeConsole();
    }
    // Delivery is asynchronous: a helper that stopped ignoring the event
    // before its own copy came would be hit by it.
    const bool raised = attached && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
    if (raised)
        WaitForSingleObject(g_delivered, kDeliveryWaitMs);
    if (attached)
        FreeConsole();
    return raised;
}
