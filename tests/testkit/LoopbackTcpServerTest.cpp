// The many-connection server the probe benchmarks measure against.
#include "tests/kit/LoopbackTcpServer.h"
#include "tests/kit/Sockets.h"
#include "tests/kit/TcpPeer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

int connectTo(const char* address, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ipv4(address);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    return fd;
}

// What arrives within timeoutMs, or before the server closes.
std::string readFor(int fd, int timeoutMs) {
    return TcpPeer::readToClose(fd, timeoutMs);
}

TEST(LoopbackTcpServerTest, BannerServerGreetsEveryConnectionAndAnswersItsFirstLineOnly) {
    LoopbackTcpServer server({"127.0.9.40", "127.0.9.41"}, LoopbackTcpServer::Mode::banner);
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.ports().size(), 2u);
    std::string seen;
    const int first = connectTo("127.0.9.40", server.ports()[0]);
    const int second = connectTo("127.0.9.41", server.ports()[1]);
    ASSERT_TRUE(TcpPeer::readUntil(first, "220 ready\r\n", 5000, &seen));
    seen.clear();
    ASSERT_TRUE(TcpPeer::readUntil(second, "220 ready\r\n", 5000, &seen));
    // Counted before the greeting goes out.
    EXPECT_EQ(server.accepted(), 2u);
    EXPECT_EQ(server.open(), 2);

    seen.clear();
    ASSERT_TRUE(TcpPeer::sendAll(first, "HELO x\r\nNOOP\r\n"));
    ASSERT_TRUE(TcpPeer::readUntil(first, "250 ok\r\n", 5000, &seen));
    ASSERT_TRUE(TcpPeer::sendAll(first, "NOOP\r\n"));
    EXPECT_EQ(seen + readFor(first, 200), "250 ok\r\n");
    // A partial line is no line.
    ASSERT_TRUE(TcpPeer::sendAll(second, "HELO"));
    EXPECT_EQ(readFor(second, 200), "");

    // The next connection may reuse the first one's descriptor on the
    // server; it starts unanswered all the same.
    close(first);
    const int third = connectTo("127.0.9.40", server.ports()[0]);
    seen.clear();
    ASSERT_TRUE(TcpPeer::readUntil(third, "220 ready\r\n", 5000, &seen));
    ASSERT_TRUE(TcpPeer::sendAll(third, "HELO y\r\n"));
    EXPECT_TRUE(TcpPeer::readUntil(third, "250 ok\r\n", 5000, &seen));
    EXPECT_EQ(server.accepted(), 3u);
    close(second);
    close(third);
}

TEST(LoopbackTcpServerTest, SilentServerHoldsConnectionsUntilItStops) {
    auto server = std::make_unique<LoopbackTcpServer>(std::vector<std::string>{"127.0.9.42"},
                                                      LoopbackTcpServer::Mode::silent);
    ASSERT_TRUE(server->ok());
    int fds[3];
    for (int& fd : fds) fd = connectTo("127.0.9.42", server->ports()[0]);
    ASSERT_TRUE(TcpPeer::sendAll(fds[0], "HELO x\r\n"));
    pollfd p{fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0) << "the silent server said something or closed";
    server.reset();
    for (int fd : fds) {
        EXPECT_EQ(readFor(fd, 5000), "");
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "still open after the server stopped";
        close(fd);
    }
}

}  // namespace
