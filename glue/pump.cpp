#include "glue/pump.h"

namespace {

// The pump takes a WM_QUIT off the queue like any message. The host's own
// loop still has to see it, or the host would never end: it is posted again,
// with its exit code, once the wait is over.
class QuitKeeper {
public:
    void Saw(const MSG &message) {
        if (message.message == WM_QUIT) {
            m_seen = true;
            m_exitCode = static_cast<int>(message.wParam);
        }
    }
    ~QuitKeeper() {
        if (m_seen)
            PostQuitMessage(m_exitCode);
    }

private:
    bool m_seen = false;
    int m_exitCode = 0;
};

void ShowBusyCursor() {
    // IDC_APPSTARTING: the arrow with the hourglass, "working in the
    // background, you may go on".
    SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32650)));
}

// Gives the host its cursor back however the wait ends, also when the
// host's filter or a window procedure throws through it.
class CursorKeeper {
public:
    CursorKeeper() : m_hostCursor(GetCursor()) {}
    ~CursorKeeper() { SetCursor(m_hostCursor); }
    CursorKeeper(const CursorKeeper &) = delete;
    CursorKeeper &operator=(const CursorKeeper &) = delete;

private:
    HCURSOR m_hostCursor;
};

DWORD MillisecondsLeft(ULONGLONG deadline, DWORD timeoutMs) {
    if (timeoutMs == INFINITE)
        return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

} // namespace

// MWMO_INPUTAVAILABLE wakes the wait for input that an earlier peek has seen
// but left queued; messages sent from other threads (a callback sending to a
// host window) are delivered by the wait and by the peeks. Checking the end
// between messages keeps a host that floods its own queue from holding the
// wait open.
bool PumpUntilFinished(const std::atomic<int> &finished, HANDLE watcher, DWORD timeoutMs,
                       ConsoleMessageFilter filter, void *user) {
    QuitKeeper quit;
    CursorKeeper cursor;
    const ULONGLONG deadline = GetTickCount64() + (timeoutMs == INFINITE ? 0 : timeoutMs);
    while (finished.load() == 0) {
        const DWORD left = MillisecondsLeft(deadline, timeoutMs);
        if (left == 0)
            break;
        ShowBusyCursor();
        const DWORD woke =
            MsgWaitForMultipleObjectsEx(1, &watcher, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_FAILED)
            Sleep(1); // never spin, whatever went wrong with the wait
        MSG message;
        // The wide calls: the system converts for ANSI windows, while the
        // ANSI calls would turn every character a Unicode window gets from
        // outside the ANSI code page into '?'.
        while (finished.load() == 0 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            quit.Saw(message);
            if (filter != nullptr && filter(&message, user) != 0)
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return finished.load() != 0;
}
