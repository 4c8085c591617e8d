// Host-thread delivery's half per run: the run's queue of text not yet
// delivered, with its byte budget per stream, and the completion waiting
// behind it. The run's callbacks are called on the thread that started it,
// from its window's turns (host_thread.h) or from a wait on that thread.
//
// Who touches what (every field below under HostDeliveryLock()):
//   the launching thread  attaches the run to its own HostThread before the
//                         workers start;
//   the readers           queue chunks, ask the budget, wait for room;
//   the watcher           queues the completion and waits until the host
//                         thread has called it (or nothing more is to be
//                         delivered), so that a wait from another thread
//                         returns after the completion callback;
//   the host thread       takes items and calls the callbacks, one at a
//                         time per run, never nested within the run's own;
//   any thread            discards what is left (a close, the host thread's
//                         end); the run's release detaches it, waiting for a
//                         callback in progress on the host thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <string>

#include "engine/delivery/delivery.h"
#include "engine/delivery/host_thread.h"

class HostThreadDelivery final : public Delivery, private TurnRun {
public:
    explicit HostThreadDelivery(RunNotifications &run);
    ~HostThreadDelivery();

    // The launching thread's part: binds the run to the calling thread, at
    // most `maxPendingBytes` undelivered per stream. False when the system
    // refused the thread's window.
    bool Attach(size_t maxPendingBytes);

    void Deliver(StreamKind stream, const char *text, size_t length) override;
    void Complete(int stderrSeen) override;
    size_t ReadBudget(StreamKind stream) override;
    bool WaitForRoom(StreamKind stream, HANDLE finishReading) override;
    void StreamEnded(StreamKind stream) override { WakeFor(stream); }
    HANDLE AbandonSignal() const override;
    void OnAbandoned() override;

    // True on the host thread.
    bool OnHostThread() const;
    // True on the host thread while one of this run's callbacks runs there.
    bool InOwnCallback() const;
    // Nothing more is delivered: what is queued is dropped, the readers read
    // on without a bound and the watcher's wait for the completion ends.
    void Discard();
    // The host thread, outside this run's callbacks: waits at most
    // `timeoutMs` for `watcher` to end, calling this run's callbacks and
    // delivering messages sent to the thread meanwhile.
    void WaitDelivering(HANDLE watcher, DWORD timeoutMs);
    // Nothing more is delivered and the run is let go of, once a callback in
    // progress on the host thread has returned; before the run is freed.
    void Detach();
    // From this run's own callback: `free(argument)` is called on the host
    // thread once that callback has returned; nothing is delivered before.
    void FreeAfterCallback(void (*free)(void *), void *argument);

    // Bytes queued and not yet delivered by every run of the process: what
    // host-thread delivery holds in memory for text.
    static unsigned long long QueuedBytes();


private:
    // The turns' part (host_thread.h).
    bool ReadyLocked() const override;
    bool DeliverNextLocked() override;

    struct Item {
        StreamKind stream;
        std::string text;
    };
    void DiscardLocked();
    void CheckHostThread();
    size_t RoomLocked(StreamKind stream) const;
    void WakeFor(StreamKind stream);

    RunNotifications &m_run;
    HostThread *m_thread = nullptr;
    size_t m_maxPending = 0;
    // A read waits until this much room is there: the host taking one chunk
    // does not make a read of one chunk.
    size_t m_minRead = 0;
    std::deque<Item> m_items;
    size_t m_pending[2] = {0, 0};
    // Queued per stream since the host was last woken for it.
    size_t m_unwoken[2] = {0, 0};
    bool m_completeQueued = false;
    bool m_completed = false;
    int m_stderrSeen = 0;
    bool m_discarded = false;
    bool m_inCallback = false;
    // Readers asleep in WaitForRoom.
    int m_roomWaiters = 0;
    void (*m_free)(void *) = nullptr;
    void *m_freeArgument = nullptr;
    // Woken when room comes, the completion has been called or everything
    // is discarded.
    CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
};
