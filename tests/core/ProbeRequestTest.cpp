// The endings of a request, each one reply, then the object is gone; and
// the timeout counted in whole ticks of a driven clock.
#include "core/NowMs.h"
#include "core/ProbeRequest.h"
#include "protocol/Fields.h"
#include "service/ProbeLooper.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

enum Ending { success, failure, timeout, failureAtStart };

struct TestProbe : ProbeRequest {
    static inline TestProbe* last = nullptr;
    static inline int destroyed = 0;
    static inline Ending ending = success;
    TestProbe() { last = this; }
    ~TestProbe() override { ++destroyed; }
    // A command may fail inside its own start (no id free, say).
    void start() {
        if (ending == failureAtStart) replyFailure("at once");
    }
};

class ProbeRequestTest : public ::testing::Test {
protected:
    // Every request becomes a TestProbe, made as the service makes probes.
    struct TestLooper : nv::Looper {
        void handleCmd(const nv::message& request, unsigned) override { startRequest<TestProbe>(request); }
    };

    void SetUp() override { looper.setClockForTesting([this] { return clock; }); }
    void TearDown() override { setNowMsOffsetForTesting(0); }

    TestProbe* start(std::optional<uint32_t> timeoutMs) {
        nv::message request;
        request.insert<nv::u32_id>(field::command, CMD_TCP_PROBE);
        if (timeoutMs) request.insert<nv::u32_id>(field::timeout, *timeoutMs);
        replies.clear();
        TestProbe::destroyed = 0;
        looper.dispatchLocal(request, 0, [this](const nv::message& reply) { replies.push_back(reply); });
        return TestProbe::last;
    }
    // Runs the loop tick by tick up to `ms` later: the time of the first
    // reply, counted from now, or -1.
    int firstReplyWithin(int ms) {
        for (int at = 0; at <= ms; at += 10) {
            clock += at > 0 ? 10 : 0;
            looper.runOnce(0);
            if (!replies.empty()) return at;
        }
        return -1;
    }

    uint64_t clock = 1000000;
    TestLooper looper;
    std::vector<nv::message> replies;
};

TEST_F(ProbeRequestTest, EachEndingSendsOneReplyAndDeletesTheRequest) {
    for (Ending ending : {success, failure, timeout, failureAtStart}) {
        TestProbe::ending = ending;
        TestProbe* probe = start(50);
        if (ending != failureAtStart) {
            probe->reply.insert<nv::bool_id>(field::connected, true);
            probe->reply.insert<nv::string_id>(field::host_name, std::string("A\0B", 3));
        }
        if (ending == success) probe->replySuccess();
        if (ending == failure) probe->replyFailure("connection closed");
        EXPECT_EQ(firstReplyWithin(200), ending == timeout ? 50 : 0);
        firstReplyWithin(200);  // no timer left to answer again
        EXPECT_EQ(looper.pendingTimers(), 0u);
        ASSERT_EQ(replies.size(), 1u) << ending;
        EXPECT_EQ(TestProbe::destroyed, 1);
        const nv::message& reply = replies[0];
        EXPECT_EQ(reply.contains(field::elapsed), ending != timeout);
        EXPECT_EQ(reply.contains(field::connected), ending == success);
        EXPECT_EQ(reply.get<nv::string_id>(field::host_name), ending == success ? std::string("A\0B", 3) : "");
        const char* texts[] = {"", "connection closed", "timeout", "at once"};
        EXPECT_EQ(reply.statusText(), texts[ending]);
        EXPECT_EQ(reply.errorCode(), ending == timeout ? 0xfe000du : 0u);
        EXPECT_TRUE(ending != timeout || reply.size() == 0u) << "nothing gathered";
    }
    TestProbe::ending = success;
}

TEST_F(ProbeRequestTest, TimeoutIsRoundedDownToWholeTicks) {
    const struct {
        std::optional<uint32_t> timeoutMs;
        int repliedAt;  // -1: not within 11 s
    } cases[] = {{15, 10}, {10, 10}, {9, 0}, {0, 0}, {std::nullopt, 10000}, {4294967295u, -1}};
    for (const auto& c : cases) {
        start(c.timeoutMs);
        EXPECT_TRUE(replies.empty()) << "never inside the call that arms it";
        EXPECT_EQ(firstReplyWithin(11000), c.repliedAt) << c.timeoutMs.value_or(0);
        if (replies.empty()) TestProbe::last->replySuccess();  // 429496729 ticks away: no overflow
    }
}

TEST_F(ProbeRequestTest, ElapsedIsRightAcrossAWrapOfTheMillisecondCounter) {
    const uint32_t offset = 0xFFFFFFF0u - nowMs();
    setNowMsOffsetForTesting(offset);
    TestProbe* probe = start(50);
    setNowMsOffsetForTesting(offset + 0x30);  // the counter has wrapped
    probe->replySuccess();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_GE(replies[0].get<nv::u32_id>(field::elapsed), 0x30u);
    EXPECT_LT(replies[0].get<nv::u32_id>(field::elapsed), 0x30u + 1000);
}

// Commands the service does not handle reach the framework's handler and
// its unknown-command error; no request object is made.
TEST(ProbeLooperTest, UnhandledCommandsReachTheFrameworkHandler) {
    ProbeLooper looper;
    for (uint32_t command : {0u, 5u, 4294967295u}) {
        nv::message request;
        request.insert<nv::u32_id>(field::command, command);
        std::vector<nv::message> replies;
        looper.dispatchLocal(request, 7, [&](const nv::message& reply) { replies.push_back(reply); });
        ASSERT_EQ(replies.size(), 1u) << command;
        EXPECT_EQ(replies[0].errorCode(), nv::kErrUnknownCommand);
        EXPECT_EQ(looper.pendingTimers(), 0u);
    }
}

}  // namespace
