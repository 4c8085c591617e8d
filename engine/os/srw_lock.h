// The lock the run's parts take: a slim reader/writer lock, held
// exclusively, usable with std::lock_guard.
//
// Not a std::mutex: MinGW's creates an event the first time two threads
// meet on it and keeps it as long as the mutex lives, and the one run of
// dllglue_main lives as long as the library, so a host would see its
// handle count grow by one now and then, long after the run that met the
// lock. An SRWLOCK needs no handle of its own and nothing that can fail.
#pragma once

#include <windows.h>

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock &) = delete;
    SrwLock &operator=(const SrwLock &) = delete;

    void lock() { AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};
