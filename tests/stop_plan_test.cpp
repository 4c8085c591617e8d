// A stop's plan decided by hand: what a later stop does to a pending one.
#include <gtest/gtest.h>

#include "engine/stop/stop_plan.h"

TEST(StopPlan, LaterStopsShortenTheGraceAndAnAbortEndsIt) {
    StopPlan plan;
    EXPECT_EQ(plan.Deadline(), StopPlan::kNoDeadline);
    EXPECT_FALSE(plan.TakeAsk());
    plan.AskThenTerminate(1000, 5000);
    // Asked once, whoever asks again; a longer grace is not taken, a
    // shorter one is.
    EXPECT_TRUE(plan.TakeAsk());
    plan.AskThenTerminate(2000, 10000);
    EXPECT_FALSE(plan.TakeAsk());
    EXPECT_EQ(plan.Deadline(), 6000u);
    plan.AskThenTerminate(3000, 1000);
    EXPECT_EQ(plan.Deadline(), 4000u);
    EXPECT_FALSE(plan.TerminationDue(3999));
    EXPECT_TRUE(plan.TerminationDue(4000));
    // An abort terminates at once: the grace has nothing left to end.
    plan.TerminateNow();
    EXPECT_FALSE(plan.TerminationDue(5000));
    EXPECT_TRUE(plan.AskRequested());
    // The next run starts with nothing planned.
    plan.Reset();
    plan.ClearTermination();
    EXPECT_FALSE(plan.AskRequested());
    EXPECT_EQ(plan.Deadline(), StopPlan::kNoDeadline);
}
