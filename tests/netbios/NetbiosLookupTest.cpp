// Commands 3 and 4 through the running service, against responders on
// loopback addresses (each test its own, so tests may run side by side).
#include "protocol/Fields.h"
#include "netbios/NetbiosPacket.h"
#include "nv/BusClient.h"
#include "tests/kit/NbstatBuilder.h"
#include "tests/kit/NodeStatusRequest.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

namespace {

uint16_t idOf(const std::vector<uint8_t>& query) {
    return static_cast<uint16_t>(query[0] << 8 | query[1]);
}

class NetbiosLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.ready());
        std::string error;
        ASSERT_TRUE(client.connect(service.busPath(), &error)) << error;
    }
    nv::message await(uint32_t sequence, int timeoutMs = 30000) {
        nv::message reply;
        std::string error;
        EXPECT_TRUE(client.waitReply(sequence, &reply, timeoutMs, &error)) << error;
        return reply;
    }
    uint32_t send(const nv::message& request) {
        std::string error;
        uint32_t sequence = client.send(request, 0, &error);
        EXPECT_NE(sequence, 0u) << error;
        return sequence;
    }

    ServiceProcess service;
    nv::BusClient client;
};

TEST_F(NetbiosLookupTest, AnswerCompletesTheQueryWithBothNames) {
    UdpPeer host("127.0.3.1", NetbiosPacket::kPort);
    ASSERT_TRUE(host.ok());
    uint32_t sequence = send(nodeStatusRequest("127.0.3.1", 20000));
    std::vector<uint8_t> query;
    ASSERT_TRUE(host.receive(&query, 20000));
    ASSERT_EQ(query.size(), 50u);
    EXPECT_TRUE(host.reply(nbstatResponse(idOf(query), {{"HOST", 0x00, false}, {"GROUP", 0x00, true}})));
    nv::message reply = await(sequence);
    EXPECT_EQ(reply.status(), nv::ReplyStatus::plain);
    EXPECT_EQ(reply.get<nv::string_id>(field::host_name), "HOST");
    EXPECT_EQ(reply.get<nv::string_id>(field::group_name), "GROUP");
    EXPECT_TRUE(reply.contains(field::elapsed));

    // A second copy finds no query any more.
    EXPECT_TRUE(host.reply(nbstatResponse(idOf(query), {})));
    EXPECT_TRUE(service.waitForOutput("Netbios: unknown id " + std::to_string(idOf(query)) + "\n", 20000));
}

// Only the host asked may answer: an answer from any other address, even
// from the host's own port number, counts as one with an unknown id.
TEST_F(NetbiosLookupTest, AnswerFromAnotherHostIsTakenForAnUnknownId) {
    UdpPeer host("127.0.3.2", NetbiosPacket::kPort);
    UdpPeer stranger("127.0.3.3", NetbiosPacket::kPort);
    uint32_t sequence = send(nodeStatusRequest("127.0.3.2", 1500));
    std::vector<uint8_t> query;
    ASSERT_TRUE(host.receive(&query, 20000));
    EXPECT_TRUE(stranger.sendTo(host.lastSender(), nbstatResponse(idOf(query), {{"FORGED", 0x20, false}})));
    EXPECT_TRUE(service.waitForOutput("Netbios: unknown id " + std::to_string(idOf(query)) + "\n", 20000));
    nv::message reply = await(sequence);
    EXPECT_EQ(reply.status(), nv::ReplyStatus::error);
    EXPECT_EQ(reply.errorCode(), kTimeoutError);
}

TEST_F(NetbiosLookupTest, RejectedAnswersLeaveTheQueryToItsTimeout) {
    UdpPeer host("127.0.3.4", NetbiosPacket::kPort);
    uint32_t sequence = send(nodeStatusRequest("127.0.3.4", 1500));
    std::vector<uint8_t> query;
    ASSERT_TRUE(host.receive(&query, 20000));
    // Three names announced, room for two: dropped without a line.
    std::vector<uint8_t> truncated = nbstatResponse(idOf(query), {{"A", 0, false}, {"B", 0, true}});
    truncated[56] = 3;
    host.reply(truncated);
    std::vector<uint8_t> badType = nbstatResponse(idOf(query), {});
    badType[47] = 0x20;
    host.reply(badType);
    host.reply({1, 2, 3, 4, 5});
    nv::message reply = await(sequence);
    EXPECT_EQ(reply.status(), nv::ReplyStatus::error);
    EXPECT_EQ(reply.errorCode(), kTimeoutError);
    std::string output = service.output();
    EXPECT_NE(output.find("NETBIOS: bad type\n"), std::string::npos);
    EXPECT_NE(output.find("NETBIOS: too small\n"), std::string::npos);
    EXPECT_EQ(output.find("Netbios: unknown id"), std::string::npos);
}

TEST_F(NetbiosLookupTest, RawSendsLeaveFromTheLookupPortAndAreNeverAnswered) {
    UdpPeer host("127.0.3.5", NetbiosPacket::kPort);
    UdpPeer sink("127.0.3.5", 0);
    uint32_t lookupSequence = send(nodeStatusRequest("127.0.3.5", 20000));
    std::vector<uint8_t> query;
    ASSERT_TRUE(host.receive(&query, 20000));
    uint16_t endpointPort = host.lastSenderPort();

    nv::message raw;
    raw.insert<nv::u32_id>(field::command, CMD_UDP_SEND);
    raw.insert<nv::be32_id>(field::address, ipv4("127.0.3.5"));
    raw.insert<nv::u32_id>(field::port, 65536u * 3 + sink.port());  // only the low 16 bits count
    send(raw);
    std::vector<uint8_t> datagram{0xff};
    ASSERT_TRUE(sink.receive(&datagram, 20000));
    EXPECT_TRUE(datagram.empty());
    EXPECT_EQ(sink.lastSenderPort(), endpointPort);

    raw.insert<nv::string_id>(field::payload, std::string("\0ab", 3));
    send(raw);
    ASSERT_TRUE(sink.receive(&datagram, 20000));
    EXPECT_EQ(datagram, (std::vector<uint8_t>{0, 'a', 'b'}));

    // The only reply on this connection is the lookup's.
    host.reply(nbstatResponse(idOf(query), {}));
    uint32_t sequence = 0;
    nv::message reply;
    std::string error;
    ASSERT_TRUE(client.nextReply(&sequence, &reply, 20000, &error)) << error;
    EXPECT_EQ(sequence, lookupSequence);
    EXPECT_FALSE(client.nextReply(&sequence, &reply, 300, &error));
}

// Answers to many lookups arriving at once are all taken in, not dropped
// by the kernel while the loop works through them.
TEST_F(NetbiosLookupTest, BurstOfAnswersIsNotLost) {
    constexpr int kLookups = 1000;
    UdpPeer host("127.0.3.9", NetbiosPacket::kPort);
    host.setReceiveBuffer(8 << 20);
    for (int i = 0; i < kLookups; ++i) send(nodeStatusRequest("127.0.3.9", 30000));
    std::vector<std::vector<uint8_t>> queries(kLookups);
    for (auto& query : queries) ASSERT_TRUE(host.receive(&query, 20000));
    for (const auto& query : queries) host.reply(nbstatResponse(idOf(query), {{"BURST", 0, false}}));
    int answered = 0;
    for (int i = 0; i < kLookups; ++i) {
        uint32_t sequence;
        nv::message reply;
        std::string error;
        ASSERT_TRUE(client.nextReply(&sequence, &reply, 40000, &error)) << error;
        if (reply.get<nv::string_id>(field::host_name) == "BURST") ++answered;
    }
    EXPECT_EQ(answered, kLookups);
}

// All 65000 ids in use: the next lookup fails at once; after the pending
// ones time out, the ids serve again.
TEST_F(NetbiosLookupTest, TooManyRequestsOnceEveryIdIsInUse) {
    constexpr uint32_t kIds = 65000;
    // A host that never answers: nothing listens there. The timeout leaves
    // room to send all 65000 on a slow (sanitized or emulated) build.
    nv::message silent = nodeStatusRequest("127.0.3.6", 20000);
    for (uint32_t i = 0; i < kIds; ++i) send(silent);
    uint32_t overflow = send(silent);
    nv::message reply = await(overflow);
    EXPECT_EQ(reply.status(), nv::ReplyStatus::failed);
    EXPECT_EQ(reply.statusText(), "too many requests");
    EXPECT_TRUE(reply.contains(field::elapsed));

    // Drain the 65000 timeout replies.
    uint32_t timeouts = 0;
    for (uint32_t i = 0; i < kIds; ++i) {
        uint32_t sequence;
        std::string error;
        if (!client.nextReply(&sequence, &reply, 60000, &error)) break;
        if (reply.errorCode() == kTimeoutError) ++timeouts;
    }
    EXPECT_EQ(timeouts, kIds);

    UdpPeer host("127.0.3.7", NetbiosPacket::kPort);
    uint32_t sequence = send(nodeStatusRequest("127.0.3.7", 20000));
    std::vector<uint8_t> query;
    ASSERT_TRUE(host.receive(&query, 20000));
    host.reply(nbstatResponse(idOf(query), {{"BACK", 0, false}}));
    EXPECT_EQ(await(sequence).get<nv::string_id>(field::host_name), "BACK");
}

}  // namespace
