// nv::ThinRunner and nv::Timer, on a clock the test drives: timers to the
// tick, and readiness while handlers close descriptors mid-pass.
#include "nv/ThinRunner.h"
#include "nv/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>

class RunnerTest : public ::testing::Test {
protected:
    RunnerTest() { runner_.setClockForTesting([this] { return clock_; }); }
    void advance(uint64_t ms) { clock_ += ms; runner_.runOnce(0); }
    // Records the value, or -1 if the timer fires before its deadline or a whole tick after it.
    nv::Timer record(uint32_t ticks, int value) {
        return {ticks, [this, value, due = clock_ + ticks * 10] { fired_.push_back(clock_ - due < 10 ? value : -1); }};
    }
    // A readable descriptor, watched; and its end, as a transport ends it.
    int watch(nv::ThinRunner::SocketHandler onReady) {
        const int fd = eventfd(1, EFD_CLOEXEC);
        return runner_.addSocket(fd, nv::ThinRunner::kReadable, onReady) ? fd : -1;
    }
    void drop(int fd) { runner_.removeSocket(fd); close(fd); }

    uint64_t clock_ = 1000;
    nv::ThinRunner runner_;
    std::vector<int> fired_;
};

// Armed by a handler during a pass, even a 0-tick timer waits for the next pass.
TEST_F(RunnerTest, ZeroTickTimerArmedDuringAPassFiresOnTheNext) {
    nv::Timer timer, arming(0, [&] { timer = record(0, 1); });
    advance(0);
    EXPECT_TRUE(fired_.empty());
    advance(0);
    EXPECT_EQ(fired_, std::vector<int>{1});
}

// 20,000 timers of 0 to 999 ticks, a third cancelled (by cancel() or by assigning an empty one), moved as their
// vector grows and swapped at random: the rest fire once each, on their tick, in order of deadline then of arming.
TEST_F(RunnerTest, ManyTimersCancelledAndMovedFireOnTheirTickInDeadlineThenArmingOrder) {
    std::mt19937 random(12345);
    std::vector<nv::Timer> timers;
    std::vector<int> ticks, expected;
    for (int i = 0; i < 20000; ++i) {
        timers.push_back(record(ticks.emplace_back(random() % 1000), i));
        if (random() % 3 != 0) expected.push_back(i);
        else if (i % 2) timers[i].cancel();
        else timers[i] = nv::Timer();
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
        for (int i = 0; i < 2; ++i)
            fds[i] = watch([&, i](int, unsigned) {
                ++calls[i];
                drop(fds[1 - i]);
                if (reuse) fds[2] = watch([&](int, unsigned) { ++calls[2]; });
                drop(fds[i]);
            });
        runner_.runOnce(0);
        ASSERT_TRUE(!reuse || fds[2] == fds[0] || fds[2] == fds[1]);  // the lowest free number
        runner_.runOnce(0);
        EXPECT_TRUE(calls[0] + calls[1] == 1 && calls[2] == (reuse ? 1 : 0)) << reuse;
        if (reuse) drop(fds[2]);
    }
}
