/*
 * brackwyn: run a console program invisibly from a GUI host and receive its
 * output while it is being produced.
 *
 * A host registers its callbacks, then calls dllglue_main, which blocks until
 * the program has ended while it keeps the calling thread's window messages
 * flowing. dllglue_abort stops a run from a window handler or another thread.
 *
 * Threads: the output and error callbacks run on two reader threads of the
 * library, the completion callback on a third; none runs on the thread inside
 * dllglue_main except for the "Unable to start" report. When dllglue_main
 * returns, no callback of that run is running and none will come, so the host
 * may free what `user` points to, or unload the DLL.
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
 * its error reader thread, possibly at the same moment; chunks of one stream
 * arrive in order. A callback must not wait for the UI thread in a way the UI
 * thread cannot answer: SendMessage to a window of the thread inside
 * dllglue_main (or inside dllglue_abort) is fine, the library delivers it,
 * but waiting on an event or lock that the UI thread holds or sets only after
 * dllglue_main has returned deadlocks. While a callback runs, its stream is
 * not read, so a slow callback slows the child down and loses nothing.
 */
typedef void(BRACKWYN_CALL *ConsoleTextCallback)(const char *text, size_t length, void *user);

/*
 * The end of a run, on the library's watcher thread, after every byte of both
 * streams has been delivered: no chunk of the run follows it. Called once for
 * every run that started, aborted or not; not for a program that could not be
 * started, nor for a call that was refused. `stderrSeen` is 1 when at least
 * one byte of error text was delivered during the run, else 0. The rule on
 * waiting for the UI thread is the same as for the text callbacks.
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
 * with spaces must carry its own quotes, and a program that splits its command
 * line by rules of its own (`cmd /c` does) should get everything in `command`
 * with argc 0. A batch file (.bat, .cmd) runs through the system's cmd.exe,
 * each argument quoted as one parameter that cmd.exe never reads as syntax;
 * an argument with a line break cannot be passed to one and makes the run a
 * start failure. A null argv or a negative argc passes no argument; a null
 * entry passes an empty one. Strings are in the ANSI code page. The child's standard
 * input stays open and receives nothing.
 *
 * Blocks until the child and everything that inherited its output have ended,
 * dispatching the calling thread's window messages meanwhile (and showing the
 * app-starting cursor). Returns 1 when the child's exit code is 0, otherwise
 * 0: for any other exit code, an aborted run, a program that could not be
 * started (reported to the output callback, on the calling thread, as
 * "Unable to start <command line>\n"), and a call made while another run is
 * in progress. One run at a time per process: such a call, say from a button
 * handler that the running call dispatches or from another thread, is refused
 * at once without touching the run in progress or calling any callback. A
 * WM_QUIT taken off the queue during the run is posted again before the call
 * returns.
 *
 * `user` is handed unchanged to every callback of this run.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_main(const char *command, int argc, const char *const *argv,
                                            void *user);

/*
 * Stops the run in progress: terminates the child and everything it started
 * (they end with exit code 1). A host that runs in a job allowing no job of
 * the library's own gets the child alone terminated; a process the child
 * started then keeps the run going for as long as it holds the output.
 * Returns nonzero when a run was stopped, 0 when there was none. Safe from a
 * window handler that dllglue_main dispatches, from a callback and from any
 * other thread; outside the library's threads it waits, up to about a second,
 * for the completion callback, delivering messages sent to the calling thread
 * meanwhile. Text the child wrote before the stop is still delivered, then
 * the completion callback comes, and dllglue_main returns shortly after: 0,
 * unless the child itself had already ended with exit code 0 and only a
 * process it started was still holding its output.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_abort(void);

#ifdef __cplusplus
} /* extern "C" */

/* Kept for hosts that were built against it; it holds nothing and takes no
 * part in a run. The DLL exports its two assignment operators under GCC's
 * names and under MSVC's, so hosts of either compiler link them. */
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
