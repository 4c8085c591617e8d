// dllglue_main: one blocking run that keeps the host's window messages
// flowing while the child runs.
#include "engine/redirect.h"
#include "glue/last_error.h"
#include "glue/pump.h"

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

// dllglue_main's message filter; null: none.
std::atomic<ConsoleMessageFilter> g_messageFilter{nullptr};

int RunToEnd(const char *command, int argc, const char *const *argv, void *userValue) {
    const LaunchCommand launch = ComposeLaunchCommand(command, argc, argv);
    g_redir.m_userValue = userValue;
    if (!g_redir.LaunchChild(launch)) {
        NoteMainFailure(launch.display, launch.refusal, g_redir.LaunchError(), launch.application);
        return 0;
    }
    NoteMainStarted();
    try {
        PumpUntilFinished(g_redir.FinishedFlag(), g_redir.WatcherThread(), INFINITE,
                          g_messageFilter.load(), userValue);
    } catch (...) {
        // The host's filter or one of its window procedures threw. The run
        // must not outlive this call: the host may free `user` or unload
        // the library once it returns. It is stopped, its completion is
        // delivered, and its threads have ended before the failure is
        // reported the way every other one is, as 0.
        g_redir.StopRun();
        g_redir.WaitForWatcher(INFINITE);
        g_redir.FinishRun();
        return 0;
    }
    return g_redir.FinishRun();
}

} // namespace

extern "C" BRACKWYN_API int BRACKWYN_CALL dllglue_main(const char *command, int argc,
                                                       const char *const *argv, void *userValue) {
    RunGuard guard;
    if (!guard.Acquired())
        return 0;
    // No exception crosses into the host; running out of memory for the
    // command line is a run that did not start, and a run whose pump threw
    // has been ended before this returns.
    try {
        return RunToEnd(command, argc, argv, userValue);
    } catch (...) {
        return 0;
    }
}

extern "C" BRACKWYN_API void BRACKWYN_CALL dllglue_setmessagefilter(ConsoleMessageFilter filter) {
    g_messageFilter = filter;
}
