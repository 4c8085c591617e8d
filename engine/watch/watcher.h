// The run's watcher as a part: its thread, the port its news arrives on,
// the event a stop wakes it with, the "finish reading" event it gives the
// readers, and whether the launch gave the run up.
//
// Who touches what:
//   the launching host thread  creates the events and the port before the
//                              run counts as launching, starts the thread
//                              last of the workers, and gives the run up
//                              when the launch fails;
//   the watcher thread         waits on the stop event and the port, signals
//                              "finish reading", reads whether the run was
//                              given up;
//   the reader threads         wait on "finish reading" and post their end
//                              to the port;
//   any thread (stops)         signals the stop event and posts to the port;
//                              waits for the thread through a copy of its
//                              handle taken under the release lock;
//   the releasing thread       closes everything, the release lock held,
//                              once the thread has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <utility>

#include "engine/os/scoped_handle.h"
#include "engine/os/syscalls.h"
#include "engine/os/worker_thread.h"

class Watcher {
public:
    // Packet keys on the port.
    static constexpr ULONG_PTR kJobKey = 1;
    static constexpr ULONG_PTR kReaderEndedKey = 2;
    static constexpr ULONG_PTR kStopKey = 3;
    static constexpr ULONG_PTR kStopAskedKey = 4;

    Watcher() = default;
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    // A new run: not given up.
    void Reset() { m_launchAbandoned = false; }
    // The events, then the port; false when the system refused one.
    bool CreateEvents() {
        // Manual reset: every wait after a stop or "finish reading" must
        // see it.
        m_stopEvent.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
        m_finishReadingEvent.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
        return m_stopEvent.IsValid() && m_finishReadingEvent.IsValid();
    }
    bool CreatePort() {
        // A port of its own, serving one thread: the watcher.
        m_port.Reset(g_sys.createIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        return m_port.IsValid();
    }
    // Starts `procedure(run)` as the watcher, which calls the run's
    // WatchRun.
    bool Start(LPTHREAD_START_ROUTINE procedure, void *run) {
        m_thread.Reset(StartWorkerThread(procedure, run));
        return m_thread.IsValid();
    }

    // Null until the thread was started.
    HANDLE Thread() const { return m_thread.Get(); }
    bool HasThread() const { return m_thread.IsValid(); }
    bool OnThread(DWORD threadId) const {
        return m_thread.IsValid() && GetThreadId(m_thread.Get()) == threadId;
    }
    // Signalled by a stop so that the watcher stops waiting for the child.
    HANDLE StopEvent() const { return m_stopEvent.Get(); }
    // "Finish reading", signalled by the watcher once the run is over: each
    // reader takes what is still in its pipe, then stops, however long
    // others hold the pipe. Not the drain (drainMs), which is how long the
    // run waits for what the child left running.
    HANDLE FinishReadingEvent() const { return m_finishReadingEvent.Get(); }
    // The watcher's queue: the job's news (a process left, none is left),
    // each reader's end and a stop arrive here as packets.
    HANDLE Port() const { return m_port.Get(); }
    bool HasPort() const { return m_port.IsValid(); }

    // A stop: wakes the watcher, whichever of the objects exist yet.
    void SignalStop() {
        if (m_stopEvent.IsValid())
            SetEvent(m_stopEvent.Get());
        if (m_port.IsValid())
            PostQueuedCompletionStatus(m_port.Get(), 0, kStopKey, nullptr);
    }
    // A graceful stop was asked for: the watcher waits on the port once the
    // child has ended.
    void PostStopAsked() {
        if (m_port.IsValid())
            PostQueuedCompletionStatus(m_port.Get(), 0, kStopAskedKey, nullptr);
    }
    void PostReaderEnded() {
        PostQueuedCompletionStatus(m_port.Get(), 0, kReaderEndedKey, nullptr);
    }
    void FinishReading() {
        if (m_finishReadingEvent.IsValid())
            SetEvent(m_finishReadingEvent.Get());
    }

    // Set when a launch fails after its workers started: the watcher then
    // reports no end, since for the host the run never began.
    void Abandon() { m_launchAbandoned = true; }
    bool Abandoned() const { return m_launchAbandoned.load(); }

    // The release lock held, the thread ended or never started.
    void Release() {
        m_stopEvent.Close();
        m_finishReadingEvent.Close();
        m_port.Close();
        m_thread.Close();
    }

private:
    ScopedHandle m_thread;
    ScopedHandle m_stopEvent;
    ScopedHandle m_finishReadingEvent;
    ScopedHandle m_port;
    std::atomic<bool> m_launchAbandoned{false};
};
