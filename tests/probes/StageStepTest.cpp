// The stage step of the send/expect sequence, driven with a fake transport
// that records what was sent and, like the real probes, deletes the
// sequence when it is told to finish.
#include "core/Fields.h"
#include "probes/StageSequence.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct Script {
    std::string send1 = {}, send2 = {}, expect0 = {}, expect1 = {}, expect2 = {};
    bool skipFirstExpect = false;
};

nv::message requestFor(const Script& s) {
    nv::message m;
    if (!s.expect0.empty()) m.insert<nv::string_id>(field::expect_0, s.expect0);
    if (!s.expect1.empty()) m.insert<nv::string_id>(field::expect_1, s.expect1);
    if (!s.expect2.empty()) m.insert<nv::string_id>(field::expect_2, s.expect2);
    if (!s.send1.empty()) m.insert<nv::string_id>(field::send_1, s.send1);
    if (!s.send2.empty()) m.insert<nv::string_id>(field::send_2, s.send2);
    m.insert<nv::bool_id>(field::skip_first_expect, s.skipFirstExpect);
    return m;
}

// Stands for a probe: owns the request and the sequence, and deletes the
// sequence on finish, as replySuccess deletes the probe.
class FakeProbe : public StageTransport {
public:
    FakeProbe(const Script& script, bool tcp) : request(requestFor(script)), sequence(new StageSequence) {
        sequence->build(request, tcp);
    }
    // Returns the number of strings sent by this notification.
    size_t notify(const std::string& chunk) {
        size_t before = sent.size();
        ++notifications;
        if (sequence)
            sequence->step(request, reinterpret_cast<const uint8_t*>(chunk.data()),
                           static_cast<uint32_t>(chunk.size()), *this);
        return sent.size() - before;
    }
    void send(const uint8_t* data, uint32_t length) override {
        sent.emplace_back(reinterpret_cast<const char*>(data), length);
        sentAtNotification.push_back(notifications);
    }
    void finish() override {
        ++finishes;
        finishedAtNotification = notifications;
        sequence.reset();
    }
    bool ended() const { return finishes > 0; }

    nv::message request;
    std::unique_ptr<StageSequence> sequence;
    std::vector<std::string> sent;
    std::vector<int> sentAtNotification;
    int notifications = 0;
    int finishes = 0;
    int finishedAtNotification = 0;
};

TEST(StageStepTest, NoExpectationsSucceedOnFirstNotificationSendingOnlySend1) {
    for (bool tcp : {true, false}) {
        FakeProbe probe({.send1 = "one", .send2 = "two"}, tcp);
        probe.notify("");
        EXPECT_EQ(probe.sent, std::vector<std::string>{"one"});
        EXPECT_EQ(probe.finishes, 1);
    }
}

TEST(StageStepTest, EmptyExpect0ThenWaitsForExpect1InLaterBytes) {
    FakeProbe probe({.send1 = "HELO", .send2 = "QUIT", .expect1 = "^250"}, true);
    EXPECT_EQ(probe.notify("250 greeting, but before HELO"), 1u);
    EXPECT_EQ(probe.sequence->stage(), 1u);
    EXPECT_FALSE(probe.ended()) << "the chunk that met stage 0 does not count for stage 1";
    probe.notify("");
    EXPECT_FALSE(probe.ended());
    probe.notify("250 ok");
    EXPECT_EQ(probe.sent, (std::vector<std::string>{"HELO", "QUIT"}));
    EXPECT_EQ(probe.finishes, 1);
}

TEST(StageStepTest, EmptyExpect1EndsTheSequenceWhateverFollows) {
    FakeProbe probe({.send1 = "a", .send2 = "never", .expect0 = "ready", .expect2 = "x"}, true);
    probe.notify("");
    probe.notify("not yet");
    EXPECT_FALSE(probe.ended());
    probe.notify("ready");
    EXPECT_EQ(probe.sent, std::vector<std::string>{"a"});
    EXPECT_EQ(probe.finishes, 1);
}

TEST(StageStepTest, PatternSpanningChunksIsMetWhenItsLastByteArrives) {
    FakeProbe probe({.expect0 = "SSH-2\\.0-[^\\r\\n]*\\r\\n"}, false);
    const char* chunks[] = {"xxSS", "H-2", ".0-OpenSSH_9", "", ".6\r", "\n"};
    for (const char* chunk : chunks) {
        EXPECT_FALSE(probe.ended()) << chunk;
        probe.notify(chunk);
    }
    EXPECT_EQ(probe.finishedAtNotification, 6);
}

TEST(StageStepTest, ZeroBytesAreTestedLikeAnyOther) {
    FakeProbe probe({.expect0 = std::string("\\0\\x01[\\0]$")}, false);
    probe.notify(std::string("ab\0", 3));
    probe.notify(std::string("\x01", 1));
    EXPECT_FALSE(probe.ended());
    probe.notify(std::string("\0", 1));
    EXPECT_TRUE(probe.ended());
}

TEST(StageStepTest, OneNotificationMeetsAtMostOneStageAndSendsAtMostOnce) {
    FakeProbe probe({.send1 = "1", .send2 = "2", .expect0 = "A", .expect1 = "B", .expect2 = "C"}, true);
    EXPECT_EQ(probe.notify("ABC"), 1u);
    EXPECT_EQ(probe.sequence->stage(), 1u);
    EXPECT_EQ(probe.notify(""), 0u) << "the bytes that met stage 0 are gone";
    EXPECT_EQ(probe.notify("BC"), 1u);
    EXPECT_EQ(probe.sequence->stage(), 2u);
    EXPECT_EQ(probe.notify("xx"), 0u);
    EXPECT_EQ(probe.notify("C"), 0u);
    EXPECT_EQ(probe.sent, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(probe.sentAtNotification, (std::vector<int>{1, 3}));
    EXPECT_EQ(probe.finishes, 1);
}

TEST(StageStepTest, EmptyChunkMeetsAPatternThatMatchesTheTextHeld) {
    FakeProbe empty({.expect0 = "^$"}, true);
    empty.notify("");
    EXPECT_TRUE(empty.ended()) << "the connected notification meets a pattern that matches nothing";

    FakeProbe later({.expect0 = "^$"}, true);
    later.notify("x");
    later.notify("");
    EXPECT_FALSE(later.ended());
}

TEST(StageStepTest, EndAnchorIsTestedAtTheEndOfEachNotification) {
    FakeProbe probe({.expect0 = "OK$"}, false);
    probe.notify("OK then more");
    EXPECT_FALSE(probe.ended());
    probe.notify(" and OK");
    EXPECT_TRUE(probe.ended());
}

TEST(StageStepTest, SkipFirstExpectHoldsForTcpOnly) {
    Script script{.send1 = "go", .expect0 = "never there", .expect1 = "done", .skipFirstExpect = true};
    FakeProbe tcp(script, true);
    tcp.notify("");
    EXPECT_EQ(tcp.sent, std::vector<std::string>{"go"});
    EXPECT_EQ(tcp.sequence->stage(), 1u);
    ASSERT_TRUE(tcp.sequence->expectation(0)) << "expect_0 is still built";
    tcp.notify("done");
    EXPECT_TRUE(tcp.ended());

    FakeProbe udp(script, false);
    udp.notify("done");
    EXPECT_TRUE(udp.sent.empty());
    EXPECT_FALSE(udp.ended());
}

TEST(StageStepTest, PatternThatDoesNotCompileIsNeverMet) {
    FakeProbe probe({.send1 = "x", .expect0 = "(unclosed"}, true);
    ASSERT_TRUE(probe.sequence->expectation(0));
    EXPECT_FALSE(probe.sequence->expectation(0)->compiled());
    for (const char* chunk : {"", "(unclosed", "anything", ""}) probe.notify(chunk);
    EXPECT_TRUE(probe.sent.empty());
    EXPECT_FALSE(probe.ended());
}

TEST(StageStepTest, NothingHappensAfterTheSequenceFinished) {
    Script script{.send1 = "1", .expect0 = "a"};
    nv::message request = requestFor(script);
    StageSequence sequence;
    sequence.build(request, true);
    struct Recorder : StageTransport {
        int sends = 0, finishes = 0;
        void send(const uint8_t*, uint32_t) override { ++sends; }
        void finish() override { ++finishes; }
    } transport;
    const uint8_t a = 'a';
    sequence.step(request, &a, 1, transport);
    sequence.step(request, &a, 1, transport);
    sequence.step(request, nullptr, 0, transport);
    EXPECT_TRUE(sequence.finished());
    EXPECT_EQ(transport.sends, 1);
    EXPECT_EQ(transport.finishes, 1);
}

// A stage that is never met keeps no bytes: the sequence's size is fixed,
// and a match after a long silence of non-matching text is still found.
TEST(StageStepTest, LongStageKeepsNoBytes) {
    static_assert(sizeof(StageSequence) <= 160);
    FakeProbe probe({.expect0 = "END\\r\\n"}, false);
    std::string chunk(8192, 'E');
    for (int i = 0; i < 256; ++i) probe.notify(chunk);  // 2 MiB
    EXPECT_FALSE(probe.ended());
    probe.notify("ND\r");
    probe.notify("\n");
    EXPECT_TRUE(probe.ended());
}

}  // namespace
