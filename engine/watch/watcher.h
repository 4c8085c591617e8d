// The run's watcher as a part: its thread, the port that is the one way its
// news reaches it (run_watch.h lists the packets), whether the job's own news
// arrives there too, the "finish reading" event it gives the readers, and
// whether the launch gave the run up.
//
// Who touches what:
//   the launching host thread  creates the event and the port before the
//                              run counts as launching, notes whether the
//                              job reports to the port, starts the thread
//                              last of the workers, and gives the run up
//                              when the launch fails;
//   the watcher thread         waits on the port, signals "finish reading",
//                              reads whether the job reports and whether the
//                              run was given up;
//   the reader threads         wait on "finish reading" and post their end
//                              to the port;
//   any thread (stops)         posts a termination or an ask to the port;
//                              waits for the thread through a copy of its
//                              handle taken under the release lock;
//   the system                 posts the job's messages to the port;
//   the releasing thread       closes everything, the release lock held,
//                              once the thread has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <utility>

#include "engine/os/scoped_handle.h"
#include "engine/os/syscalls.h"
#include "engine/os/worker_thread.h"
#include "engine/watch/run_watch.h"

class Watcher {
public:
    Watcher() = default;
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    // A new run: not given up, no job news yet.
    void Reset() {
        m_launchAbandoned = false;
        m_jobNews = false;
    }
    // The event, then the port; false when the system refused one.
    bool CreateEvents() {
        // Manual reset: every reader's wait after "finish reading" must see
        // it.
        m_finishReadingEvent.Reset(g_sys.createEvent(nullptr, TRUE, FALSE, nullptr));
        return m_finishReadingEvent.IsValid();
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
    // "Finish reading", signalled by the watcher once the run is over: each
    // reader takes what is still in its pipe, then stops, however long
    // others hold the pipe. Not the drain (drainMs), which is how long the
    // run waits for what the child left running.
    HANDLE FinishReadingEvent() const { return m_finishReadingEvent.Get(); }
    // The watcher's queue: the job's news (a process left, none is left),
    // each reader's end, a termination and an ask arrive here as packets.
    HANDLE Port() const { return m_port.Get(); }
    bool HasPort() const { return m_port.IsValid(); }

    // One packet of `kind`, once the port exists: a stop before it has
    // nothing to wake, the watcher not being started yet.
    void Post(PacketKind kind) {
        if (m_port.IsValid())
            PostQueuedCompletionStatus(m_port.Get(), 0, static_cast<ULONG_PTR>(kind), nullptr);
    }

    // Set by the launch once the job reports to the port with the child in
    // it: the child's end and the job's emptiness then come as packets.
    void NoteJobNews() { m_jobNews = true; }
    bool JobNews() const { return m_jobNews.load(); }
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
        m_finishReadingEvent.Close();
        m_port.Close();
        m_thread.Close();
    }

private:
    ScopedHandle m_thread;
    ScopedHandle m_finishReadingEvent;
    ScopedHandle m_port;
    std::atomic<bool> m_jobNews{false};
    std::atomic<bool> m_launchAbandoned{false};
};
