// How the child gets its standard handles and its console: the part of the
// launch that differs between ways of running a program. Today's way, a
// hidden console of the child's own with three pipes as its standard
// handles, is HiddenConsole; a pseudo console, for programs that buffer
// their output when it goes to a pipe, comes as a second.
//
// Who touches what: the launching host thread only, from the creation of
// the handles until just after the call that creates the child. The
// library's ends are handed to the input queue and the output streams,
// which own them from then on.
#pragma once

#include <windows.h>

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

    // After the creation call, whether it succeeded or not: the child holds
    // its own copies of what it inherited.
    virtual void Created() = 0;
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
