// Ctrl+C for the hidden console of a run.
#pragma once

#include <windows.h>

#include <vector>

// Starts the short-lived helper that attaches to the console of the first of
// `processIds` it can attach to and sends Ctrl+C to every process of that
// console. Returns at once, without waiting for the delivery; false when the
// helper could not be started.
bool DeliverCtrlC(const std::vector<DWORD> &processIds);
