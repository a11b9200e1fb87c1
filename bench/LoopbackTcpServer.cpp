#include "bench/LoopbackTcpServer.h"

#include "bench/ProcessReadings.h"
#include "tests/kit/Sockets.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kUnused = 0, kWaiting = 1, kAnswered = 2;

// Short texts into an empty socket buffer: one send takes them whole.
void sendText(int fd, const char* text) {
    ssize_t ignored = send(fd, text, std::strlen(text), MSG_NOSIGNAL);
    (void)ignored;
}

bool watch(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

LoopbackTcpServer::LoopbackTcpServer(const std::vector<std::string>& addresses, Mode mode) : mode_(mode) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0 || !watch(epoll_, wake_)) return;
    for (const std::string& address : addresses) {
        uint16_t port = 0;
        const int listener = openTcpListener(address.c_str(), 4096, SOCK_NONBLOCK | SOCK_CLOEXEC, &port);
        if (listener < 0) return;
        listeners_.push_back(listener);
        ports_.push_back(port);
        if (!watch(epoll_, listener)) return;
    }
    thread_ = std::thread([this] { serve(); });
}

LoopbackTcpServer::~LoopbackTcpServer() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        ssize_t ignored = write(wake_, &one, sizeof one);
        (void)ignored;
        thread_.join();
    }
    for (size_t fd = 0; fd < answered_.size(); ++fd)
        if (answered_[fd] != kUnused) close(static_cast<int>(fd));
    for (int listener : listeners_) close(listener);
    if (wake_ >= 0) close(wake_);
    if (epoll_ >= 0) close(epoll_);
}

double LoopbackTcpServer::cpuSeconds() {
    return ProcessReadings::threadCpuSeconds(thread_);
}

void LoopbackTcpServer::serve() {
    epoll_event events[256];
    char buffer[512];
    for (;;) {
        const int count = epoll_wait(epoll_, events, 256, -1);
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_) return;
            if (isListener(fd)) {
                acceptAll(fd);
                continue;
            }
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            uint8_t& state = answered_[static_cast<size_t>(fd)];
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                state = kUnused;
                close(fd);  // also leaves the epoll set
                --open_;
                continue;
            }
            if (got > 0 && mode_ == Mode::banner && state == kWaiting &&
                std::memchr(buffer, '\n', static_cast<size_t>(got))) {
                state = kAnswered;
                sendText(fd, "250 ok\r\n");
            }
        }
    }
}

bool LoopbackTcpServer::isListener(int fd) const {
    for (int listener : listeners_)
        if (fd == listener) return true;
    return false;
}

void LoopbackTcpServer::acceptAll(int listener) {
    // Bounded per report so that reads keep their turn.
    for (int i = 0; i < 1024; ++i) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ++accepted_;
        if (mode_ == Mode::closing || mode_ == Mode::resetting) {
            if (mode_ == Mode::resetting) {
                const linger abort{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            close(fd);
            continue;
        }
        const auto slot = static_cast<size_t>(fd);
        if (answered_.size() <= slot) answered_.resize(slot * 2 + 1, kUnused);
        answered_[slot] = kWaiting;
        ++open_;
        watch(epoll_, fd);
        if (mode_ == Mode::banner) sendText(fd, "220 ready\r\n");
    }
}
