// The three endings of a request: one reply each, then the object is gone.
#include "protocol/Fields.h"
#include "core/NowMs.h"
#include "core/ProbeRequest.h"
#include "nv/Looper.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct TestProbe : ProbeRequest {
    static inline TestProbe* last = nullptr;
    static inline int destroyed = 0;
    TestProbe() { last = this; }
    ~TestProbe() override {
        ++destroyed;
        if (last == this) last = nullptr;
    }
    void start() {}
};

// A looper that turns every request into a TestProbe, as the service's
// dispatch does for its commands.
class TestLooper : public nv::Looper {
public:
    TestLooper() : nv::Looper() {
        setClockForTesting([this] { return clock; });
    }
    void handleCmd(const nv::message& request, unsigned) override {
        auto* probe = new TestProbe;
        probe->request = request;
        probe->armTimeout();
        probe->start();
    }
    uint64_t clock = 1000000;
};

class ProbeRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestProbe::destroyed = 0;
        TestProbe::last = nullptr;
    }
    void TearDown() override { setNowMsOffsetForTesting(0); }

    TestProbe* start(nv::message request) {
        looper.dispatchLocal(request, 0, [this](const nv::message& reply) { replies.push_back(reply); });
        return TestProbe::last;
    }
    // Advances the driven clock in passes of at most one tick.
    void advance(uint64_t ms) {
        for (uint64_t done = 0; done < ms; done += 10) {
            looper.clock += 10;
            looper.runOnce(0);
        }
    }

    TestLooper looper;
    std::vector<nv::message> replies;
};

nv::message withTimeout(uint32_t ms) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, 1);
    request.insert<nv::u32_id>(field::timeout, ms);
    return request;
}

TEST_F(ProbeRequestTest, SuccessSendsEveryReplyFieldPlusElapsedOnce) {
    TestProbe* probe = start(withTimeout(50));
    ASSERT_NE(probe, nullptr);
    probe->reply.insert<nv::bool_id>(field::connected, true);
    probe->reply.insert<nv::string_id>(field::host_name, std::string("A\0B", 3));
    probe->replySuccess();
    ASSERT_EQ(replies.size(), 1u);
    const nv::message& reply = replies[0];
    EXPECT_EQ(reply.status(), nv::ReplyStatus::plain);
    EXPECT_TRUE(reply.get<nv::bool_id>(field::connected));
    EXPECT_EQ(reply.get<nv::string_id>(field::host_name), std::string("A\0B", 3));
    EXPECT_TRUE(reply.contains(field::elapsed));
    EXPECT_EQ(TestProbe::destroyed, 1);
    advance(200);  // the cancelled timer never answers a second time
    EXPECT_EQ(replies.size(), 1u);
}

TEST_F(ProbeRequestTest, FailureDropsEarlierFieldsAndKeepsElapsed) {
    TestProbe* probe = start(withTimeout(50));
    probe->reply.insert<nv::bool_id>(field::connected, true);
    probe->replyFailure("connection closed");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status(), nv::ReplyStatus::failed);
    EXPECT_EQ(replies[0].statusText(), "connection closed");
    EXPECT_FALSE(replies[0].contains(field::connected));
    EXPECT_TRUE(replies[0].contains(field::elapsed));
    advance(200);
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_EQ(TestProbe::destroyed, 1);
}

TEST_F(ProbeRequestTest, TimeoutReplyCarriesNoElapsedAndNoReplyFields) {
    TestProbe* probe = start(withTimeout(50));
    probe->reply.insert<nv::bool_id>(field::connected, true);
    advance(40);
    EXPECT_TRUE(replies.empty());
    advance(10);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status(), nv::ReplyStatus::error);
    EXPECT_EQ(replies[0].errorCode(), 0xfe000du);
    EXPECT_EQ(replies[0].statusText(), "timeout");
    EXPECT_EQ(replies[0].size(), 0u);
    EXPECT_EQ(TestProbe::destroyed, 1);
}

TEST_F(ProbeRequestTest, TimeoutIsCountedInWholeTicks) {
    // 15 ms is one tick; 9 ms and 0 ms are none, answered on a later pass.
    start(withTimeout(15));
    advance(10);
    EXPECT_EQ(replies.size(), 1u);

    start(withTimeout(9));
    EXPECT_EQ(replies.size(), 1u);  // never inside the call that arms it
    looper.runOnce(0);
    EXPECT_EQ(replies.size(), 2u);

    start(withTimeout(0));
    looper.runOnce(0);
    EXPECT_EQ(replies.size(), 3u);
}

TEST_F(ProbeRequestTest, AbsentTimeoutIsTenSecondsAndTheLargestDoesNotOverflow) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, 1);
    start(request);
    start(withTimeout(4294967295u));
    advance(9990);
    EXPECT_TRUE(replies.empty());
    advance(10);
    EXPECT_EQ(replies.size(), 1u);
    advance(1000);
    EXPECT_EQ(replies.size(), 1u);  // 429496729 ticks are far away
    EXPECT_EQ(looper.pendingTimers(), 1u);
}

TEST_F(ProbeRequestTest, ElapsedIsRightAcrossAWrapOfTheMillisecondCounter) {
    setNowMsOffsetForTesting(0);
    uint32_t offset = 0xFFFFFFF0u - nowMs();
    setNowMsOffsetForTesting(offset);
    TestProbe* probe = start(withTimeout(50));
    // 0x30 ms later on the service's clock: the counter has wrapped.
    setNowMsOffsetForTesting(offset + 0x30);
    probe->replySuccess();
    ASSERT_EQ(replies.size(), 1u);
    uint32_t elapsed = replies[0].get<nv::u32_id>(field::elapsed);
    EXPECT_GE(elapsed, 0x30u);
    EXPECT_LT(elapsed, 0x30u + 1000);
}

}  // namespace
