// Single owner of one kernel handle.
//
// The handle sits in an atomic word because the run's handle fields are read
// by the worker threads and the host's threads while one of them may release
// it: Take() and Close() exchange the word for null first, so a handle is
// closed exactly once however many threads race to close it.
#pragma once

#include <windows.h>

#include <atomic>

class ScopedHandle {
public:
    constexpr ScopedHandle() noexcept = default;
    explicit ScopedHandle(HANDLE handle) noexcept : m_handle(Normalize(handle)) {}
    ScopedHandle(ScopedHandle &&other) noexcept : m_handle(other.Take()) {}
    ScopedHandle &operator=(ScopedHandle &&other) noexcept {
        if (this != &other)
            Reset(other.Take());
        return *this;
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    ~ScopedHandle() { Close(); }

    bool IsValid() const noexcept { return Get() != nullptr; }
    HANDLE Get() const noexcept { return m_handle.load(); }

    // Gives up ownership; the caller closes the handle.
    HANDLE Take() noexcept { return m_handle.exchange(nullptr); }

    // Closes the current handle, if any, and owns `handle` from now on.
    void Reset(HANDLE handle = nullptr) noexcept {
        HANDLE old = m_handle.exchange(Normalize(handle));
        if (old != nullptr)
            CloseHandle(old);
    }
    void Close() noexcept { Reset(); }

private:
    // CreateFile-style failures return INVALID_HANDLE_VALUE; keep one "none".
    static HANDLE Normalize(HANDLE handle) noexcept {
        return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }

    std::atomic<HANDLE> m_handle{nullptr};
};
