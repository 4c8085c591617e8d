// How the child gets its standard handles and its console: the part of the
// launch that differs between ways of running a program. Today's way, a
// hidden console of the child's own with three pipes as its standard
// handles, is HiddenConsole; a pseudo console, for programs that buffer
// their output when it goes to a pipe, is the second (pseudo_console.h).
//
// Who touches what: the launching host thread only, from the creation of
// the handles until just after the call that creates the child. The
// library's ends are handed to the input queue and the output streams,
// which own them from then on.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "engine/os/scoped_handle.h"

class InputQueue;
class OutputStream;

class ChildConsole {
public:
    virtual ~ChildConsole() = default;

    // Makes what the child's standard handles need and hands the library's
    // ends to `input`, `output` and, unless the error output is merged into
    // the output, `error`. False with GetLastError telling why.
    virtual bool Create(bool mergeErrors, InputQueue &input, OutputStream &output,
                        OutputStream &error) = 0;

    // The startup fields and creation flags this way needs, and the handles
    // the child is to inherit (each once).
    virtual void Prepare(STARTUPINFOW &startup, DWORD &flags,
                         std::vector<HANDLE> &inherited) const = 0;

    // The program the system is to create and its command line (which may
    // be written to): a way that starts the child through a helper puts the
    // helper there.
    virtual void Wrap(std::wstring &, std::wstring &) const {}

    // A pseudo console for the creation's attribute list; null for none.
    virtual void *Attribute() const { return nullptr; }

    // After the creation call, whether it succeeded or not: the child holds
    // its own copies of what it inherited.
    virtual void Created() = 0;

    // After a creation that succeeded, `created` (suspended) becomes the
    // run's child: a way that created a helper puts there the program the
    // helper started, suspended too. False with GetLastError telling why;
    // `created` then holds nothing.
    virtual bool Started(PROCESS_INFORMATION &) { return true; }

    // No process of the run is left and its output is still being read:
    // the console ends, so that its last output and the end of the pipe
    // come.
    virtual void End() {}
};

// A console of the child's own, hidden, with pipes as its standard handles.
class HiddenConsole final : public ChildConsole {
public:
    bool Create(bool mergeErrors, InputQueue &input, OutputStream &output,
                OutputStream &error) override;
    void Prepare(STARTUPINFOW &startup, DWORD &flags,
                 std::vector<HANDLE> &inherited) const override;
    // A reader sees its pipe break only once every write end is closed, so
    // ours go, or the end of the child's output would never be seen.
    void Created() override;

private:
    // The child's ends of the pipes: inheritable only during the call that
    // creates the child (the launch sees to that), closed right after it.
    // No error end when merged.
    ScopedHandle m_stdinRead;
    ScopedHandle m_stdoutWrite;
    ScopedHandle m_stderrWrite;
};
