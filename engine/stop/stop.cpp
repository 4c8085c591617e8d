#include "engine/redirect.h"

#include "engine/child/job.h"
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
    const bool listed = OtherProcessesInJob(m_child.Job(), m_child.ProcessId(), others);
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
    OtherProcessesInJob(m_child.Job(), m_child.ProcessId(), descendants);
    std::vector<HANDLE> tree;
    if (m_child.Running())
        tree.push_back(m_child.Process());
    for (const ScopedHandle &process : descendants.processes)
        tree.push_back(process.Get());
    AskToEnd(m_child.Job(), tree);
    CloseChildInput();
}

// The one step that ends a tree the run did not end at once: a graceful
// stop's grace ran out, the drain ran out, or a drained run is over. An abort
// may already have ended the tree, and is left to. Whatever is still there
// goes: the child, which makes the run aborted, or what it left running once
// it had ended by itself, which is counted and leaves its state as it was.
void CRedirect::TerminateWhenDue() {
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
