// A stop that asks first: Ctrl+C to the run's console, WM_CLOSE to the
// windows of its processes and the end of its input; the tree is terminated
// only if it has not ended when the grace runs out.
//
// The host's thread only records the request (dllglue_runstop returns at
// once); the run's watcher does the asking and keeps the deadline. Requests
// may come from any number of threads: the first one starts the stop, later
// ones may bring the deadline closer, never push it back.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "engine/os/scoped_handle.h"

class StagedStop {
public:
    // Made with the run's first launch and kept for its later ones; false
    // when the system refused.
    bool Create();
    // A new run: nothing requested yet.
    void Reset();

    // Records a request for the run to end within `graceMs` and wakes the
    // watcher.
    void Request(DWORD graceMs);
    bool Requested() const { return m_requested.load(); }
    // True once, for the caller that is to do the asking.
    bool TakeAsk() { return m_requested.load() && !m_asked.exchange(true); }
    // Milliseconds left in the grace; INFINITE while no stop was requested.
    DWORD UntilDeadline() const;

    // Auto-reset: signalled at every request, for the watcher.
    HANDLE WakeEvent() const { return m_wake.Get(); }

    // Asks the processes of `job` to end: Ctrl+C to the console of the
    // first of `processes` that has one, WM_CLOSE to every top-level window
    // any of them owns. Returns at once; the caller may close the handles.
    static void AskToEnd(HANDLE job, const std::vector<HANDLE> &processes);

private:
    std::atomic<bool> m_requested{false};
    std::atomic<bool> m_asked{false};
    static constexpr ULONGLONG kNoDeadline = ~0ULL;
    // A GetTickCount64 value.
    std::atomic<ULONGLONG> m_deadline{kNoDeadline};
    ScopedHandle m_wake;
};
