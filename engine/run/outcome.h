// How far a run has got and how it ended: the one answer to "is the run
// over?". The end (its state and the child's exit code) is published once,
// whole, before the phase says so; whoever sees the run over reads an end
// that no longer changes.
//
// Who touches what:
//   the launching thread  resets it for a new run before anything of the run
//                         exists, marks the launch begun and the child let go;
//   the watcher thread    publishes the end, then marks the run finished once
//                         the host has been told;
//   the releasing thread  returns a run that never got an end to idle;
//   any thread            reads the phase, the end and the finished flag, all
//                         atomics.
#pragma once

#include <windows.h>

#include <atomic>

#include "brackwyn.h"

class RunOutcome {
public:
    RunOutcome() = default;
    RunOutcome(const RunOutcome &) = delete;
    RunOutcome &operator=(const RunOutcome &) = delete;

    // A new run: idle, no end, not finished. Before any of the run's threads
    // exists, so nothing races it.
    void Reset() {
        m_phase = kIdle;
        m_endState = DLLGLUE_RUNNING;
        m_exitCode = 0;
        m_finished = 0;
    }
    void BeginLaunch() { m_phase = kLaunching; }
    // The child was let go. A run whose end was already published (a stop
    // during the launch) stays over.
    void MarkRunning() {
        int expected = kLaunching;
        m_phase.compare_exchange_strong(expected, kRunning);
    }
    // The end, once: the state and the exit code first, then the phase.
    void Publish(int endState, unsigned long exitCode) {
        m_endState = endState;
        m_exitCode = exitCode;
        m_phase = kOver;
    }
    // The host has been told of the end (or was never to be).
    void MarkFinished() { m_finished = 1; }
    // The run's handles are gone. An end that was published is kept for the
    // result; a launch that never got one leaves nothing running.
    // Called once every worker of the run has ended.
    void Release() {
        if (m_phase.load() != kOver)
            m_phase = kIdle;
    }

    bool Launching() const { return m_phase.load() == kLaunching; }
    // From the start of the launch until the end is published.
    bool Active() const {
        const int phase = m_phase.load();
        return phase == kLaunching || phase == kRunning;
    }
    bool Over() const { return m_phase.load() == kOver; }
    // The end; final once Over() has been seen true, DLLGLUE_RUNNING and 0
    // before it is published.
    int EndState() const { return m_endState.load(); }
    unsigned long ExitCode() const { return m_exitCode.load(); }
    // Nonzero once the watcher is done with the host: what a pumping wait
    // watches.
    const std::atomic<int> &Finished() const { return m_finished; }

private:
    enum : int { kIdle, kLaunching, kRunning, kOver };
    std::atomic<int> m_phase{kIdle};
    std::atomic<int> m_endState{DLLGLUE_RUNNING};
    std::atomic<unsigned long> m_exitCode{0};
    std::atomic<int> m_finished{0};
};
