// DatagramSocket on loopback: what reaches the receive callback, the line of
// each failed step, and destruction from inside the callback.
#include "net/DatagramSocket.h"
#include "nv/ThinRunner.h"
#include "tests/harness/UdpPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <iostream>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
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
    uint32_t sourceAddress;
    uint32_t sourcePort;
    int error;
};

std::vector<uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Counts its destructions, to tell when a release destroyed it.
struct TracedSocket : DatagramSocket {
    explicit TracedSocket(int& destroyed) : destroyed(destroyed) {}
    ~TracedSocket() override { ++destroyed; }
    int& destroyed;
};

class DatagramSocketTest : public ::testing::Test {
protected:
    DatagramSocketTest() : savedOut_(std::cout.rdbuf(out_.rdbuf())) {}
    ~DatagramSocketTest() override { std::cout.rdbuf(savedOut_); }

    std::string takeLines() {
        std::string lines = out_.str();
        out_.str("");
        return lines;
    }
    bool runUntil(const std::function<bool()>& done) {
        // Each check runs once: `done` may consume what it looks for.
        for (int pass = 0;; ++pass) {
            if (done()) return true;
            if (pass == 200) return false;
            runner_.runOnce(10);
        }
    }
    void record(DatagramSocket& socket) {
        socket.setReceiveCallback([this](const DatagramRecord& r) {
            seen_.push_back({r.failed, r.length, r.data == nullptr,
                             r.data ? std::string(reinterpret_cast<const char*>(r.data), r.length) : "",
                             r.sourceAddress, r.sourcePort, r.error});
        });
    }
    // The UDP probe's calling order, callback last (when wanted).
    Ref<DatagramSocket> connectedTo(uint32_t address, uint32_t port, DatagramSocket* socket = new DatagramSocket,
                                    bool recorded = true) {
        Ref<DatagramSocket> held = socket;
        held->open();
        held->bind();
        held->connect(address, port);
        if (recorded) record(*held);
        return held;
    }
    // The peer learns the socket's address from a first datagram.
    void greet(DatagramSocket& socket) {
        ASSERT_TRUE(socket.send("?", 1));
        std::vector<uint8_t> datagram;
        ASSERT_TRUE(peer_.receive(&datagram, 2000));
    }

    void releaseHeld() {
        held_ = nullptr;
        watchedAfterRelease_ = runner_.isWatched(heldFd_);
    }

    nv::ThinRunner runner_;
    UdpPeer peer_{"127.0.0.1", 0};
    Ref<DatagramSocket> held_;
    int heldFd_ = -1;
    bool watchedAfterRelease_ = true;
    std::ostringstream out_;
    std::streambuf* savedOut_;
    std::vector<Seen> seen_;
};

TEST_F(DatagramSocketTest, DeliversEachDatagramWithItsSource) {
    Ref<DatagramSocket> socket = connectedTo(kLoopback, peer_.port());
    greet(*socket);
    ASSERT_TRUE(peer_.reply(bytes("pong")));
    ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }));
    EXPECT_FALSE(seen_[0].failed);
    EXPECT_EQ(seen_[0].bytes, "pong");
    EXPECT_EQ(seen_[0].sourceAddress, kLoopback);
    EXPECT_EQ(seen_[0].sourcePort, peer_.port());
    EXPECT_EQ(seen_[0].error, 0);

    const std::vector<char> huge(70000, 'x');  // more than a datagram holds
    EXPECT_FALSE(socket->send(huge.data(), huge.size()));
    EXPECT_NE(socket->fd(), -1);
    EXPECT_EQ(takeLines(), "UDP: send: 90\n");
}

TEST_F(DatagramSocketTest, CutsLongDatagramsAndTellsEmptyOnesFromErrors) {
    Ref<DatagramSocket> socket = connectedTo(kLoopback, peer_.port());
    greet(*socket);
    std::string longDatagram(5000, '\0');
    for (size_t i = 0; i < longDatagram.size(); ++i) longDatagram[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(peer_.reply(bytes(longDatagram)));
    ASSERT_TRUE(peer_.reply({}));
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 2; }));

    EXPECT_EQ(seen_[0].length, 4096);
    EXPECT_EQ(seen_[0].bytes, longDatagram.substr(0, 4096));
    // An empty datagram is a real answer: failed like an error, but error 0.
    EXPECT_TRUE(seen_[1].failed);
    EXPECT_EQ(seen_[1].length, 0);
    EXPECT_TRUE(seen_[1].dataIsNull);
    EXPECT_EQ(seen_[1].sourceAddress, 0u);
    EXPECT_EQ(seen_[1].sourcePort, 0u);
    EXPECT_EQ(seen_[1].error, 0);

    // A port nobody listens on answers with ICMP port unreachable, which
    // the connected socket reads as ECONNREFUSED.
    uint16_t closedPort;
    {
        UdpPeer gone("127.0.0.1", 0);
        closedPort = gone.port();
    }
    Ref<DatagramSocket> refused = connectedTo(kLoopback, closedPort);
    ASSERT_TRUE(refused->send("x", 1));
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 3; }));
    EXPECT_TRUE(seen_[2].failed);
    EXPECT_EQ(seen_[2].error, ECONNREFUSED);
}

TEST_F(DatagramSocketTest, ReadThatFindsNothingFailsInsteadOfBlocking) {
    Ref<DatagramSocket> socket = connectedTo(kLoopback, peer_.port());
    socket->onReadable(socket->fd(), nv::ThinRunner::kReadable);  // would hang if blocking
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_TRUE(seen_[0].failed);
    EXPECT_EQ(seen_[0].error, EAGAIN);
}

TEST_F(DatagramSocketTest, DatagramWithoutCallbackIsReadAndDropped) {
    Ref<DatagramSocket> socket = connectedTo(kLoopback, peer_.port(), new DatagramSocket, false);
    greet(*socket);
    ASSERT_TRUE(peer_.reply(bytes("early")));
    char byte;
    ASSERT_TRUE(runUntil([&] { return recv(socket->fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0; }));

    record(*socket);
    ASSERT_TRUE(peer_.reply(bytes("late")));
    ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }));
    EXPECT_EQ(seen_[0].bytes, "late");
}

// The owner's way: the callback calls a member that releases the socket, so
// nothing of the destroyed callback object is touched afterwards.
TEST_F(DatagramSocketTest, CallbackMayDropTheLastReference) {
    int destroyed = 0;
    held_ = connectedTo(kLoopback, peer_.port(), new TracedSocket(destroyed), false);
    heldFd_ = held_->fd();
    held_->setReceiveCallback([this](const DatagramRecord&) { releaseHeld(); });
    greet(*held_);
    ASSERT_TRUE(peer_.reply(bytes("bye")));
    ASSERT_TRUE(runUntil([&] { return destroyed == 1; }));
    EXPECT_FALSE(watchedAfterRelease_);
}

TEST_F(DatagramSocketTest, FailedBindClosesAndLaterStepsFailOnTheBadDescriptor) {
    Ref<DatagramSocket> socket = new DatagramSocket;
    ASSERT_TRUE(socket->open());
    ASSERT_TRUE(socket->bind());
    const int fd = socket->fd();
    EXPECT_FALSE(socket->bind());  // already bound: EINVAL
    EXPECT_EQ(socket->fd(), -1);
    EXPECT_FALSE(runner_.isWatched(fd));
    socket->connect(kLoopback, 70000);  // the whole port value is printed
    EXPECT_FALSE(socket->send("x", 1));
    EXPECT_EQ(takeLines(), "UDP: bind: 22\n"
                           "UDP: connect 127.0.0.1:70000: 9\n"
                           "UDP: send: 9\n");
}

TEST_F(DatagramSocketTest, FailedConnectClosesTheSocket) {
    Ref<DatagramSocket> socket = new DatagramSocket;
    socket->open();
    socket->bind();
    const int fd = socket->fd();
    socket->connect(INADDR_BROADCAST, 9);  // no SO_BROADCAST: EACCES, and nothing is sent
    EXPECT_EQ(socket->fd(), -1);
    EXPECT_FALSE(runner_.isWatched(fd));
    EXPECT_EQ(takeLines(), "UDP: connect 255.255.255.255:9: 13\n");
}

// Without a descriptor to spare, open fails and every later step writes its
// own line: a forked child, so the limit stays there.
TEST(DatagramSocketExhaustionTest, FailedOpenLeavesASocketWhoseStepsAllFail) {
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        nv::ThinRunner runner;
        std::ostringstream out;
        std::cout.rdbuf(out.rdbuf());
        const int lowestFree = dup(0);
        close(lowestFree);
        const rlimit limit{static_cast<rlim_t>(lowestFree), static_cast<rlim_t>(lowestFree)};
        setrlimit(RLIMIT_NOFILE, &limit);
        bool asExpected = false;
        {
            Ref<DatagramSocket> socket = new DatagramSocket;
            asExpected = !socket->open() && !socket->bind() && socket->fd() == -1;
            socket->connect(kLoopback, 53);
            asExpected = !socket->send("x", 1) && asExpected;
        }
        const std::string text = out.str();
        const bool written = write(lines[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        _exit(asExpected && written ? 0 : 1);
    }
    close(lines[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(lines[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(lines[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, "UDP: socket: 24\n"
                    "UDP: can't set SO_REUSEADDR\n"
                    "UDP: bind: 9\n"
                    "UDP: connect 127.0.0.1:53: 9\n"
                    "UDP: send: 9\n");
}

}  // namespace
