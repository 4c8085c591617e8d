#include "engine/child/job.h"

#include <tlhelp32.h>

#include "engine/os/syscalls.h"

// A job lets a stop end the child together with everything it started; its
// kill-on-close limit ends them too if the host dies during the run, and its
// port says when no process of the run is left.
ScopedHandle MakeRunJob(HANDLE port, ULONG_PTR newsKey, bool &reports) {
    reports = false;
    ScopedHandle job(g_sys.createJobObject(nullptr, nullptr));
    if (!job.IsValid())
        return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!g_sys.setInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                       sizeof(limits)))
        return ScopedHandle();
    // The job's messages come to the watcher's port: the child's end, and
    // that no process of the run is left. Associated before the child
    // joins, so that none of its messages is missed. Without the port the
    // run still ends: the watcher then looks at the child and asks the job
    // how many processes it has, now and then.
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT news{reinterpret_cast<PVOID>(newsKey), port};
    reports = g_sys.setInformationJobObject(job.Get(), JobObjectAssociateCompletionPortInformation,
                                            &news, sizeof(news)) != FALSE;
    return job;
}

bool JobIsEmpty(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    return job != nullptr &&
           QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                     sizeof(accounting), nullptr) &&
           accounting.ActiveProcesses == 0;
}

namespace {

// Wine's desktop process (explorer.exe /desktop) is started by the first
// process that touches a window when there is none yet, and so may be born
// into a run's job; the run did not start it, and it serves every program of
// the session. It owns the desktop window. Asked only for a process of the
// job by that name, so a run pays nothing for it otherwise.
bool IsTheDesktopProcess(const PROCESSENTRY32W &entry) {
    if (lstrcmpiW(entry.szExeFile, L"explorer.exe") != 0)
        return false;
    DWORD owner = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &owner);
    return owner == entry.th32ProcessID;
}

} // namespace

// Whether a process of the job (by the job's own list of ids, which is
// cheap) may be Wine's desktop process: one named explorer.exe, or any the
// list cannot tell about. A stop that finds none lets the whole job go at
// once; the system-wide listing below costs a stop some milliseconds under
// Wine. Wine's list may leave a process out: the desktop would then go
// with the job, as it did before stops spared it.
bool MayHoldTheDesktop(HANDLE job, DWORD childId) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof(ids), nullptr) ||
        ids.list.NumberOfProcessIdsInList < ids.list.NumberOfAssignedProcesses)
        return true;
    for (DWORD at = 0; at < ids.list.NumberOfProcessIdsInList; ++at) {
        const DWORD id = static_cast<DWORD>(ids.list.ProcessIdList[at]);
        if (id == childId)
            continue;
        ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        wchar_t path[MAX_PATH];
        DWORD length = MAX_PATH;
        if (!process.IsValid() || !QueryFullProcessImageNameW(process.Get(), 0, path, &length))
            continue; // ended meanwhile
        const wchar_t *name = path + length;
        while (name > path && name[-1] != L'\\' && name[-1] != L'/')
            --name;
        if (lstrcmpiW(name, L"explorer.exe") == 0)
            return true;
    }
    return false;
}

// The live processes of the job other than the child, into `found`; false
// when the system could not tell. Wine's list of a job's processes leaves out
// some that the job holds, and may still list one that has just ended, so
// every process of the system is asked instead; only a stop pays for that.
// The console host that the system starts for the child's own console joins
// the job too (Windows 8 and later, and Wine) and outlives the child by a
// moment; it is no process of the run and ends by itself once its last
// client has.
bool OtherProcessesInJob(HANDLE job, DWORD childId, JobMembers &found) {
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (job == nullptr || !snapshot.IsValid())
        return false;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == childId || entry.th32ProcessID == GetCurrentProcessId() ||
            lstrcmpiW(entry.szExeFile, L"conhost.exe") == 0)
            continue;
        // Terminate too: a stop may end the run's processes one by one.
        ScopedHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                        entry.th32ProcessID));
        BOOL inJob = FALSE;
        if (!process.IsValid() || WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT ||
            !IsProcessInJob(process.Get(), job, &inJob) || !inJob)
            continue;
        if (IsTheDesktopProcess(entry))
            found.foreign = true;
        else
            found.processes.push_back(std::move(process));
    }
    return true;
}
