// The watcher's decisions, fed a run's packets and the passing of time by
// hand: when the run is over, and what each deadline does.
#include <gtest/gtest.h>

#include "engine/watch/run_watch.h"

namespace {

constexpr ULONGLONG kNone = RunWatch::kNoDeadline;

} // namespace

TEST(Watch, PacketsAndDeadlinesDecideTheEnd) {
    // Two readers, a drain of 500 ms, a time limit of 10 s; the child is 7.
    RunWatch drained(1000, 10000, 500, 2, 7);
    EXPECT_EQ(drained.Next(1000, kNone), WatchAction::kWait);
    // Another process's end is not the child's; a reader's end alone ends
    // nothing while the child runs.
    drained.OnPacket({PacketKind::kJobNews, JOB_OBJECT_MSG_EXIT_PROCESS, 9}, 1100);
    drained.OnPacket({PacketKind::kStreamEnded}, 1100);
    EXPECT_EQ(drained.Next(1100, kNone), WatchAction::kWait);
    drained.OnPacket({PacketKind::kJobNews, JOB_OBJECT_MSG_EXIT_PROCESS, 7}, 1200);
    // The drain counts from the child's end and is the wait's timeout.
    EXPECT_EQ(drained.Next(1200, kNone), WatchAction::kWait);
    EXPECT_EQ(drained.Timeout(1200, kNone), 500u);
    EXPECT_EQ(drained.Next(1700, kNone), WatchAction::kTerminateWhenDue);
    drained.Terminated(1700);
    // Terminated: the brief stop grace, ended early by the last reader.
    EXPECT_EQ(drained.Timeout(1700, kNone), RunWatch::kDyingMs);
    drained.OnPacket({PacketKind::kStreamEnded}, 1710);
    EXPECT_EQ(drained.Next(1710, kNone), WatchAction::kFinish);
    EXPECT_TRUE(drained.Stopped());

    // An ask is carried out once, the time limit comes once, the grace ends
    // in a termination; a dying tree is over once its stop grace has passed
    // even with a reader still open.
    RunWatch limited(0, 100, 0, 1, 7);
    limited.OnPacket({PacketKind::kAskToEnd}, 10);
    EXPECT_EQ(limited.Next(10, 300), WatchAction::kAskToEnd);
    EXPECT_EQ(limited.Next(10, 300), WatchAction::kWait);
    EXPECT_EQ(limited.Timeout(10, 300), 90u);
    EXPECT_EQ(limited.Next(100, 300), WatchAction::kTimeLimit);
    EXPECT_EQ(limited.Next(100, 300), WatchAction::kWait);
    EXPECT_EQ(limited.Next(300, 300), WatchAction::kTerminateWhenDue);
    limited.OnPacket({PacketKind::kTerminate}, 300);
    EXPECT_EQ(limited.Next(329, 300), WatchAction::kWait);
    EXPECT_EQ(limited.Next(330, 300), WatchAction::kFinish);

    // No process of the run left: over with a reader's pipe still held, and
    // no drain to terminate anything.
    RunWatch emptied(0, 0, 0, 2, 7);
    emptied.OnPacket({PacketKind::kJobNews, JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}, 50);
    EXPECT_EQ(emptied.Next(50, kNone), WatchAction::kFinish);
    EXPECT_FALSE(emptied.Stopped());
    EXPECT_FALSE(emptied.DrainsAtEnd());
}
