// Counts the calling process's open handles by asking about every possible
// handle value, shared by bw_child's `handles` mode and the test runner.
//
// GetProcessHandleCount would be the obvious call, but Wine answers 0, which
// would make every leak test pass. Kernel handle values are multiples of 4
// below 0x10000 in any process that has not opened tens of thousands of them,
// so asking each one is slow-ish (16k calls) but honest on both systems.
#ifndef BW_CHILD_HANDLE_COUNT_H
#define BW_CHILD_HANDLE_COUNT_H

#include <windows.h>

inline int bw_count_handles()
{
    int count = 0;
    for (ULONG_PTR value = 4; value <= 0xFFFC; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

#endif
