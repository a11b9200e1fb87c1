// nv::ThinRunner and nv::Timer: timers on a clock the test drives, readiness
// delivery while handlers remove or replace descriptors mid-pass, and the
// end of the loop.
#include "nv/ThinRunner.h"
#include "nv/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

using nv::ThinRunner;
using nv::Timer;
constexpr unsigned kR = ThinRunner::kReadable;

// A readable pipe whose read end is watched; destroying it stops the watch
// and closes both ends, as a transport does.
struct WatchedPipe {
    WatchedPipe(ThinRunner& runner, ThinRunner::SocketHandler handler) : runner(runner) {
        EXPECT_TRUE(pipe(fds) == 0 && write(fds[1], "x", 1) == 1 && runner.addSocket(fds[0], kR, std::move(handler)));
    }
    ~WatchedPipe() {
        runner.removeSocket(fds[0]);
        close(fds[0]);
        close(fds[1]);
    }
    ThinRunner& runner;
    int fds[2];
};

class RunnerTest : public ::testing::Test {
protected:
    RunnerTest() { runner_.setClockForTesting([this] { return clock_; }); }
    void advance(uint64_t ms) {
        clock_ += ms;
        runner_.runOnce(0);
    }
    Timer record(uint32_t ticks, int value) {
        return Timer(ticks, [this, value] { fired_.push_back(value); });
    }

    uint64_t clock_ = 1000;
    ThinRunner runner_;
    std::vector<int> fired_;
};

TEST_F(RunnerTest, TimersFireAtTheirDeadlineInOrderTiesInArmingOrder) {
    Timer late = record(3, 3), tie1 = record(1, 10), early = record(0, 0), tie2 = record(1, 11), tie3 = record(1, 12);
    EXPECT_EQ(runner_.sleepTime(), 0);
    advance(9);
    EXPECT_EQ(fired_, std::vector<int>{0});
    EXPECT_EQ(runner_.sleepTime(), 1);
    advance(50);  // the rest all due in one pass
    EXPECT_EQ(fired_, (std::vector<int>{0, 10, 11, 12, 3}));
    EXPECT_EQ(runner_.sleepTime(), -1);
}

// Armed during a pass, by a timer's handler (replacing its own timer) or a
// descriptor's, a 0-tick timer fires on the next pass, not the same one.
TEST_F(RunnerTest, ZeroTickTimerArmedDuringAPassFiresOnTheNext) {
    Timer timer, fromSocket;
    timer = Timer(0, [&] {
        fired_.push_back(1);
        timer = record(0, 2);
    });
    WatchedPipe watched(runner_, [&](int fd, unsigned) {
        runner_.changeSocket(fd, 0);
        fromSocket = record(0, 3);
    });
    advance(0);
    EXPECT_EQ(fired_, std::vector<int>{1});
    advance(0);
    std::sort(fired_.begin(), fired_.end());
    EXPECT_EQ(fired_, (std::vector<int>{1, 2, 3}));
}

// Cancelled by assignment, destruction, cancel() or a handler that runs
// first, a timer never fires and lets go of its handler at once. A handler
// may destroy its own timer; the others due in that pass still fire.
TEST_F(RunnerTest, CancelledTimersNeverFire) {
    auto held = std::make_shared<int>(0);
    Timer byAssignment(1, [held] {}), byCancel(1, [held] {}), byHandler;
    { Timer byDestruction(1, [held] {}); }
    auto owned = std::make_unique<Timer>();
    *owned = Timer(1, [&] {
        byHandler = Timer();
        fired_.push_back(1);
        owned.reset();
    });
    byHandler = record(1, 2);
    Timer replaced = record(1, 4), after = record(1, 3);
    replaced = record(2, 5);
    byAssignment = Timer();
    byCancel.cancel();
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_EQ(runner_.pendingTimers(), 4u);
    advance(100);
    EXPECT_EQ(fired_, (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(owned, nullptr);
}

TEST(TimerLifetimeTest, WithoutARunnerOrOutlivingItATimerIsIdle) {
    ASSERT_EQ(nv::getRunner(), nullptr);
    auto held = std::make_shared<int>(0);
    Timer timer(0, [] {});
    EXPECT_FALSE(timer.pending());
    {
        ThinRunner runner;
        timer = Timer(1, [held] {});
        EXPECT_TRUE(timer.pending());
    }
    EXPECT_FALSE(timer.pending());
    EXPECT_EQ(held.use_count(), 1);
    timer.cancel();
}

// 100,000 pending, moved about as their vector grows, a third cancelled at
// random: the rest fire exactly once, in (deadline, arming) order.
TEST_F(RunnerTest, HundredThousandPendingWithRandomCancels) {
    constexpr int kTimers = 100000;
    std::mt19937 random(12345);
    std::vector<uint32_t> ticks(kTimers);
    std::vector<Timer> timers;
    for (int i = 0; i < kTimers; ++i) timers.push_back(record(ticks[i] = random() % 1000, i));
    std::vector<int> expected;
    for (int i = 0; i < kTimers; ++i) {
        if (random() % 3 != 0) expected.push_back(i);
        else if (i % 2) timers[i].cancel();
        else timers[i] = Timer();
    }
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return ticks[a] < ticks[b]; });
    EXPECT_EQ(runner_.pendingTimers(), expected.size());
    // Steps of 7 ms, so that passes often find several ticks due at once.
    for (int pass = 0; pass < 1500 && runner_.pendingTimers() != 0; ++pass) advance(7);
    EXPECT_TRUE(fired_ == expected);
}

// Two descriptors ready in one pass; whichever runs first destroys both
// watchers, its own included, or stops watching both. The other's event is
// not delivered.
TEST_F(RunnerTest, HandlerMayRemoveItselfAndAnotherReadyDescriptor) {
    for (bool destroy : {true, false}) {
        std::unique_ptr<WatchedPipe> pipes[2];
        int calls = 0;
        for (auto& watched : pipes) {
            watched = std::make_unique<WatchedPipe>(runner_, [&](int, unsigned) {
                ++calls;
                for (auto& p : pipes) {
                    if (destroy) p.reset();
                    else runner_.changeSocket(p->fds[0], 0);
                }
            });
        }
        runner_.runOnce(0);
        runner_.runOnce(0);
        EXPECT_EQ(calls, 1) << destroy;
    }
}

// The first handler removes the other ready descriptor, closes it, and
// watches a new, readable descriptor under the same number. The stale event
// must not reach the new handler in this pass; its own comes on the next.
TEST_F(RunnerTest, ReusedNumberDoesNotGetTheStaleEvent) {
    std::unique_ptr<WatchedPipe> pipes[2], fresh;
    int oldCalls = 0, newCalls = 0, reused = -1;
    for (int i = 0; i < 2; ++i) {
        pipes[i] = std::make_unique<WatchedPipe>(runner_, [&, i](int, unsigned) {
            ++oldCalls;
            reused = pipes[1 - i]->fds[0];
            pipes[1 - i].reset();
            fresh = std::make_unique<WatchedPipe>(runner_, [&](int, unsigned) { ++newCalls; });
        });
    }
    runner_.runOnce(0);
    ASSERT_EQ(fresh->fds[0], reused);  // the lowest free number: the one just closed
    EXPECT_EQ(newCalls, 0);
    pipes[0].reset();
    pipes[1].reset();
    runner_.runOnce(0);
    EXPECT_EQ(oldCalls, 1);
    EXPECT_EQ(newCalls, 1);
}

// On the real clock the wait ends for the next timer; run() returns on
// shutdown() or on SIGINT (or SIGTERM), even one raised before it ran.
TEST(RunnerLoopTest, RunEndsOnShutdownOrASignal) {
    ThinRunner runner;
    Timer stop(1, [&] { runner.shutdown(); }), raiser(2, [] { raise(SIGINT); });
    runner.run();
    EXPECT_FALSE(stop.pending());
    runner.run();
    EXPECT_FALSE(raiser.pending());
    raise(SIGTERM);
    runner.run();
}

}  // namespace
