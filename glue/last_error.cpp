// A run call's failure sets the thread's text at once. dllglue_main's is
// only noted, with the thread's id, and made into text when the host asks:
// under Wine the first use of a thread_local on a thread, and the first
// FormatMessage, each open handles that stay open, and dllglue_main's start
// failures must leave the host's handle count as it was. The note is kept
// under an SRWLOCK for the same reason: a std::mutex gets an event the first
// time two threads meet at it.
#include "glue/last_error.h"

#include <utility>
#include <vector>

namespace {

// This thread's last failure, as dllglue_lasterror hands it out.
thread_local std::string t_lastError;

struct MainFailure {
    DWORD thread = 0;
    std::string display;
    std::string refusal;
    DWORD error = 0;
    std::string program;
    // Already in the thread's t_lastError.
    bool told = false;
    // A later dllglue_main on the thread started its program.
    bool started = false;
};

SRWLOCK g_mainLock = SRWLOCK_INIT;
std::vector<MainFailure> g_mainFailures;
// Notes of threads that have ended are never asked for; the oldest go.
constexpr size_t kMostNotes = 64;

class ExclusiveLock {
public:
    ExclusiveLock() { AcquireSRWLockExclusive(&g_mainLock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&g_mainLock); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
};

// This thread's note; end() when none. Under the lock.
std::vector<MainFailure>::iterator NoteOfThisThread() {
    const DWORD thread = GetCurrentThreadId();
    for (auto note = g_mainFailures.begin(); note != g_mainFailures.end(); ++note)
        if (note->thread == thread)
            return note;
    return g_mainFailures.end();
}

// The program part of a command line, as CreateProcess reads it first.
std::string FirstWord(const std::string &line) {
    const size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return std::string();
    if (line[begin] == '"') {
        const size_t close = line.find('"', begin + 1);
        return line.substr(begin + 1, close == std::string::npos ? close : close - begin - 1);
    }
    return line.substr(begin, line.find_first_of(" \t", begin) - begin);
}

} // namespace

std::string SystemMessage(DWORD error, const std::string &subject) {
    char *text = nullptr;
    // Inserts ignored: there are no arguments to fill them from, and
    // without the flag a message that has one is not made at all.
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : "";
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    if (message.empty())
        message = "system error";
    // "Bad EXE format for %1": the inserts stand for the file.
    const std::string named = subject.empty() ? std::string("it") : "\"" + subject + "\"";
    std::string filled;
    bool inserted = false;
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] != '%' || i + 1 == message.size() || message[i + 1] < '1' ||
            message[i + 1] > '9') {
            filled += message[i];
            continue;
        }
        while (i + 1 < message.size() && message[i + 1] >= '0' && message[i + 1] <= '9')
            ++i;
        // An insert may carry a format, as in %1!s!.
        if (i + 1 < message.size() && message[i + 1] == '!') {
            const size_t close = message.find('!', i + 2);
            if (close != std::string::npos)
                i = close;
        }
        filled += named;
        inserted = true;
    }
    if (!inserted && !subject.empty())
        filled = named + ": " + filled;
    return filled + " (error " + std::to_string(error) + ")";
}

void SetLastFailure(const std::string &why) {
    t_lastError = why;
    // A note of dllglue_main's is older now.
    ExclusiveLock lock;
    const auto note = NoteOfThisThread();
    if (note != g_mainFailures.end())
        g_mainFailures.erase(note);
}

void NoteMainFailure(const std::string &display, const std::string &refusal, DWORD error,
                     const std::string &program) {
    MainFailure failure;
    failure.thread = GetCurrentThreadId();
    failure.display = display;
    failure.refusal = refusal;
    failure.error = error;
    failure.program = program;
    ExclusiveLock lock;
    const auto note = NoteOfThisThread();
    if (note != g_mainFailures.end()) {
        *note = std::move(failure);
        return;
    }
    if (g_mainFailures.size() == kMostNotes)
        g_mainFailures.erase(g_mainFailures.begin());
    g_mainFailures.push_back(std::move(failure));
}

void NoteMainStarted() {
    ExclusiveLock lock;
    const auto note = NoteOfThisThread();
    if (note == g_mainFailures.end())
        return;
    // Told: the thread's text holds the failure until it asks again.
    if (note->told)
        note->started = true;
    else
        g_mainFailures.erase(note);
}

const char *LastFailure() {
    MainFailure failure;
    {
        ExclusiveLock lock;
        const auto note = NoteOfThisThread();
        if (note == g_mainFailures.end() || (note->told && !note->started))
            return t_lastError.c_str();
        failure = *note;
        if (failure.started)
            g_mainFailures.erase(note);
        else
            note->told = true;
    }
    if (failure.started) {
        t_lastError.clear();
        return t_lastError.c_str();
    }
    const std::string program =
        failure.program.empty() ? FirstWord(failure.display) : failure.program;
    t_lastError =
        "Unable to start " + failure.display + ": " +
        (failure.refusal.empty() ? SystemMessage(failure.error, program) : failure.refusal);
    return t_lastError.c_str();
}
