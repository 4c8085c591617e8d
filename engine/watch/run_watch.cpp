#include "engine/watch/run_watch.h"

#include <algorithm>

namespace {

DWORD Until(ULONGLONG now, ULONGLONG deadline) {
    if (deadline == RunWatch::kNoDeadline)
        return INFINITE;
    if (now >= deadline)
        return 0;
    return deadline - now >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(deadline - now);
}

} // namespace

RunWatch::RunWatch(ULONGLONG started, DWORD limitMs, DWORD drainMs, int readers, DWORD childId)
    : m_limitDeadline(limitMs == 0 ? kNoDeadline : started + limitMs), m_drainMs(drainMs),
      m_readers(readers), m_childId(childId), m_limitReached(limitMs == 0) {}

void RunWatch::OnPacket(const Packet &packet, ULONGLONG now) {
    switch (packet.kind) {
    case PacketKind::kChildEnded:
        ChildHasEnded(now);
        break;
    case PacketKind::kStreamEnded:
        ++m_readersEnded;
        break;
    case PacketKind::kAskToEnd:
        m_askPending = true;
        break;
    case PacketKind::kTerminate:
        Terminated(now);
        break;
    case PacketKind::kJobNews:
        // A process's end that is the child's tells the child ended; an
        // abnormal one too (it ended by an exception or was terminated).
        if ((packet.jobMessage == JOB_OBJECT_MSG_EXIT_PROCESS ||
             packet.jobMessage == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) &&
            packet.processId == m_childId)
            ChildHasEnded(now);
        if (packet.jobMessage == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
            // No process of the run is left, so neither is the child,
            // whichever message came first.
            m_jobEmpty = true;
            ChildHasEnded(now);
        }
        break;
    }
}

// The drain counts from the child's own end; a child that a stop ended has
// nothing to drain.
void RunWatch::ChildHasEnded(ULONGLONG now) {
    if (m_childEnded)
        return;
    m_childEnded = true;
    if (!m_stopped && m_drainMs != 0)
        m_drainDeadline = now + m_drainMs;
}

void RunWatch::Terminated(ULONGLONG now) {
    if (m_stopped)
        return;
    m_stopped = true;
    m_stopDeadline = now + kDyingMs;
}

// Over when the child has ended and either every reader has (every byte is
// in) or no process of the run is left (every byte that will come is in the
// pipes). A terminated run is over at the latest kDyingMs later.
bool RunWatch::Over(ULONGLONG now) const {
    if (m_stopped && now >= m_stopDeadline)
        return true;
    return m_childEnded && (m_readersEnded >= m_readers || m_jobEmpty);
}

WatchAction RunWatch::Next(ULONGLONG now, ULONGLONG graceDeadline) {
    if (Over(now))
        return WatchAction::kFinish;
    // Once terminated, no deadline has anything left to do.
    if (m_stopped)
        return WatchAction::kWait;
    if (!m_limitReached && now >= m_limitDeadline) {
        m_limitReached = true;
        return WatchAction::kTimeLimit;
    }
    if (m_askPending) {
        m_askPending = false;
        return WatchAction::kAskToEnd;
    }
    if ((graceDeadline != kNoDeadline && now >= graceDeadline) ||
        (m_drainDeadline != kNoDeadline && now >= m_drainDeadline))
        return WatchAction::kTerminateWhenDue;
    return WatchAction::kWait;
}

DWORD RunWatch::Timeout(ULONGLONG now, ULONGLONG graceDeadline) const {
    if (m_stopped)
        return Until(now, m_stopDeadline);
    DWORD timeout = Until(now, graceDeadline);
    if (!m_limitReached)
        timeout = (std::min)(timeout, Until(now, m_limitDeadline));
    return (std::min)(timeout, Until(now, m_drainDeadline));
}
