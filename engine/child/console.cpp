#include "engine/child/console.h"

#include <utility>

#include "engine/child/pipes.h"
#include "engine/input/input_queue.h"
#include "engine/output/output_stream.h"

namespace {

bool CreateOutputPipe(ScopedHandle &childEnd, OutputStream &stream) {
    ScopedHandle reader;
    if (!CreateChildPipe(PipeDirection::FromChild, childEnd, reader))
        return false;
    stream.Attach(std::move(reader));
    return true;
}

} // namespace

bool HiddenConsole::Create(bool mergeErrors, InputQueue &input, OutputStream &output,
                           OutputStream &error) {
    ScopedHandle inputWriter;
    if (!CreateChildPipe(PipeDirection::ToChild, m_stdinRead, inputWriter))
        return false;
    input.Attach(std::move(inputWriter));
    return CreateOutputPipe(m_stdoutWrite, output) &&
           (mergeErrors || CreateOutputPipe(m_stderrWrite, error));
}

void HiddenConsole::Prepare(STARTUPINFOW &startup, DWORD &flags,
                            std::vector<HANDLE> &inherited) const {
    // Our pipes as the standard handles, and the show-window value below
    // for the new console's window.
    startup.dwFlags |= STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = m_stdinRead.Get();
    startup.hStdOutput = m_stdoutWrite.Get();
    // Merged: the very same handle for both, so that the child's writes to
    // either land in one pipe in the order it made them.
    const bool merged = !m_stderrWrite.IsValid();
    startup.hStdError = merged ? m_stdoutWrite.Get() : m_stderrWrite.Get();
    // A console of its own: a GUI host has none to share, and a console
    // host's window must not receive the child's writes or its Ctrl+C.
    flags |= CREATE_NEW_CONSOLE;
    // Each handle once: the system refuses a handle list with duplicates.
    inherited.push_back(m_stdinRead.Get());
    inherited.push_back(m_stdoutWrite.Get());
    if (!merged)
        inherited.push_back(m_stderrWrite.Get());
}

void HiddenConsole::Created() {
    m_stdinRead.Close();
    m_stdoutWrite.Close();
    m_stderrWrite.Close();
}
