// StreamConnection on loopback: the connect and its notification, queued and
// partial sends, each kind of failure reported once from the loop, and
// callbacks that destroy the connection.
#include "net/StreamConnection.h"
#include "nv/ThinRunner.h"
#include "nv/sysctlErrorStr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A connect on loopback is still in progress when the call returns; this
// makes the C library's connect wait it out instead, so that a connect
// "succeeds at once".
bool connectCompletesAtOnce = false;

}  // namespace

// Stands in for the C library's connect within this test program.
extern "C" int connect(int fd, const sockaddr* address, socklen_t length)
{
    using Connect = int (*)(int, const sockaddr*, socklen_t);
    static const auto next = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    const int result = next(fd, address, length);
    if (!connectCompletesAtOnce || result == 0 || errno != EINPROGRESS) return result;
    pollfd completed{fd, POLLOUT, 0};
    return poll(&completed, 1, 2000) == 1 ? 0 : result;
}

namespace {

// A TCP socket on 127.0.0.1 playing the probed service; with `listening`
// false it is bound but refuses connections.
struct Listener {
    explicit Listener(bool listening = true, int backlog = 16) : fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{AF_INET, 0, {kLoopback}, {}};
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_TRUE(!listening || listen(fd, backlog) == 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() {
        if (peer >= 0) close(peer);
        close(fd);
    }
    bool accepted() { return peer >= 0 || (peer = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }
    const std::string& drain() {  // whatever the peer has received so far
        char buffer[65536];
        for (ssize_t n; (n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) received.append(buffer, n);
        return received;
    }
    int fd, peer = -1;
    uint16_t port;
    std::string received;
};

struct TracedConnection : StreamConnection {
    explicit TracedConnection(int& destroyed) : destroyed(destroyed) {}
    ~TracedConnection() override { ++destroyed; }
    int& destroyed;
};

class StreamConnectionTest : public ::testing::Test {
protected:
    bool runUntil(const std::function<bool()>& done) {
        for (int pass = 0; !done(); ++pass) {  // each check runs once: `done` may consume what it looks for
            if (pass == 300) return false;
            runner_.runOnce(10);
        }
        return true;
    }
    void runPasses(int passes) {
        for (int pass = 0; pass < passes; ++pass) runner_.runOnce(1);
    }
    // The TCP probe's calling order, each notification written to `seen_`.
    Ref<StreamConnection> openTo(uint16_t port, StreamConnection* connection = new StreamConnection) {
        Ref<StreamConnection> held = connection;
        held->open(kLoopback, port);
        held->setDataCallback([this](const uint8_t* data, uint32_t length) {
            seen_.push_back(data ? "data " + std::string(reinterpret_cast<const char*>(data), length) : "connected");
        });
        held->setErrorCallback([this](std::string text) { seen_.push_back("error " + text); });
        return held;
    }

    nv::ThinRunner runner_;
    std::vector<std::string> seen_;
};

// Bytes written during the connect have gone out before the notification,
// which comes once, from the loop, never from inside open: also when the
// connect succeeds at once and both the writability report and the
// deferral timer could deliver it.
TEST_F(StreamConnectionTest, QueuedBytesGoOutBeforeTheOneConnectedNotification) {
    for (bool atOnce : {false, true}) {
        Listener listener;
        seen_.clear();
        connectCompletesAtOnce = atOnce;
        Ref<StreamConnection> connection = openTo(listener.port);
        connectCompletesAtOnce = false;
        EXPECT_FALSE(connection->isConnected());
        connection->write("hello", 5, true);
        size_t queuedAtNotification = 99;
        connection->setDataCallback([&](const uint8_t* data, uint32_t length) {
            if (!data) queuedAtNotification = connection->queuedBytes();
            seen_.push_back(data ? std::string(reinterpret_cast<const char*>(data), length) : "connected");
        });
        ASSERT_TRUE(runUntil([&] { return !seen_.empty(); }));
        runPasses(3);
        EXPECT_EQ(queuedAtNotification, 0u);
        EXPECT_EQ(runner_.pendingTimers(), 0u);  // nor is the 10 s limit left armed
        EXPECT_EQ(connection->events(), nv::ThinRunner::kReadable);
        connection->write("", 0, true);  // nothing to send: not a closed connection
        ASSERT_TRUE(runUntil([&] { return listener.accepted() && listener.drain() == "hello"; }));
        ASSERT_EQ(send(listener.peer, "hi", 2, 0), 2);
        ASSERT_TRUE(runUntil([&] { return seen_.size() == 2; }));
        EXPECT_EQ(seen_, (std::vector<std::string>{"connected", "hi"})) << atOnce;
        EXPECT_TRUE(connection->errorText().empty());
    }
}

// A block the socket cannot take at once: the rest waits with writability
// watched, and the watch is dropped once it has all gone.
TEST_F(StreamConnectionTest, PartialSendWatchesWritabilityUntilDrained) {
    Listener listener;
    Ref<StreamConnection> connection = openTo(listener.port);
    std::string block(4 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 251);
    connection->write(block.data(), block.size(), true);
    unsigned maskAtNotification = 0;
    size_t queuedAtNotification = 0;
    connection->setDataCallback([&](const uint8_t*, uint32_t) {
        maskAtNotification = connection->events();
        queuedAtNotification = connection->queuedBytes();
    });
    ASSERT_TRUE(runUntil([&] { return maskAtNotification != 0; }));
    EXPECT_EQ(maskAtNotification, nv::ThinRunner::kReadable | nv::ThinRunner::kWritable);
    EXPECT_TRUE(queuedAtNotification > 0 && queuedAtNotification < block.size());
    ASSERT_TRUE(runUntil([&] { return listener.accepted(); }));
    for (int round = 0; round < 2000 && listener.drain().size() < block.size(); ++round) runner_.runOnce(1);
    EXPECT_TRUE(listener.received == block);
    EXPECT_EQ(connection->queuedBytes(), 0u);
    EXPECT_EQ(connection->events(), nv::ThinRunner::kReadable);
}

// Refused, or closed by the peer: reported once; later writes are dropped.
// A connection released while its failure waits to be reported notifies
// nobody.
TEST_F(StreamConnectionTest, FailuresAreReportedOnce) {
    Listener listener, closed(false);
    Ref<StreamConnection> refused = openTo(closed.port), released = openTo(closed.port);
    Ref<StreamConnection> connection = openTo(listener.port);
    ASSERT_TRUE(runUntil([&] { return !released->errorText().empty(); }));
    released = nullptr;
    ASSERT_TRUE(runUntil([&] { return listener.accepted() && seen_.size() == 2; }));
    close(listener.peer);
    listener.peer = -1;
    ASSERT_TRUE(runUntil([&] { return seen_.size() == 3; }));
    connection->write("late", 4, true);
    EXPECT_EQ(connection->queuedBytes(), 0u);
    runPasses(5);
    std::sort(seen_.begin(), seen_.begin() + 2);
    EXPECT_EQ(seen_, (std::vector<std::string>{"connected", "error " + nv::sysctlErrorStr("connect", ECONNREFUSED),
                                               "error connection closed"}));
    EXPECT_EQ(connection->fd(), -1);
    EXPECT_EQ(refused->fd(), -1);
    EXPECT_EQ(runner_.pendingTimers(), 0u);
}

// The owner may release the connection inside each kind of notification.
TEST_F(StreamConnectionTest, EachCallbackMayDropTheLastReference) {
    Listener listener, closed(false);
    int destroyed = 0;
    Ref<StreamConnection> onConnect = openTo(listener.port, new TracedConnection(destroyed));
    Ref<StreamConnection> onData = openTo(listener.port, new TracedConnection(destroyed));
    Ref<StreamConnection> onError = openTo(closed.port, new TracedConnection(destroyed));
    const int dataFd = onData->fd();
    onConnect->setDataCallback([&](const uint8_t*, uint32_t) { onConnect = nullptr; });
    onData->setDataCallback([&](const uint8_t* data, uint32_t) {
        if (data) onData = nullptr;
    });
    onError->setErrorCallback([&](std::string) { onError = nullptr; });
    ASSERT_TRUE(runUntil([&] { return listener.accepted(); }));
    ASSERT_TRUE(runUntil([&] { return destroyed == 2; }));  // connect and error
    // The second connection accepted is onData's, whichever was first.
    int other = -1;
    ASSERT_TRUE(runUntil([&] { return (other = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    ASSERT_EQ(send(listener.peer, "x", 1, 0), 1);
    ASSERT_EQ(send(other, "x", 1, 0), 1);
    ASSERT_TRUE(runUntil([&] { return destroyed == 3; }));
    EXPECT_FALSE(runner_.isWatched(dataFd));
    close(other);
}

// A listener whose accept queue is full drops further SYNs: the connect
// stays unanswered, and the test clock runs out its 1000 ticks.
TEST_F(StreamConnectionTest, UnansweredConnectTimesOutAfterTenSeconds) {
    Listener listener(true, 0);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(listener.port), {kLoopback}, {}};
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    uint64_t nowMs = 0;
    runner_.setClockForTesting([&] { return nowMs; });
    runner_.runOnce(0);
    Ref<StreamConnection> connection = openTo(listener.port);
    nowMs = 9990;
    runPasses(3);
    EXPECT_TRUE(seen_.empty());
    nowMs = 10000;
    runPasses(3);
    EXPECT_EQ(seen_, std::vector<std::string>{"error connection timeout"});
    close(filler);
}

// A peer that closed and then reset: the next send meets EPIPE, which
// without MSG_NOSIGNAL raises SIGPIPE. The signal is blocked here, so that
// a fault shows as a pending signal instead of killing the test.
TEST_F(StreamConnectionTest, SendToAResetPeerRaisesNoSignal) {
    Listener listener;
    Ref<StreamConnection> connection = openTo(listener.port);
    ASSERT_TRUE(runUntil([&] { return listener.accepted() && !seen_.empty(); }));
    close(listener.peer);  // FIN; the loop is not run, so the close is not read
    listener.peer = -1;
    pollfd finArrived{connection->fd(), POLLRDHUP, 0};
    ASSERT_EQ(poll(&finArrived, 1, 2000), 1);
    connection->write("a", 1, true);  // goes out; the closed peer answers RST
    pollfd resetArrived{connection->fd(), 0, 0};
    ASSERT_EQ(poll(&resetArrived, 1, 2000), 1);
    sigset_t pipe, saved, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe, &saved);
    connection->write("b", 1, true);
    sigpending(&pending);
    const bool raised = sigismember(&pending, SIGPIPE);
    const timespec none{0, 0};
    if (raised) sigtimedwait(&pipe, nullptr, &none);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_FALSE(raised);
    EXPECT_EQ(connection->errorText(), nv::sysctlErrorStr("send", EPIPE));
}

}  // namespace
