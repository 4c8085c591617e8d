// The run's delivery as one part: every implementation a run may use, and
// the one this run uses.
//
// Who touches what: the launching thread chooses before the workers start
// (the choice is atomic, since the host's calls on other threads read it);
// the workers use the chosen one; the host's waits and closes ask it how to
// wait on the calling thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

#include "engine/delivery/delivery.h"
#include "engine/delivery/host_thread_delivery.h"

class RunDelivery {
public:
    explicit RunDelivery(RunNotifications &run) : m_direct(run), m_hostThread(run) {}
    RunDelivery(const RunDelivery &) = delete;
    RunDelivery &operator=(const RunDelivery &) = delete;

    Delivery &Current() {
        if (m_onHostThread.load())
            return m_hostThread;
        return m_direct;
    }

    // The launching thread, before the workers start: the run's callbacks go
    // to this thread, at most `maxPendingBytes` per stream held for it.
    // False when the system refused the thread's window.
    bool UseHostThread(size_t maxPendingBytes) {
        if (!m_hostThread.Attach(maxPendingBytes))
            return false;
        m_onHostThread = true;
        return true;
    }
    // Null unless the run delivers on its host thread.
    HostThreadDelivery *HostThreadOrNull() {
        return m_onHostThread.load() ? &m_hostThread : nullptr;
    }
    const HostThreadDelivery *HostThreadOrNull() const {
        return m_onHostThread.load() ? &m_hostThread : nullptr;
    }

    // A wait for the watcher on the calling thread. On the run's host
    // thread the run's own callbacks are called meanwhile, since the watcher
    // waits for them; within one of them nothing is waited for at all (the
    // watcher would wait for that callback). False when the caller waits its
    // own way.
    bool WaitOnHostThread(HANDLE watcher, DWORD timeoutMs) {
        HostThreadDelivery *host = HostThreadOrNull();
        if (host == nullptr || !host->OnHostThread())
            return false;
        if (!host->InOwnCallback())
            host->WaitDelivering(watcher, timeoutMs);
        return true;
    }

private:
    DirectDelivery m_direct;
    HostThreadDelivery m_hostThread;
    std::atomic<bool> m_onHostThread{false};
};
