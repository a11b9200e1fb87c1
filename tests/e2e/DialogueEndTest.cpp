// A dialogue that ends with a send (expect_0 ^220, send_1 QUIT, nothing
// awaited after it): the success reply comes at once, and the send still
// reaches the peer whole, followed by a clean close rather than a reset,
// even when the peer reads it only after the reply and has bytes of its own
// in flight.
#include "ProbeFixture.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

namespace {

// A peer that greets, talks on once answered, and reads nothing until told
// to; its receive window is small, so a large send waits in the service.
class SlowReader {
public:
    SlowReader() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 1) != 0) return;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SlowReader() {
        startReading();
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }

    void startReading() {
        if (!reading_) go_.set_value();
        reading_ = true;
    }

    uint16_t port = 0;
    std::promise<size_t> bytes;   // what it read before the end
    std::promise<bool> cleanEnd;  // the end was a close, not a reset

private:
    void serve() {
        pollfd ready{listener_, POLLIN, 0};
        int fd = poll(&ready, 1, 20000) == 1 ? accept(listener_, nullptr, nullptr) : -1;
        if (fd >= 0) {
            send(fd, "220 ready\r\n", 11, MSG_NOSIGNAL);
            // Keeps talking once the answer has begun to arrive: by then
            // the probe has met its expectation and may be gone.
            pollfd answer{fd, POLLIN, 0};
            poll(&answer, 1, 20000);
            const std::string chatter(3000, 'x');
            send(fd, chatter.data(), chatter.size(), MSG_NOSIGNAL);
        }
        go_.get_future().wait();
        size_t total = 0;
        bool clean = false;
        char buffer[8192];
        for (pollfd in{fd, POLLIN, 0}; fd >= 0 && poll(&in, 1, 10000) == 1;) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                clean = n == 0;
                break;
            }
            total += static_cast<size_t>(n);
        }
        if (fd >= 0) close(fd);
        bytes.set_value(total);
        cleanEnd.set_value(clean);
    }

    int listener_ = -1;
    std::promise<void> go_;  // the peer may start reading
    bool reading_ = false;
    std::thread thread_;
};

class DialogueEndTest : public ProbeFixture {};

TEST_F(DialogueEndTest, LastSendReachesThePeerWholeAfterTheReply) {
    SlowReader peer;
    ASSERT_NE(peer.port, 0);
    const std::string quit(60000, 'Q');
    std::future<size_t> bytes = peer.bytes.get_future();
    std::future<bool> cleanEnd = peer.cleanEnd.get_future();
    expectSuccess(call(probe(CMD_TCP_PROBE, peer.port, {{field::expect_0, "^220"}, {field::send_1, quit}})));
    peer.startReading();
    EXPECT_EQ(bytes.get(), quit.size());
    EXPECT_TRUE(cleanEnd.get()) << "the service closed with a reset";
}

}  // namespace
