// nv::Timer on a runner whose clock the test drives: no sleeps.
#include "nv/ThinRunner.h"
#include "nv/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

class TimerTest : public ::testing::Test {
protected:
    TimerTest() {
        runner_.setClockForTesting([this] { return clock_; });
    }

    // Moves the clock on by `ms` and runs one pass.
    void advance(uint64_t ms) {
        clock_ += ms;
        runner_.runOnce(0);
    }

    uint64_t clock_ = 1000;
    nv::ThinRunner runner_;
    std::vector<int> fired_;
};

TEST_F(TimerTest, FiresInDeadlineOrderTiesInArmingOrder) {
    nv::Timer late(3, [this] { fired_.push_back(3); });
    nv::Timer tieFirst(1, [this] { fired_.push_back(10); });
    nv::Timer early(0, [this] { fired_.push_back(0); });
    nv::Timer tieSecond(1, [this] { fired_.push_back(11); });
    nv::Timer tieThird(1, [this] { fired_.push_back(12); });
    EXPECT_EQ(runner_.pendingTimers(), 5u);

    advance(50);  // all due in one pass
    EXPECT_EQ(fired_, (std::vector<int>{0, 10, 11, 12, 3}));
    EXPECT_EQ(runner_.pendingTimers(), 0u);
    EXPECT_FALSE(late.pending());
}

TEST_F(TimerTest, FiresNotBeforeItsDeadline) {
    nv::Timer timer(3, [this] { fired_.push_back(1); });
    advance(29);
    EXPECT_TRUE(fired_.empty());
    EXPECT_EQ(runner_.sleepTime(), 1);
    advance(1);
    EXPECT_EQ(fired_.size(), 1u);
    EXPECT_EQ(runner_.sleepTime(), -1);
}

TEST_F(TimerTest, SleepTimeCountsDownToTheNextTimer) {
    EXPECT_EQ(runner_.sleepTime(), -1);
    nv::Timer timer(5, [] {});
    EXPECT_EQ(runner_.sleepTime(), 50);
    clock_ += 20;
    EXPECT_EQ(runner_.sleepTime(), 30);
    clock_ += 100;
    EXPECT_EQ(runner_.sleepTime(), 0);
    runner_.runOnce(0);
    EXPECT_EQ(runner_.now(), clock_);
}

TEST_F(TimerTest, ZeroTickArmedByAHandlerFiresOnALaterPass) {
    nv::Timer inner;
    nv::Timer outer(0, [&] {
        inner = nv::Timer(0, [this] { fired_.push_back(2); });
        fired_.push_back(1);
    });
    advance(0);
    EXPECT_EQ(fired_, std::vector<int>{1});
    EXPECT_TRUE(inner.pending());
    advance(0);
    EXPECT_EQ(fired_, (std::vector<int>{1, 2}));
}

TEST_F(TimerTest, ZeroTickArmedBySocketHandlerWaitsForTheNextPass) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    nv::Timer armed;
    runner_.addSocket(fds[0], nv::ThinRunner::kReadable, [&](int fd, unsigned) {
        runner_.removeSocket(fd);
        armed = nv::Timer(0, [this] { fired_.push_back(1); });
    });
    runner_.runOnce(0);
    EXPECT_TRUE(fired_.empty());
    EXPECT_TRUE(armed.pending());
    runner_.runOnce(0);
    EXPECT_EQ(fired_.size(), 1u);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(TimerTest, AssignmentDestructionAndCancelEachCancel) {
    auto held = std::make_shared<int>(0);
    nv::Timer byAssignment(1, [this, held] { fired_.push_back(1); });
    nv::Timer byCancel(1, [this, held] { fired_.push_back(2); });
    {
        nv::Timer byDestruction(1, [this, held] { fired_.push_back(3); });
    }
    nv::Timer replaced(1, [this] { fired_.push_back(4); });
    replaced = nv::Timer(2, [this] { fired_.push_back(5); });

    byAssignment = nv::Timer();
    byCancel.cancel();
    EXPECT_FALSE(byAssignment.pending());
    EXPECT_FALSE(byCancel.pending());
    // Cancelling releases what the handler held, at once.
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_EQ(runner_.pendingTimers(), 1u);

    advance(100);
    EXPECT_EQ(fired_, std::vector<int>{5});
}

struct TimerOwner {
    nv::Timer timer;
    std::vector<int>* log;
    ~TimerOwner() { log->push_back(-1); }
};

TEST_F(TimerTest, HandlerMayDestroyItsTimerAndItsOwner) {
    auto* owner = new TimerOwner{nv::Timer(), &fired_};
    owner->timer = nv::Timer(1, [this, owner] {
        fired_.push_back(1);
        delete owner;
    });
    nv::Timer after(1, [this] { fired_.push_back(2); });
    advance(10);
    EXPECT_EQ(fired_, (std::vector<int>{1, -1, 2}));
}

TEST_F(TimerTest, HandlerMayRearmItsOwnTimer) {
    nv::Timer timer;
    int runs = 0;
    std::function<void()> again = [&] {
        if (++runs < 3) timer = nv::Timer(1, again);
    };
    timer = nv::Timer(1, again);
    for (int i = 0; i < 5; ++i) advance(10);
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(timer.pending());
}

TEST_F(TimerTest, HandlerCancellingAnotherDueTimerStopsIt) {
    nv::Timer second;
    nv::Timer first(1, [&] {
        fired_.push_back(1);
        second = nv::Timer();
    });
    second = nv::Timer(1, [this] { fired_.push_back(2); });
    advance(10);
    EXPECT_EQ(fired_, std::vector<int>{1});
}

TEST_F(TimerTest, MovedPendingTimersStayArmedInOrder) {
    std::vector<nv::Timer> timers;  // grows, so every element moves several times
    for (int i = 0; i < 20; ++i) timers.emplace_back(static_cast<uint32_t>(20 - i), [this, i] { fired_.push_back(i); });
    nv::Timer moved(std::move(timers[0]));
    EXPECT_FALSE(timers[0].pending());
    EXPECT_TRUE(moved.pending());
    timers[1] = std::move(timers[2]);  // cancels 1, keeps 2
    advance(1000);
    std::vector<int> expected;
    for (int i = 19; i >= 0; --i) {
        if (i != 1) expected.push_back(i);
    }
    EXPECT_EQ(fired_, expected);
}

TEST(TimerWithoutRunnerTest, StaysEmptyWithoutARunner) {
    ASSERT_EQ(nv::getRunner(), nullptr);
    nv::Timer timer(0, [] {});
    EXPECT_FALSE(timer.pending());
}

TEST(TimerWithoutRunnerTest, OutlivesItsRunner) {
    auto held = std::make_shared<int>(0);
    nv::Timer timer;
    {
        nv::ThinRunner runner;
        timer = nv::Timer(1, [held] {});
        EXPECT_TRUE(timer.pending());
    }
    EXPECT_FALSE(timer.pending());
    EXPECT_EQ(held.use_count(), 1);
    timer.cancel();
}

// 100,000 pending, a third cancelled at random: the rest fire exactly once,
// in (deadline, arming) order.
TEST_F(TimerTest, HundredThousandPendingWithRandomCancels) {
    constexpr int kTimers = 100000;
    std::mt19937 random(12345);
    std::vector<uint32_t> ticks(kTimers);
    std::vector<nv::Timer> timers;
    timers.reserve(kTimers);
    for (int i = 0; i < kTimers; ++i) {
        ticks[i] = random() % 1000;
        timers.emplace_back(ticks[i], [this, i] { fired_.push_back(i); });
    }
    EXPECT_EQ(runner_.pendingTimers(), static_cast<size_t>(kTimers));

    std::vector<bool> cancelled(kTimers, false);
    for (int i = 0; i < kTimers; ++i) {
        if (random() % 3 != 0) continue;
        cancelled[i] = true;
        if (i % 2) {
            timers[i].cancel();
        } else {
            timers[i] = nv::Timer();
        }
    }
    std::vector<int> expected;
    for (int i = 0; i < kTimers; ++i) {
        if (!cancelled[i]) expected.push_back(i);
    }
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return ticks[a] < ticks[b]; });
    EXPECT_EQ(runner_.pendingTimers(), expected.size());

    // Steps of 7 ms, so that passes often find several ticks due at once.
    for (int pass = 0; pass < 1500 && runner_.pendingTimers() != 0; ++pass) advance(7);
    EXPECT_EQ(runner_.pendingTimers(), 0u);
    ASSERT_EQ(fired_.size(), expected.size());
    EXPECT_TRUE(fired_ == expected);
}

}  // namespace
