// dllglue_main: one blocking run that keeps the host's window messages
// flowing while the child runs.
#include "engine/redirect.h"

#include <atomic>
#include <string>

namespace {

// One run at a time. A second call, say from a button handler that the pump
// loop dispatches, is refused instead of tearing the run in progress apart.
std::atomic<bool> g_inMain{false};

class RunGuard {
public:
    RunGuard() : m_acquired(!g_inMain.exchange(true)) {}
    ~RunGuard() {
        if (m_acquired)
            g_inMain = false;
    }
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;
    bool Acquired() const { return m_acquired; }

private:
    bool m_acquired;
};

// The pump loop takes a WM_QUIT off the queue like any message. The host's own
// loop still has to see it, or the host would never end: it is posted again,
// with its exit code, once the run is over.
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

// Dispatches the calling thread's messages until the watcher has reported
// the end of the run. It sleeps in MsgWaitForMultipleObjectsEx between
// messages instead of polling, so a run costs the host no processor time.
// MWMO_INPUTAVAILABLE wakes it for input that an earlier peek has seen but
// left queued; messages sent from other threads (a callback sending to a host
// window) are delivered by the wait and by the peeks.
void PumpUntilFinished(HANDLE watcher, QuitKeeper &quit) {
    while (g_redir.m_finished.load() == 0) {
        ShowBusyCursor();
        if (MsgWaitForMultipleObjectsEx(1, &watcher, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
            WAIT_FAILED)
            Sleep(1); // never spin, whatever went wrong with the wait
        MSG message;
        // Checking the end between messages keeps a host that floods its own
        // queue from holding the run open.
        // The wide calls: the system converts for ANSI windows, while the
        // ANSI calls would turn every character a Unicode window gets from
        // outside the ANSI code page into '?'.
        while (g_redir.m_finished.load() == 0 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            quit.Saw(message);
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

int RunToEnd(const char *command, int argc, const char *const *argv, void *userValue) {
    const LaunchCommand launch = ComposeLaunchCommand(command, argc, argv);
    g_redir.m_userValue = userValue;
    if (!g_redir.LaunchChild(launch))
        return 0;
    QuitKeeper quit;
    // The host's cursor comes back when the run is over.
    const HCURSOR hostCursor = GetCursor();
    PumpUntilFinished(g_redir.m_watchThread.Get(), quit);
    const int result = g_redir.FinishRun();
    SetCursor(hostCursor);
    return result;
}

} // namespace

extern "C" BRACKWYN_API int BRACKWYN_CALL dllglue_main(const char *command, int argc,
                                                       const char *const *argv, void *userValue) {
    RunGuard guard;
    if (!guard.Acquired())
        return 0;
    // No exception crosses into the host; running out of memory for the
    // command line is a run that did not start.
    try {
        return RunToEnd(command, argc, argv, userValue);
    } catch (...) {
        return 0;
    }
}
