#include "engine/redirect.h"

#include <tlhelp32.h>

#include "engine/stop/ask_to_end.h"

#include <vector>

namespace {

// Waits at most `timeoutMs` for `thread` to end while delivering the messages
// that other threads send to this thread's windows. The host's completion
// callback may SendMessage to a window of the very thread that is stopping
// the run, and the watcher cannot end before that call returns. Posted
// messages stay queued for the host's own loop.
void WaitDeliveringSentMessages(HANDLE thread, DWORD timeoutMs) {
    if (thread == nullptr)
        return;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (MsgWaitForMultipleObjectsEx(1, &thread, left, QS_SENDMESSAGE, 0) != WAIT_OBJECT_0 + 1)
            return;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

HANDLE DuplicateOf(HANDLE handle) {
    HANDLE self = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (handle != nullptr)
        DuplicateHandle(self, handle, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return duplicate;
}

} // namespace

bool CRedirect::OnWorkerThread() const {
    const DWORD self = GetCurrentThreadId();
    if (m_stdout.OnReader(self) || m_stderr.OnReader(self) || m_watcher.OnThread(self))
        return true;
    HANDLE writer = m_input.Thread();
    return writer != nullptr && GetThreadId(writer) == self;
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

} // namespace

// The live processes of the job other than the child, into `found`; false
// when the system could not tell. Wine's list of a job's processes leaves out
// some that the job holds, and may still list one that has just ended, so
// every process of the system is asked instead; only a stop pays for that.
// The console host that the system starts for the child's own console joins
// the job too (Windows 8 and later, and Wine) and outlives the child by a
// moment; it is no process of the run and ends by itself once its last
// client has.
bool CRedirect::OtherProcessesInJob(JobMembers &found) const {
    const HANDLE job = m_child.Job();
    const DWORD childId = m_child.ProcessId();
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

// A whole job goes, so that a grandchild holding the output pipe cannot keep
// the run alive. The result says whether anything of the run was still
// there to end: the child, or a process it started. Only ending the child
// itself makes the run aborted; a child that had ended by itself keeps its
// own exit code and state, whatever it left running, and what it left is
// counted. Before the child exists there is nothing to end yet: the launch
// ends it before it ever runs, and the run counts as stopped. A process in
// the job that the run did not start is neither ended nor counted.
BOOL CRedirect::TerminateTree() {
    if (!m_child.HasProcess()) {
        const bool launching = m_outcome.Launching();
        if (launching)
            m_stop.MarkChildTerminated();
        return launching;
    }
    const bool childAlive = WaitForSingleObject(m_child.Process(), 0) == WAIT_TIMEOUT;
    if (childAlive)
        m_stop.MarkChildTerminated();
    if (!m_child.HasJob())
        return childAlive && TerminateProcess(m_child.Process(), 1);
    // The usual stop: the child still runs and nothing of the job can be
    // the desktop, so the job goes whole without listing every process.
    if (childAlive && !MayHoldTheDesktop(m_child.Job(), m_child.ProcessId()))
        return TerminateJobObject(m_child.Job(), 1);
    // A list that cannot be made counts as something left, and the job
    // goes whole.
    JobMembers others;
    const bool listed = OtherProcessesInJob(others);
    const bool othersAlive = !listed || !others.processes.empty();
    if (!childAlive && listed) {
        m_stop.NoteLeftovers(static_cast<int>(others.processes.size()));
    }
    if (!childAlive && !othersAlive)
        return FALSE;
    if (!others.foreign)
        return TerminateJobObject(m_child.Job(), 1);
    // One by one, sparing the process that is not the run's; one started
    // meanwhile is left to the job's kill-on-close.
    if (childAlive)
        TerminateProcess(m_child.Process(), 1);
    for (const ScopedHandle &process : others.processes)
        TerminateProcess(process.Get(), 1);
    return TRUE;
}

// Called with m_releaseLock held. Marks the run stopped, ends its tree and
// tells the watcher with one packet, once its port exists.
BOOL CRedirect::StopTree() {
    m_stop.RequestTermination();
    const BOOL terminated = TerminateTree();
    m_watcher.Post(PacketKind::kTerminate);
    return terminated;
}

int CRedirect::StopRun() {
    BOOL terminated = FALSE;
    bool onWorker = false;
    {
        std::lock_guard<SrwLock> lock(m_releaseLock);
        // Terminate before waiting: the watcher cannot finish while the child
        // lives, so waiting first would only hold up the caller, often the
        // host's UI thread.
        if (RunInProgress())
            terminated = StopTree();
        onWorker = OnWorkerThread();
    }
    // A worker (a callback that aborts) must not wait for the watcher, which
    // waits for it.
    if (!onWorker)
        WaitForWatcher(1000);
    return terminated;
}

int CRedirect::StopGracefully(DWORD graceMs) {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    if (!RunInProgress())
        return 0;
    m_stop.Plan().AskThenTerminate(GetTickCount64(), graceMs);
    m_watcher.Post(PacketKind::kAskToEnd);
    return 1;
}

// The child's input ends at a stop, and what was not yet written is dropped:
// a program waiting for input must see its end to be able to finish.
void CRedirect::CloseChildInput() {
    m_input.Abandon();
}

// The watcher's part of a graceful stop, once per run. The child first while
// it runs: whichever process is still there can lead the helper to the
// console. The helper gets its own copies of these handles.
void CRedirect::AskTreeToEnd() {
    JobMembers descendants;
    OtherProcessesInJob(descendants);
    std::vector<HANDLE> tree;
    if (m_child.Running())
        tree.push_back(m_child.Process());
    for (const ScopedHandle &process : descendants.processes)
        tree.push_back(process.Get());
    AskToEnd(m_child.Job(), tree);
    CloseChildInput();
}

// The grace ran out. An abort may already have ended the tree.
void CRedirect::TerminateAfterGrace() {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    if (!m_stop.Plan().TerminationDue(GetTickCount64()))
        return;
    TerminateTree();
}

// The drain ran out, or a drained run is over: whatever the child left
// running goes, and is counted. The child itself has ended, so the run's
// state stays what it made it.
void CRedirect::TerminateLeftovers() {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    if (m_stop.TerminationRequested())
        return;
    TerminateTree();
}

bool CRedirect::WaitForWatcher(DWORD timeoutMs) {
    ScopedHandle watcher;
    {
        std::lock_guard<SrwLock> lock(m_releaseLock);
        watcher.Reset(DuplicateOf(m_watcher.Thread()));
    }
    if (!watcher.IsValid())
        return true;
    if (!m_delivery.WaitOnHostThread(watcher.Get(), timeoutMs))
        WaitDeliveringSentMessages(watcher.Get(), timeoutMs);
    return WaitForSingleObject(watcher.Get(), 0) == WAIT_OBJECT_0;
}

void CRedirect::StopAtExit() {
    if (!RunInProgress())
        return;
    m_stop.RequestTermination();
    TerminateTree();
}

void CRedirect::WaitForWorkers(DWORD timeoutMs) {
    HANDLE threads[4];
    DWORD count = 0;
    for (HANDLE thread :
         {m_stdout.Thread(), m_stderr.Thread(), m_watcher.Thread(), m_input.Thread()}) {
        if (thread != nullptr)
            threads[count++] = thread;
    }
    if (count > 0)
        WaitForMultipleObjects(count, threads, TRUE, timeoutMs);
}

int CRedirect::FinishRun() {
    // The watcher has ended, and it waited for both readers; this makes sure
    // no worker runs library code once the host regains control, since the
    // host may unload the library right away.
    WaitForWorkers(INFINITE);
    // The exit code the watcher published with the end, which is what the
    // host was told.
    const bool succeeded = m_outcome.Over() && m_outcome.ExitCode() == 0;
    ReleaseRun();
    return succeeded ? 1 : 0;
}

void CRedirect::ReleaseRun() {
    std::lock_guard<SrwLock> lock(m_releaseLock);
    m_child.ReleaseJob();
    // The queue lets go of the child's process handle before it closes.
    m_input.Release();
    m_stdout.Release();
    m_stderr.Release();
    m_child.Release();
    m_watcher.Release();
    m_outcome.Release();
}
