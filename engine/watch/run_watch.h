// What the watcher decides, apart from how it waits: fed the packets of the
// run's port and the passing of time, it says what is due and when the run
// is over. It touches no process and no handle, so a test can feed it a
// run's news by hand.
//
// Who touches what: the watcher thread alone, from the start of its loop to
// its end; nothing here is shared.
#pragma once

#include <windows.h>

// The kinds of packet on the watcher's port, each its completion key.
enum class PacketKind : ULONG_PTR {
    // The child itself has ended. Told by the job (its message that the
    // child's process left, as kJobNews), or found by the watcher's own
    // look where no job news comes.
    kChildEnded = 1,
    // A reader's pipe broke or it was told to finish: posted by the reader
    // thread as it leaves.
    kStreamEnded,
    // A graceful stop was requested: posted by the thread that asked.
    kAskToEnd,
    // The tree was terminated (an abort, the time limit, a failed launch):
    // posted by the thread that terminated it.
    kTerminate,
    // The job's own messages, posted by the system: the message in the
    // packet's byte count, the process id in its overlapped pointer.
    kJobNews,
};

struct Packet {
    PacketKind kind;
    // With kJobNews: JOB_OBJECT_MSG_*, and the process it is about.
    DWORD jobMessage = 0;
    DWORD processId = 0;
};

// What the watcher is to do next.
enum class WatchAction {
    // Nothing is due: wait for a packet, at most Timeout() long.
    kWait,
    // The time limit has passed: it stops the run (with or without a grace).
    kTimeLimit,
    // A graceful stop is to ask the tree to end, once.
    kAskToEnd,
    // A graceful stop's grace or the drain ran out: terminate what is left
    // of the tree (the child too, if the grace found it running).
    kTerminateWhenDue,
    // The run is over: have the readers finish and report the end.
    kFinish,
};

class RunWatch {
public:
    // A deadline that is not there: no grace is running.
    static constexpr ULONGLONG kNoDeadline = ~0ULL;
    // After the tree was terminated, how long its processes get to die and
    // their pipes to break before the readers take what is left and stop.
    // Not a grace: nothing is asked, and nothing can end the run sooner but
    // the processes' own ends.
    static constexpr DWORD kDyingMs = 30;

    // `readers`: how many streams had their reader started, each of which
    // ends with one kStreamEnded. `limitMs` and `drainMs` 0: none.
    RunWatch(ULONGLONG started, DWORD limitMs, DWORD drainMs, int readers, DWORD childId);

    void OnPacket(const Packet &packet, ULONGLONG now);
    // The tree was terminated, by this watcher's action or by any stop.
    void Terminated(ULONGLONG now);
    // What is due at `now`; `graceDeadline` is the graceful stop's, or
    // kNoDeadline. Each of kTimeLimit and kAskToEnd is given once.
    WatchAction Next(ULONGLONG now, ULONGLONG graceDeadline);
    // How long to wait for a packet at `now`: until the nearest deadline.
    DWORD Timeout(ULONGLONG now, ULONGLONG graceDeadline) const;

    bool Stopped() const { return m_stopped; }
    bool ChildEnded() const { return m_childEnded; }
    bool JobEmpty() const { return m_jobEmpty; }
    // A drained run that ended by itself: what is still in the job goes.
    bool DrainsAtEnd() const { return !m_stopped && m_drainMs != 0; }

private:
    void ChildHasEnded(ULONGLONG now);
    bool Over(ULONGLONG now) const;

    const ULONGLONG m_limitDeadline;
    const DWORD m_drainMs;
    const int m_readers;
    const DWORD m_childId;
    bool m_limitReached;
    bool m_askPending = false;
    bool m_childEnded = false;
    bool m_jobEmpty = false;
    bool m_stopped = false;
    int m_readersEnded = 0;
    // None until the child has ended by itself.
    ULONGLONG m_drainDeadline = kNoDeadline;
    // Set once the tree was terminated.
    ULONGLONG m_stopDeadline = kNoDeadline;
};
