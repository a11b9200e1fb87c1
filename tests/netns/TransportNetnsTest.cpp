// The transports against a far host of the test's own network: refused,
// silent and unreachable hosts, and datagrams that come back from it.
#include "../net/CapturedLog.h"
#include "net/DatagramSocket.h"
#include "net/StreamConnection.h"
#include "nv/ThinRunner.h"
#include "nv/sysctlErrorStr.h"
#include "tests/kit/NetNamespace.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// No route leads there from the near host: nothing ever leaves for it.
const uint32_t kUnroutable = htonl(0x0ad60001);  // 10.214.0.1

class TransportNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!network_.ok()) GTEST_SKIP() << network_.error();
        ASSERT_TRUE(network_.enterNear());
        runner_ = std::make_unique<nv::ThinRunner>();
    }
    void TearDown() override {
        runner_.reset();
        network_.leave();
    }
    bool runUntil(const std::function<bool()>& done, int passes = 300) {
        // Each check runs once: `done` may consume what it looks for.
        for (int pass = 0;; ++pass) {
            if (done()) return true;
            if (pass == passes) return false;
            runner_->runOnce(10);
        }
    }
    Ref<StreamConnection> connectTo(uint32_t address, uint16_t port) {
        Ref<StreamConnection> connection = new StreamConnection;
        connection->open(address, port);
        connection->setDataCallback([this](const uint8_t*, uint32_t) { seen_.push_back("connected"); });
        connection->setErrorCallback([this](std::string text) { seen_.push_back(text); });
        return connection;
    }

    NetNamespace network_;
    std::unique_ptr<nv::ThinRunner> runner_;
    std::vector<std::string> seen_;
};

TEST_F(TransportNetnsTest, ClosedPortOnTheFarHostRefusesTheConnect) {
    Ref<StreamConnection> connection = connectTo(NetNamespace::farAddress(), 80);
    ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }));
    runUntil([] { return false; }, 3);
    EXPECT_EQ(seen_, std::vector<std::string>{nv::sysctlErrorStr("connect", ECONNREFUSED)});
}

// The one slow test: real time, while the silent host ignores the SYN and
// its retransmissions, until the connect timer's 10 s run out.
TEST_F(TransportNetnsTest, SilentHostRunsOutTheConnectTimer) {
    ASSERT_TRUE(network_.silenceFar());
    Ref<StreamConnection> connection = connectTo(NetNamespace::farAddress(), 80);
    ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }, 1500));
    runUntil([] { return false; }, 3);
    EXPECT_EQ(seen_, std::vector<std::string>{"connection timeout"});
    EXPECT_EQ(connection->fd(), -1);
}

TEST_F(TransportNetnsTest, UnroutableHostFailsInsideOpenAndIsToldFromTheLoop) {
    Ref<StreamConnection> connection = connectTo(kUnroutable, 80);
    EXPECT_TRUE(seen_.empty());
    EXPECT_FALSE(connection->errorText().empty());
    ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }));
    EXPECT_EQ(seen_, std::vector<std::string>{nv::sysctlErrorStr("connect", ENETUNREACH)});

    CapturedLog log;
    Ref<DatagramSocket> socket = new DatagramSocket;
    socket->open();
    socket->bind();
    socket->connect(kUnroutable, 53);
    EXPECT_EQ(log.text(), "UDP: connect 10.214.0.1:53: 101\n");
    EXPECT_EQ(socket->fd(), -1);
}

// An answer from the far host carries its address; once the far host is
// silent, nothing at all comes back.
TEST_F(TransportNetnsTest, DatagramsFromTheFarHost) {
    ASSERT_TRUE(network_.enterFar());
    UdpPeer far(NetNamespace::kFarAddress, 0);
    ASSERT_TRUE(network_.enterNear());
    std::vector<DatagramRecord> seen;
    Ref<DatagramSocket> socket = new DatagramSocket;
    socket->open();
    socket->bind();
    socket->connect(NetNamespace::farAddress(), far.port());
    socket->setReceiveCallback([&](const DatagramRecord& record) { seen.push_back(record); });
    ASSERT_TRUE(socket->send("?", 1));
    std::vector<uint8_t> datagram;
    ASSERT_TRUE(far.receive(&datagram, 2000));
    ASSERT_TRUE(far.reply(datagram));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
    EXPECT_FALSE(seen[0].failed);
    EXPECT_EQ(seen[0].sourceAddress, NetNamespace::farAddress());
    EXPECT_EQ(seen[0].sourcePort, far.port());

    ASSERT_TRUE(network_.silenceFar());
    ASSERT_TRUE(socket->send("?", 1));
    ASSERT_TRUE(far.receive(&datagram, 2000));
    EXPECT_FALSE(far.reply(datagram));  // its way back is a blackhole
    runUntil([] { return false; }, 30);
    EXPECT_EQ(seen.size(), 1u);
}

}  // namespace
