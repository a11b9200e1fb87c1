// The transports on loopback, driven as the probes drive them and dropped inside
// their callbacks: what a datagram read hands on, what a failed step closes, a
// connection's notices, and how it is let go of.
#include "net/DatagramSocket.h"
#include "net/StreamConnection.h"
#include "nv/ThinRunner.h"
#include "nv/sysctlErrorStr.h"
#include "tests/kit/Sockets.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <set>

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

using Record = std::tuple<bool, std::string, uint32_t, uint32_t, int>;  // failed, bytes, source, port, error

class Transport : public ::testing::Test {
protected:
    ~Transport() override { close(listener_); }
    bool runUntil(const std::function<bool()>& done) {  // `done` runs once per pass: it may consume
        for (int pass = 0; pass < 100; ++pass, runner_.runOnce(100))
            if (done()) return true;
        return false;
    }
    // The TCP probe's order; notices go to seen_ ("connected" with the bytes still
    // queued). The owner drops it on a failure, and with `finish` on its first notice.
    void openTo(uint16_t port, bool finish = false) {
        Ref<StreamConnection>& held = held_.emplace_back(new StreamConnection);
        held->open(kLoopback, port);
        held->setDataCallback([this, &held, finish](const uint8_t* data, uint32_t length) {
            seen_.push_back(data ? std::string(reinterpret_cast<const char*>(data), length)
                                 : "connected " + std::to_string(held->queuedBytes()));
            if (finish) std::exchange(held, nullptr)->closeWhenSent();  // it destroys this lambda
        });
        held->setErrorCallback([this, &held](std::string text) {
            seen_.push_back(text);
            held = nullptr;
        });
    }

    nv::ThinRunner runner_;
    uint16_t port_ = 0;
    int listener_ = openTcpListener("127.0.0.1", 16, SOCK_NONBLOCK, &port_);
    std::deque<Ref<StreamConnection>> held_;  // its elements stay where they are
    std::vector<std::string> seen_;
};
using DatagramSocketTest = Transport;
using StreamConnectionTest = Transport;

TEST_F(DatagramSocketTest, EachReadReachesTheCallback) {
    UdpPeer peer("127.0.0.1", 0);
    Ref<DatagramSocket> socket = new DatagramSocket;  // set up in the UDP probe's order
    ASSERT_TRUE(socket->open() && socket->bind());
    socket->connect(kLoopback, peer.port());
    std::vector<Record> records;
    socket->setReceiveCallback([&](const DatagramRecord& r) {
        records.emplace_back(r.failed, std::string(reinterpret_cast<const char*>(r.data), r.length),
                             r.sourceAddress, r.sourcePort, r.error);
    });
    std::vector<uint8_t> greeting;  // tells the peer where to answer
    ASSERT_TRUE(socket->send("?", 1) && peer.receive(&greeting, 2000));
    socket->onReadable(socket->fd(), nv::ThinRunner::kReadable);  // nothing there: the read must not block
    for (const std::string sent : {"pong", ""}) ASSERT_TRUE(peer.reply({sent.begin(), sent.end()}));
    ASSERT_TRUE(runUntil([&] { return records.size() == 3; }));
    EXPECT_EQ(records, (std::vector<Record>{{true, "", 0, 0, EAGAIN},
                                            {false, "pong", kLoopback, peer.port(), 0},
                                            {true, "", 0, 0, 0}}));  // an empty answer: failed, but no error
}

// Every socket gets a port of its own: two probes sharing one would see the newer take the answers of both.
TEST_F(DatagramSocketTest, EverySocketIsBoundToAPortOfItsOwn) {
    std::vector<Ref<DatagramSocket>> sockets(1000);
    std::set<uint16_t> ports;
    for (Ref<DatagramSocket>& socket : sockets) {
        ASSERT_TRUE((socket = new DatagramSocket)->open() && socket->bind());
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(socket->fd(), reinterpret_cast<sockaddr*>(&bound), &length);
        ports.insert(ntohs(bound.sin_port));
    }
    EXPECT_EQ(ports.size(), sockets.size());
}

// A failed bind or connect closes the descriptor, not just forgets it; a
// failed send keeps it.
TEST_F(DatagramSocketTest, FailedStepsLeaveNoDescriptorOpen) {
    const std::vector<char> huge(70000, 'x');  // more than a datagram holds
    const std::pair<std::function<bool(DatagramSocket&)>, bool> rows[] = {  // the failing step; keeps?
        {[](DatagramSocket& s) { return !s.bind(); }, false},  // bound already: EINVAL
        {[](DatagramSocket& s) { return s.connect(INADDR_BROADCAST, 9), true; }, false},  // no SO_BROADCAST: EACCES
        {[&](DatagramSocket& s) { return !s.send(huge.data(), uint32_t(huge.size())); }, true},
    };
    for (const auto& [fails, keeps] : rows) {
        Ref<DatagramSocket> socket = new DatagramSocket;
        ASSERT_TRUE(socket->open() && socket->bind());
        const int fd = socket->fd();
        EXPECT_TRUE(fails(*socket));
        EXPECT_EQ(std::tuple(socket->fd(), fcntl(fd, F_GETFD) != -1, runner_.isWatched(fd)),
                  std::tuple(keeps ? fd : -1, keeps, keeps));  // closed, not just forgotten
    }
}

// Bytes written during the connect go out before the connected notice. Each
// notice comes once, from the loop: connected, data, refused, closed by the
// peer. A connection dropped between a failure and its notice is never told.
TEST_F(StreamConnectionTest, EachNoticeComesOnceFromTheLoop) {
    for (uint16_t port : {port_, closedTcpPort(), closedTcpPort()}) openTo(port);
    held_[0]->write("hello", 5, true);
    EXPECT_TRUE(seen_.empty() && !held_[0]->isConnected());
    ASSERT_TRUE(runUntil([&] { return !held_[2]->errorText().empty(); }));
    held_[2] = nullptr;
    pollfd peer{-1, POLLIN, 0};
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 2 && (peer.fd = accept(listener_, nullptr, nullptr)) >= 0; }));
    EXPECT_EQ(runner_.pendingTimers(), 0u);  // nor is the 10 s connect limit left armed
    held_[0]->write("", 0, true);  // nothing to send: not a closed connection
    char hello[8] = {};
    ASSERT_TRUE(poll(&peer, 1, 2000) == 1 && recv(peer.fd, hello, 7, 0) == 5 && std::string(hello) == "hello");
    ASSERT_TRUE(send(peer.fd, "hi", 2, 0) == 2 && runUntil([&] { return seen_.size() == 3; }));
    close(peer.fd);
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 4; }));
    std::sort(seen_.begin(), seen_.begin() + 2);
    EXPECT_EQ(seen_, (std::vector<std::string>{nv::sysctlErrorStr("connect", ECONNREFUSED), "connected 0", "hi",
                                               "connection closed"}));
}

// closeWhenSent: a connection nobody wrote to closes when dropped; one with bytes
// queued stays until the peer has them all, then our end, then the peer's.
TEST_F(StreamConnectionTest, CloseWhenSentLetsThePeerHaveEveryByteThenOurEnd) {
    std::string block(4 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 251);
    for (const std::string& sent : {std::string(), block}) {
        seen_.clear();
        openTo(port_, true);
        const int fd = held_.back()->fd();
        held_.back()->write(sent.data(), static_cast<uint32_t>(sent.size()), true);
        ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }));
        ASSERT_EQ(seen_[0] == "connected 0", sent.empty());  // the block waits in part
        EXPECT_EQ(fcntl(fd, F_GETFD) == -1, sent.empty());  // dropped: closed, unless lingering
        runner_.setClockForTesting([frozen = runner_.now()] { return frozen; });  // the linger limit never runs out
        const int peer = accept(listener_, nullptr, nullptr);
        std::string received;
        ssize_t got = 1;
        for (pollfd readable{peer, POLLIN, 0}; got != 0 && poll(&readable, 1, 2000) == 1; runner_.runOnce(0)) {
            char buffer[65536];
            while ((got = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) received.append(buffer, got);
        }
        EXPECT_TRUE(got == 0 && received == sent) << received.size();  // every byte, then our end
        close(peer);
        runner_.setClockForTesting({});
        EXPECT_TRUE(runUntil([&] { return fcntl(fd, F_GETFD) == -1; }));
    }
}

}  // namespace
