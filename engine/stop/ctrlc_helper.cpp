#include "engine/stop/ctrlc_helper.h"

#include <windows.h>

#include <cstdlib>

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

} // namespace

bool RaiseCtrlCInConsoleOf(const char *processIds) {
    g_delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_delivered == nullptr || processIds == nullptr)
        return false;
    // A host that ignores Ctrl+C passes that on to the processes it starts;
    // the helper must see its own copy arrive, so it takes the events back
    // and ignores them through its handler instead.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(NoteDelivery, TRUE);
    FreeConsole();
    bool attached = false;
    for (const char *cursor = processIds; !attached && *cursor != '\0';) {
        char *end = nullptr;
        const unsigned long id = std::strtoul(cursor, &end, 10);
        if (end == cursor)
            break;
        cursor = end;
        // A process of the run that has ended meanwhile refuses; the next
        // one may still be there.
        attached = id != 0 && AttachConsole(static_cast<DWORD>(id)) != FALSE;
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
