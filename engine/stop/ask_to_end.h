// How a plan's ask step is carried out (stop_plan.h): Ctrl+C to the run's
// console, WM_CLOSE to the windows of its processes; the caller ends the
// child's input too.
#pragma once

#include <windows.h>

#include <vector>

// Asks the processes of `job` to end: Ctrl+C to the console of the first of
// `processes` that has one, WM_CLOSE to every top-level window any of them
// owns. Returns at once; the caller may close the handles.
void AskToEnd(HANDLE job, const std::vector<HANDLE> &processes);
