#include "engine/redirect.h"

namespace {

// Hands every chunk the pipe yields to `relay` until the pipe breaks, that is
// until it is empty and every write end is closed: the child's, and those of
// any process that inherited them. Nothing else ends a reader, so no byte
// written before the end is lost.
template <typename Relay> void RelayUntilBroken(HANDLE pipe, Relay relay) {
    // One more byte than a read takes, for the NUL after the chunk.
    char buffer[kChunkSize + 1];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(pipe, buffer, kChunkSize, &count, nullptr))
            return;
        // A zero-byte write of the child reads as zero bytes; the pipe is
        // still open.
        if (count == 0)
            continue;
        buffer[count] = '\0';
        relay(buffer, count);
    }
}

} // namespace

DWORD WINAPI StdoutReaderProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    RelayUntilBroken(self->m_stdoutReader.Get(),
                     [self](const char *text, DWORD length) { self->RelayStdout(text, length); });
    return 0;
}

DWORD WINAPI StderrReaderProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    RelayUntilBroken(self->m_stderrReader.Get(), [self](const char *text, DWORD length) {
        self->m_stderrSeen = 1;
        self->RelayStderr(text, length);
    });
    return 0;
}

DWORD WINAPI WatcherProc(LPVOID redirector) {
    auto *self = static_cast<CRedirect *>(redirector);
    // The child's end, or a stop, whichever comes first.
    HANDLE endOrStop[2] = {self->m_process.Get(), self->m_stopEvent.Get()};
    WaitForMultipleObjects(2, endOrStop, FALSE, INFINITE);
    g_running = 0;
    // Every byte of both streams reaches the host before the end does. A
    // process that inherited the child's output keeps the run going until it
    // lets go of the pipe.
    HANDLE readers[2] = {self->m_stdoutThread.Get(), self->m_stderrThread.Get()};
    WaitForMultipleObjects(2, readers, TRUE, INFINITE);
    if (!self->m_launchAbandoned.load())
        self->NotifyFinished(self->m_stderrSeen.load());
    self->m_finished = 1;
    return 0;
}
