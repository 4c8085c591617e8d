#include "engine/redirect.h"

CRedir g_redir;

void CRedirect::NotifyLaunched(const char *) {}

void CRedirect::RelayStdout(const char *, size_t) {}
void CRedirect::RelayStderr(const char *, size_t) {}
void CRedirect::NotifyFinished(int) {}

// Each callback is read anew at every call: a setter may replace it during a
// run. A null callback is skipped, so a host may listen to one stream only.
void CRedir::RelayStdout(const char *text, size_t length) {
    ConsoleTextCallback callback = m_onStdout.load();
    if (callback != nullptr && !m_muted.load())
        callback(text, length, m_userValue.load());
}

void CRedir::RelayStderr(const char *text, size_t length) {
    ConsoleTextCallback callback = m_onStderr.load();
    if (callback != nullptr && !m_muted.load())
        callback(text, length, m_userValue.load());
}

void CRedir::NotifyFinished(int stderrSeen) {
    ConsoleExitCallback callback = m_onExit.load();
    if (callback != nullptr && !m_muted.load())
        callback(stderrSeen, m_userValue.load());
}

// Runs when the library is unloaded or the process exits. At process exit
// the system has already ended every other thread, perhaps in the middle of
// a call or holding a lock, so nothing here waits or locks; the child's tree
// must still be terminated, or it would outlive its host with nobody reading
// its pipes.
CRedir::~CRedir() {
    m_muted = true;
    StopAtExit();
}
