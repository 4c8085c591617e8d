// The run's child: how it gets its standard handles and console (its ends
// of the pipes while it is being created), its process and the job that holds it and all it starts,
// and why the launch failed, if it did.
//
// Who touches what:
//   the launching host thread  creates the pipe ends and closes them right
//                              after the creation call; publishes the
//                              process and the job under the run's release
//                              lock; notes a failure, which the host reads
//                              once the launch has returned;
//   the watcher thread         waits on the process and asks the job how
//                              many processes it holds, between the
//                              publication and the release;
//   any thread (stops)         terminates the process or the job under the
//                              release lock; reads the child's id (atomic);
//   the releasing thread       closes everything, the release lock held,
//                              once every worker has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <utility>

#include "engine/child/console.h"
#include "engine/child/job.h"
#include "engine/child/pseudo_console.h"
#include "engine/os/scoped_handle.h"

class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // A new run: no failure noted, no child yet.
    void Reset() {
        m_launchError = 0;
        m_processFailed = false;
        m_processId = 0;
    }

    // How the child gets its standard handles and console: a hidden
    // console of its own, or a pseudo console. Chosen by the launching
    // thread before anything of the run is made.
    void UsePseudoConsole(bool on) { m_terminal = on; }
    bool InPseudoConsole() const { return m_terminal; }
    ChildConsole &Console() {
        return m_terminal ? static_cast<ChildConsole &>(m_pseudo) : m_console;
    }
    PseudoConsole &Terminal() { return m_pseudo; }

    // The release lock held.
    void SetProcess(HANDLE process, DWORD processId) {
        m_process.Reset(process);
        m_processId = processId;
    }
    // The release lock held.
    void SetJob(ScopedHandle job) { m_job = std::move(job); }

    HANDLE Process() const { return m_process.Get(); }
    bool HasProcess() const { return m_process.IsValid(); }
    // Null when the host's own job forbids one.
    HANDLE Job() const { return m_job.Get(); }
    bool HasJob() const { return m_job.IsValid(); }
    DWORD ProcessId() const { return m_processId.load(); }

    bool Running() const {
        return m_process.IsValid() && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT;
    }
    // True when the job says no process of the run is left; false without
    // a job.
    bool JobIsEmpty() const { return ::JobIsEmpty(m_job.Get()); }

    // A failed launch: the system's error, and whether the creation of the
    // process itself failed (rather than a pipe, a thread, memory). The
    // first error noted is the one kept.
    void NoteCreationFailed(DWORD error) {
        m_launchError = error;
        m_processFailed = true;
    }
    void NoteFailure(DWORD error) {
        if (m_launchError == 0)
            m_launchError = error;
    }
    DWORD LaunchError() const { return m_launchError; }
    bool ProcessFailed() const { return m_processFailed; }

    // The release lock held, every worker ended; the job first, then, once
    // nothing else uses the process handle, the rest.
    void ReleaseJob() {
        if (m_job.IsValid()) {
            // The run is over: what the child left running on purpose (a
            // server it started, say) must not die with the job handle.
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION noLimits{};
            SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &noLimits,
                                    sizeof(noLimits));
            m_job.Close();
        }
    }
    void Release() {
        m_process.Close();
        m_console.Created();
        m_pseudo.Release();
    }

private:
    HiddenConsole m_console;
    PseudoConsole m_pseudo;
    bool m_terminal = false;
    ScopedHandle m_process;
    ScopedHandle m_job;
    std::atomic<DWORD> m_processId{0};
    DWORD m_launchError = 0;
    bool m_processFailed = false;
};
