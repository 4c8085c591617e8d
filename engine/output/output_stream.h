// One output stream of a run: the library's end of its pipe, the event its
// overlapped reads complete on, its reader thread, and what it counted.
//
// Who touches what:
//   the launching thread  creates the event and attaches the pipe, resets the
//                         counts and starts the reader, all before the child
//                         runs;
//   the reader thread     reads the pipe, puts the bytes through the text
//                         stages, delivers them and counts them; once the
//                         pipe breaks or the run's "finish reading" event is
//                         signalled it takes what is left, ends the stages
//                         and closes the pipe;
//   the watcher           counts the streams that were started and waits
//                         for their readers; it signals "finish reading";
//   any thread            reads the counts (atomics) and asks whether it is
//                         on the reader;
//   the releasing thread  closes what is left (the event, the thread, the
//                         pipe of a reader that never ran) once the reader
//                         has ended or never started.
#pragma once

#include <windows.h>

#include <atomic>
#include <utility>

#include "engine/delivery/delivery.h"
#include "engine/os/scoped_handle.h"
#include "engine/output/read_chain.h"

class OutputStream {
public:
    explicit OutputStream(StreamKind kind) : m_kind(kind) {}
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    // The launching thread's part.
    bool CreateReadyEvent();
    // The library's end of the stream's pipe (never inheritable, overlapped).
    void Attach(ScopedHandle pipe) { m_pipe = std::move(pipe); }
    void ResetCounts();
    // Starts `procedure(run)` as the reader, which calls Relay.
    bool Start(LPTHREAD_START_ROUTINE procedure, void *run);

    // The reader's work. Hands everything the pipe yields through the text
    // stages to `delivery`, in chunks of at most kChunkSize bytes each
    // followed by a NUL, until the pipe breaks or `finishReading` is
    // signalled and the pipe holds nothing more. Then closes the pipe, so
    // that a process still writing gets a broken pipe instead of blocking
    // for ever on a full one.
    void Relay(const TextOptions &text, Delivery &delivery, HANDLE finishReading);

    bool Started() const { return m_thread.IsValid(); }
    // Null when no reader was started.
    HANDLE Thread() const { return m_thread.Get(); }
    bool OnReader(DWORD threadId) const {
        return m_thread.IsValid() && GetThreadId(m_thread.Get()) == threadId;
    }
    // Bytes delivered (or dropped for want of a callback); for text, the
    // bytes read, since what is delivered is no longer what the child wrote.
    unsigned long long Bytes() const { return m_bytes.load(); }
    // 1 once a chunk of the error stream was delivered; the output stream's
    // stays 0.
    int Seen() const { return m_seen.load(); }

    // The releasing thread's part.
    void Release();

private:
    const StreamKind m_kind;
    ScopedHandle m_pipe;
    // Manual reset, as overlapped I/O wants: each read resets it.
    ScopedHandle m_ready;
    ScopedHandle m_thread;
    std::atomic<unsigned long long> m_bytes{0};
    std::atomic<int> m_seen{0};
};
