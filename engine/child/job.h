// The job that holds the child and everything it starts: made for the run,
// asked how many processes it holds, and listed when a stop must tell the
// run's processes from one it did not start.
//
// Who touches what: the launching host thread makes the job; the watcher
// asks whether it is empty; a stopping thread (the watcher, or the host's
// under the run's release lock) lists its members. Nothing here keeps state:
// each call works on the handle it is given.
#pragma once

#include <windows.h>

#include <vector>

#include "engine/os/scoped_handle.h"

// A job whose processes end when its last handle closes (the host dying
// during the run included), its messages going to `port` with `newsKey` as
// their key. `reports` says whether the port was taken; a run whose job
// refused it still has its job. Invalid when no job can be made (a host in
// a job that forbids nested ones).
ScopedHandle MakeRunJob(HANDLE port, ULONG_PTR newsKey, bool &reports);

// True when the job says no process of the run is left; false without a job.
bool JobIsEmpty(HANDLE job);

// The processes of the run's job but the child, open for a stop.
struct JobMembers {
    std::vector<ScopedHandle> processes;
    // Also in the job: a process the run did not start (Wine's desktop).
    bool foreign = false;
};

// The live processes of the job other than `childId`, into `found`; false
// when the system could not tell.
bool OtherProcessesInJob(HANDLE job, DWORD childId, JobMembers &found);

// Whether a process of the job other than the child may be Wine's desktop
// process, which a stop must spare: cheap, from the job's own list of ids.
bool MayHoldTheDesktop(HANDLE job, DWORD childId);
