// Graceful stops: Ctrl+C to the run's console, WM_CLOSE to its windows, the
// grace and what follows it; the drain that keeps a leftover process from
// holding a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "brackwyn.hpp"
#include "child/stream.h"
#include "engine/command/cmdline.h"
#include "engine/redirect.h"
#include "engine/stop/console_ctrl.h"
#include "test_support.h"

namespace {

// The output of one run, readable while it goes on.
struct Output {
    std::mutex lock;
    std::string text;

    std::string Get() {
        std::lock_guard<std::mutex> guard(lock);
        return text;
    }
    size_t Count(const std::string &word) {
        const std::string all = Get();
        size_t count = 0;
        for (size_t at = all.find(word); at != std::string::npos; at = all.find(word, at + 1))
            ++count;
        return count;
    }
    // Waits (generously: the machine is shared) until `word` has come `times`.
    bool WaitFor(const std::string &word, size_t times = 1) {
        for (int i = 0; i < 3000; ++i) {
            if (Count(word) >= times)
                return true;
            Sleep(10);
        }
        return false;
    }
};

void BRACKWYN_CALL Collect(const char *text, size_t length, void *user) {
    auto *output = static_cast<Output *>(user);
    std::lock_guard<std::mutex> guard(output->lock);
    output->text.append(text, length);
}

ConsoleRun *Start(const std::string &modeAndWords, Output &output, unsigned long timeoutMs = 0,
                  unsigned long timeoutGraceMs = 0, unsigned long drainMs = 0) {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = Collect;
    options.user = &output;
    options.timeoutMs = timeoutMs;
    options.timeoutGraceMs = timeoutGraceMs;
    options.drainMs = drainMs;
    ConsoleRun *run = nullptr;
    EXPECT_EQ(dllglue_runstart(ChildCommand(modeAndWords).c_str(), 0, nullptr, &options, &run),
              DLLGLUE_OK)
        << dllglue_lasterror();
    return run;
}

unsigned long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// The pid in "<label> pid=<n>" of the output.
DWORD PidAfter(const std::string &text, const std::string &label) {
    const size_t at = text.find(label + " pid=");
    return at == std::string::npos ? 0 : std::stoul(text.substr(at + label.size() + 5));
}

} // namespace

// A child and the grandchild in its console both get the Ctrl+C and end by
// their own handlers long before the grace: the run is the child's own.
TEST(Stop, CtrlCEndsChildAndGrandchildWithinTheGrace) {
    Output output;
    ConsoleRun *run = Start("ctrlc-tree 3", output);
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(output.WaitFor("ready", 2)) << output.Get();
    const DWORD childPid = PidAfter(output.Get(), "ready");
    EXPECT_EQ(ResultOf(run).processId, childPid);
    EXPECT_EQ(ResultOf(run).stopRequested, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dllglue_runstop(run, 60000), 1);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    EXPECT_LT(MsSince(start), 30000u);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(result.stopRequested, 1);
    EXPECT_EQ(output.Count("ctrl-c"), 2u) << output.Get();
    EXPECT_EQ(dllglue_runstop(run, 0), 0);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}

namespace {

// A run of the engine itself, whose job and child a test hands the Ctrl+C
// helper the way a stop does.
struct EngineRun : CRedirect {
    Output output;
    HANDLE Job() const { return m_child.Job(); }
    HANDLE Process() const { return m_child.Process(); }
    void RelayStdout(const char *text, size_t length) override { Collect(text, length, &output); }
};

} // namespace

// A host that ships the DLL without brackwyn-ctrlc.exe still stops runs
// gracefully: the system's rundll32 running dllglue_ctrlc raises the Ctrl+C.
TEST(Stop, CtrlCThroughRundll32WithoutTheHelperProgram) {
    std::unique_ptr<EngineRun> run(new EngineRun);
    ASSERT_EQ(run->LaunchChild(ComposeLaunchCommand(ChildCommand("ctrlc 4").c_str(), 0, nullptr)),
              1);
    ASSERT_TRUE(run->output.WaitFor("ready")) << run->output.Get();
    EXPECT_TRUE(DeliverCtrlCThroughRundll32(run->Job(), {run->Process()}));
    ASSERT_TRUE(run->WaitForWatcher(60000));
    EXPECT_EQ(run->ExitCode(), 4u) << run->output.Get();
    run->FinishRun();
}

// The helper holds the run's job and processes as handles and checks each
// right before it attaches: a process that is not the run's (as the one that
// got a reused id would be) never gets the Ctrl+C, and the helper says it
// found no console of the run.
TEST(Stop, CtrlCNeverReachesAProcessTheRunNoLongerOwns) {
    Output output;
    ConsoleRun *stranger = Start("ctrlc 5", output);
    ASSERT_NE(stranger, nullptr);
    ASSERT_TRUE(output.WaitFor("ready")) << output.Get();
    ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE,
                                     PidAfter(output.Get(), "ready")));
    ASSERT_TRUE(process.IsValid());
    // The job of a run whose own processes have all ended.
    ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
    ScopedHandle helper;
    ASSERT_TRUE(DeliverCtrlCThroughHelper(job.Get(), {process.Get()}, helper));
    ASSERT_EQ(WaitForSingleObject(helper.Get(), 30000), WAIT_OBJECT_0);
    DWORD verdict = 0;
    EXPECT_TRUE(GetExitCodeProcess(helper.Get(), &verdict));
    EXPECT_EQ(verdict, 1u);
    EXPECT_EQ(dllglue_runwait(stranger, 500, 0), DLLGLUE_ETIMEOUT);
    EXPECT_EQ(output.Count("ctrl-c"), 0u) << output.Get();
    EXPECT_EQ(dllglue_runabort(stranger), 1);
    EXPECT_EQ(dllglue_runclose(stranger), DLLGLUE_OK);
}

// A child that ignores Ctrl+C is terminated when the grace runs out, not
// before; a later stop shortens the grace, never lengthens it, and an abort
// ends a stopping run at once.
TEST(Stop, IgnoredCtrlCIsTerminatedAfterTheGrace) {
    Output output;
    ConsoleRun *run = Start("ctrlc-ignore", output);
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(output.WaitFor("ready")) << output.Get();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dllglue_runstop(run, 600000), 1);
    EXPECT_EQ(dllglue_runstop(run, 2000), 1);
    EXPECT_EQ(dllglue_runstop(run, 600000), 1);
    EXPECT_EQ(dllglue_runwait(run, 1000, 0), DLLGLUE_ETIMEOUT);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    EXPECT_GE(MsSince(start), 1900u);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_ABORTED);
    EXPECT_EQ(result.stopRequested, 1);
    EXPECT_TRUE(output.WaitFor("ignored")) << output.Get();
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);

    Output second;
    run = Start("ctrlc-ignore", second);
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(second.WaitFor("ready")) << second.Get();
    EXPECT_EQ(dllglue_runstop(run, 600000), 1);
    EXPECT_EQ(dllglue_runabort(run), 1);
    EXPECT_EQ(dllglue_runwait(run, 30000, 0), DLLGLUE_OK);
    EXPECT_EQ(ResultOf(run).state, DLLGLUE_ABORTED);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}

// WM_CLOSE reaches a hidden window of a program that ignores Ctrl+C.
TEST(Stop, HiddenWindowIsAskedWithWmClose) {
    Output output;
    ConsoleRun *run = Start("hidden-window 9", output);
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(output.WaitFor("ready")) << output.Get();
    EXPECT_EQ(dllglue_runstop(run, 60000), 1);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 9u);
    EXPECT_NE(output.Get().find("wm-close"), std::string::npos) << output.Get();
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}

// A host with a console and a Ctrl+C handler of its own stops eight runs at
// once from eight threads: each run ends by its own handler, and the host's
// console, standard handles and handler are as before, its handler never
// having seen a Ctrl+C.
TEST(Stop, EightStopsAtOnceLeaveTheHostsConsoleAlone) {
    Output output;
    ConsoleRun *run = Start("stop-host", output);
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(dllglue_runwait(run, 180000, 0), DLLGLUE_OK);
    const std::string text = output.Get();
    for (int i = 0; i < 8; ++i)
        EXPECT_NE(text.find("run " + std::to_string(i) + " state=1 exit=" + std::to_string(10 + i) +
                            " stopped=1\n"),
                  std::string::npos)
            << text;
    EXPECT_NE(text.find("host console=1 handles=1 ctrl-c=0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("own-handler=1\n"), std::string::npos) << text;
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}

// A time limit with a grace asks first and is a time-out either way; the
// exit code tells whether the child ended itself. Through the C++ layer.
TEST(Stop, TimeLimitWithAGrace) {
    using namespace std::chrono_literals;
    brackwyn::Run polite(ChildCommand("ctrlc 4"),
                         brackwyn::Options().timeout(500ms).timeoutGrace(60s));
    brackwyn::Result result = polite.wait();
    EXPECT_EQ(result.state, brackwyn::State::TimedOut);
    EXPECT_EQ(result.exitCode, 4u);
    EXPECT_TRUE(result.stopRequested);
    EXPECT_EQ(result.processId, static_cast<unsigned long>(polite.processId()));

    const auto start = std::chrono::steady_clock::now();
    brackwyn::Run stubborn(ChildCommand("ctrlc-ignore"),
                           brackwyn::Options().timeout(500ms).timeoutGrace(1500ms));
    result = stubborn.wait();
    EXPECT_GE(MsSince(start), 1900u);
    EXPECT_EQ(result.state, brackwyn::State::TimedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_TRUE(result.stopRequested);
}

// With a drain, a process the child left holding the pipes ends the run
// about drainMs after the child: terminated, counted, and every byte the
// child wrote delivered. dllglue_stop asks dllglue_main's run the same way.
TEST(Stop, DrainEndsTheRunDespiteALeftoverAndMainRunsStopToo) {
    const size_t size = 300000;
    Output output;
    const auto start = std::chrono::steady_clock::now();
    ConsoleRun *run = Start("leftover " + std::to_string(size), output, 0, 0, 1500);
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    EXPECT_GE(MsSince(start), 1400u);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.leftoverProcesses, 1);
    EXPECT_EQ(result.stopRequested, 0);
    const std::string text = output.Get();
    const size_t body = text.find('\n') + 1;
    const DWORD leftover = PidAfter(text, "leftover");
    EXPECT_EQ(text.substr(body), ExpectedStream(size, 0));
    EXPECT_FALSE(ProcessAlive(leftover));
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);

    EXPECT_EQ(dllglue_stop(0), 0);
    static std::atomic<int> stopped{0};
    stopped = 0;
    dllglue_setconsoleout([](const char *chunk, size_t, void *) {
        if (std::strstr(chunk, "ready") != nullptr)
            stopped = dllglue_stop(60000);
    });
    EXPECT_EQ(dllglue_main(ChildCommand("ctrlc 0").c_str(), 0, nullptr, nullptr), 1);
    EXPECT_EQ(stopped.load(), 1);
    RegisterRecordingCallbacks();
}

namespace {

// Ends a process a failed test left behind, so that it does not outlive the
// suite.
void EndIfAlive(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process != nullptr) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

} // namespace

// With a drain, a daemon the child left running (detached, holding none of
// its pipes) does not outlive the run: it is terminated and counted, though
// the run itself ends as soon as the pipes break.
TEST(Stop, DrainEndsADaemonTheChildLeftRunning) {
    Output output;
    const auto start = std::chrono::steady_clock::now();
    ConsoleRun *run = Start("daemon", output, 0, 0, 20000);
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    EXPECT_LT(MsSince(start), 15000u);
    const DWORD daemon = PidAfter(output.Get(), "daemon");
    ASSERT_NE(daemon, 0u) << output.Get();
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.leftoverProcesses, 1);
    EXPECT_FALSE(ProcessAlive(daemon));
    EndIfAlive(daemon);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}

namespace {

// A host whose output callback is still busy when the run's time limit
// ends what the child left behind, and asks for a stop once it is done.
struct LateStop {
    Output output;
    std::atomic<ConsoleRun *> run{nullptr};
    std::atomic<int> stopResult{-1};
};

void BRACKWYN_CALL StopLate(const char *text, size_t length, void *user) {
    auto *late = static_cast<LateStop *>(user);
    Collect(text, length, &late->output);
    if (late->stopResult.load() != -1)
        return;
    // Long past the time limit: the watcher has settled the end meanwhile
    // and waits only for this callback.
    Sleep(3000);
    while (late->run.load() == nullptr)
        Sleep(10);
    late->stopResult = dllglue_runstop(late->run.load(), 60000);
}

} // namespace

// The child ends by itself at once, leaving a grandchild on its output: the
// time limit that ends the grandchild leaves the child's own end as it was,
// and counts the grandchild. A stop while the end is being settled asks
// nothing any more: 0, and stopRequested stays 0.
TEST(Stop, TimeLimitAfterTheChildsOwnEndAndAStopWhileSettling) {
    LateStop late;
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = StopLate;
    options.user = &late;
    options.timeoutMs = 1500;
    ConsoleRun *run = nullptr;
    ASSERT_EQ(
        dllglue_runstart(ChildCommand("grandchild-forever").c_str(), 0, nullptr, &options, &run),
        DLLGLUE_OK);
    late.run = run;
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    const DWORD grandchild = PidAfter(late.output.Get(), "parent-exit");
    ASSERT_NE(grandchild, 0u) << late.output.Get();
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.leftoverProcesses, 1);
    EXPECT_EQ(late.stopResult.load(), 0);
    EXPECT_EQ(result.stopRequested, 0);
    EXPECT_FALSE(ProcessAlive(grandchild));
    EndIfAlive(grandchild);
    EXPECT_EQ(dllglue_runclose(run), DLLGLUE_OK);
}
