// How the child is started: its own hidden console, pipes as its standard
// handles, and a process object that other users cannot open.
#include <gtest/gtest.h>

#include "test_support.h"

TEST(ChildSetting, StandardHandlesArePipesInAConsoleOfItsOwn) {
    const Recording run = RunRecorded(ChildCommand("console"));
    EXPECT_EQ(run.result, 1);
    EXPECT_NE(run.out.find("stdin-type:3 stdout-type:3 stderr-type:3"), std::string::npos)
        << run.out;
    // Never shown; Wine without a display gives the console no window at all.
    EXPECT_NE(run.out.find("visible:0"), std::string::npos) << run.out;
}

// A null access list would let any process on the machine open the child
// with full access; the child keeps the default descriptor.
TEST(ChildSetting, ChildProcessHasAnAccessList) {
    const Recording run = RunRecorded(ChildCommand("dacl"));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out.rfind("dacl:present", 0), 0u) << run.out;
}

// The library writes nothing to the child's input and keeps it open, so a
// child reading it waits instead of seeing an end.
TEST(ChildSetting, InputStaysOpenAndEmpty) {
    TestWindow window([](HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (message == WM_TIMER) {
            KillTimer(hwnd, 1);
            dllglue_abort();
            return 0;
        }
        return DefWindowProcA(hwnd, message, wParam, lParam);
    });
    SetTimer(window.Get(), 1, 500, nullptr);
    const Recording run = RunRecorded(ChildCommand("stdin"));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out.find("stdin-bytes"), std::string::npos) << run.out;
    EXPECT_EQ(run.exitCalls, 1);
}
