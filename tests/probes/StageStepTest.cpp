// The stage step of the send/expect sequence, driven with a fake transport
// that records what was sent and, like the real probes, deletes the
// sequence when the step says it has ended.
#include "protocol/Fields.h"
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

class FakeProbe : public StageTransport {
public:
    FakeProbe(const Script& s, bool tcp) : sequence(new StageSequence) {
        const std::pair<uint32_t, std::string> fields[] = {{field::send_1, s.send1},     {field::send_2, s.send2},
                                                           {field::expect_0, s.expect0}, {field::expect_1, s.expect1},
                                                           {field::expect_2, s.expect2}};
        for (const auto& [key, value] : fields)
            if (!value.empty()) request.insert<nv::string_id>(key, value);
        request.insert<nv::bool_id>(field::skip_first_expect, s.skipFirstExpect);
        sequence->build(request, tcp);
    }
    // One notification; returns how many strings it sent.
    size_t notify(const std::string& chunk) {
        size_t before = sent.size();
        if (sequence && sequence->step(request, reinterpret_cast<const uint8_t*>(chunk.data()),
                                       static_cast<uint32_t>(chunk.size()), *this)) {
            ++finishes;
            sequence.reset();
        }
        return sent.size() - before;
    }
    void send(const uint8_t* data, uint32_t length) override { sent.emplace_back(reinterpret_cast<const char*>(data), length); }

    nv::message request;
    std::unique_ptr<StageSequence> sequence;
    std::vector<std::string> sent;
    int finishes = 0;
};

using Strings = std::vector<std::string>;

TEST(StageStepTest, EmptyExpectationsEndTheSequenceWhereTheyStand) {
    FakeProbe none({.send1 = "one", .send2 = "two"}, false);
    none.notify("");
    EXPECT_EQ(none.sent, Strings{"one"});
    EXPECT_EQ(none.finishes, 1);
    FakeProbe firstOnly({.send1 = "a", .send2 = "never", .expect0 = "ready", .expect2 = "x"}, true);
    for (const char* chunk : {"", "not yet", "ready"}) firstOnly.notify(chunk);
    EXPECT_EQ(firstOnly.sent, Strings{"a"});
    EXPECT_EQ(firstOnly.finishes, 1);
    FakeProbe secondOnly({.send1 = "HELO", .send2 = "QUIT", .expect1 = "^250"}, true);
    EXPECT_EQ(secondOnly.notify("250 said before HELO"), 1u);
    EXPECT_EQ(secondOnly.finishes, 0) << "the chunk that met stage 0 does not count for stage 1";
    secondOnly.notify("250 ok");
    EXPECT_EQ(secondOnly.sent, (Strings{"HELO", "QUIT"}));
    EXPECT_EQ(secondOnly.finishes, 1);
}

TEST(StageStepTest, PatternSpanningChunksIsMetWhenItsLastByteArrives) {
    FakeProbe probe({.expect0 = "SSH-2\\.0-[^\\r\\n]*\\r\\n"}, false);
    for (const char* chunk : {"xxSS", "H-2", ".0-OpenSSH_9", "", ".6\r"}) probe.notify(chunk);
    EXPECT_EQ(probe.finishes, 0);
    probe.notify("\n");
    EXPECT_EQ(probe.finishes, 1);
    EXPECT_TRUE(probe.sent.empty()) << "an empty send string sends nothing";

    FakeProbe zeros({.expect0 = "\\0\\x01[\\0]$"}, false);
    for (std::string chunk : {std::string("ab\0", 3), std::string("\x01", 1)}) zeros.notify(chunk);
    EXPECT_EQ(zeros.finishes, 0);
    zeros.notify(std::string(1, '\0'));
    EXPECT_EQ(zeros.finishes, 1);
}

TEST(StageStepTest, OneNotificationMeetsAtMostOneStageAndSendsAtMostOnce) {
    FakeProbe probe({.send1 = "1", .send2 = "2", .expect0 = "A", .expect1 = "B", .expect2 = "C"}, true);
    EXPECT_EQ(probe.notify("ABC"), 1u);
    EXPECT_EQ(probe.notify(""), 0u) << "the bytes that met stage 0 are gone";
    EXPECT_EQ(probe.notify("BC"), 1u);
    EXPECT_EQ(probe.sequence->stage(), 2u);
    EXPECT_EQ(probe.notify("xx"), 0u);
    EXPECT_EQ(probe.notify("C"), 0u);
    EXPECT_EQ(probe.sent, (Strings{"1", "2"}));
    EXPECT_EQ(probe.finishes, 1);
}

TEST(StageStepTest, EmptyChunkTestsTheTextHeldAtItsEnd) {
    FakeProbe connected({.expect0 = "^$"}, true);
    connected.notify("");
    EXPECT_EQ(connected.finishes, 1) << "the connected notification meets a pattern that matches nothing";
    FakeProbe ending({.expect0 = "OK$"}, false);
    for (const char* chunk : {"OK then more", ""}) ending.notify(chunk);
    EXPECT_EQ(ending.finishes, 0);
    ending.notify(" and OK");
    EXPECT_EQ(ending.finishes, 1);
}

TEST(StageStepTest, SkipFirstExpectHoldsForTcpOnly) {
    Script script{.send1 = "go", .expect0 = "never there", .expect1 = "done", .skipFirstExpect = true};
    FakeProbe tcp(script, true);
    tcp.notify("");
    EXPECT_EQ(tcp.sent, Strings{"go"});
    ASSERT_TRUE(tcp.sequence->expectation(0)) << "expect_0 is still built";
    tcp.notify("not it");
    EXPECT_EQ(tcp.finishes, 0) << "only stage 0 is skipped";
    tcp.notify("done");
    EXPECT_EQ(tcp.finishes, 1);

    FakeProbe udp(script, false);
    udp.notify("done");
    EXPECT_TRUE(udp.sent.empty());
    EXPECT_EQ(udp.finishes, 0);
}

TEST(StageStepTest, PatternThatDoesNotCompileIsNeverMet) {
    FakeProbe probe({.send1 = "x", .expect0 = "(unclosed"}, true);
    EXPECT_FALSE(probe.sequence->expectation(0)->compiled());
    for (const char* chunk : {"", "(unclosed", "anything", ""}) probe.notify(chunk);
    EXPECT_TRUE(probe.sent.empty());
    EXPECT_EQ(probe.finishes, 0);
}

// A stage keeps no bytes: a long silence of near misses costs no memory,
// and the match that finally comes is still found.
TEST(StageStepTest, LongStageKeepsNoBytes) {
    static_assert(sizeof(StageSequence) <= 160);
    FakeProbe probe({.expect0 = "END\\r\\n"}, false);
    std::string chunk(8192, 'E');
    for (int i = 0; i < 256; ++i) probe.notify(chunk);
    for (const char* tail : {"ND\r", "\n"}) probe.notify(tail);
    EXPECT_EQ(probe.finishes, 1);
}

}  // namespace
