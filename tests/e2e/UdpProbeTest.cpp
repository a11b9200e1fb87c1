// Command 2 through the running service, against UDP peers on loopback.
#include "ProbeFixture.h"
#include "tests/kit/UdpPeer.h"

namespace {

class UdpProbeTest : public ProbeFixture {
protected:
    uint32_t send(const nv::message& request) {
        std::string error;
        uint32_t sequence = client.send(request, 0, &error);
        EXPECT_NE(sequence, 0u) << error;
        return sequence;
    }
    nv::message await(uint32_t sequence) {
        nv::message reply;
        std::string error;
        EXPECT_TRUE(client.waitReply(sequence, &reply, 30000, &error)) << error;
        return reply;
    }
};

std::vector<uint8_t> bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST_F(UdpProbeTest, DialogueOverDatagramsSucceedsWithElapsedOnly) {
    UdpPeer peer("127.0.0.1", 0);
    uint32_t sequence = send(probe(CMD_UDP_PROBE, peer.port(),
                                   {{field::send_0, "ping"}, {field::expect_0, "^po"}, {field::send_1, "again"},
                                    {field::expect_1, "ng!$"}}));
    std::vector<uint8_t> datagram;
    ASSERT_TRUE(peer.receive(&datagram, 20000));
    EXPECT_EQ(datagram, bytes("ping"));
    peer.reply(bytes("pong"));
    ASSERT_TRUE(peer.receive(&datagram, 20000));
    EXPECT_EQ(datagram, bytes("again"));
    // The expectation spans two datagrams of the stage.
    peer.reply(bytes("pong"));
    peer.reply(bytes("!"));
    nv::message reply = await(sequence);
    expectSuccess(reply);
    EXPECT_EQ(reply.size(), 1u);  // elapsed, and never connected
}

TEST_F(UdpProbeTest, EmptyDatagramIsAnAnswer) {
    UdpPeer peer("127.0.0.1", 0);
    uint32_t sequence = send(probe(CMD_UDP_PROBE, peer.port(), {{field::send_0, "hello?"}}));
    std::vector<uint8_t> datagram;
    ASSERT_TRUE(peer.receive(&datagram, 20000));
    peer.reply({});
    expectSuccess(await(sequence));
}

TEST_F(UdpProbeTest, ClosedPortIsNotAServiceThatAnswers) {
    uint16_t port;
    {
        UdpPeer gone("127.0.0.1", 0);
        port = gone.port();
    }
    // The port unreachable comes back as a failed read; with no expectation
    // it must not count as an answer.
    nv::message request = probe(CMD_UDP_PROBE, port, {{field::send_0, "anyone?"}});
    request.insert<nv::u32_id>(field::timeout, 500);
    expectTimeout(call(request));
}

TEST_F(UdpProbeTest, SendingAloneNeverSucceeds) {
    UdpPeer peer("127.0.0.1", 0);
    nv::message request = probe(CMD_UDP_PROBE, peer.port(), {{field::send_0, "x"}});
    request.insert<nv::bool_id>(field::hold_first_send, true);  // no effect on UDP
    request.insert<nv::u32_id>(field::timeout, 300);
    uint32_t sequence = send(request);
    std::vector<uint8_t> datagram;
    EXPECT_TRUE(peer.receive(&datagram, 20000));
    expectTimeout(await(sequence));
}

TEST_F(UdpProbeTest, FailedConnectIsLoggedAndAnsweredByTheTimeout) {
    nv::message request = probe(CMD_UDP_PROBE, 9, {{field::send_0, "x"}});
    request.insert<nv::be32_id>(field::address, 0xffffffffu);  // broadcast, not allowed
    request.insert<nv::u32_id>(field::timeout, 200);
    expectTimeout(call(request));
    EXPECT_TRUE(service.waitForOutput("UDP: connect 255.255.255.255:9: 13\n", 5000)) << service.output();
    EXPECT_TRUE(service.waitForOutput("UDP: send: 9\n", 5000)) << service.output();
}

}  // namespace
