// brackwyn for C++: the run interface of brackwyn.h with owned callables,
// options set by name and errors as exceptions. Header only; it adds nothing
// to the DLL and needs only the import library that brackwyn.h needs.
//
//     brackwyn::Run run("cmd /c dir", brackwyn::Options()
//                           .directory("C:\\Windows")
//                           .closeInput()
//                           .onOutput([](std::string_view text) { ... }));
//     brackwyn::Result result = run.wait();
//
// A Run owns its callables on the heap and hands the library a pointer to
// them, so moving a Run while it runs is safe. Its destructor closes it: a
// run still going is stopped (its exit callable comes first) and freed.
//
// The callables run on the library's worker threads: output and error chunks
// may come at the same moment on two threads, the exit callable comes once,
// after every chunk. With Options::onHostThread() they all run instead on the
// thread that made the Run, from its message dispatch, one at a time; such a
// Run may be closed or destroyed from its own callable. A callable that throws stops its run; the
// run delivers nothing more to the output and error callables, and wait() rethrows the exception
// once the run has ended. A host that never waits finds it with error(), also after close(); the
// destructor cannot throw, so an exception nobody looked at goes with the Run. Exceptions never
// pass through the library's own frames.
//
// Options chained on a temporary move into the Run: a large input() is
// copied once into the options and once more by the library, no more.
#ifndef BRACKWYN_HPP
#define BRACKWYN_HPP

#include "brackwyn.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brackwyn {

// The running DLL's version, to compare with BRACKWYN_VERSION.
inline unsigned version() noexcept {
    return dllglue_version();
}

// A call that failed: code() is one of the DLLGLUE_E* values, what() the
// library's text for it (dllglue_lasterror), say "Unable to start foo: The
// system cannot find the file specified (error 2)".
class Error : public std::runtime_error {
public:
    Error(int code, const std::string &text) : std::runtime_error(text), m_code(code) {}
    int code() const noexcept { return m_code; }

private:
    int m_code;
};

enum class State : int {
    Running = DLLGLUE_RUNNING,
    Exited = DLLGLUE_EXITED,   // ended by itself; exitCode is its own
    Aborted = DLLGLUE_ABORTED, // stopped by abort(), by closing the run, or at
                               // the end of stop()'s grace
    TimedOut = DLLGLUE_TIMEDOUT,
};

struct Result {
    State state = State::Running;
    // The child's own exit code once it has ended, whatever its value: 259
    // (STILL_ACTIVE) is an exit code like any other here.
    unsigned long exitCode = 0;
    bool stderrSeen = false;
    unsigned long long outputBytes = 0;
    unsigned long long errorBytes = 0;
    unsigned long long inputBytes = 0;
    // Queued by Run::write and not yet written; once the run has ended,
    // what was never written.
    unsigned long long inputPending = 0;
    // The child's process id; 0 when it never started.
    unsigned long processId = 0;
    // Set once stop() or a time limit with a grace asked the run to end.
    bool stopRequested = false;
    // Processes the child left running, terminated after its own end by the
    // drain, a stop or the time limit.
    int leftoverProcesses = 0;
};

// Pump: dispatch the calling thread's window messages while waiting, as
// dllglue_main does; for a UI thread.
enum class Wait { Block, Pump };

// A chunk of at most 1024 bytes, valid only during the call.
using TextHandler = std::function<void(std::string_view text)>;
using ExitHandler = std::function<void(bool stderrSeen)>;
// Takes each message a pumping wait removes, before it is dispatched; true
// means the host handled it (IsDialogMessage, TranslateAccelerator). tagMSG
// is windows.h's MSG.
using MessageFilter = std::function<bool(tagMSG &message)>;

// What a run gets besides its command line. Every setter returns the
// options, so they chain; each string is copied when the run starts.
class Options {
public:
    Options &onOutput(TextHandler handler) & {
        m_onOutput = std::move(handler);
        return *this;
    }
    Options &&onOutput(TextHandler handler) && { return std::move(onOutput(std::move(handler))); }
    Options &onError(TextHandler handler) & {
        m_onError = std::move(handler);
        return *this;
    }
    Options &&onError(TextHandler handler) && { return std::move(onError(std::move(handler))); }
    Options &onExit(ExitHandler handler) & {
        m_onExit = std::move(handler);
        return *this;
    }
    Options &&onExit(ExitHandler handler) && { return std::move(onExit(std::move(handler))); }
    // Empty: the host's current directory.
    Options &directory(std::string_view path) & {
        m_directory = path;
        return *this;
    }
    Options &&directory(std::string_view path) && { return std::move(directory(path)); }
    // One "NAME=value" entry over the host's environment; "NAME=" removes
    // NAME. Names are case-insensitive and the last entry for a name wins.
    Options &env(std::string_view entry) & {
        m_environment.emplace_back(entry);
        return *this;
    }
    Options &&env(std::string_view entry) && { return std::move(env(entry)); }
    // A name holding '=' is refused (Error, DLLGLUE_EINVAL): the system
    // would split the entry at its first '=' and set another variable.
    Options &env(std::string_view name, std::string_view value) & {
        if (name.find('=') != std::string_view::npos)
            throw Error(DLLGLUE_EINVAL,
                        "brackwyn::Options::env: the name \"" + std::string(name) + "\" holds '='");
        std::string entry(name);
        entry += '=';
        entry += value;
        m_environment.push_back(std::move(entry));
        return *this;
    }
    Options &&env(std::string_view name, std::string_view value) && {
        return std::move(env(name, value));
    }
    // Start from an empty environment; env() entries still apply.
    Options &clearEnv(bool on = true) & { return flag(DLLGLUE_CLEARENV, on); }
    Options &&clearEnv(bool on = true) && { return std::move(clearEnv(on)); }
    // The command, arguments, directory and environment are UTF-8 rather
    // than the ANSI code page; the child receives them as UTF-16 either way.
    Options &utf8(bool on = true) & { return flag(DLLGLUE_UTF8, on); }
    Options &&utf8(bool on = true) && { return std::move(utf8(on)); }
    // Written to the child's standard input, which is closed afterwards.
    Options &input(std::string_view data) & {
        m_input = DLLGLUE_INPUT_DATA;
        m_inputData = data;
        return *this;
    }
    Options &&input(std::string_view data) && { return std::move(input(data)); }
    // The child's input stays open for Run::write until Run::closeInput;
    // `first`, if any, is written before anything else.
    Options &inputPipe(std::string_view first = {}) & {
        m_input = DLLGLUE_INPUT_PIPE;
        m_inputData = first;
        return *this;
    }
    Options &&inputPipe(std::string_view first = {}) && { return std::move(inputPipe(first)); }
    // The child reads end of input at once. Without input(), inputPipe() or
    // closeInput() its input stays open and receives nothing.
    Options &closeInput() & {
        m_input = DLLGLUE_INPUT_CLOSED;
        m_inputData.clear();
        return *this;
    }
    Options &&closeInput() && { return std::move(closeInput()); }
    // Stops the whole process tree once the run has lasted this long (state
    // TimedOut, unless the child itself had ended by then: it then stays
    // Exited with its own code, and what the limit ended is counted in
    // leftoverProcesses). Zero: no limit.
    Options &timeout(std::chrono::milliseconds limit) & {
        m_timeoutMs = Milliseconds(limit, "timeout");
        return *this;
    }
    Options &&timeout(std::chrono::milliseconds limit) && { return std::move(timeout(limit)); }
    // With a time limit: ask first, as stop() does, and terminate only after
    // this grace. The state is TimedOut either way (for a child still
    // running at the limit). Zero: terminate at once.
    Options &timeoutGrace(std::chrono::milliseconds grace) & {
        m_timeoutGraceMs = Milliseconds(grace, "timeoutGrace");
        return *this;
    }
    Options &&timeoutGrace(std::chrono::milliseconds grace) && {
        return std::move(timeoutGrace(grace));
    }
    // Once the child itself has ended, the run ends at most this much later:
    // what is in the pipes by then is delivered, and what the child left
    // running, holding its output or not, is terminated when the run ends.
    // Zero: the run waits for every process holding the child's output; one
    // that holds none (a daemon started on purpose) is left running.
    Options &drain(std::chrono::milliseconds limit) & {
        m_drainMs = Milliseconds(limit, "drain");
        return *this;
    }
    Options &&drain(std::chrono::milliseconds limit) && { return std::move(drain(limit)); }
    // The child's error output goes into its output: one stream, in the
    // order the child wrote it, all to onOutput.
    Options &merge(bool on = true) & { return flag(DLLGLUE_MERGE, on); }
    Options &&merge(bool on = true) && { return std::move(merge(on)); }
    // Each chunk is one line with its line end; a line the child leaves
    // unfinished (a prompt) comes once its stream has been quiet for
    // lineFlush() (50 ms unless set).
    Options &lines(bool on = true) & { return flag(DLLGLUE_LINES, on); }
    Options &&lines(bool on = true) && { return std::move(lines(on)); }
    Options &lineFlush(std::chrono::milliseconds quiet) & {
        m_lineFlushMs = Milliseconds(quiet, "lineFlush");
        return *this;
    }
    Options &&lineFlush(std::chrono::milliseconds quiet) && { return std::move(lineFlush(quiet)); }
    // Chunks are UTF-8: what the child writes in UTF-8 passes unchanged,
    // anything else is read in `codePage` (0: the system's OEM code page,
    // which console programs write in by default).
    Options &utf8Text(unsigned codePage = 0) & {
        m_textCodePage = codePage;
        return flag(DLLGLUE_TEXT_UTF8, true);
    }
    Options &&utf8Text(unsigned codePage = 0) && { return std::move(utf8Text(codePage)); }
    // The most bytes in one chunk (0: 1024; at most 1 MiB): a host that
    // appends to a control takes large chunks in fewer calls.
    Options &chunkBytes(size_t bytes) & {
        if (bytes > 1024 * 1024)
            throw Error(DLLGLUE_EINVAL, "brackwyn::Options::chunkBytes: more than 1 MiB");
        m_chunkBytes = static_cast<unsigned long>(bytes);
        return *this;
    }
    Options &&chunkBytes(size_t bytes) && { return std::move(chunkBytes(bytes)); }
    // The callables run on the thread that makes the Run, from its message
    // dispatch (its own loop, a modal loop, a pumping wait), in turns that
    // leave its window's input, paint and timers first; see
    // DLLGLUE_HOST_THREAD.
    Options &onHostThread(bool on = true) & { return flag(DLLGLUE_HOST_THREAD, on); }
    Options &&onHostThread(bool on = true) && { return std::move(onHostThread(on)); }
    // With onHostThread(): text read and not yet delivered, per stream, at
    // most this much (0: 1 MiB); past it the program waits in its write.
    Options &maxPending(size_t bytes) & {
        m_maxPendingBytes = bytes > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(bytes);
        return *this;
    }
    Options &&maxPending(size_t bytes) && { return std::move(maxPending(bytes)); }
    // The child runs in a pseudo console of its own: it sees a console and
    // prints as it goes; onOutput gets the console's text as UTF-8 lines
    // (DLLGLUE_TERMINAL in brackwyn.h says how a redrawn line comes).
    Options &terminal(bool on = true) & { return flag(DLLGLUE_TERMINAL, on); }
    Options &&terminal(bool on = true) && { return std::move(terminal(on)); }
    // With terminal(): onOutput gets the console's own stream, control
    // sequences included, for a terminal widget.
    Options &terminalVt(bool on = true) & { return flag(DLLGLUE_TERMINAL_VT, on); }
    Options &&terminalVt(bool on = true) && { return std::move(terminalVt(on)); }
    // With terminal(): the console's size (0: 4,096 columns, 25 rows).
    Options &terminalSize(unsigned short columns, unsigned short rows) & {
        m_terminalColumns = columns;
        m_terminalRows = rows;
        return *this;
    }
    Options &&terminalSize(unsigned short columns, unsigned short rows) && {
        return std::move(terminalSize(columns, rows));
    }
    // For waits with Wait::Pump.
    Options &messageFilter(MessageFilter filter) & {
        m_filter = std::move(filter);
        return *this;
    }
    Options &&messageFilter(MessageFilter filter) && {
        return std::move(messageFilter(std::move(filter)));
    }

private:
    friend class Run;

    static unsigned long Milliseconds(std::chrono::milliseconds span, const char *setter) {
        if (span.count() < 0)
            throw Error(DLLGLUE_EINVAL,
                        std::string("brackwyn::Options::") + setter + ": the time is negative");
        const auto most = static_cast<std::chrono::milliseconds::rep>(ULONG_MAX);
        return static_cast<unsigned long>(span.count() > most ? most : span.count());
    }

    Options &flag(unsigned bit, bool on) {
        m_flags = on ? (m_flags | bit) : (m_flags & ~bit);
        return *this;
    }

    TextHandler m_onOutput;
    TextHandler m_onError;
    ExitHandler m_onExit;
    MessageFilter m_filter;
    unsigned m_flags = 0;
    std::string m_directory;
    std::vector<std::string> m_environment;
    int m_input = DLLGLUE_INPUT_OPEN;
    std::string m_inputData;
    unsigned long m_timeoutMs = 0;
    unsigned long m_timeoutGraceMs = 0;
    unsigned long m_drainMs = 0;
    unsigned m_textCodePage = 0;
    unsigned long m_lineFlushMs = 0;
    unsigned long m_chunkBytes = 0;
    unsigned long m_maxPendingBytes = 0;
    unsigned short m_terminalColumns = 0;
    unsigned short m_terminalRows = 0;
};

// One run of a console program. Move-only; an empty Run (default-made or
// moved from) holds nothing, and its calls other than close() throw.
class Run {
public:
    Run() noexcept = default;

    // Starts `command` as it stands (a path with spaces carries its own
    // quotes), then each of `args` quoted so that the program receives it
    // exactly; see dllglue_main. Throws Error when the run cannot start.
    explicit Run(const std::string &command, Options options = Options())
        : Run(command, std::vector<std::string>(), std::move(options)) {}
    Run(const std::string &command, const std::vector<std::string> &args,
        Options options = Options()) {
        if (args.size() > static_cast<size_t>(INT_MAX))
            throw Error(DLLGLUE_EINVAL, "brackwyn::Run: too many arguments");
        std::vector<const char *> argv;
        for (const std::string &arg : args)
            argv.push_back(arg.c_str());
        std::vector<const char *> environment;
        for (const std::string &entry : options.m_environment)
            environment.push_back(entry.c_str());
        environment.push_back(nullptr);

        auto shared = std::make_unique<Shared>();
        auto waits = std::make_shared<WaitList>();
        shared->onOutput = std::move(options.m_onOutput);
        shared->onError = std::move(options.m_onError);
        shared->onExit = std::move(options.m_onExit);
        shared->filter = std::move(options.m_filter);
        shared->hostThread = (options.m_flags & DLLGLUE_HOST_THREAD) != 0;

        ConsoleRunOptions raw{};
        raw.size = sizeof(raw);
        raw.onOutput = shared->onOutput ? &Shared::Output : nullptr;
        raw.onError = shared->onError ? &Shared::ErrorText : nullptr;
        raw.onExit = shared->onExit ? &Shared::Exit : nullptr;
        raw.messageFilter = shared->filter ? &Shared::Filter : nullptr;
        raw.user = shared.get();
        raw.flags = options.m_flags;
        raw.directory = options.m_directory.empty() ? nullptr : options.m_directory.c_str();
        raw.environment = options.m_environment.empty() ? nullptr : environment.data();
        raw.input = options.m_input;
        raw.inputData = options.m_inputData.data();
        raw.inputLength = options.m_inputData.size();
        raw.timeoutMs = options.m_timeoutMs;
        raw.timeoutGraceMs = options.m_timeoutGraceMs;
        raw.drainMs = options.m_drainMs;
        raw.textCodePage = options.m_textCodePage;
        raw.lineFlushMs = options.m_lineFlushMs;
        raw.chunkBytes = options.m_chunkBytes;
        raw.maxPendingBytes = options.m_maxPendingBytes;
        raw.terminalColumns = options.m_terminalColumns;
        raw.terminalRows = options.m_terminalRows;

        ConsoleRun *handle = nullptr;
        const int status = dllglue_runstart(command.c_str(), static_cast<int>(args.size()),
                                            argv.data(), &raw, &handle);
        if (status != DLLGLUE_OK)
            throw Error(status, dllglue_lasterror());
        m_handle = handle;
        m_shared = std::move(shared);
        m_waits = std::move(waits);
        m_shared->Started(handle);
    }

    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;
    Run(Run &&other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)), m_shared(std::move(other.m_shared)),
          m_error(std::move(other.m_error)), m_waits(std::move(other.m_waits)) {}
    Run &operator=(Run &&other) noexcept {
        if (this != &other) {
            Release();
            m_handle = std::exchange(other.m_handle, nullptr);
            m_shared = std::move(other.m_shared);
            m_error = std::move(other.m_error);
            m_waits = std::move(other.m_waits);
        }
        return *this;
    }
    ~Run() { Release(); }

    // Waits until the run has ended and its exit callable has returned.
    // Throws Error (DLLGLUE_EBUSY from one of this run's own callables), or
    // what one of its callables threw. A handler that a pumping wait
    // dispatches, or another thread, may close or destroy the Run: the wait
    // then returns the run's result as it was when closed. Several threads
    // may wait on one Run at once.
    Result wait(Wait mode = Wait::Block) {
        Result ended;
        WaitFor(ULONG_MAX, mode, ended); // INFINITE
        return ended;
    }
    // False when `limit` passed first; the run goes on.
    bool waitFor(std::chrono::milliseconds limit, Wait mode = Wait::Block) {
        const auto count = limit.count();
        const auto forever = static_cast<std::chrono::milliseconds::rep>(ULONG_MAX);
        Result ended;
        return WaitFor(count <= 0         ? 0UL
                       : count >= forever ? ULONG_MAX
                                          : static_cast<unsigned long>(count),
                       mode, ended) != Waited::TimedOut;
    }

    // Stops the run's whole process tree (state Aborted). False when it had
    // already ended.
    bool abort() {
        const int status = dllglue_runabort(m_handle);
        if (status < 0)
            Throw(status);
        return status != 0;
    }

    // Asks the run to end (Ctrl+C to its console, WM_CLOSE to its windows,
    // end of its input) and returns at once; the tree is terminated if it
    // has not ended `grace` later. A run that ends within the grace is
    // Exited with the child's own exit code. False when it had already ended.
    bool stop(std::chrono::milliseconds grace) {
        const auto count = grace.count();
        const auto most = static_cast<std::chrono::milliseconds::rep>(ULONG_MAX);
        const int status =
            dllglue_runstop(m_handle, static_cast<unsigned long>(count <= 0     ? 0
                                                                 : count > most ? most
                                                                                : count));
        if (status < 0)
            Throw(status);
        return status != 0;
    }

    // The child's process id.
    unsigned long processId() const { return result().processId; }

    Result result() const {
        ConsoleRunResult raw{};
        raw.size = sizeof(raw);
        const int status = dllglue_runresult(m_handle, &raw);
        if (status != DLLGLUE_OK)
            Throw(status);
        return Convert(raw);
    }

    // Stops the run if it is still going, waits for its exit callable and
    // frees it; the Run is empty afterwards. Throws Error (DLLGLUE_EBUSY)
    // from one of the run's own callables, and then leaves the run as it is.
    void close() {
        const int status = Close();
        if (status != DLLGLUE_OK)
            Throw(status);
    }

    // With Options::inputPipe: queues a copy of `data` for the child's input
    // and returns at once, never waiting for the child to read. Calls from
    // any threads are written one after the other, each whole. False when
    // the input is closed (closeInput(), or the child closed it or ended):
    // nothing was queued. Throws Error otherwise (DLLGLUE_EINVAL without
    // inputPipe, DLLGLUE_ENOMEM).
    bool write(std::string_view data) {
        const int status = dllglue_runwrite(m_handle, data.data(), data.size());
        if (status == DLLGLUE_ECLOSED)
            return false;
        if (status != DLLGLUE_OK)
            Throw(status);
        return true;
    }
    // The child reads end of input once everything queued is written; a
    // second call changes nothing. Throws Error (DLLGLUE_EINVAL) without
    // Options::inputPipe.
    void closeInput() {
        const int status = dllglue_runclosein(m_handle);
        if (status != DLLGLUE_OK)
            Throw(status);
    }

    // A terminal run's console to `columns` x `rows`. False when its
    // console is gone (the child has ended); throws Error (DLLGLUE_EINVAL)
    // for another run or a size of 0.
    bool resize(unsigned columns, unsigned rows) {
        const int status = dllglue_runresize(m_handle, columns, rows);
        if (status == DLLGLUE_ECLOSED)
            return false;
        if (status != DLLGLUE_OK)
            Throw(status);
        return true;
    }

    // The first exception one of the run's callables threw, or null. wait()
    // rethrows it; this shows it without waiting, also after close(), for a
    // host that never waits. Complete once the run has ended.
    std::exception_ptr error() const noexcept {
        if (m_shared && m_shared->failed.load())
            return m_shared->failure;
        return m_error;
    }

    ConsoleRun *handle() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

private:
    static Result Convert(const ConsoleRunResult &raw) noexcept {
        Result result;
        result.state = static_cast<State>(raw.state);
        result.exitCode = raw.exitCode;
        result.stderrSeen = raw.stderrSeen != 0;
        result.outputBytes = raw.outputBytes;
        result.errorBytes = raw.errorBytes;
        result.inputBytes = raw.inputBytes;
        result.processId = raw.processId;
        result.stopRequested = raw.stopRequested != 0;
        result.leftoverProcesses = raw.leftoverProcesses;
        result.inputPending = raw.inputPending;
        return result;
    }

    // The waits of this Run in progress, on any threads, and what a close
    // during them left for them. A close from another thread, or from a
    // handler that a pumping wait dispatched, may free or destroy this Run
    // while they wait, so each wait holds the list itself. The library's run
    // must stay readable until the last of them has returned: while waits
    // are in progress close() only ends the run, and the last wait out
    // frees it.
    //
    // The lock guards a few fields for a few instructions, never a call into
    // the library; it spins, since std::mutex is missing from some MinGW
    // thread models and this header does not take <windows.h> in.
    struct WaitList {
        std::atomic<bool> locked{false};
        int active = 0;
        bool closed = false;
        bool freeByLastWait = false;
        // Left to the process's end by a destruction in its own callable:
        // never freed, so a wait reads the run itself.
        bool left = false;
        Result result;

        void Lock() noexcept {
            while (locked.exchange(true, std::memory_order_acquire)) {
            }
        }
        void Unlock() noexcept { locked.store(false, std::memory_order_release); }
    };
    class WaitListLock {
    public:
        explicit WaitListLock(WaitList &list) noexcept : m_list(list) { m_list.Lock(); }
        ~WaitListLock() { m_list.Unlock(); }
        WaitListLock(const WaitListLock &) = delete;
        WaitListLock &operator=(const WaitListLock &) = delete;

    private:
        WaitList &m_list;
    };

    // Every close goes this way, so that no wait can begin on a freed run:
    // the run is ended and read while it is still the library's, and freed
    // by whoever leaves it last, this close or the last wait. This Run is
    // empty afterwards. DLLGLUE_EBUSY from one of the run's own callables,
    // which leaves the run as it is.
    int Close() noexcept {
        if (m_handle == nullptr)
            return DLLGLUE_OK;
        // A wait that cannot wait tells a callback of this run, before
        // anything is changed; the close itself then refuses with its own
        // words and changes nothing either.
        if (dllglue_runwait(m_handle, 0, 0) == DLLGLUE_EBUSY)
            return m_shared && m_shared->hostThread ? CloseFromHostCallable()
                                                    : dllglue_runclose(m_handle);
        dllglue_runabort(m_handle);
        dllglue_runwait(m_handle, ULONG_MAX, 0); // INFINITE: the exit callable has returned
        const Result ended = ReadResult(m_handle);
        bool freeHere;
        std::unique_ptr<Shared> shared;
        {
            WaitListLock lock(*m_waits);
            m_waits->closed = true;
            m_waits->result = ended;
            freeHere = m_waits->active == 0;
            m_waits->freeByLastWait = !freeHere;
            m_error = error();
            shared = std::move(m_shared);
        }
        if (freeHere)
            dllglue_runclose(m_handle);
        m_handle = nullptr;
        m_waits.reset();
        return DLLGLUE_OK;
    }

    // A host-thread run closed from its own callable: the library stops it,
    // delivers nothing more and frees it once the callable has returned; the
    // callables go with it then (Shared frees itself). With waits under way
    // on other threads it is left to them as a worker's callable leaves it.
    int CloseFromHostCallable() noexcept {
        dllglue_runabort(m_handle);
        const Result ended = ReadResult(m_handle);
        {
            WaitListLock lock(*m_waits);
            if (m_waits->active > 0)
                return DLLGLUE_EBUSY;
            m_waits->closed = true;
            m_waits->result = ended;
            m_error = error();
            m_shared->handle.store(nullptr);
            m_shared->freeAfterCallable = true;
            static_cast<void>(m_shared.release());
        }
        dllglue_runclose(m_handle);
        m_handle = nullptr;
        m_waits.reset();
        return DLLGLUE_OK;
    }

    static Result ReadResult(ConsoleRun *handle) noexcept {
        ConsoleRunResult raw{};
        raw.size = sizeof(raw);
        dllglue_runresult(handle, &raw);
        return Convert(raw);
    }

    // What the library's `user` points to: the callables, and the first
    // exception one of them threw. It moves with the Run without moving in
    // memory.
    struct Shared {
        TextHandler onOutput;
        TextHandler onError;
        ExitHandler onExit;
        MessageFilter filter;
        // Null until dllglue_runstart has returned, while the first chunks
        // may already come.
        std::atomic<ConsoleRun *> handle{nullptr};
        std::atomic<bool> claimed{false};
        std::atomic<bool> failed{false};
        std::exception_ptr failure;
        // The callables run on the host thread, one at a time.
        bool hostThread = false;
        // Set on the host thread by a close from a callable: this goes once
        // that callable has returned.
        bool freeAfterCallable = false;

        // In a catch block. The first failure is kept; the run is stopped
        // here, or by Started() when the handle is not known yet.
        void Fail() noexcept {
            if (!claimed.exchange(true)) {
                failure = std::current_exception();
                failed.store(true);
            }
            if (ConsoleRun *run = handle.load())
                dllglue_runabort(run);
        }
        void Started(ConsoleRun *run) noexcept {
            handle.store(run);
            if (claimed.load())
                dllglue_runabort(run);
        }

        static void BRACKWYN_CALL Output(const char *text, size_t length, void *user) noexcept {
            auto *self = static_cast<Shared *>(user);
            self->Relay(&Shared::onOutput, text, length);
            if (self->freeAfterCallable)
                delete self;
        }
        static void BRACKWYN_CALL ErrorText(const char *text, size_t length, void *user) noexcept {
            auto *self = static_cast<Shared *>(user);
            self->Relay(&Shared::onError, text, length);
            if (self->freeAfterCallable)
                delete self;
        }
        void Relay(TextHandler Shared::*handler, const char *text, size_t length) noexcept {
            if (claimed.load())
                return;
            try {
                (this->*handler)(std::string_view(text, length));
            } catch (...) {
                Fail();
            }
        }
        static void BRACKWYN_CALL Exit(int stderrSeen, void *user) noexcept {
            auto *self = static_cast<Shared *>(user);
            try {
                self->onExit(stderrSeen != 0);
            } catch (...) {
                self->Fail();
            }
            if (self->freeAfterCallable)
                delete self;
        }
        static int BRACKWYN_CALL Filter(tagMSG *message, void *user) noexcept {
            auto *self = static_cast<Shared *>(user);
            if (self->claimed.load())
                return 0;
            try {
                return self->filter(*message) ? 1 : 0;
            } catch (...) {
                self->Fail();
                return 0;
            }
        }
    };

    [[noreturn]] static void Throw(int status) { throw Error(status, dllglue_lasterror()); }

    enum class Waited { Ended, TimedOut, Closed };

    // Leaves a wait counted by WaitFor, whatever the wait did, also when a
    // throwing window procedure cut it short; frees the run when a close
    // left that to the last wait out.
    class WaitLeave {
    public:
        WaitLeave(ConsoleRun *handle, WaitList &list) noexcept : m_handle(handle), m_list(list) {}
        ~WaitLeave() {
            bool freeHere;
            {
                WaitListLock lock(m_list);
                --m_list.active;
                freeHere = m_list.freeByLastWait && m_list.active == 0;
                if (freeHere)
                    m_list.freeByLastWait = false;
            }
            if (freeHere)
                dllglue_runclose(m_handle);
        }
        WaitLeave(const WaitLeave &) = delete;
        WaitLeave &operator=(const WaitLeave &) = delete;

    private:
        ConsoleRun *m_handle;
        WaitList &m_list;
    };

    // `out` gets the result of a run that ended or was closed meanwhile.
    // Once the wait has been counted, this Run may be closed or destroyed
    // by another thread or a dispatched handler at any moment: it is read
    // only under the list's lock while the list says it is not closed.
    Waited WaitFor(unsigned long timeoutMs, Wait mode, Result &out) {
        if (m_handle == nullptr)
            Throw(dllglue_runwait(nullptr, 0, 0));
        ConsoleRun *const handle = m_handle;
        const std::shared_ptr<WaitList> list = m_waits;
        {
            WaitListLock lock(*list);
            ++list->active;
        }
        WaitLeave leave(handle, *list);
        const int status =
            dllglue_runwait(handle, timeoutMs, mode == Wait::Pump ? DLLGLUE_WAIT_PUMP : 0);
        std::exception_ptr failure;
        bool left;
        {
            WaitListLock lock(*list);
            left = list->left;
            if (list->closed && !left) {
                out = list->result;
                return Waited::Closed;
            }
            if (!left && status == DLLGLUE_OK && m_shared && m_shared->failed.load())
                failure = m_shared->failure;
        }
        if (left) {
            out = ReadResult(handle);
            return Waited::Closed;
        }
        if (status == DLLGLUE_ETIMEOUT)
            return Waited::TimedOut;
        if (status != DLLGLUE_OK)
            Throw(status);
        // The run is over, every callable has returned: rethrow what one of
        // them threw. Still counted, so the run is readable.
        if (failure)
            std::rethrow_exception(failure);
        out = ReadResult(handle);
        return Waited::Ended;
    }

    // A run cannot be freed from its own callables (the library would wait
    // for itself): it is stopped and left to the process's end, and its
    // waits read it themselves when they return.
    void Release() noexcept {
        if (Close() != DLLGLUE_EBUSY)
            return;
        dllglue_runabort(m_handle);
        {
            WaitListLock lock(*m_waits);
            m_waits->left = true;
            static_cast<void>(m_shared.release());
        }
        m_handle = nullptr;
        m_waits.reset();
    }

    ConsoleRun *m_handle = nullptr;
    std::unique_ptr<Shared> m_shared;
    // A callable's exception, kept by close() after the run is freed.
    std::exception_ptr m_error;
    std::shared_ptr<WaitList> m_waits;
};

} // namespace brackwyn

#endif // BRACKWYN_HPP
