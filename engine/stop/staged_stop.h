// A stop that asks first: Ctrl+C to the run's console, WM_CLOSE to the
// windows of its processes and the end of its input; the tree is terminated
// only if it has not ended when the grace runs out.
//
// The host's thread only records the request (dllglue_runstop returns at
// once) and posts the watcher one packet; the run's watcher does the asking
// and keeps the deadline. Requests
// may come from any number of threads: the first one starts the stop, later
// ones may bring the deadline closer, never push it back.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

class StagedStop {
public:
    // A new run: nothing requested yet.
    void Reset();

    // Records a request for the run to end within `graceMs`; the caller
    // tells the watcher.
    void Request(DWORD graceMs);
    bool Requested() const { return m_requested.load(); }
    // True once, for the caller that is to do the asking.
    bool TakeAsk() { return m_requested.load() && !m_asked.exchange(true); }
    // The GetTickCount64 value the grace ends at; kNoDeadline while no stop
    // was requested.
    static constexpr ULONGLONG kNoDeadline = ~0ULL;
    ULONGLONG Deadline() const { return m_deadline.load(); }

    // Asks the processes of `job` to end: Ctrl+C to the console of the
    // first of `processes` that has one, WM_CLOSE to every top-level window
    // any of them owns. Returns at once; the caller may close the handles.
    static void AskToEnd(HANDLE job, const std::vector<HANDLE> &processes);

private:
    std::atomic<bool> m_requested{false};
    std::atomic<bool> m_asked{false};
    std::atomic<ULONGLONG> m_deadline{kNoDeadline};
};
