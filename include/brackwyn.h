/*
 * brackwyn: run a console program invisibly from a GUI host and receive its
 * output while it is being produced.
 *
 * A host registers its callbacks, then calls dllglue_main, which blocks until
 * the program has ended while it keeps the calling thread's window messages
 * flowing. dllglue_stop asks a run to end, dllglue_abort ends it at once; both
 * from a window handler or another thread.
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

/* The version of this header. A host built against it checks the DLL it runs with by
   dllglue_version() >= BRACKWYN_VERSION: a DLL of the same major version and at least this
   minor version has everything this header declares. */
#define BRACKWYN_VERSION_MAJOR 0
#define BRACKWYN_VERSION_MINOR 1
#define BRACKWYN_VERSION_PATCH 0
#define BRACKWYN_VERSION                                                                           \
    (BRACKWYN_VERSION_MAJOR * 10000 + BRACKWYN_VERSION_MINOR * 100 + BRACKWYN_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One chunk of the child's output or error text: at most 1024 bytes as the
 * child wrote them, in the child's code page, followed by a NUL byte that is
 * not counted in `length`. The chunk may itself contain NUL bytes, and its end
 * does not follow line ends. `text` is valid only during the call. (A run
 * started with DLLGLUE_TEXT_UTF8 or DLLGLUE_LINES gets text instead; see
 * there.)
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
 * in progress. A start failure also sets the calling thread's
 * dllglue_lasterror() to "Unable to start <command line>: <why>" (not found,
 * access denied, line too long, ...); a later call that starts its program
 * clears it. The program is found as CreateProcess finds it, unquoted
 * prefixes with blanks and the current directory included: a host that
 * wants the library's own search uses dllglue_runstart.
 * One run at a time per process: such a call, say from a button
 * handler that the running call dispatches or from another thread, is refused
 * at once without touching the run in progress or calling any callback. A
 * WM_QUIT taken off the queue during the run is posted again before the call
 * returns. Should the message filter or a window procedure throw during the
 * run, the run is stopped, its completion callback has come and no thread of
 * it runs before the call returns 0; the exception does not leave the call.
 *
 * `user` is handed unchanged to every callback of this run.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_main(const char *command, int argc, const char *const *argv,
                                            void *user);

/*
 * Stops the run in progress: terminates the child and everything it started
 * (they end with exit code 1). A host that runs in a job allowing no job of
 * the library's own gets the child alone terminated: a process the child
 * started keeps running (and, until a stop, keeps the run going for as long
 * as it holds the output), and a stop ends the run after a brief grace with
 * what was in the pipes by then. Returns nonzero when a process of the run
 * was still running and was ended, 0 when there was no run or nothing of it
 * was left (say a child that had ended by itself while its output was still
 * being delivered). Safe from a window handler that dllglue_main dispatches,
 * from a callback and from any other thread; outside the library's threads it
 * waits, up to about a second, for the completion callback, delivering
 * messages sent to the calling thread meanwhile. Text the child wrote before
 * the stop is still delivered, then the completion callback comes, and
 * dllglue_main returns shortly after: 0, unless the child itself had already
 * ended with exit code 0 and only a process it started was still holding its
 * output.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_abort(void);

/*
 * The same as dllglue_runstop for dllglue_main's run in progress: 1 when
 * there was one, else 0. Returns at once. Safe from a window handler that
 * dllglue_main dispatches, from a callback and from any other thread.
 */
BRACKWYN_API int BRACKWYN_CALL dllglue_stop(unsigned long graceMs);

/* ------------------------------------------------------------------------
 * Run objects: any number of runs at once, each with its own callbacks,
 * directory, environment, input, timeout and exit code.
 *
 * dllglue_runstart starts a run and returns at once; dllglue_runwait waits
 * for it (optionally dispatching the calling thread's window messages, as
 * dllglue_main does); dllglue_runresult tells its state, exit code and byte
 * counts; dllglue_runclose stops it if need be and frees it. The command line
 * is composed exactly as dllglue_main composes it, but the program is found
 * by the library and never in the host's current directory or on its current
 * drive: a name without a folder in the host program's folder, the system
 * folder, the Windows folder, then the run's PATH (PATHEXT tried without an
 * extension), each folder once; PATH folders that are not absolute ("C:\"...
 * or "\\server\share\"...), such as ".", "C:tools" or "\tools", are skipped.
 * Only what Windows starts counts as found: a .com, .exe, .bat or .cmd file,
 * or a program image under any name; PATHEXT's scripts (.vbs, .js) are
 * passed over. A relative folder is the run's directory's (the host's current
 * one when the run has none), "C:x.exe" too when that directory is on C: (on
 * another drive it is a start failure), and "\x.exe" is on that directory's
 * drive. An unquoted path with blanks where a longer part of the command
 * names a file ("C:\my tools\x.exe", with or without a C:\my.exe) is a start
 * failure: put the path in quotes. Nothing found is DLLGLUE_ESTART.
 * A command line longer than 32,766 characters (8,191 for a batch file) is
 * refused as a start failure, as Windows would.
 *
 * Every callback of a run gets that run's `user`. Output and error chunks may
 * come at the same moment on two threads (with DLLGLUE_HOST_THREAD all of a
 * run's callbacks come instead on the thread that started it, one at a time); chunks of one stream
 * come in order, at most chunkBytes each (1024 unless set). Every byte comes before the completion
 * callback, which comes once for every run that started. Streams are read and counted whether or
 * not a callback is set.
 * ------------------------------------------------------------------------ */

typedef struct ConsoleRun ConsoleRun; /* one run; opaque */
struct tagMSG;                        /* MSG, from windows.h */

/* Called by a pumping wait (and by dllglue_main) for each message it takes,
   before TranslateMessage/DispatchMessage; nonzero means the host handled it
   (for example IsDialogMessage or TranslateAccelerator) and it is not
   dispatched. `user` is the run's user value. */
typedef int(BRACKWYN_CALL *ConsoleMessageFilter)(struct tagMSG *message, void *user); /* MSG */
/* The filter for dllglue_main; NULL: none. */
BRACKWYN_API void BRACKWYN_CALL dllglue_setmessagefilter(ConsoleMessageFilter filter);

#define DLLGLUE_UTF8                                                                               \
    0x1 /* command, argv, directory, environment are UTF-8 (else the ANSI code page) */
#define DLLGLUE_CLEARENV 0x2 /* start from an empty environment; the entries below still apply */
/*
 * Text a window can show. Without these flags a run delivers bytes exactly as
 * dllglue_main does; they combine, and merged UTF-8 lines suit a log pane.
 *
 * DLLGLUE_TEXT_UTF8: every chunk is valid UTF-8. Bytes that form valid UTF-8
 * pass unchanged; any other byte is read in textCodePage (in a double-byte
 * code page together with the byte after it when the two make a character;
 * with 65001 each such byte becomes one U+FFFD). A character is never split
 * between two chunks, so a chunk may end before chunkBytes; the last bytes of
 * a character the child has not finished writing wait for the rest, or for
 * the end of the stream. NUL bytes pass as U+0000. outputBytes and errorBytes
 * count the bytes as the child wrote them.
 *
 * DLLGLUE_LINES: a chunk ends right after a "\n" (a "\r\n" stays together;
 * a bare "\r" is no line end), so each chunk is one line. A line longer than
 * chunkBytes comes in consecutive chunks, the last ending with its "\n". A
 * line still unfinished (a prompt) is delivered as it is once lineFlushMs
 * passes without a new byte on its stream, or when the stream ends.
 *
 * DLLGLUE_MERGE: one pipe serves as both the child's standard output and its
 * standard error, so the two arrive as one stream in the child's own order;
 * the error callback is not called.
 *
 * Every byte is still delivered before the completion callback.
 */
#define DLLGLUE_MERGE                                                                              \
    0x4 /* the child's error output goes into its output pipe: one stream, in the                  \
           order the child wrote it, delivered to onOutput; errorBytes and                         \
           stderrSeen stay 0 */
#define DLLGLUE_LINES 0x8      /* each chunk is one line, its line end included, see below */
#define DLLGLUE_TEXT_UTF8 0x10 /* chunks are UTF-8, see below */
/*
 * DLLGLUE_HOST_THREAD: the run's output, error and completion callbacks are
 * called on the thread that called dllglue_runstart, from inside that
 * thread's DispatchMessage (the library keeps a message-only window there):
 * from the host's own GetMessage loop, a modal dialog's or menu's loop,
 * MessageBox, or a pumping dllglue_runwait. The thread must dispatch its
 * messages. Text comes in turns of about 10 ms, several chunks of several
 * runs, after which the thread's input, paint and timer messages go first;
 * one wake-up message at most is outstanding per thread. All text of the
 * run comes before its completion, each stream in order; the other flags
 * keep their rules. A callback may touch the host's windows, start, stop,
 * abort or close runs (this one included) and show a modal dialog, in whose
 * loop other runs keep delivering; a run's callbacks never nest inside its
 * own. Text read and not yet delivered is bounded per stream: past it the
 * library stops reading and the program waits in its write; nothing is lost.
 * dllglue_runwait on that thread calls the run's callbacks while it waits,
 * with or without DLLGLUE_WAIT_PUMP (without it, it dispatches nothing
 * else); on another thread it returns once the completion callback has
 * returned on the host thread. dllglue_runclose from one of the run's own
 * callbacks returns DLLGLUE_OK: the run is stopped if it is going, nothing
 * more is delivered, and it is freed once that callback has returned. A
 * close from another thread stops the run, delivers nothing more and waits
 * for a callback in progress on the host thread. When the host thread ends
 * while runs deliver to it, they are stopped as by dllglue_runabort and
 * deliver nothing more; waits on them from other threads return DLLGLUE_OK.
 */
#define DLLGLUE_HOST_THREAD 0x20
/*
 * DLLGLUE_TERMINAL: the child runs in a pseudo console of its own (Windows 10
 * 1809 and later; elsewhere the run is DLLGLUE_ESTART and dllglue_lasterror
 * says so): it sees a console, so its C runtime writes its output as it
 * prints it, where through a pipe it would hold it back. Needs
 * brackwyn-term.exe beside the DLL. Standard error shares the console: the
 * error callback is not called, errorBytes and stderrSeen stay 0
 * (DLLGLUE_MERGE is implied). outputBytes counts the bytes the console
 * delivered. Exit code, state, processId, stops, time limit and drain are
 * the child's own, as for any run.
 *
 * Without DLLGLUE_TERMINAL_VT the output callback gets the console's text as
 * DLLGLUE_TEXT_UTF8 | DLLGLUE_LINES would (both implied): the console's
 * control sequences are interpreted, never passed on. When the cursor leaves
 * a row downwards, that row is a finished line ending in "\n", without its
 * trailing blanks; a row already finished is never delivered again; a line
 * wider than the console comes as one line. A line still being drawn (a
 * prompt, a progress line redrawn with "\r") comes as it stands after
 * lineFlushMs of quiet; then what it only adds comes as the added text, and
 * a rewrite as a chunk beginning with "\r" that carries the whole line as it
 * now is (replace the unfinished line); its end comes as "\n". A first
 * delivery never begins with "\r".
 *
 * With DLLGLUE_TERMINAL_VT the callback gets the console's own UTF-8 stream,
 * control sequences included, in chunks that never split a character or a
 * sequence (one longer than chunkBytes comes whole in a chunk of its own).
 * DLLGLUE_TERMINAL_VT without DLLGLUE_TERMINAL, or with DLLGLUE_LINES or
 * DLLGLUE_TEXT_UTF8, is DLLGLUE_EINVAL.
 *
 * Input: with DLLGLUE_INPUT_PIPE or DLLGLUE_INPUT_DATA the bytes are
 * keystrokes (UTF-8); "\n", "\r\n" and a lone "\r" are each one Enter. The
 * console echoes what it reads, so typed lines appear in the output. Closing
 * the input (dllglue_runclosein, the end of DLLGLUE_INPUT_DATA,
 * DLLGLUE_INPUT_CLOSED) sends Ctrl+Z and Enter, the console's end of input.
 */
#define DLLGLUE_TERMINAL 0x40    /* the child runs in a pseudo console of its own */
#define DLLGLUE_TERMINAL_VT 0x80 /* with DLLGLUE_TERMINAL: the console's own stream */

#define DLLGLUE_INPUT_OPEN                                                                         \
    0 /* the child's input stays open and receives nothing (dllglue_main's way) */
#define DLLGLUE_INPUT_CLOSED 1 /* the child reads end of input at once */
#define DLLGLUE_INPUT_DATA 2   /* inputData is written to the child, then its input is closed */
#define DLLGLUE_INPUT_PIPE                                                                         \
    3 /* inputData (if any) is written first; the input then stays open                            \
         for dllglue_runwrite until dllglue_runclosein */

typedef struct ConsoleRunOptions {
    size_t size;                  /* sizeof(ConsoleRunOptions) */
    ConsoleTextCallback onOutput; /* NULL: output is read, counted and dropped */
    ConsoleTextCallback onError;
    ConsoleExitCallback onExit;
    void *user;                     /* handed to every callback of this run */
    unsigned flags;                 /* DLLGLUE_UTF8, DLLGLUE_CLEARENV, DLLGLUE_MERGE, DLLGLUE_LINES,
                                       DLLGLUE_TEXT_UTF8, DLLGLUE_HOST_THREAD, DLLGLUE_TERMINAL,
                                       DLLGLUE_TERMINAL_VT */
    const char *directory;          /* NULL: the host's current directory */
    const char *const *environment; /* NULL-terminated "NAME=value" entries applied over the
                                       host's environment; "NAME=" removes NAME; NULL: unchanged */
    int input;                      /* DLLGLUE_INPUT_* */
    const void *inputData;          /* copied by dllglue_runstart */
    size_t inputLength;
    unsigned long timeoutMs;            /* 0: none; else the run is stopped as by dllglue_runabort
                                           once it has lasted this long: DLLGLUE_TIMEDOUT when the
                                           child itself was still running then; a child that had
                                           ended by itself keeps DLLGLUE_EXITED and its own exit
                                           code, and what the limit ends of what it left running
                                           is counted in leftoverProcesses */
    ConsoleMessageFilter messageFilter; /* pumping waits only; NULL: none */
    unsigned long
        timeoutGraceMs;    /* 0: a time limit terminates the tree at once (as today); else it
                              first asks as dllglue_runstop does and terminates after this grace */
    unsigned long drainMs; /* 0: the run lasts until the child has ended and every process holding
                              its output or error output has let go of it (as today); a process
                              that holds neither (a daemon started on purpose) is left running.
                              Else, once the child itself has ended, the run ends at most drainMs
                              later: what is still in the pipes by then is delivered, and any
                              process the child left running, holding its output or not, is
                              terminated when the run ends */
    unsigned textCodePage; /* with DLLGLUE_TEXT_UTF8: the code page of whatever the child writes
                              that is not UTF-8; 0: the system's OEM code page, which console
                              programs write in by default */
    unsigned long
        lineFlushMs; /* with DLLGLUE_LINES: a line still unfinished after this long without a
                        new byte on its stream is delivered as it is; 0: 50 ms */
    unsigned long maxPendingBytes;  /* with DLLGLUE_HOST_THREAD: text read and not yet delivered,
                                       per stream, at most this many bytes; 0: 1 MiB. Past it the
                                       library stops reading, so the program waits in its write:
                                       nothing is lost */
    unsigned long chunkBytes;       /* the most bytes in one chunk, for every run; 0: 1024; at most
                                       1 MiB (a larger value is DLLGLUE_EINVAL); with
                                       DLLGLUE_TEXT_UTF8 or DLLGLUE_LINES at least 4, so that a
                                       chunk holds any character (a smaller value counts as 4) */
    unsigned short terminalColumns; /* with DLLGLUE_TERMINAL: the console's size (window and
                                       buffer); 0: 4,096 columns, so that no shorter line wraps */
    unsigned short terminalRows;    /* 0: 25 rows */
} ConsoleRunOptions;

#define DLLGLUE_RUNNING 0
#define DLLGLUE_EXITED 1
#define DLLGLUE_ABORTED 2
#define DLLGLUE_TIMEDOUT 3

typedef struct ConsoleRunResult {
    size_t size;            /* set by the caller: sizeof(ConsoleRunResult) */
    int state;              /* DLLGLUE_RUNNING .. DLLGLUE_TIMEDOUT */
    unsigned long exitCode; /* the child's own exit code once ended (any value, 259 included) */
    int stderrSeen;         /* as for the completion callback */
    unsigned long long outputBytes; /* delivered so far */
    unsigned long long errorBytes;
    unsigned long long inputBytes;   /* written to the child's input so far */
    unsigned long processId;         /* the child's process id; 0 when it never started */
    unsigned long long inputPending; /* queued by dllglue_runwrite and not yet written; once the run
                                        has ended, what was never written */
    int stopRequested;               /* 1 once dllglue_runstop, dllglue_stop or a time limit with a
                                        grace asked the run to end */
    int leftoverProcesses;           /* processes of the tree terminated after the child's own end
                                        by the drain, a stop or the time limit */
} ConsoleRunResult;

#define DLLGLUE_OK 0
#define DLLGLUE_EINVAL -1   /* a bad argument; nothing started */
#define DLLGLUE_ESTART -2   /* the program could not be started */
#define DLLGLUE_ETIMEOUT -3 /* dllglue_runwait's own limit passed; the run goes on */
#define DLLGLUE_EBUSY                                                                              \
    -4                    /* called from one of this run's own callbacks, where it would deadlock  \
                           */
#define DLLGLUE_ENOMEM -5 /* out of memory or of system resources (pipes, threads) */
#define DLLGLUE_ECLOSED                                                                            \
    -6 /* the child's input is closed (by dllglue_runclosein, or because the                       \
          child closed it or ended); nothing was queued */

#define DLLGLUE_WAIT_PUMP                                                                          \
    0x1 /* dispatch this thread's window messages meanwhile, with the                              \
           app-starting cursor, exactly as dllglue_main does */

/* Starts a run. A null `options` means all defaults. On success *run is the
   new run, which the host closes with dllglue_runclose; on failure *run is
   NULL, nothing was started, and dllglue_lasterror says why. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runstart(const char *command, int argc,
                                                const char *const *argv,
                                                const ConsoleRunOptions *options, ConsoleRun **run);
/* Waits until the run has ended and its completion callback has returned
   (DLLGLUE_OK), or until timeoutMs has passed (DLLGLUE_ETIMEOUT); INFINITE
   is fine. Several threads may wait on one run at once. What the filter or a
   window procedure of a pumping wait throws leaves the call; the run goes
   on. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runwait(ConsoleRun *run, unsigned long timeoutMs,
                                               unsigned flags);
/* Stops the run's whole process tree: 1 when a process of the run was still
   running and was ended, 0 when nothing of it was left. The state tells how
   the child itself ended: DLLGLUE_ABORTED only when the abort ended the child;
   a child that had ended by itself keeps DLLGLUE_EXITED and its own exit
   code, also when the abort ends a process it had left running. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runabort(ConsoleRun *run);
/* Asks the run to end and returns at once: a Ctrl+C goes to every process of the run's console,
   WM_CLOSE to every top-level window of the run's processes, and the child's input is closed
   (queued data dropped); if the tree has not ended graceMs later it is terminated as by
   dllglue_runabort. 1 when the run was still going, 0 when it had ended. A later
   dllglue_runabort terminates at once; a later dllglue_runstop may shorten the grace, never
   lengthen it. A run that ends within the grace is DLLGLUE_EXITED with the child's own exit
   code (a C-runtime program ended by Ctrl+C reports 0xC000013A; one with its own handler
   whatever it returns) and stopRequested 1; one terminated after the grace is
   DLLGLUE_ABORTED. A stop that comes while the run's end is being settled (its last output or
   its completion callback may still be on the way) asks nothing: 0, and nothing changes. The
   Ctrl+C reaches only a console whose every process belongs to the run. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runstop(ConsoleRun *run, unsigned long graceMs);
/* Fills `result` (whose size the caller sets); DLLGLUE_OK or DLLGLUE_EINVAL. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runresult(const ConsoleRun *run, ConsoleRunResult *result);
/* Queues a copy of data for the child's input and returns at once: it never waits for the child to
   read. Bytes of one call are written together and calls are written in the order they returned,
   from any thread. DLLGLUE_OK, DLLGLUE_EINVAL (not an INPUT_PIPE run, or data NULL with length >
   0), DLLGLUE_ECLOSED, DLLGLUE_ENOMEM. Length 0 is fine and writes nothing. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runwrite(ConsoleRun *run, const void *data, size_t length);
/* The child reads end of input once everything queued has been written. Again: nothing happens.
   DLLGLUE_OK, or DLLGLUE_EINVAL for a run whose input is not INPUT_PIPE. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runclosein(ConsoleRun *run);
/* Stops a run still going as dllglue_runabort does (its completion callback
   comes; the state is DLLGLUE_ABORTED when the close ended the child itself,
   DLLGLUE_EXITED when the child had ended by itself and only what it left
   running was still going), waits until none of its threads runs, and frees it.
   NULL is fine. A close while waits on the run are in progress (from a
   handler that a pumping wait dispatched, or from another thread) stops the
   run and returns after its completion callback; the last of those waits
   frees it as it returns, normally. Any other use of a closed run is the
   host's error, as with free. */
BRACKWYN_API int BRACKWYN_CALL dllglue_runclose(ConsoleRun *run);
/* Changes a DLLGLUE_TERMINAL run's console size (window and buffer, 1..32767 each): the child's
   GetConsoleScreenBufferInfo shows it once the call has returned. DLLGLUE_OK; DLLGLUE_EINVAL for
   another run or a size out of range; DLLGLUE_ECLOSED when the run's console is gone (its child
   has ended). */
BRACKWYN_API int BRACKWYN_CALL dllglue_runresize(ConsoleRun *run, unsigned columns, unsigned rows);
/* This thread's last failure, as text; valid until this thread's next call.
   Set by the run calls that fail, and by dllglue_main when it cannot start
   its program (cleared by a later dllglue_main on the thread that starts). */
BRACKWYN_API const char *BRACKWYN_CALL dllglue_lasterror(void);
/* The running DLL's version, as BRACKWYN_VERSION counts it. */
BRACKWYN_API unsigned BRACKWYN_CALL dllglue_version(void);

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
