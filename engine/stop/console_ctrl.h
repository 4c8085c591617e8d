// Ctrl+C for the hidden console of a run.
#pragma once

#include <windows.h>

#include <vector>

// Starts the short-lived helper that attaches to the console of the first of
// `processIds` it can attach to and sends Ctrl+C to every process of that
// console: brackwyn-ctrlc.exe beside the DLL when it is there, else the
// system's rundll32 running dllglue_ctrlc. Returns at once, without waiting
// for the delivery; false when no helper could be started.
bool DeliverCtrlC(const std::vector<DWORD> &processIds);

// The same through rundll32 alone: what a host that ships only the DLL gets.
bool DeliverCtrlCThroughRundll32(const std::vector<DWORD> &processIds);
