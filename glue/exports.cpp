// The small entry points: callback setters, the abort and the stop, the exported class.
#include "engine/redirect.h"

extern "C" {

BRACKWYN_API void BRACKWYN_CALL dllglue_setconsoleout(ConsoleTextCallback callback) {
    g_redir.m_onStdout = callback;
}

BRACKWYN_API void BRACKWYN_CALL dllglue_setconsoleerr(ConsoleTextCallback callback) {
    g_redir.m_onStderr = callback;
}

BRACKWYN_API void BRACKWYN_CALL dllglue_setconsoleexit(ConsoleExitCallback callback) {
    g_redir.m_onExit = callback;
}

BRACKWYN_API void BRACKWYN_CALL dllglue_setconsolestart(ConsoleStartCallback callback) {
    g_redir.m_onStart = callback;
}

BRACKWYN_API int BRACKWYN_CALL dllglue_abort(void) {
    return g_redir.StopRun();
}

BRACKWYN_API int BRACKWYN_CALL dllglue_stop(unsigned long graceMs) {
    return g_redir.StopGracefully(graceMs);
}

} // extern "C"

Cbrackwyn &Cbrackwyn::operator=(const Cbrackwyn &) {
    return *this;
}

Cbrackwyn &Cbrackwyn::operator=(Cbrackwyn &&) {
    return *this;
}
