// A pseudo console of the child's own: the child sees a console (so its C
// runtime does not hold its output back as it does for a pipe), and the
// library reads what the console draws from one pipe and writes keystrokes
// into another. The second way of giving a child its console (console.h).
//
// How the child is started in it: a small helper program, brackwyn-term.exe
// beside the DLL, is created in the pseudo console; it opens the console's
// CONIN$ and CONOUT$ and creates the real program, suspended, with those as
// its standard handles, hands the library the program's process and thread
// (duplicated into the host), and exits. Why a helper: Wine keeps a child's
// NULL standard handles NULL when they are given (the way Windows asks for),
// and otherwise hands it the host's own handles, so that a host whose
// handles are files or pipes gets the output past the console. A program
// that opens the console's own handles and passes them on works the same on
// Windows and under Wine. The real program is the run's child: its exit
// code, its id, the job it joins; the helper has ended before it runs.
//
// Its end: the output pipe breaks only once the console is closed, and
// ClosePseudoConsole waits for the console host, without a limit, which can
// hang while the host cannot write its last output (nobody reading its
// pipe). So it is called only while the reader still reads (End, by the
// watcher once no process of the run is left) or once our end of the pipe
// is closed (Release); never at unload.
//
// Who touches what:
//   the launching host thread  Create, Prepare, Created, Started;
//   the watcher                End;
//   any host thread            Resize (the lock orders it against End and
//                              the release), Size (atomic);
//   the reader thread          reads Size;
//   the releasing thread       Release, once every worker has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "engine/child/console.h"
#include "engine/os/scoped_handle.h"
#include "engine/os/srw_lock.h"

class PseudoConsole final : public ChildConsole {
public:
    PseudoConsole() = default;
    ~PseudoConsole() override;
    PseudoConsole(const PseudoConsole &) = delete;
    PseudoConsole &operator=(const PseudoConsole &) = delete;

    // Whether this system has pseudo consoles (Windows 10 1809 and later,
    // Wine), and the helper program is beside the library. False with
    // `why` telling what is missing.
    static bool Available(const char *&why);

    // The size it is created with; 0: 4,096 columns (so that no shorter line
    // wraps) and 25 rows. Before Create.
    void SetSize(unsigned columns, unsigned rows);
    // The size as it is now (TerminalSize::Pack), for the readers.
    const std::atomic<unsigned long> *Size() const { return &m_size; }

    bool Create(bool mergeErrors, InputQueue &input, OutputStream &output,
                OutputStream &error) override;
    void Prepare(STARTUPINFOW &startup, DWORD &flags,
                 std::vector<HANDLE> &inherited) const override;
    void Wrap(std::wstring &application, std::wstring &commandLine) const override;
    void *Attribute() const override { return m_console; }
    void Created() override;
    bool Started(PROCESS_INFORMATION &created) override;
    void End() override;

    // Window and buffer to `columns` x `rows`; `child` is a process in the
    // console. DLLGLUE_OK, or DLLGLUE_ECLOSED when the console is gone.
    int Resize(unsigned columns, unsigned rows, HANDLE child);

    // The console closed if it is not yet, every handle released.
    void Release();

private:
    void CloseConsole();

    SrwLock m_lock;
    void *m_console = nullptr;
    std::atomic<unsigned long> m_size{0};
    // For the helper, inheritable for its creation only: a copy of the
    // host's own process handle that lets it hand over the program's
    // handles, and the write end of the pipe it reports on.
    ScopedHandle m_hostForHelper;
    ScopedHandle m_reportWrite;
    ScopedHandle m_reportRead;
};
