// nv::ThinRunner: readiness delivery on pipes and socket pairs, removal and
// number reuse inside a pass, signals, start-up settings.
#include "nv/ThinRunner.h"
#include "nv/Timer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using nv::ThinRunner;

// A pipe whose read end is watched for readability; destroying it stops the
// watch and closes both ends, as a transport does.
struct WatchedPipe {
    WatchedPipe(ThinRunner& runner, ThinRunner::SocketHandler handler) : runner(runner) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        readFd = fds[0];
        writeFd = fds[1];
        EXPECT_TRUE(runner.addSocket(readFd, ThinRunner::kReadable, std::move(handler)));
    }
    ~WatchedPipe() {
        runner.removeSocket(readFd);
        close(readFd);
        close(writeFd);
    }
    void makeReadable() const { EXPECT_EQ(write(writeFd, "x", 1), 1); }

    ThinRunner& runner;
    int readFd = -1;
    int writeFd = -1;
};

class RunnerTest : public ::testing::Test {
protected:
    RunnerTest() {
        runner_.setClockForTesting([] { return uint64_t{0}; });
    }
    ThinRunner runner_;
};

TEST_F(RunnerTest, IsTheCurrentRunnerWhileItExists) {
    EXPECT_EQ(nv::getRunner(), &runner_);
    {
        auto other = std::make_unique<ThinRunner>();
        EXPECT_EQ(nv::getRunner(), other.get());
    }
    EXPECT_EQ(nv::getRunner(), nullptr);
}

TEST_F(RunnerTest, DeliversOnlyTheWatchedEvents) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::vector<unsigned> seen;
    ASSERT_TRUE(runner_.addSocket(pair[0], ThinRunner::kReadable, [&](int, unsigned events) { seen.push_back(events); }));
    runner_.runOnce(0);  // writable, but only readability is watched
    EXPECT_TRUE(seen.empty());

    ASSERT_TRUE(runner_.changeSocket(pair[0], ThinRunner::kWritable));
    runner_.runOnce(0);
    EXPECT_EQ(seen, std::vector<unsigned>{ThinRunner::kWritable});

    ASSERT_EQ(write(pair[1], "x", 1), 1);
    ASSERT_TRUE(runner_.changeSocket(pair[0], ThinRunner::kReadable | ThinRunner::kWritable));
    runner_.runOnce(0);
    EXPECT_EQ(seen.back(), ThinRunner::kReadable | ThinRunner::kWritable);

    // Watching nothing keeps the registration but delivers nothing.
    ASSERT_TRUE(runner_.changeSocket(pair[0], 0));
    runner_.runOnce(0);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_TRUE(runner_.isWatched(pair[0]));

    runner_.removeSocket(pair[0]);
    EXPECT_FALSE(runner_.isWatched(pair[0]));
    EXPECT_FALSE(runner_.changeSocket(pair[0], ThinRunner::kReadable));
    close(pair[0]);
    close(pair[1]);
}

TEST_F(RunnerTest, HangUpIsReportedAsReadableAndWritable) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    unsigned seen = 0;
    ASSERT_TRUE(runner_.addSocket(fds[0], ThinRunner::kReadable | ThinRunner::kWritable,
                                  [&](int, unsigned events) { seen = events; }));
    close(fds[1]);
    runner_.runOnce(0);
    EXPECT_EQ(seen, ThinRunner::kReadable | ThinRunner::kWritable);
    runner_.removeSocket(fds[0]);
    close(fds[0]);
}

TEST_F(RunnerTest, RefusesBadRegistrations) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto ignore = [](int, unsigned) {};
    EXPECT_FALSE(runner_.addSocket(-1, ThinRunner::kReadable, ignore));
    EXPECT_FALSE(runner_.addSocket(fds[0], ThinRunner::kReadable, nullptr));
    ASSERT_TRUE(runner_.addSocket(fds[0], ThinRunner::kReadable, ignore));
    EXPECT_FALSE(runner_.addSocket(fds[0], ThinRunner::kReadable, ignore));
    EXPECT_EQ(errno, EEXIST);
    close(fds[1]);
    int closed = fds[1];
    EXPECT_FALSE(runner_.addSocket(closed, ThinRunner::kReadable, ignore));
    EXPECT_FALSE(runner_.isWatched(closed));
    runner_.removeSocket(closed);  // not watched: nothing happens
    runner_.removeSocket(fds[0]);
    close(fds[0]);
}

// Two descriptors ready in one pass; whichever runs first destroys both
// watchers, its own included. The other's event must not be delivered.
TEST_F(RunnerTest, HandlerMayDestroyItsOwnerAndAnotherReadyWatcher) {
    std::unique_ptr<WatchedPipe> pipes[2];
    int calls = 0;
    for (auto& watched : pipes) {
        watched = std::make_unique<WatchedPipe>(runner_, [&](int, unsigned) {
            ++calls;
            pipes[0].reset();
            pipes[1].reset();
        });
    }
    pipes[0]->makeReadable();
    pipes[1]->makeReadable();
    runner_.runOnce(0);
    EXPECT_EQ(calls, 1);
    runner_.runOnce(0);
    EXPECT_EQ(calls, 1);
}

// The first handler removes the other ready descriptor, closes it, and
// registers a new, readable descriptor under the same number. The stale
// event of the old registration must not reach the new handler in this
// pass; the new one's own event comes on the next pass.
TEST_F(RunnerTest, ReusedNumberDoesNotGetTheStaleEvent) {
    std::unique_ptr<WatchedPipe> pipes[2];
    int oldCalls = 0;
    int newCalls = 0;
    int reused = -1;
    int newWriteFd = -1;
    for (int i = 0; i < 2; ++i) {
        pipes[i] = std::make_unique<WatchedPipe>(runner_, [&, i](int, unsigned) {
            ++oldCalls;
            char byte;
            ASSERT_EQ(read(pipes[i]->readFd, &byte, 1), 1);
            reused = pipes[1 - i]->readFd;
            pipes[1 - i].reset();
            int fresh[2];
            ASSERT_EQ(pipe(fresh), 0);
            // The lowest free number is usually the one just closed.
            if (fresh[0] != reused) {
                ASSERT_NE(fresh[1], reused);
                ASSERT_EQ(dup2(fresh[0], reused), reused);
                close(fresh[0]);
            }
            newWriteFd = fresh[1];
            ASSERT_TRUE(runner_.addSocket(reused, ThinRunner::kReadable, [&](int, unsigned) { ++newCalls; }));
            ASSERT_EQ(write(newWriteFd, "x", 1), 1);
        });
    }
    pipes[0]->makeReadable();
    pipes[1]->makeReadable();
    runner_.runOnce(0);
    EXPECT_EQ(oldCalls, 1);
    EXPECT_EQ(newCalls, 0);
    runner_.runOnce(0);
    EXPECT_EQ(newCalls, 1);
    EXPECT_EQ(oldCalls, 1);
    runner_.removeSocket(reused);
    close(reused);
    close(newWriteFd);
}

TEST_F(RunnerTest, HandlerChangingAnotherReadyWatcherToNothingStopsItsEvent) {
    std::vector<int> calls;
    std::unique_ptr<WatchedPipe> pipes[2];
    for (int i = 0; i < 2; ++i) {
        pipes[i] = std::make_unique<WatchedPipe>(runner_, [&, i](int, unsigned) {
            calls.push_back(i);
            runner_.changeSocket(pipes[1 - i]->readFd, 0);
            runner_.changeSocket(pipes[i]->readFd, 0);
        });
    }
    pipes[0]->makeReadable();
    pipes[1]->makeReadable();
    runner_.runOnce(0);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(RunnerTest, HandlerKeepsItsRegistrationAcrossPasses) {
    int calls = 0;
    WatchedPipe watched(runner_, [&](int, unsigned) { ++calls; });
    watched.makeReadable();  // level-triggered: ready on every pass
    runner_.runOnce(0);
    runner_.runOnce(0);
    EXPECT_EQ(calls, 2);
}

TEST_F(RunnerTest, RunReturnsAfterShutdownFromAHandlerAndCanRunAgain) {
    int runs = 0;
    nv::Timer stop(0, [&] {
        ++runs;
        runner_.shutdown();
    });
    runner_.run();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(runner_.stopping());
    stop = nv::Timer(0, [&] {
        ++runs;
        runner_.shutdown();
    });
    runner_.run();
    EXPECT_EQ(runs, 2);
}

// On the real clock, an idle loop wakes for its timer.
TEST(RunnerRealClockTest, WaitIsBoundedByTheNextTimer) {
    ThinRunner runner;
    bool fired = false;
    nv::Timer timer(1, [&] {
        fired = true;
        runner.shutdown();
    });
    runner.run();
    EXPECT_TRUE(fired);
}

TEST(RunnerSignalTest, TermAndIntEndTheLoop) {
    for (int signal : {SIGTERM, SIGINT}) {
        ThinRunner runner;
        nv::Timer raiser(0, [signal] { raise(signal); });
        runner.run();  // returns instead of the process dying
        EXPECT_FALSE(raiser.pending());
    }
}

TEST(RunnerSignalTest, SignalBeforeRunStillEndsIt) {
    ThinRunner runner;
    raise(SIGTERM);
    runner.run();
    SUCCEED();
}

TEST(RunnerSignalTest, BrokenPipeIsAnErrorNotDeath) {
    ThinRunner runner;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fds[1]);
}

TEST(RunnerLimitTest, RaisesTheSoftDescriptorLimit) {
    ThinRunner runner;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
    }
}

}  // namespace
