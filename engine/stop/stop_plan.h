// A stop as a plan of steps: ask the tree to end, wait a grace, terminate.
// A graceful stop (dllglue_runstop, a time limit with a grace) plans all
// three; an abort (the time limit without one, the unload step, a launch
// undone) terminates at once, which leaves no later step due. How the steps
// are carried out is elsewhere: the asking in ask_to_end.h, the termination
// in stop.cpp; the drain's wait and termination are the watcher's
// (run_watch.h).
//
// Requests may come from any number of threads: the first graceful one
// starts the plan, later ones may bring the termination closer, never push
// it back, and of two at once the nearer wins. The watcher takes the ask
// and keeps the deadline.
//
// Who touches what:
//   the launching host thread  resets it before the run counts as
//                              launching, clears the termination under the
//                              run's release lock and reads it there;
//   any thread (stops)         plans a stop, under the release lock;
//   the watcher thread         takes the ask, reads the deadline, plans the
//                              time limit's stop.
// Every field is an atomic written whole.
#pragma once

#include <windows.h>

#include <atomic>

class StopPlan {
public:
    static constexpr ULONGLONG kNoDeadline = ~0ULL;

    StopPlan() = default;
    StopPlan(const StopPlan &) = delete;
    StopPlan &operator=(const StopPlan &) = delete;

    // A new run: nothing planned. The termination is cleared apart, under
    // the release lock.
    void Reset() {
        m_askRequested = false;
        m_asked = false;
        m_deadline = kNoDeadline;
    }

    // Ask now, terminate `graceMs` after `now` (a GetTickCount64 value)
    // unless the tree has ended: a later request only ever brings the
    // termination closer.
    void AskThenTerminate(ULONGLONG now, DWORD graceMs) {
        const ULONGLONG deadline = now + graceMs;
        ULONGLONG current = m_deadline.load();
        while (deadline < current && !m_deadline.compare_exchange_weak(current, deadline)) {
        }
        m_askRequested = true;
    }
    // Terminate at once; the caller does it. No ask or grace is due after.
    void TerminateNow() { m_terminating = true; }
    void ClearTermination() { m_terminating = false; }
    bool Terminating() const { return m_terminating.load(); }

    // Whether a graceful stop was asked for, as the result reports it.
    bool AskRequested() const { return m_askRequested.load(); }
    // True once, for the caller that is to do the asking.
    bool TakeAsk() { return m_askRequested.load() && !m_asked.exchange(true); }
    // When the grace ends; kNoDeadline while no graceful stop is planned.
    ULONGLONG Deadline() const { return m_deadline.load(); }
    // Whether the plan's own termination is due at `now`: the grace has
    // ended and no termination came first, which would have ended the tree
    // already.
    bool TerminationDue(ULONGLONG now) const {
        const ULONGLONG deadline = m_deadline.load();
        return !m_terminating && deadline != kNoDeadline && now >= deadline;
    }

private:
    std::atomic<bool> m_askRequested{false};
    std::atomic<bool> m_asked{false};
    std::atomic<bool> m_terminating{false};
    std::atomic<ULONGLONG> m_deadline{kNoDeadline};
};
