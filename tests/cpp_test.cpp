// The C++ layer as a host written against it meets it.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "brackwyn.hpp"
#include "test_support.h"

namespace {

// A callable that counts its copies; moving it is free.
struct CountedHandler {
    explicit CountedHandler(int *copies) : m_copies(copies) {}
    CountedHandler(const CountedHandler &other) : m_copies(other.m_copies) { ++*m_copies; }
    CountedHandler(CountedHandler &&) noexcept = default;
    CountedHandler &operator=(const CountedHandler &) = delete;
    CountedHandler &operator=(CountedHandler &&) = delete;
    void operator()(std::string_view) const {}

private:
    int *m_copies;
};

} // namespace

// Options chained on a temporary reach the run by moves: what they hold (a
// callable here, a large input alike) is never copied on the way.
TEST(Cpp, OptionsChainedOnATemporaryMoveIntoTheRun) {
    int copies = 0;
    brackwyn::Run run(
        ChildCommand("stdin"),
        brackwyn::Options().onOutput(CountedHandler(&copies)).input(std::string(1024 * 1024, 'x')));
    const brackwyn::Result result = run.wait();
    EXPECT_EQ(copies, 0);
    EXPECT_EQ(result.inputBytes, 1024u * 1024u);
}

// A name holding '=' would silently set another variable; a value may hold
// one.
TEST(Cpp, EnvironmentNameWithAnEqualsSignIsRefused) {
    try {
        brackwyn::Options().env("A=B", "c");
        ADD_FAILURE() << "env(\"A=B\", \"c\") was taken";
    } catch (const brackwyn::Error &error) {
        EXPECT_EQ(error.code(), DLLGLUE_EINVAL);
    }
    brackwyn::Options options;
    EXPECT_THROW(options.env("=C:", "x"), brackwyn::Error);
    std::string out;
    brackwyn::Run run(
        ChildCommand("setting BW_EQ"),
        brackwyn::Options().env("BW_EQ", "x=y").onOutput([&out](std::string_view text) {
            out += text;
        }));
    run.wait();
    EXPECT_NE(out.find("\nBW_EQ=x=y\n"), std::string::npos) << out;
}

// A callable's exception that no wait() ever sees is still there to find,
// before and after close(); the input, written through the run, said when
// it closed.
TEST(Cpp, ExceptionNoWaitSeesIsKeptForTheHost) {
    brackwyn::Run run(ChildCommand("echo-stdin"),
                      brackwyn::Options().inputPipe().onOutput([](std::string_view text) {
                          throw std::runtime_error("refused " + std::string(text));
                      }));
    EXPECT_EQ(run.error(), nullptr);
    EXPECT_TRUE(run.write("line\n"));
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (run.result().state == brackwyn::State::Running && GetTickCount64() < deadline)
        Sleep(5);
    EXPECT_FALSE(run.write("more\n"));
    EXPECT_NE(run.error(), nullptr);
    run.close();
    ASSERT_NE(run.error(), nullptr);
    try {
        std::rethrow_exception(run.error());
    } catch (const std::runtime_error &error) {
        EXPECT_EQ(std::string(error.what()).rfind("refused l", 0), 0u) << error.what();
    }
}

// Two threads wait on one Run while a third closes it at a random moment:
// each wait returns the closed run's result, none writes into another's
// frame, and the run is freed once, by whoever leaves it last.
TEST(Cpp, TwoThreadsWaitWhileAThirdCloses) {
    for (int round = 0; round < 20; ++round) {
        brackwyn::Run run(ChildCommand("sleep 3000"));
        std::atomic<int> ended{0};
        std::atomic<int> aborted{0};
        auto waiter = [&run, &ended, &aborted] {
            try {
                const brackwyn::Result result = run.wait();
                ended.fetch_add(1);
                if (result.state == brackwyn::State::Aborted)
                    aborted.fetch_add(1);
            } catch (const brackwyn::Error &) {
                // Only when the close came before this wait began.
            }
        };
        std::thread first(waiter);
        std::thread second(waiter);
        Sleep(100 + static_cast<DWORD>(round * 5));
        run.close();
        first.join();
        second.join();
        EXPECT_FALSE(run);
        EXPECT_EQ(ended.load(), 2) << "round " << round;
        EXPECT_EQ(aborted.load(), 2) << "round " << round;
    }
}

// The terminal setters reach the run: the child's console has the size
// asked for, resize() changes it, and the text comes as lines.
TEST(Cpp, TerminalSizeAndResizeReachTheConsole) {
    std::mutex lock;
    std::string out;
    const auto has = [&](const std::string &text) {
        std::lock_guard<std::mutex> hold(lock);
        return out.find(text) != std::string::npos;
    };
    const auto waitFor = [&](const std::string &text) {
        for (int i = 0; i < 1000 && !has(text); ++i)
            Sleep(10);
        return has(text);
    };
    brackwyn::Run run(
        "\"" + RunnerFolder() + "bw_term.exe\" sizes 100 50",
        brackwyn::Options().terminal().terminalSize(90, 20).onOutput([&](std::string_view text) {
            std::lock_guard<std::mutex> hold(lock);
            out += text;
        }));
    EXPECT_TRUE(waitFor("size=90x20\n")) << out;
    EXPECT_TRUE(run.resize(70, 15));
    EXPECT_TRUE(waitFor("size=70x15\n")) << out;
    EXPECT_THROW(run.resize(0, 15), brackwyn::Error);
    run.abort();
    run.wait();
    EXPECT_FALSE(run.resize(80, 25));
}
