// Shared by the test files: where the helper child is, and a recorder that
// runs a command through the library and keeps everything the host saw.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "brackwyn.h"

// The folder of the running test program, with a trailing backslash.
std::string RunnerFolder();

// The helper child, quoted, followed by its mode: a command ready for
// dllglue_main. Further words are appended unquoted, as the command's own.
std::string ChildCommand(const std::string &modeAndWords);

bool UnderWine();

// Everything the host's callbacks received during one run.
struct Recording {
    std::string out;
    std::string err;
    std::vector<size_t> outChunkSizes;
    std::vector<size_t> errChunkSizes;
    int exitCalls = 0;
    int stderrSeen = -1;
    // A chunk that came after the completion callback: a lost ordering.
    bool textAfterExit = false;
    // A chunk whose length disagreed with where its NUL terminator sits.
    bool badTerminator = false;
    int result = -1;
    DWORD elapsedMs = 0;
    // Which system call of the launch failed, and how, when one did: a start
    // failure that no test asked for is then explained in its message.
    std::string launchFailure;
};

// The value by which a system call of the launch reports failure, by its
// result type: FALSE, a null handle, or (DWORD)-1 from ResumeThread.
template <typename R> R FailureOf();
template <> inline BOOL FailureOf<BOOL>() {
    return FALSE;
}
template <> inline HANDLE FailureOf<HANDLE>() {
    return nullptr;
}
template <> inline DWORD FailureOf<DWORD>() {
    return static_cast<DWORD>(-1);
}

// Routes the launch's system calls through wrappers that note a failure for
// Recording::launchFailure. The test runner's main installs it.
void WatchLaunchCalls();

// Registers recording callbacks, runs `command` with `args`, and returns
// what was recorded. The callbacks stay registered afterwards (they record
// into nothing once the run is over).
Recording RunRecorded(const std::string &command, const std::vector<std::string> &args = {});
// The same with dllglue_main's raw arguments, for null and odd inputs.
Recording RunRecordedRaw(const char *command, int argc, const char *const *argv);

// The callbacks RunRecorded registers; a test that changes them can put them
// back with this.
void RegisterRecordingCallbacks();

// What bw_child's `argv` mode prints for these arguments:
// "<length>:<bytes>\n" each.
std::string EncodedArgv(const std::vector<std::string> &args);

// The bytes bw_child's `out`, `err` and `both` modes write with this seed.
std::string ExpectedStream(size_t size, unsigned seed);

// Argument pointers for dllglue_main.
std::vector<const char *> ArgvOf(const std::vector<std::string> &args);

// The run's result as dllglue_runresult fills it (a failure is a test
// failure).
ConsoleRunResult ResultOf(ConsoleRun *run);

// The handles this process has open (GetProcessHandleCount reads 0 on Wine).
int OpenHandleCount();

// The same by object type ("Event", "File", "Thread", ...): which kind a
// handle leak is made of, and so whose it is.
std::map<std::string, int> OpenHandleTypes();

// The types that grew from `before` to `after`, as "Event +1, File +2", or
// "" when none did.
std::string HandleGrowth(const std::map<std::string, int> &before,
                         const std::map<std::string, int> &after);

// Whether the process with this id still runs (to check that nothing a run
// started outlives it).
bool ProcessAlive(DWORD pid);

// A message-only window owned by the calling thread, with a procedure the
// test supplies; destroyed with the object.
class TestWindow {
public:
    using Handler = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
    explicit TestWindow(Handler handler);
    ~TestWindow();
    TestWindow(const TestWindow &) = delete;
    TestWindow &operator=(const TestWindow &) = delete;
    HWND Get() const { return m_window; }

private:
    HWND m_window = nullptr;
};
