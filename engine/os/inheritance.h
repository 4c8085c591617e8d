// Handing handles to a new process, and to it alone.
//
// A handle reaches a new process only if it is inheritable, and then every
// process created meanwhile with inheritance on gets it too. So the library's
// own creations take turns over the moment their handles are inheritable
// (InheritanceTurn), and each names the handles its process is to get
// (HandleList): with the list, a process of the library inherits those and
// nothing else that happens to be inheritable at that moment.
#pragma once

#include <windows.h>

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

// One turn at a time over inheritable handles, for every creation of the
// library. An SRWLOCK, not a std::mutex: it needs no event of its own when
// two creations meet, so a run leaves the host's handle count as it was.
class InheritanceTurn {
public:
    InheritanceTurn() { AcquireSRWLockExclusive(&Lock()); }
    ~InheritanceTurn() { ReleaseSRWLockExclusive(&Lock()); }
    InheritanceTurn(const InheritanceTurn &) = delete;
    InheritanceTurn &operator=(const InheritanceTurn &) = delete;

private:
    static SRWLOCK &Lock() {
        static SRWLOCK lock = SRWLOCK_INIT;
        return lock;
    }
};

// The system's attribute list naming the only handles a new process
// inherits, and the pseudo console it is to run in, if any.
class HandleList {
public:
    explicit HandleList(std::vector<HANDLE> handles, void *pseudoConsole = nullptr)
        : m_handles(std::move(handles)) {
        // Spelled out: MinGW's headers declare it only for newer targets.
        const DWORD_PTR kPseudoConsoleAttribute = 0x00020016;
        const DWORD count = pseudoConsole != nullptr ? 2 : 1;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        m_storage.reset(new (std::nothrow) char[size]);
        auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.get());
        if (list == nullptr || !InitializeProcThreadAttributeList(list, count, 0, &size))
            return;
        m_list = list;
        if (!UpdateProcThreadAttribute(m_list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                       m_handles.data(), m_handles.size() * sizeof(HANDLE), nullptr,
                                       nullptr) ||
            (pseudoConsole != nullptr &&
             !UpdateProcThreadAttribute(m_list, 0, kPseudoConsoleAttribute, pseudoConsole,
                                        sizeof(pseudoConsole), nullptr, nullptr))) {
            DeleteProcThreadAttributeList(m_list);
            m_list = nullptr;
        }
    }
    ~HandleList() {
        if (m_list != nullptr)
            DeleteProcThreadAttributeList(m_list);
    }
    HandleList(const HandleList &) = delete;
    HandleList &operator=(const HandleList &) = delete;
    // Null when the system could not build the list.
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return m_list; }

private:
    std::vector<HANDLE> m_handles;
    std::unique_ptr<char[]> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

// Creates `program` with `commandLine` (which names it first) and no console
// of its own, handing it `handles` and nothing else, each inheritable for
// this creation only. The library's helpers start this way: the Ctrl+C
// helper and the terminal's resize helper, each of which attaches to a run's
// console. The new process, its thread handle closed; null when it did not
// start (also when the system cannot build the list: it would then inherit
// whatever else is inheritable).
HANDLE StartDetachedWith(const std::wstring &program, std::wstring commandLine,
                         const std::vector<HANDLE> &handles);
