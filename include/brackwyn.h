/*
 * brackwyn: run a console program invisibly from a GUI host and receive its
 * output while it is being produced.
 *
 * A host registers its callbacks, then calls dllglue_main, which blocks until
 * the program has ended while it keeps the calling thread's window messages
 * flowing. dllglue_abort stops a run from a window handler or another thread.
 */
#ifndef BRACKWYN_H
#define BRACKWYN_H

#include <stddef.h>

#if defined(BRACKWYN_STATIC)
#define BRACKWYN_API
#elif defined(BRACKWYN_BUILDING)
#define BRACKWYN_API __declspec(dllexport)
#else
#define BRACKWYN_API __declspec(dllimport)
#endif

/* The platform's standard calling convention; spelled out for 32-bit tools
   that read this header, meaningless on x64. */
#define BRACKWYN_CALL __cdecl

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One chunk of the child's output or error text: at most 1024 bytes as the
 * child wrote them, in the child's code page, followed by a NUL byte that is
 * not counted in `length`. The chunk may itself contain NUL bytes, and its end
 * does not follow line ends. `text` is valid only during the call.
 *
 * Output chunks arrive on the library's output reader thread, error chunks on
 * its error reader thread, possibly at the same moment. A callback must not
 * wait for the UI thread in a way the UI thread cannot answer; sending a
 * message to a window of the thread inside dllglue_main is fine, the library
 * delivers it.
 */
typedef void(BRACKWYN_CALL *ConsoleTextCallback)(const char *text, size_t length, void *user);

/*
 * The end of a run, on the library's watcher thread, after every byte of both
 * streams has been delivered. `stderrSeen` is 1 when at least one byte of
 * error text was delivered during the run, else 0.
 */
typedef void(BRACKWYN_CALL *ConsoleExitCallback)(int stderrSeen, void *user);

/* Reserved: stored by dllglue_setconsolestart and never called. */
typedef void(BRACKWYN_CALL *ConsoleStartCallback)(const char *commandLine, void *user);

/* The setters store the pointer for every later run; a null callback is
 * skipped. They may be called at any time, also during a run. */
BRACKWYN_API void BRACKWYN_CALL dllglue_setconsoleout(ConsoleTextCallback callback);
BRACKWYN_API void BRACKWYN_CALL dllglue_setconsoleerr(ConsoleTextCallback callback);
BRACKWYN_API void BRACKWYN_CALL dllglue_setconsoleexit(ConsoleExitCallback callback);
BRACKWYN_API void BRACKWYN_CALL dllglue_setconsolestart(ConsoleStartCallback callback);

/*
 * Runs `command` followed by argv[0..argc-1], each argument quoted so that the
 * child's C runtime receives it exactly, in a hidden console of its own with
 * its standard handles on pipes. `command` is used unchanged: a program path
 * with spaces must carry its own quotes. Its standard input stays open and
 * receives nothing.
 *
 * Blocks until the child and everything that inherited its output have ended,
 * dispatching the calling thread's window messages meanwhile. Returns 1 when
 * the child's exit code is 0, otherwise 0: for any other exit code, an
 * aborted run, a program that could not be started (reported to the output
 * callback as "Unable to start <command line>\n"), and a call made while
 * another run is in progress. A WM_QUIT taken off the queue during the run is
 * posted again before the call returns.
 *
 * `user` is handed unchanged to every callback of this run.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_main(const char *command, int argc, const char *const *argv,
                                            void *user);

/*
 * Stops the running child and everything it started, with exit code 1.
 * Returns nonzero when a running child was terminated, 0 when there was
 * none. Safe from a window handler that dllglue_main dispatches and from any
 * other thread; dllglue_main then returns 0 shortly after the completion
 * callback.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_abort(void);

#ifdef __cplusplus
} /* extern "C" */

/* Kept for hosts that were built against it; it holds nothing and takes no
 * part in a run. */
class Cbrackwyn {
public:
    Cbrackwyn() = default;
    Cbrackwyn(const Cbrackwyn &) = default;
    Cbrackwyn(Cbrackwyn &&) = default;
    ~Cbrackwyn() = default;
    BRACKWYN_API Cbrackwyn &operator=(const Cbrackwyn &other);
    BRACKWYN_API Cbrackwyn &operator=(Cbrackwyn &&other);
};
#endif

#endif /* BRACKWYN_H */
