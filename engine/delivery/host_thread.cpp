#include "engine/delivery/host_thread.h"

#include <algorithm>
#include <new>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
// Every HostThread there is, under the lock.
std::vector<HostThread *> *g_threads = nullptr;

// A private message, posted to the window only.
constexpr UINT kWakeMessage = WM_APP + 0x2b1;
// Destroys the window on its own thread when its object went from another.
constexpr UINT kDestroyMessage = WM_APP + 0x2b2;
// The next turn, after the thread's input, paint and timer messages.
constexpr UINT_PTR kTurnTimer = 1;
// Armed while a turn is under way: should a callback run a modal loop (a
// MessageBox), its ticks give the other runs their turns inside it. Longer
// than a turn, so that it never fires in one that calls out quickly and
// shows the thread a timer of its own waiting.
constexpr UINT_PTR kNestedTimer = 2;
constexpr UINT kNestedTimerMs = 25;
// A wake-up outstanding this long was taken off the queue without being
// dispatched (a host's filtered PeekMessage, say), or waits behind a long
// callback: one more is posted rather than stall the runs.
constexpr ULONGLONG kStaleWakeMs = 1000;
// How long one turn delivers.
constexpr LONGLONG kTurnMs = 10;
// How many items of one run a pass of a turn delivers in a row.
constexpr int kPassItems = 16;

const wchar_t kClassName[] = L"brackwyn.host-thread";

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    // FROM_ADDRESS: the module this code is in, the DLL or the program that
    // links the library statically; UNCHANGED_REFCOUNT: no reference held.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

LONGLONG MsSince(const LARGE_INTEGER &start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
}

} // namespace

SRWLOCK &HostDeliveryLock() {
    return g_lock;
}

HostThread *HostThread::ForThisThread() {
    const DWORD self = GetCurrentThreadId();
    if (g_threads != nullptr) {
        for (HostThread *thread : *g_threads) {
            // An ended thread's object lives on until its runs are freed;
            // its id may meanwhile belong to this thread.
            if (thread->m_threadId == self && WaitForSingleObject(thread->m_thread, 0) != 0)
                return thread;
        }
    } else {
        g_threads = new (std::nothrow) std::vector<HostThread *>();
        if (g_threads == nullptr)
            return nullptr;
    }
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &HostThread::WindowProc;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = kClassName;
    // A second registration fails harmlessly: the class is there.
    RegisterClassExW(&windowClass);
    // HWND_MESSAGE: a message-only window, never shown, not enumerated, no
    // broadcasts; it only receives what is posted to it and its timers.
    HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    // SYNCHRONIZE: only to see the thread's end.
    HANDLE handle = OpenThread(SYNCHRONIZE, FALSE, self);
    HostThread *thread = nullptr;
    if (window != nullptr && handle != nullptr)
        thread = new (std::nothrow) HostThread(self, handle, window);
    if (thread != nullptr) {
        try {
            g_threads->push_back(thread);
            return thread;
        } catch (...) {
            delete thread;
            return nullptr; // the destructor closed the handle and the window
        }
    }
    if (window != nullptr)
        DestroyWindow(window);
    if (handle != nullptr)
        CloseHandle(handle);
    return nullptr;
}

HostThread::~HostThread() {
    if (OnThread())
        DestroyWindow(m_window);
    else
        PostMessageW(m_window, kDestroyMessage, 0, 0); // fails once the thread has ended
    CloseHandle(m_thread);
}

void HostThread::AddLocked(TurnRun *run) {
    m_runs.push_back(run);
}

bool HostThread::RemoveLocked(TurnRun *run) {
    m_runs.erase(std::remove(m_runs.begin(), m_runs.end(), run), m_runs.end());
    if (!m_runs.empty() || m_turnDepth > 0)
        return false;
    g_threads->erase(std::remove(g_threads->begin(), g_threads->end(), this), g_threads->end());
    return true;
}

void HostThread::Release() {
    delete this;
}

void HostThread::Kick() {
    const ULONGLONG now = GetTickCount64();
    if (m_wakePending.exchange(true)) {
        if (now - m_wokenAt.load() < kStaleWakeMs)
            return;
    }
    m_wokenAt = now;
    if (!PostMessageW(m_window, kWakeMessage, 0, 0))
        m_wakePending = false; // a queue that is full, or a thread that has ended
}

bool HostThread::HasWorkLocked() const {
    return std::any_of(m_runs.begin(), m_runs.end(),
                       [](const TurnRun *run) { return run->ReadyLocked(); });
}

LRESULT CALLBACK HostThread::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kDestroyMessage) {
        DestroyWindow(window);
        return 0;
    }
    if (message != kWakeMessage && message != WM_TIMER)
        return DefWindowProcW(window, message, wParam, lParam);
    HostThread *self = nullptr;
    AcquireSRWLockExclusive(&g_lock);
    for (HostThread *thread : g_threads != nullptr ? *g_threads : std::vector<HostThread *>()) {
        if (thread->m_window == window)
            self = thread;
    }
    if (self != nullptr)
        ++self->m_turnDepth;
    ReleaseSRWLockExclusive(&g_lock);
    if (self == nullptr)
        return 0;
    if (message == WM_TIMER && wParam == kTurnTimer)
        KillTimer(window, kTurnTimer);
    self->RunTurn();
    return 0;
}

// The turn depth was raised for it: the object outlives the turn.
void HostThread::RunTurn() {
    const bool outermost = m_turnDepth == 1;
    if (outermost)
        SetTimer(m_window, kNestedTimer, kNestedTimerMs, nullptr);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool delivered = true;
    while (delivered && MsSince(start) < kTurnMs) {
        delivered = false;
        // Each pass gives every ready run one item, starting one further on
        // each time; a run freed by a callback meanwhile is no longer listed.
        std::vector<TurnRun *> ready;
        AcquireSRWLockExclusive(&g_lock);
        try {
            const size_t count = m_runs.size();
            for (size_t i = 0; i < count; ++i) {
                TurnRun *run = m_runs[(i + m_rotate) % count];
                if (run->ReadyLocked())
                    ready.push_back(run);
            }
        } catch (...) {
            ready.clear(); // out of memory: this turn ends, the next tries again
        }
        ++m_rotate;
        ReleaseSRWLockExclusive(&g_lock);
        for (TurnRun *run : ready) {
            // Up to kPassItems of one run in a row: a pass per item would
            // cost more than the items.
            for (int item = 0; item < kPassItems; ++item) {
                AcquireSRWLockExclusive(&g_lock);
                const bool listed = std::find(m_runs.begin(), m_runs.end(), run) != m_runs.end();
                // Lets go of the lock; false when the run had nothing ready.
                if (!listed) {
                    ReleaseSRWLockExclusive(&g_lock);
                    break;
                }
                if (!run->DeliverNextLocked())
                    break;
                delivered = true;
                if (MsSince(start) >= kTurnMs)
                    break;
            }
            if (MsSince(start) >= kTurnMs)
                break;
        }
    }
    AcquireSRWLockExclusive(&g_lock);
    --m_turnDepth;
    const bool work = HasWorkLocked();
    bool release = false;
    if (outermost) {
        KillTimer(m_window, kNestedTimer);
        if (m_runs.empty()) {
            g_threads->erase(std::remove(g_threads->begin(), g_threads->end(), this),
                             g_threads->end());
            release = true;
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (release) {
        Release();
        return;
    }
    if (!outermost)
        return; // the nested timer ticks on; the outer turn schedules
    if (!work) {
        m_wakePending = false;
        // A chunk queued after the look above found the wake-up pending.
        AcquireSRWLockExclusive(&g_lock);
        const bool late = HasWorkLocked();
        ReleaseSRWLockExclusive(&g_lock);
        if (late)
            Kick();
        return;
    }
    // Work is left: the wake-up stays pending. Input, paint and timer
    // messages waiting go first; a posted message would pass them.
    const DWORD waiting = HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT | QS_TIMER));
    if (waiting != 0 && SetTimer(m_window, kTurnTimer, USER_TIMER_MINIMUM, nullptr) != 0) {
        m_wokenAt = GetTickCount64();
        return;
    }
    m_wokenAt = GetTickCount64();
    if (!PostMessageW(m_window, kWakeMessage, 0, 0))
        m_wakePending = false;
}
