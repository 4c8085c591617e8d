// How text and the end of a run reach the host.
//
// Threads: each reader asks for its stream's budget, waits for room and
// delivers its chunks on its own thread, the two streams at once; the
// watcher completes the run, once, after both readers have ended. The
// launching thread chooses the delivery before any of them starts; the
// host's calls (a wait, a close) ask the chosen one how to wait.
//
// The direct delivery calls the run's own notification operations right on
// the calling thread. The host-thread delivery (host_thread_delivery.h)
// queues them for the thread that started the run, bounded per stream.
#pragma once

#include <windows.h>

#include <cstddef>

// One of a run's two output streams.
enum class StreamKind { kOutput, kError };

class Delivery {
public:
    // A budget that puts no bound on the next read.
    static constexpr size_t kNoLimit = static_cast<size_t>(-1);

    // One chunk of `stream`: `length` bytes and a NUL after them, valid for
    // the call only.
    virtual void Deliver(StreamKind stream, const char *text, size_t length) = 0;
    // The run is over and every chunk has been delivered.
    virtual void Complete(int stderrSeen) = 0;
    // How many bytes the reader of `stream` may read now, asked before each
    // read; kNoLimit when it may read as much as it likes, 0 when it must
    // wait for room first.
    virtual size_t ReadBudget(StreamKind stream) = 0;
    // With a budget of 0: waits until there may be room (true), or until
    // `finishReading` is signalled (false): the reader then takes what is
    // left in its pipe whatever the budget, so that a stop never hangs on a
    // host that takes nothing.
    virtual bool WaitForRoom(StreamKind stream, HANDLE finishReading) = 0;
    // The reader of `stream` has delivered its last chunk.
    virtual void StreamEnded(StreamKind) {}
    // A handle the reader waits on beside its pipe, or null; once it is
    // signalled the reader calls OnAbandoned and waits on it no more.
    virtual HANDLE AbandonSignal() const { return nullptr; }
    virtual void OnAbandoned() {}

protected:
    Delivery() = default;
    Delivery(const Delivery &) = delete;
    Delivery &operator=(const Delivery &) = delete;
    ~Delivery() = default;
};

// The run's notification operations, which CRedirect declares and a host's
// run overrides; the direct delivery calls them.
class RunNotifications {
public:
    virtual void RelayStdout(const char *text, size_t length) = 0;
    virtual void RelayStderr(const char *text, size_t length) = 0;
    virtual void NotifyFinished(int stderrSeen) = 0;
    // Stops the run as an abort does, waiting for nothing: nobody is left
    // to take its text.
    virtual void AbortRun() = 0;

protected:
    ~RunNotifications() = default;
};

// Each call goes straight to the run's notification, on the calling thread.
class DirectDelivery final : public Delivery {
public:
    explicit DirectDelivery(RunNotifications &run) : m_run(run) {}

    void Deliver(StreamKind stream, const char *text, size_t length) override {
        if (stream == StreamKind::kError)
            m_run.RelayStderr(text, length);
        else
            m_run.RelayStdout(text, length);
    }
    void Complete(int stderrSeen) override { m_run.NotifyFinished(stderrSeen); }
    size_t ReadBudget(StreamKind) override { return kNoLimit; }
    bool WaitForRoom(StreamKind, HANDLE) override { return true; }

private:
    RunNotifications &m_run;
};
