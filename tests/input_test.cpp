// A run's input while it runs: what the host writes reaches the child whole
// and in order, the host never waits for the child, and a closed input says
// so instead of swallowing bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/child/pipes.h"
#include "engine/input/input_queue.h"
#include "test_support.h"

namespace {

struct Echo {
    std::mutex lock;
    std::string out;
};

void BRACKWYN_CALL Collect(const char *text, size_t length, void *user) {
    auto *echo = static_cast<Echo *>(user);
    std::lock_guard<std::mutex> lock(echo->lock);
    echo->out.append(text, length);
}

std::string OutputOf(Echo &echo) {
    std::lock_guard<std::mutex> lock(echo.lock);
    return echo.out;
}

// A run of the helper child with a piped input; null when it did not start.
ConsoleRun *StartPiped(const std::string &mode, Echo &echo, const std::string &first = "") {
    ConsoleRunOptions options{};
    options.size = sizeof(options);
    options.onOutput = Collect;
    options.user = &echo;
    options.input = DLLGLUE_INPUT_PIPE;
    options.inputData = first.data();
    options.inputLength = first.size();
    ConsoleRun *run = nullptr;
    EXPECT_EQ(dllglue_runstart(ChildCommand(mode).c_str(), 0, nullptr, &options, &run), DLLGLUE_OK)
        << dllglue_lasterror();
    return run;
}

// Polls until the output is `expected`; false if it grows past it or a
// generous limit passes (only a hang should ever reach it).
bool OutputBecomes(Echo &echo, const std::string &expected) {
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (;;) {
        const std::string out = OutputOf(echo);
        if (out == expected)
            return true;
        if (out.size() > expected.size() || GetTickCount64() > deadline)
            return false;
        Sleep(2);
    }
}

std::string Fnv1a(const std::string &data) {
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char byte : data)
        hash = (hash ^ byte) * 1099511628211ull;
    std::string hex(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4)
        hex[i] = "0123456789abcdef"[hash & 0xf];
    return hex;
}

} // namespace

// A conversation: each line is answered while the input stays open, before
// the next is sent; the up-front data comes first; closing ends the child's
// input, and the input refuses bytes from then on.
TEST(Input, InteractiveEchoLineByLine) {
    Echo echo;
    ConsoleRun *run = StartPiped("echo-stdin", echo, "hello\n");
    ASSERT_NE(run, nullptr);
    std::string expected = "hello\n";
    ASSERT_TRUE(OutputBecomes(echo, expected)) << OutputOf(echo);
    for (int i = 1; i <= 20; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        ASSERT_EQ(dllglue_runwrite(run, line.data(), line.size()), DLLGLUE_OK);
        expected += line;
        ASSERT_TRUE(OutputBecomes(echo, expected)) << OutputOf(echo);
    }
    EXPECT_EQ(ResultOf(run).state, DLLGLUE_RUNNING);
    EXPECT_EQ(dllglue_runwrite(run, nullptr, 0), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runwrite(run, nullptr, 1), DLLGLUE_EINVAL);
    EXPECT_EQ(dllglue_runclosein(run), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runclosein(run), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runwrite(run, "x", 1), DLLGLUE_ECLOSED);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.inputBytes, expected.size());
    EXPECT_EQ(result.inputPending, 0u);
    EXPECT_EQ(OutputOf(echo), expected);
    dllglue_runclose(run);
}

// One call far larger than the pipe holds, queued before the child reads
// any of it, arrives complete and in order.
TEST(Input, SixtyFourMebibytesQueuedAtOnceArriveWhole) {
    std::string data(64 * 1024 * 1024, '\0');
    std::mt19937 random(15);
    for (size_t i = 0; i < data.size(); i += 4) {
        const unsigned value = random();
        for (size_t k = 0; k < 4; ++k)
            data[i + k] = static_cast<char>(value >> (8 * k));
    }
    Echo echo;
    ConsoleRun *run = StartPiped("stdin-sum", echo);
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(dllglue_runwrite(run, data.data(), data.size()), DLLGLUE_OK);
    ASSERT_EQ(dllglue_runclosein(run), DLLGLUE_OK);
    ASSERT_EQ(dllglue_runwait(run, 300000, 0), DLLGLUE_OK);
    const ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(OutputOf(echo),
              "stdin-bytes:" + std::to_string(data.size()) + " fnv:" + Fnv1a(data) + "\n");
    EXPECT_EQ(result.inputBytes, data.size());
    EXPECT_EQ(result.inputPending, 0u);
    dllglue_runclose(run);
}

// Four threads write records of up to 600 KB at once, half of them larger
// than the pipe takes in one write: each record comes out whole, and each
// thread's records in the order it wrote them.
TEST(Input, CallsFromFourThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 8;
    Echo echo;
    ConsoleRun *run = StartPiped("echo-stdin", echo);
    ASSERT_NE(run, nullptr);
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::atomic<unsigned long long> total{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            std::mt19937 random(100 + t);
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < kCalls; ++i) {
                const size_t length = 1 + random() % 600000;
                const std::string record = std::to_string(t) + ":" + std::to_string(i) + ":" +
                                           std::to_string(length) + ":" +
                                           std::string(length, static_cast<char>('a' + t)) + "\n";
                if (dllglue_runwrite(run, record.data(), record.size()) != DLLGLUE_OK)
                    ++failures;
                total += record.size();
            }
        });
    }
    go = true;
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(dllglue_runclosein(run), DLLGLUE_OK);
    ASSERT_EQ(dllglue_runwait(run, 300000, 0), DLLGLUE_OK);
    EXPECT_EQ(ResultOf(run).inputBytes, total.load());
    dllglue_runclose(run);

    const std::string out = OutputOf(echo);
    ASSERT_EQ(out.size(), total.load());
    int next[kThreads] = {};
    size_t at = 0;
    while (at < out.size()) {
        int t = -1;
        int i = -1;
        unsigned long length = 0;
        int header = 0;
        ASSERT_EQ(sscanf(out.c_str() + at, "%d:%d:%lu:%n", &t, &i, &length, &header), 3)
            << "at byte " << at;
        ASSERT_TRUE(t >= 0 && t < kThreads) << "at byte " << at;
        EXPECT_EQ(i, next[t]++) << "thread " << t;
        at += header;
        ASSERT_LE(at + length + 1, out.size());
        ASSERT_EQ(out.compare(at, length, std::string(length, static_cast<char>('a' + t))), 0)
            << "record " << t << ":" << i << " was cut";
        at += length;
        ASSERT_EQ(out[at++], '\n');
    }
    for (int count : next)
        EXPECT_EQ(count, kCalls);
}

// A child that never reads: the host's writes return at once and stay
// queued, the run ends when the child does, and from then on the input is
// closed; what was never written is counted as such. Only a piped input
// takes writes.
TEST(Input, NeverReadingChildHoldsNothingAndItsEndClosesTheInput) {
    const std::string block(4 * 1024 * 1024, 'q');
    Echo echo;
    ConsoleRun *run = StartPiped("sleep 3000", echo);
    ASSERT_NE(run, nullptr);
    const ULONGLONG begin = GetTickCount64();
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(dllglue_runwrite(run, block.data(), block.size()), DLLGLUE_OK);
    ConsoleRunResult result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_RUNNING) << "16 writes took " << GetTickCount64() - begin;
    EXPECT_GT(result.inputPending, 0u);
    ASSERT_EQ(dllglue_runwait(run, 60000, 0), DLLGLUE_OK);
    EXPECT_EQ(dllglue_runwrite(run, "x", 1), DLLGLUE_ECLOSED);
    result = ResultOf(run);
    EXPECT_EQ(result.state, DLLGLUE_EXITED);
    EXPECT_GT(result.inputPending, 0u);
    EXPECT_EQ(result.inputBytes + result.inputPending, 16 * block.size());
    dllglue_runclose(run);

    ConsoleRun *plain = nullptr;
    ASSERT_EQ(dllglue_runstart(ChildCommand("exit 0").c_str(), 0, nullptr, nullptr, &plain),
              DLLGLUE_OK);
    EXPECT_EQ(dllglue_runwrite(plain, "x", 1), DLLGLUE_EINVAL);
    EXPECT_EQ(dllglue_runclosein(plain), DLLGLUE_EINVAL);
    dllglue_runclose(plain);
}

// A reader that closes its end while the run goes on: the input is closed
// from the write that finds it gone on. The queue is tried on a pipe of its
// own first, since only there can this be seen under Wine.
TEST(Input, ReaderClosingItsEndClosesTheInput) {
    ScopedHandle reader;
    ScopedHandle writer;
    ASSERT_TRUE(CreateChildPipe(PipeDirection::ToChild, reader, writer));
    InputQueue queue;
    queue.Attach(std::move(writer));
    ASSERT_TRUE(queue.Start("ab", nullptr));
    char got[2] = {};
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(reader.Get(), got, 2, &count, nullptr));
    EXPECT_EQ(std::string(got, count), "ab");
    reader.Close();
    int status = DLLGLUE_OK;
    for (int attempt = 0; attempt < 200 && status == DLLGLUE_OK; ++attempt) {
        status = queue.Write("y", 1);
        Sleep(20);
    }
    EXPECT_EQ(status, DLLGLUE_ECLOSED);
    EXPECT_EQ(queue.Written(), 2u);
    EXPECT_GT(queue.Pending(), 0u);
    WaitForSingleObject(queue.Thread(), 30000);
    queue.Release();

    if (UnderWine())
        GTEST_SKIP() << "Wine's console host keeps the child's input pipe open for as long as "
                        "the child lives, so a child closing its own handle breaks nothing";
    Echo echo;
    ConsoleRun *run = StartPiped("close-stdin 20000", echo);
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(dllglue_runwrite(run, "x\n", 2), DLLGLUE_OK);
    ASSERT_TRUE(OutputBecomes(echo, "closed\n"));
    status = DLLGLUE_OK;
    for (int attempt = 0; attempt < 200 && status == DLLGLUE_OK; ++attempt) {
        status = dllglue_runwrite(run, "y", 1);
        Sleep(20);
    }
    EXPECT_EQ(status, DLLGLUE_ECLOSED);
    EXPECT_EQ(ResultOf(run).state, DLLGLUE_RUNNING);
    dllglue_runclose(run);
}
