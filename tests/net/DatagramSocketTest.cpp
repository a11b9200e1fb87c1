// DatagramSocket on loopback: what reaches the receive callback, the line of
// each failed step, and destruction from inside the callback.
#include "CapturedLog.h"
#include "net/DatagramSocket.h"
#include "nv/ThinRunner.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <set>
#include <iostream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A copy of what one callback call was given.
struct Seen {
    bool failed;
    int32_t length;
    bool dataIsNull;
    std::string bytes;
    uint32_t sourceAddress, sourcePort;
    int error;
    bool operator==(const Seen&) const = default;
};

// Counts its destructions, to tell when a release destroyed it.
struct TracedSocket : DatagramSocket {
    explicit TracedSocket(int& destroyed) : destroyed(destroyed) {}
    ~TracedSocket() override { ++destroyed; }
    int& destroyed;
};

class DatagramSocketTest : public ::testing::Test {
protected:

    bool runUntil(const std::function<bool()>& done) {
        for (int pass = 0; !done(); ++pass) {
            if (pass == 200) return false;
            runner_.runOnce(10);
        }
        return true;
    }
    // The UDP probe's calling order, the callback last.
    Ref<DatagramSocket> connectedTo(uint16_t port, DatagramSocket* socket = new DatagramSocket) {
        Ref<DatagramSocket> held = socket;
        held->open();
        held->bind();
        held->connect(kLoopback, port);
        held->setReceiveCallback([this](const DatagramRecord& r) {
            seen_.push_back({r.failed, r.length, r.data == nullptr,
                             r.data ? std::string(reinterpret_cast<const char*>(r.data), r.length) : "",
                             r.sourceAddress, r.sourcePort, r.error});
        });
        return held;
    }
    // The peer learns the socket's address from a first datagram.
    void greet(DatagramSocket& socket) {
        ASSERT_TRUE(socket.send("?", 1));
        std::vector<uint8_t> datagram;
        ASSERT_TRUE(peer_.receive(&datagram, 2000));
    }

    nv::ThinRunner runner_;
    UdpPeer peer_{"127.0.0.1", 0};
    CapturedLog log_;
    std::vector<Seen> seen_;
};

TEST_F(DatagramSocketTest, CallbackGetsEachDatagramCutAt4096AndEachError) {
    Ref<DatagramSocket> socket = connectedTo(peer_.port());
    socket->onReadable(socket->fd(), nv::ThinRunner::kReadable);  // nothing there: would hang if blocking
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_TRUE(seen_[0].failed && seen_[0].error == EAGAIN);
    greet(*socket);
    std::string longDatagram(5000, '\0');
    for (size_t i = 0; i < longDatagram.size(); ++i) longDatagram[i] = static_cast<char>(i * 7);
    for (const std::string& d : {std::string("pong"), longDatagram, std::string()})
        ASSERT_TRUE(peer_.reply({d.begin(), d.end()}));
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 4; }));
    EXPECT_EQ(seen_[1], (Seen{false, 4, false, "pong", kLoopback, peer_.port(), 0}));
    EXPECT_EQ(seen_[2], (Seen{false, 4096, false, longDatagram.substr(0, 4096), kLoopback, peer_.port(), 0}));
    // An empty datagram is a real answer: failed like an error, but error 0.
    EXPECT_EQ(seen_[3], (Seen{true, 0, true, "", 0, 0, 0}));

    const std::vector<char> huge(70000, 'x');  // more than a datagram holds
    EXPECT_FALSE(socket->send(huge.data(), huge.size()));
    EXPECT_NE(socket->fd(), -1);
    EXPECT_EQ(log_.text(), "UDP: send: 90\n");

    // A port nobody listens on answers with ICMP port unreachable, which the
    // connected socket reads as ECONNREFUSED.
    uint16_t closedPort = UdpPeer("127.0.0.1", 0).port();
    Ref<DatagramSocket> refused = connectedTo(closedPort);
    ASSERT_TRUE(refused->send("x", 1));
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 5; }));
    EXPECT_TRUE(seen_[4].failed && seen_[4].error == ECONNREFUSED);
}

// The owner's way: the callback calls a member that releases the socket, so
// nothing of the destroyed callback object is touched afterwards.
TEST_F(DatagramSocketTest, CallbackMayDropTheLastReference) {
    int destroyed = 0;
    Ref<DatagramSocket> held = connectedTo(peer_.port(), new TracedSocket(destroyed));
    const int fd = held->fd();
    bool watchedAfterRelease = true;
    auto release = [&] {
        held = nullptr;
        watchedAfterRelease = runner_.isWatched(fd);
    };
    held->setReceiveCallback([&](const DatagramRecord&) { release(); });
    greet(*held);
    ASSERT_TRUE(peer_.reply({'b', 'y', 'e'}));
    ASSERT_TRUE(runUntil([&] { return destroyed == 1; }));
    EXPECT_FALSE(watchedAfterRelease);
}

// A failed bind or connect closes the socket; each later step then fails on
// the bad descriptor and says so.
TEST_F(DatagramSocketTest, FailedStepClosesTheSocketAndLaterStepsSaySo) {
    Ref<DatagramSocket> rebound = new DatagramSocket, broadcast = new DatagramSocket;
    ASSERT_TRUE(rebound->open() && rebound->bind() && broadcast->open() && broadcast->bind());
    const int fds[] = {rebound->fd(), broadcast->fd()};
    EXPECT_FALSE(rebound->bind());       // already bound: EINVAL
    rebound->connect(kLoopback, 70000);  // the whole port value is printed
    EXPECT_FALSE(rebound->send("x", 1));
    broadcast->connect(INADDR_BROADCAST, 9);  // no SO_BROADCAST: EACCES, and nothing is sent
    EXPECT_TRUE(rebound->fd() == -1 && broadcast->fd() == -1);
    EXPECT_FALSE(runner_.isWatched(fds[0]) || runner_.isWatched(fds[1]));
    EXPECT_EQ(log_.text(), "UDP: bind: 22\n"
                          "UDP: connect 127.0.0.1:70000: 9\n"
                          "UDP: send: 9\n"
                          "UDP: connect 255.255.255.255:9: 13\n");
}

// Without a descriptor to spare, open fails and every later step prints its
// own line: in a forked child, so that the limit stays there.
// Every socket gets a port of its own: two probes sharing one would see the
// newer take the answers of both.
TEST_F(DatagramSocketTest, EverySocketIsBoundToAPortOfItsOwn) {
    std::vector<Ref<DatagramSocket>> sockets;
    std::set<uint16_t> ports;
    for (int i = 0; i < 1000; ++i) {
        Ref<DatagramSocket> socket = new DatagramSocket;
        ASSERT_TRUE(socket->open() && socket->bind());
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(socket->fd(), reinterpret_cast<sockaddr*>(&bound), &length);
        ports.insert(ntohs(bound.sin_port));
        sockets.push_back(socket);
    }
    EXPECT_EQ(ports.size(), sockets.size());
}

TEST(DatagramSocketExhaustionTest, FailedOpenLeavesASocketWhoseStepsAllFail) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        nv::ThinRunner runner;
        CapturedLog log;
        const int lowestFree = dup(0);
        close(lowestFree);
        const rlimit limit{static_cast<rlim_t>(lowestFree), static_cast<rlim_t>(lowestFree)};
        setrlimit(RLIMIT_NOFILE, &limit);
        Ref<DatagramSocket> socket = new DatagramSocket;
        bool asExpected = !socket->open() && !socket->bind() && socket->fd() == -1;
        socket->connect(kLoopback, 53);
        asExpected = !socket->send("x", 1) && asExpected &&
                     log.text() == "UDP: socket: 24\nUDP: can't set SO_REUSEADDR\nUDP: bind: 9\n"
                                  "UDP: connect 127.0.0.1:53: 9\nUDP: send: 9\n";
        if (!asExpected) std::cerr << log.text();
        _exit(asExpected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
