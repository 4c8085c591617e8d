// How the run is being stopped, and what the stops found: the stop's plan
// (stop_plan.h: the ask, its grace, whether a termination was asked for),
// whether the time
// limit or a stop ended the child itself, how many of its leftovers were
// ended, and whether the end is already being settled.
//
// Who touches what:
//   the launching host thread  resets it before the run counts as
//                              launching, clears the termination under the
//                              run's release lock, and reads it under that
//                              lock before it lets the child run;
//   the watcher thread         keeps the plan's deadline and does its
//                              asking, marks the time limit, the end being
//                              settled, and reads all of it when it fixes
//                              the end;
//   any thread (stops)         plans a termination or a graceful stop and
//                              notes what its termination found, under the
//                              release lock (all but the unload step's);
//                              reads the counts for the result.
// Every field is an atomic written whole; the release lock orders the
// decisions, not the reads.
#pragma once

#include <windows.h>

#include <atomic>

#include "engine/stop/stop_plan.h"

// What the run's own time limit does once it has passed.
enum class TimeLimitStep {
    // A termination came first: the tree is ended already.
    kEnded,
    // No grace: terminate the tree now.
    kTerminate,
    // A grace: the tree is asked to end first, as a graceful stop does.
    kAskFirst,
};

class RunStop {
public:
    RunStop() = default;
    RunStop(const RunStop &) = delete;
    RunStop &operator=(const RunStop &) = delete;

    // A new run, before it counts as launching: nothing asked for, nothing
    // found. The termination is cleared apart, under the release lock.
    void Reset() {
        m_timedOut = false;
        m_settling = false;
        m_childTerminated = false;
        m_leftovers = 0;
        m_plan.Reset();
    }

    StopPlan &Plan() { return m_plan; }
    const StopPlan &Plan() const { return m_plan; }

    // A stop that terminates (an abort, the time limit, the unload step, a
    // launch undone): the launch reads it before it lets the child run, and
    // a later grace or drain leaves the tree to it.
    void RequestTermination() { m_plan.TerminateNow(); }
    void ClearTermination() { m_plan.ClearTermination(); }
    bool TerminationRequested() const { return m_plan.Terminating(); }

    // The time limit has passed at `now`; `graceMs` 0 for none. The run is
    // timed out either way when the limit found the child itself running;
    // one that had ended by itself keeps that end, and what the limit
    // terminates of what it left running is counted as left over. Called
    // under the release lock, which orders it with the other stops.
    TimeLimitStep PlanTimeLimit(bool childRunning, ULONGLONG now, DWORD graceMs) {
        if (TerminationRequested())
            return TimeLimitStep::kEnded;
        if (childRunning)
            m_timedOut = true;
        if (graceMs == 0)
            return TimeLimitStep::kTerminate;
        m_plan.AskThenTerminate(now, graceMs);
        return TimeLimitStep::kAskFirst;
    }
    // The run's own time limit stopped it while the child itself was still
    // running.
    bool TimedOut() const { return m_timedOut.load(); }

    // A stop found the child itself still running (or not yet let go) and
    // ended it; a stop after the child ended leaves it clear.
    void MarkChildTerminated() { m_childTerminated = true; }
    bool ChildTerminated() const { return m_childTerminated.load(); }

    // Processes terminated after the child's own end: by the drain, a stop
    // or the time limit. The most any of the run's terminations found: a
    // later one may still see a process that an earlier one ended and that
    // is dying.
    void NoteLeftovers(int count) {
        int counted = m_leftovers.load();
        while (count > counted && !m_leftovers.compare_exchange_weak(counted, count)) {
        }
    }
    int Leftovers() const { return m_leftovers.load(); }

    // The watcher has left its loops: from then on a stop asks nothing.
    void MarkSettling() { m_settling = true; }
    bool Settling() const { return m_settling.load(); }

private:
    StopPlan m_plan;
    std::atomic<bool> m_timedOut{false};
    std::atomic<bool> m_childTerminated{false};
    std::atomic<int> m_leftovers{0};
    std::atomic<bool> m_settling{false};
};
