#include "engine/os/inheritance.h"

HANDLE StartDetachedWith(const std::wstring &program, std::wstring commandLine,
                         const std::vector<HANDLE> &handles) {
    HandleList list(handles);
    if (list.Get() == nullptr)
        return nullptr;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list.Get();
    PROCESS_INFORMATION created{};
    BOOL started = FALSE;
    {
        // Inheritable for this creation only, which the list narrows to
        // these; the library's other creations take their turn meanwhile.
        InheritanceTurn turn;
        for (HANDLE handle : handles)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        // DETACHED_PROCESS: no console of its own (whether the program is a
        // console program or not), so that it can attach to a run's.
        // EXTENDED_STARTUPINFO_PRESENT: the handle list above.
        started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                 DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                 &startup.StartupInfo, &created);
        for (HANDLE handle : handles)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }
    if (!started)
        return nullptr;
    CloseHandle(created.hThread);
    return created.hProcess;
}
