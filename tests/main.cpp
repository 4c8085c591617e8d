// Entry point of the test runner. Some tests start the runner again in a
// named mode to play a host that must not share this process.
#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

int ExitDuringRunMode(const char *pidFile);

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--mode=exit-during-run") == 0)
        return ExitDuringRunMode(argv[2]);
    WatchLaunchCalls();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
