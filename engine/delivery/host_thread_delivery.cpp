#include "engine/delivery/host_thread_delivery.h"

#include <new>
#include <utility>

#include "engine/delivery/host_thread.h"

namespace {

std::atomic<unsigned long long> g_queuedBytes{0};

// The readers' and the watcher's waits look this often at what no wake-up
// tells them of: "finish reading" and the host thread's end.
constexpr DWORD kLookMs = 10;

// A read of less than this waits for room instead: at most 64 KiB, at most
// half the bound.
constexpr size_t kLargestMinRead = 64 * 1024;

// Queued text that wakes the host before its read is all queued.
constexpr size_t kWakeBytes = 64 * 1024;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&HostDeliveryLock()); }
    ~Locked() { ReleaseSRWLockExclusive(&HostDeliveryLock()); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

size_t Index(StreamKind stream) {
    return stream == StreamKind::kError ? 1 : 0;
}

} // namespace

HostThreadDelivery::HostThreadDelivery(RunNotifications &run) : m_run(run) {}

HostThreadDelivery::~HostThreadDelivery() {
    Detach();
}

unsigned long long HostThreadDelivery::QueuedBytes() {
    return g_queuedBytes.load();
}

bool HostThreadDelivery::Attach(size_t maxPendingBytes) {
    Locked lock;
    if (m_thread != nullptr)
        return true;
    m_thread = HostThread::ForThisThread();
    if (m_thread == nullptr)
        return false;
    try {
        m_thread->AddLocked(this);
    } catch (...) {
        if (m_thread->RemoveLocked(this))
            m_thread->Release();
        m_thread = nullptr;
        return false;
    }
    m_maxPending = maxPendingBytes;
    m_minRead = m_maxPending / 2 < kLargestMinRead ? m_maxPending / 2 : kLargestMinRead;
    if (m_minRead == 0)
        m_minRead = 1;
    return true;
}

// Lets go of the run's callbacks: a callback in progress on the host thread
// is waited for, delivering messages sent to this thread meanwhile (the
// callback may be sending to one of its windows).
void HostThreadDelivery::Detach() {
    HostThread *release = nullptr;
    {
        Locked lock;
        if (m_thread == nullptr)
            return;
        DiscardLocked();
        while (m_inCallback && !m_thread->OnThread()) {
            ReleaseSRWLockExclusive(&HostDeliveryLock());
            MsgWaitForMultipleObjectsEx(0, nullptr, 1, QS_SENDMESSAGE, 0);
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            AcquireSRWLockExclusive(&HostDeliveryLock());
        }
        if (m_thread->RemoveLocked(this))
            release = m_thread;
        m_thread = nullptr;
    }
    if (release != nullptr)
        release->Release();
}

// The host is woken once a read's chunks are all queued (the reader asks
// the budget next), or sooner once they add up to kWakeBytes: woken for the
// first chunk of a read it would take that one alone and wait for the next,
// one message per chunk.
void HostThreadDelivery::Deliver(StreamKind stream, const char *text, size_t length) {
    // The copy is made before the lock: the host thread never waits for an
    // allocation.
    Item item{stream, std::string(text, length)};
    bool wake = false;
    {
        Locked lock;
        if (m_discarded || m_thread == nullptr)
            return;
        m_items.push_back(std::move(item));
        m_pending[Index(stream)] += length;
        g_queuedBytes += length;
        m_unwoken[Index(stream)] += length;
        if (m_unwoken[Index(stream)] >= kWakeBytes) {
            m_unwoken[Index(stream)] = 0;
            wake = true;
        }
    }
    if (wake)
        m_thread->Kick();
}

void HostThreadDelivery::WakeFor(StreamKind stream) {
    bool wake = false;
    {
        Locked lock;
        // Both streams: the other's reader may wait for bytes that never
        // come.
        static_cast<void>(stream);
        wake = m_thread != nullptr && m_unwoken[0] + m_unwoken[1] != 0;
        m_unwoken[0] = m_unwoken[1] = 0;
    }
    if (wake)
        m_thread->Kick();
}

void HostThreadDelivery::Complete(int stderrSeen) {
    {
        Locked lock;
        if (m_discarded || m_thread == nullptr)
            return;
        m_completeQueued = true;
        m_stderrSeen = stderrSeen;
        m_unwoken[0] = m_unwoken[1] = 0;
    }
    m_thread->Kick();
    for (;;) {
        {
            Locked lock;
            if (m_completed || m_discarded)
                return;
            SleepConditionVariableSRW(&m_changed, &HostDeliveryLock(), kLookMs, 0);
            if (m_completed || m_discarded)
                return;
        }
        CheckHostThread();
    }
}

size_t HostThreadDelivery::RoomLocked(StreamKind stream) const {
    if (m_discarded || m_thread == nullptr)
        return kNoLimit;
    const size_t pending = m_pending[Index(stream)];
    const size_t room = pending >= m_maxPending ? 0 : m_maxPending - pending;
    return room < m_minRead ? 0 : room;
}

size_t HostThreadDelivery::ReadBudget(StreamKind stream) {
    WakeFor(stream);
    Locked lock;
    return RoomLocked(stream);
}

bool HostThreadDelivery::WaitForRoom(StreamKind stream, HANDLE finishReading) {
    WakeFor(stream);
    for (;;) {
        {
            Locked lock;
            if (RoomLocked(stream) != 0)
                return true;
            ++m_roomWaiters;
            SleepConditionVariableSRW(&m_changed, &HostDeliveryLock(), kLookMs, 0);
            --m_roomWaiters;
            if (RoomLocked(stream) != 0)
                return true;
        }
        if (WaitForSingleObject(finishReading, 0) == WAIT_OBJECT_0)
            return false;
        CheckHostThread();
    }
}

HANDLE HostThreadDelivery::AbandonSignal() const {
    Locked lock;
    return m_thread != nullptr ? m_thread->Thread() : nullptr;
}

// The host thread has ended: nobody will ever take the run's text. The run
// is stopped as an abort stops it.
void HostThreadDelivery::OnAbandoned() {
    Discard();
    m_run.AbortRun();
}

void HostThreadDelivery::CheckHostThread() {
    HANDLE thread = AbandonSignal();
    if (thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0)
        OnAbandoned();
}

bool HostThreadDelivery::OnHostThread() const {
    Locked lock;
    return m_thread != nullptr && m_thread->OnThread();
}

bool HostThreadDelivery::InOwnCallback() const {
    Locked lock;
    return m_thread != nullptr && m_thread->OnThread() && m_inCallback;
}

void HostThreadDelivery::DiscardLocked() {
    m_discarded = true;
    g_queuedBytes -= m_pending[0] + m_pending[1];
    m_pending[0] = m_pending[1] = 0;
    m_items.clear();
    WakeAllConditionVariable(&m_changed);
}

void HostThreadDelivery::Discard() {
    Locked lock;
    DiscardLocked();
}

void HostThreadDelivery::FreeAfterCallback(void (*free)(void *), void *argument) {
    Locked lock;
    m_free = free;
    m_freeArgument = argument;
}

bool HostThreadDelivery::ReadyLocked() const {
    return !m_inCallback && !m_discarded && m_free == nullptr &&
           (!m_items.empty() || (m_completeQueued && !m_completed));
}

bool HostThreadDelivery::DeliverNextLocked() {
    if (!ReadyLocked()) {
        ReleaseSRWLockExclusive(&HostDeliveryLock());
        return false;
    }
    const bool completion = m_items.empty();
    Item item{StreamKind::kOutput, std::string()};
    if (!completion) {
        item = std::move(m_items.front());
        m_items.pop_front();
    }
    m_inCallback = true;
    ReleaseSRWLockExclusive(&HostDeliveryLock());
    // The bytes count as pending until the callback has returned: they are
    // in memory until then.
    if (completion)
        m_run.NotifyFinished(m_stderrSeen);
    else if (item.stream == StreamKind::kError)
        m_run.RelayStderr(item.text.c_str(), item.text.size());
    else
        m_run.RelayStdout(item.text.c_str(), item.text.size());
    void (*free)(void *) = nullptr;
    void *argument = nullptr;
    {
        Locked lock;
        m_inCallback = false;
        if (completion) {
            m_completed = true;
        } else if (!m_discarded) {
            m_pending[Index(item.stream)] -= item.text.size();
            g_queuedBytes -= item.text.size();
        }
        free = m_free;
        argument = m_freeArgument;
        // Only a reader waiting for room or the watcher waiting for this
        // completion is woken: most callbacks wake nobody.
        if (completion || (m_roomWaiters > 0 && RoomLocked(item.stream) != 0))
            WakeAllConditionVariable(&m_changed);
    }
    if (free != nullptr)
        free(argument);
    return true;
}

void HostThreadDelivery::WaitDelivering(HANDLE watcher, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        while (true) {
            AcquireSRWLockExclusive(&HostDeliveryLock());
            if (!DeliverNextLocked())
                break;
        }
        const ULONGLONG now = GetTickCount64();
        DWORD left = INFINITE;
        if (timeoutMs != INFINITE)
            left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        // A short slice: the queue does not signal this thread, and posted
        // messages must stay queued for the host's own loop.
        const DWORD slice = left < 2 ? left : 2;
        const DWORD woke = MsgWaitForMultipleObjectsEx(1, &watcher, slice, QS_SENDMESSAGE, 0);
        if (woke == WAIT_OBJECT_0 || (woke == WAIT_TIMEOUT && left == 0) || woke == WAIT_FAILED)
            return;
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
