// Host-thread delivery's half per thread: a message-only window on a host
// thread that started runs with DLLGLUE_HOST_THREAD, and the scheduler of the
// turns in which that window hands the runs' text to their callbacks.
//
// Who touches what:
//   the host thread    creates the object and its window (through a run it
//                      starts), runs the turns from its own message dispatch,
//                      arms and kills the window's timers, destroys the
//                      window once its last run is gone;
//   readers, watchers  make sure a turn comes (Kick): one wake-up message at
//                      most is outstanding, not one per chunk;
//   any thread         adds and removes runs under HostDeliveryLock(); the
//                      last run's removal frees the object, on the host
//                      thread after its outermost turn when one is under way.
//
// Why turns: Windows hands out posted messages before input, WM_PAINT and
// WM_TIMER, so a wake-up posted for every chunk would starve the window. A
// turn delivers for about 10 ms, fairly over the ready runs; when work is
// left and the thread has input, paint or timer messages waiting, the next
// turn comes from a timer, which is retrieved after all of them.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

// What a turn asks of a run that delivers on this thread; the run's
// host-thread delivery (host_thread_delivery.h) is the one there is. Both
// calls are made with the lock held.
class TurnRun {
public:
    // Whether the run has an item to deliver now.
    virtual bool ReadyLocked() const = 0;
    // Takes the run's next item and calls its callback, the lock let go
    // meanwhile; false when there was none to take. May free the run (a close
    // from its own callback): the caller must not touch it afterwards.
    virtual bool DeliverNextLocked() = 0;

protected:
    ~TurnRun() = default;
};

// The one lock of host-thread delivery. Guards: the list of host threads;
// each HostThread's runs, turn depth and window; each attached run's queue,
// byte counts, completion and flags (host_thread_delivery.h). Held for a few
// instructions, never around a callback or a wait.
SRWLOCK &HostDeliveryLock();

class HostThread {
public:
    HostThread(const HostThread &) = delete;
    HostThread &operator=(const HostThread &) = delete;

    // Lock held. The calling thread's, made with its window when it has none
    // yet; null when the system refused a window or a handle.
    static HostThread *ForThisThread();

    // Lock held.
    void AddLocked(TurnRun *run);
    // Lock held. True when the caller must call Release() once it has let go
    // of the lock: the last run is gone and no turn is under way.
    bool RemoveLocked(TurnRun *run);
    // Lock not held: frees the object and its window.
    void Release();

    // Any thread, lock not held.
    void Kick();
    bool OnThread() const { return GetCurrentThreadId() == m_threadId; }
    // Signalled once the host thread has ended.
    HANDLE Thread() const { return m_thread; }

private:
    HostThread(DWORD threadId, HANDLE thread, HWND window)
        : m_threadId(threadId), m_thread(thread), m_window(window) {}
    ~HostThread();

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void RunTurn();
    bool HasWorkLocked() const;

    const DWORD m_threadId;
    // Owned: SYNCHRONIZE only, to tell a live thread from one that has
    // ended (and whose id the system may give to another).
    const HANDLE m_thread;
    const HWND m_window;
    // Under the lock.
    std::vector<TurnRun *> m_runs;
    int m_turnDepth = 0;
    unsigned m_rotate = 0;
    // A wake-up message or the turn timer is outstanding, or a turn is under
    // way: no other wake-up is posted meanwhile.
    std::atomic<bool> m_wakePending{false};
    // When the outstanding wake-up was posted or the timer armed
    // (GetTickCount64).
    std::atomic<unsigned long long> m_wokenAt{0};
};
