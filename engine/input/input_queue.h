// The child's standard input as the library feeds it: what the host gives is
// copied into a queue at once, and one writer thread of the run moves it into
// the pipe in the order it was queued.
//
// Why a queue and a thread of its own: a pipe takes only so much before a
// writer waits for the reader, and a child may read slowly or never. The
// host's call must return at once whatever the child does, and the end of the
// run must not wait for bytes nobody will read. The writer waits instead, on
// overlapped writes that a stop or the end of the run cancels.
//
// Life of the input in one run:
//   Attach   the launch hands over the library's end of the pipe;
//   Start    the writer begins, with the run's up-front data queued first;
//   Write    any thread queues a copy; one call's bytes stay together;
//   Close    the child reads end of input once the queue has been written;
//   Abandon  the input closes now and what is queued is dropped (a stop, the
//            end of the run, a failed launch);
//   Release  with the writer gone, its handles are closed.
//
// Who touches what: the launching host thread attaches and starts it; the
// writer thread alone writes the pipe; any thread (the host's, a stop, the
// watcher at the end of the run) writes, closes or abandons, under the
// queue's own lock; the releasing thread closes its handles once the writer
// has ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "engine/os/scoped_handle.h"
#include "engine/os/srw_lock.h"

class InputQueue {
public:
    InputQueue() = default;
    InputQueue(const InputQueue &) = delete;
    InputQueue &operator=(const InputQueue &) = delete;

    // A new run: takes the library's end of the child's input pipe and
    // forgets whatever the previous run left.
    void Attach(ScopedHandle pipe);

    // After Attach, before Start: the input is a console's keystrokes (a
    // pseudo console's input pipe). "\n", "\r\n" and a lone "\r" are each
    // one Enter, which a console takes as "\r"; Close sends Ctrl+Z and
    // Enter, the console's end of input. The pipe stays open until Release,
    // whatever closes or abandons the input: a console whose input breaks
    // ends at once with every program in it (Wine), before a stop's Ctrl+C
    // could reach them.
    void UseConsoleKeys() { m_consoleKeys = true; }

    // Starts the writer with `first` queued. `child` is the child's process,
    // owned by the run and open for as long as the queue is used: once it
    // has ended, nothing more is accepted. False when the writer could not
    // be started (the launch then fails, and abandons the input).
    bool Start(std::string first, HANDLE child);

    // Queues a copy of `data`; returns at once. DLLGLUE_OK, DLLGLUE_ECLOSED
    // (closed, or the child has ended: nothing queued) or DLLGLUE_ENOMEM.
    int Write(const void *data, size_t length);

    // The child reads end of input once everything queued is written. A
    // second call changes nothing.
    void Close();

    // Closes the input now and drops what is still queued; a write in
    // progress is cancelled. Safe from any thread, also before Start.
    void Abandon();

    // Closes every handle; the writer must have ended (see Thread()).
    void Release();

    // Bytes the child's pipe took so far.
    unsigned long long Written() const { return m_written.load(); }
    // Bytes queued and not written; after the input closed, what never was.
    // The written count first: the queued count only grows, and never lags
    // behind it.
    unsigned long long Pending() const {
        const unsigned long long written = m_written.load();
        return m_queued.load() - written;
    }
    // The writer thread; null when none was started.
    HANDLE Thread() const { return m_thread.Get(); }

private:
    static DWORD WINAPI WriterProc(LPVOID queue);
    void Feed();
    bool WriteBlock(const std::string &block);
    bool ChildEnded() const;
    void AsKeys(std::string &block);

    // Guards the queue and the two flags below against the host's threads,
    // the writer, and a stop or the end of the run.
    SrwLock m_lock;
    std::deque<std::string> m_blocks;
    // Close() was called: the writer ends once the queue is empty.
    bool m_closing = false;
    // Abandon() was called, or the pipe failed: nothing is written any more.
    bool m_abandoned = false;
    // UseConsoleKeys(), and whether the last byte queued was a "\r" (whose
    // "\n", if it comes next, is the same Enter).
    bool m_consoleKeys = false;
    bool m_afterCr = false;

    ScopedHandle m_pipe;
    ScopedHandle m_thread;
    // Auto reset: a block or a Close() arrived for an idle writer.
    ScopedHandle m_wake;
    // Manual reset: set once by Abandon(), seen by every later wait.
    ScopedHandle m_abandon;
    // The writes' overlapped event.
    ScopedHandle m_ready;
    std::atomic<HANDLE> m_child{nullptr};
    std::atomic<unsigned long long> m_queued{0};
    std::atomic<unsigned long long> m_written{0};
};
