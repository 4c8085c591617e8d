// How text and the end of a run reach the host.
//
// Threads: each reader asks for its stream's budget and delivers its chunks
// on its own thread, the two streams at once; the watcher completes the run,
// once, after both readers have ended. The launching thread chooses the
// delivery before any of them starts; nothing else touches it.
//
// The direct delivery calls the run's own notification operations right on
// the calling thread. Another way (the host's own thread, say) plugs in as a
// second implementation chosen at the launch, with no change to the readers.
#pragma once

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
    // read; kNoLimit when it may read as much as it likes. Never 0: the
    // reader has no way yet to wait for room.
    virtual size_t ReadBudget(StreamKind stream) = 0;

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

private:
    RunNotifications &m_run;
};

// The run's delivery as one part: every implementation a run may use, and
// the one this run uses. Chosen by the launching thread before the workers
// start; read by them afterwards. Today there is one choice.
class RunDelivery {
public:
    explicit RunDelivery(RunNotifications &run) : m_direct(run) {}
    RunDelivery(const RunDelivery &) = delete;
    RunDelivery &operator=(const RunDelivery &) = delete;

    Delivery &Current() { return m_direct; }

private:
    DirectDelivery m_direct;
};
