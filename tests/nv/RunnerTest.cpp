// nv::ThinRunner and nv::Timer, on a clock the test drives: timers to the
// tick, and readiness while handlers close descriptors mid-pass.
#include "nv/ThinRunner.h"
#include "nv/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using nv::Timer;

class RunnerTest : public ::testing::Test {
protected:
    RunnerTest() { runner_.setClockForTesting([this] { return clock_; }); }
    void advance(uint64_t ms) { clock_ += ms; runner_.runOnce(0); }
    Timer record(uint32_t ticks, int value) { return Timer(ticks, [this, value] { fired_.push_back(value); }); }
    // A readable descriptor, watched; and its end, as a transport ends it.
    int watch(std::function<void()> onReady) {
        const int fd = eventfd(1, EFD_CLOEXEC);
        EXPECT_TRUE(runner_.addSocket(fd, nv::ThinRunner::kReadable, [onReady](int, unsigned) { onReady(); }));
        return fd;
    }
    void drop(int fd) { runner_.removeSocket(fd); close(fd); }

    uint64_t clock_ = 1000;
    nv::ThinRunner runner_;
    std::vector<int> fired_;
};

// Silent until ticks * 10 ms have passed, fired then (0 ticks: on the next
// pass). Armed by a handler during a pass, alike: even 0 ticks wait a pass.
TEST_F(RunnerTest, TimerFiresOnItsDeadlineTickNotBefore) {
    for (uint32_t ticks : {0u, 1u, 7u, 100000u}) {
        for (bool inPass : {false, true}) {
            fired_.clear();
            Timer timer = inPass ? Timer() : record(ticks, 1);
            Timer arming = inPass ? Timer(0, [&] { timer = record(ticks, 1); }) : Timer();
            if (inPass) advance(0);
            if (ticks != 0) advance(ticks * 10 - 1);
            EXPECT_TRUE(fired_.empty()) << ticks << inPass;
            advance(ticks != 0);
            EXPECT_EQ(fired_.size(), 1u) << ticks << inPass;
        }
    }
}

// 20,000 timers, a third cancelled (by cancel() or by assigning an empty one), moved as their vector grows
// and swapped at random: the rest fire once each, in order of deadline, then of arming.
TEST_F(RunnerTest, ManyTimersCancelledAndMovedFireInDeadlineThenArmingOrder) {
    std::mt19937 random(12345);
    std::vector<Timer> timers;
    std::vector<int> ticks, expected;
    for (int i = 0; i < 20000; ++i) {
        timers.push_back(record(ticks.emplace_back(random() % 1000), i));
        if (random() % 3 != 0) expected.push_back(i);
        else if (i % 2) timers[i].cancel();
        else timers[i] = Timer();
    }
    for (size_t i = 0; i < timers.size(); ++i) std::swap(timers[i], timers[random() % timers.size()]);
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return ticks[a] < ticks[b]; });
    // Steps of 7 ms, so that passes often find several ticks due at once.
    for (int pass = 0; pass < 1500 && runner_.pendingTimers() != 0; ++pass) advance(7);
    EXPECT_TRUE(fired_ == expected);
}

// Two descriptors ready in one pass: whichever runs first closes the other (maybe watching a new one, which
// takes the number just freed) and itself. The other's event reaches nobody; the new one's comes next pass.
TEST_F(RunnerTest, EventOfADescriptorClosedThisPassReachesNobody) {
    for (bool reuse : {false, true}) {
        int fds[3] = {-1, -1, -1}, calls[3] = {};
        for (int i = 0; i < 2; ++i) {
            fds[i] = watch([&, i] {
                ++calls[i];
                drop(fds[1 - i]);
                if (reuse) fds[2] = watch([&] { ++calls[2]; });
                drop(fds[i]);
            });
        }
        runner_.runOnce(0);
        ASSERT_TRUE(!reuse || fds[2] == fds[0] || fds[2] == fds[1]);  // the lowest free number
        runner_.runOnce(0);
        EXPECT_TRUE(calls[0] + calls[1] == 1 && calls[2] == (reuse ? 1 : 0)) << reuse;
        if (reuse) drop(fds[2]);
    }
}

}  // namespace
