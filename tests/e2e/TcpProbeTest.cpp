// Command 1 through the running service, against scripted servers on
// loopback.
#include "ProbeFixture.h"
#include "tests/kit/ProcessReadings.h"
#include "tests/kit/Sockets.h"
#include "tests/kit/TcpPeer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>

namespace {

using TcpProbeTest = ProbeFixture;

TEST_F(TcpProbeTest, NoDialogueSucceedsOnceConnected) {
    TcpPeer peer("127.0.0.1", [](int fd) { TcpPeer::readToClose(fd, 5000); });
    nv::message reply = call(probe(CMD_TCP_PROBE, peer.port()));
    expectSuccess(reply);
    EXPECT_TRUE(reply.get<nv::bool_id>(field::connected));
}

TEST_F(TcpProbeTest, ServiceThatSpeaksFirstGetsNothingBeforeItsGreeting) {
    std::string before, after;
    auto peer = std::make_unique<TcpPeer>("127.0.0.1", [&](int fd) {
        // Nothing may arrive before the greeting: send_0 is held back.
        TcpPeer::readUntil(fd, "x", 300, &before);
        TcpPeer::sendAll(fd, "SSH-2.0-Test\r\n");
        TcpPeer::readUntil(fd, "HELLO", 5000, &after);
        TcpPeer::sendAll(fd, "WELCOME");
        TcpPeer::readToClose(fd, 5000);
    });
    nv::message request = probe(CMD_TCP_PROBE, peer->port(),
                                {{field::send_0, "HELD"}, {field::expect_0, "^SSH-2\\.0-"},
                                 {field::send_1, "HELLO"}, {field::expect_1, "WEL+COME$"}});
    request.insert<nv::bool_id>(field::hold_first_send, true);
    nv::message reply = call(request);
    expectSuccess(reply);
    EXPECT_TRUE(reply.get<nv::bool_id>(field::connected));
    peer.reset();
    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "HELLO");
}

TEST_F(TcpProbeTest, PatternSpanningChunksIsFoundWhenItsLastByteArrives) {
    TcpPeer peer("127.0.0.1", [](int fd) {
        std::string seen;
        TcpPeer::readUntil(fd, "\r\n\r\n", 5000, &seen);
        TcpPeer::sendAll(fd, "HTTP/1.");
        usleep(100 * 1000);
        TcpPeer::sendAll(fd, "1 200 OK\r\n");
        TcpPeer::readToClose(fd, 5000);
    });
    nv::message reply = call(probe(CMD_TCP_PROBE, peer.port(),
                                   {{field::send_0, "GET / HTTP/1.1\r\n\r\n"}, {field::expect_0, "^HTTP/1\\.1 200 "}}));
    expectSuccess(reply);
}

TEST_F(TcpProbeTest, PeerClosingBeforeTheExpectationIsAFailureWithoutConnected) {
    TcpPeer peer("127.0.0.1", [](int) {});
    nv::message reply = call(probe(CMD_TCP_PROBE, peer.port(), {{field::expect_0, "never"}}));
    EXPECT_EQ(reply.status(), nv::ReplyStatus::failed);
    EXPECT_EQ(reply.statusText(), "connection closed");
    EXPECT_TRUE(reply.contains(field::elapsed));
    EXPECT_FALSE(reply.contains(field::connected));
}

TEST_F(TcpProbeTest, SilentServiceEndsWithTheTimeoutReply) {
    TcpPeer peer("127.0.0.1", [](int fd) { TcpPeer::readToClose(fd, 5000); });
    nv::message request = probe(CMD_TCP_PROBE, peer.port(), {{field::expect_0, "banner"}});
    request.insert<nv::u32_id>(field::timeout, 300);
    expectTimeout(call(request));
}

TEST_F(TcpProbeTest, RefusedPortFailsWithTheConnectText) {
    nv::message reply = call(probe(CMD_TCP_PROBE, closedTcpPort()));
    EXPECT_EQ(reply.status(), nv::ReplyStatus::failed);
    EXPECT_EQ(reply.statusText().rfind("connect: ", 0), 0u) << reply.statusText();
    EXPECT_NE(reply.statusText().find("(errno 111)"), std::string::npos) << reply.statusText();
}

TEST_F(TcpProbeTest, ThreeStagesWithEmptyAndPresentExpectations) {
    // expect_0 empty: send_1 goes out on the connected notification.
    std::string seen;
    auto peer = std::make_unique<TcpPeer>("127.0.0.1", [&](int fd) {
        TcpPeer::readUntil(fd, "ONE", 5000, &seen);
        TcpPeer::sendAll(fd, "two");
        TcpPeer::readUntil(fd, "THREE", 5000, &seen);
        TcpPeer::sendAll(fd, "four");
        TcpPeer::readToClose(fd, 5000);
    });
    nv::message reply = call(probe(CMD_TCP_PROBE, peer->port(),
                                   {{field::send_0, "zero-"}, {field::send_1, "ONE"}, {field::expect_1, "two"},
                                    {field::send_2, "THREE"}, {field::expect_2, "four"}}));
    expectSuccess(reply);
    peer.reset();
    EXPECT_EQ(seen, "zero-ONETHREE");
}

TEST_F(TcpProbeTest, EmptyMiddleExpectationEndsTheSequenceBeforeSendTwo) {
    std::string seen;
    auto peer = std::make_unique<TcpPeer>("127.0.0.1", [&](int fd) {
        TcpPeer::sendAll(fd, "ready");
        seen = TcpPeer::readToClose(fd, 5000);
    });
    nv::message reply = call(probe(CMD_TCP_PROBE, peer->port(),
                                   {{field::expect_0, "ready"}, {field::send_1, "ONE"}, {field::send_2, "TWO"},
                                    {field::expect_2, "never"}}));
    expectSuccess(reply);
    peer.reset();
    EXPECT_EQ(seen, "ONE");
}

TEST_F(TcpProbeTest, SkipFirstExpectMeetsStageZeroOnConnecting) {
    std::string seen;
    auto peer = std::make_unique<TcpPeer>("127.0.0.1", [&](int fd) { seen = TcpPeer::readToClose(fd, 5000); });
    nv::message request = probe(CMD_TCP_PROBE, peer->port(),
                                {{field::send_0, "A"}, {field::expect_0, "never"}, {field::send_1, "B"}});
    request.insert<nv::bool_id>(field::skip_first_expect, true);
    expectSuccess(call(request));
    peer.reset();
    EXPECT_EQ(seen, "AB");
}

// Hundreds at once, mixed outcomes: each request gets exactly one reply,
// and no descriptor is left open afterwards.
TEST_F(TcpProbeTest, ManyConcurrentProbesEachGetExactlyOneReply) {
    constexpr int kEach = 100;
    // The banner service also takes the quick probes' connections.
    TcpPeer banner("127.0.0.1", [](int fd) {
        TcpPeer::sendAll(fd, "220 ready\r\n");
        TcpPeer::readToClose(fd, 2000);
    }, 2 * kEach);
    TcpPeer closer("127.0.0.1", [](int) {}, kEach);
    uint16_t refused = closedTcpPort();
    // A round trip first, so that the service has accepted this connection
    // before its descriptors are counted.
    call(probe(0, 0));
    const ProcessReadings readings(service.pid());
    const int before = readings.openDescriptors();

    std::map<uint32_t, int> kindOf;
    std::string error;
    for (int i = 0; i < kEach; ++i) {
        kindOf[client.send(probe(CMD_TCP_PROBE, banner.port(), {{field::expect_0, "^220 "}}), 0, &error)] = 0;
        kindOf[client.send(probe(CMD_TCP_PROBE, closer.port(), {{field::expect_0, "x"}}), 0, &error)] = 1;
        kindOf[client.send(probe(CMD_TCP_PROBE, refused), 0, &error)] = 2;
        nv::message quick = probe(CMD_TCP_PROBE, banner.port(), {{field::expect_0, "never"}});
        quick.insert<nv::u32_id>(field::timeout, 0);
        kindOf[client.send(quick, 0, &error)] = 3;
    }
    ASSERT_EQ(kindOf.size(), 4u * kEach);
    ASSERT_EQ(kindOf.count(0), 0u);

    std::map<uint32_t, int> replies;
    int byKind[4][3] = {};
    for (size_t i = 0; i < kindOf.size(); ++i) {
        uint32_t sequence;
        nv::message reply;
        ASSERT_TRUE(client.nextReply(&sequence, &reply, 60000, &error)) << error;
        ASSERT_EQ(replies[sequence]++, 0) << "second reply for " << sequence;
        ++byKind[kindOf[sequence]][static_cast<int>(reply.status())];
    }
    uint32_t sequence;
    nv::message extra;
    EXPECT_FALSE(client.nextReply(&sequence, &extra, 500, &error));
    EXPECT_EQ(byKind[1][static_cast<int>(nv::ReplyStatus::failed)], kEach);
    EXPECT_EQ(byKind[2][static_cast<int>(nv::ReplyStatus::failed)], kEach);
    EXPECT_EQ(byKind[3][static_cast<int>(nv::ReplyStatus::error)], kEach);
    EXPECT_EQ(byKind[0][static_cast<int>(nv::ReplyStatus::plain)], kEach);
    EXPECT_EQ(readings.openDescriptors(), before);
}

}  // namespace
