// A TCP server for the probe benchmarks, on a thread of its own in the bench
// process (the service's single-thread rule does not bind the bench), one
// epoll loop serving every connection so that it is not what limits the
// rate being measured; cpuSeconds() lets a benchmark show that.
//
// banner: greets with "220 ready\r\n", answers the first line it reads
//         with "250 ok\r\n", closes when the client closes.
// silent: accepts and holds every connection, says nothing, closes when
//         the client closes; for probes that must stay in flight.
// Header-only because every bench/*.cpp becomes a program of its own.
#pragma once

#include "bench/BenchService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

class BenchTcpServer {
public:
    enum class Mode { banner, silent };

    // One listener on each address, each on a port the system chooses.
    // Several addresses give the clients' ephemeral ports room: closed
    // connections linger in TIME_WAIT per (source, destination) pair.
    BenchTcpServer(const std::vector<std::string>& addresses, Mode mode) : mode_(mode) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) return;
        for (const std::string& address : addresses) {
            int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (listener < 0) return;
            int one = 1;
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, address.c_str(), &local.sin_addr);
            socklen_t length = sizeof local;
            listeners_.push_back(listener);
            if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                listen(listener, 4096) != 0 ||
                getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
                return;
            ports_.push_back(ntohs(local.sin_port));
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = listener;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, listener, &event);
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~BenchTcpServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        for (size_t fd = 0; fd < answered_.size(); ++fd)
            if (answered_[fd] != kUnused) close(static_cast<int>(fd));
        for (int listener : listeners_) close(listener);
        if (epoll_ >= 0) close(epoll_);
    }
    BenchTcpServer(const BenchTcpServer&) = delete;
    BenchTcpServer& operator=(const BenchTcpServer&) = delete;

    bool ok() const { return thread_.joinable(); }
    // The port of each address, in the order given.
    const std::vector<uint16_t>& ports() const { return ports_; }
    uint64_t accepted() const { return accepted_; }
    int open() const { return open_; }

    // CPU time the serving thread has used.
    double cpuSeconds() { return threadCpuSeconds(thread_); }

private:
    // Per descriptor: unused, or whether its line was answered yet.
    static constexpr uint8_t kUnused = 0, kWaiting = 1, kAnswered = 2;

    void serve() {
        epoll_event events[256];
        char buffer[512];
        while (!stopping_) {
            int count = epoll_wait(epoll_, events, 256, 50);
            for (int i = 0; i < count; ++i) {
                int fd = events[i].data.fd;
                if (isListener(fd)) {
                    acceptAll(fd);
                    continue;
                }
                ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    answered_[static_cast<size_t>(fd)] = kUnused;
                    close(fd);  // also leaves the epoll set
                    --open_;
                    continue;
                }
                if (got > 0 && mode_ == Mode::banner && answered_[static_cast<size_t>(fd)] == kWaiting &&
                    std::memchr(buffer, '\n', static_cast<size_t>(got))) {
                    answered_[static_cast<size_t>(fd)] = kAnswered;
                    sendText(fd, "250 ok\r\n");
                }
            }
        }
    }

    bool isListener(int fd) const {
        for (int listener : listeners_)
            if (fd == listener) return true;
        return false;
    }

    void acceptAll(int listener) {
        // Bounded per report so that reads keep their turn.
        for (int i = 0; i < 1024; ++i) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            if (answered_.size() <= static_cast<size_t>(fd)) answered_.resize(static_cast<size_t>(fd) * 2 + 1, kUnused);
            answered_[static_cast<size_t>(fd)] = kWaiting;
            ++accepted_;
            ++open_;
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
            if (mode_ == Mode::banner) sendText(fd, "220 ready\r\n");
        }
    }

    // Short texts into an empty socket buffer: one send takes them whole.
    static void sendText(int fd, const char* text) {
        ssize_t ignored = send(fd, text, std::strlen(text), MSG_NOSIGNAL);
        (void)ignored;
    }

    Mode mode_;
    std::vector<int> listeners_;
    std::vector<uint16_t> ports_;
    int epoll_ = -1;
    std::vector<uint8_t> answered_;  // touched by the serving thread only
    std::atomic<uint64_t> accepted_{0};
    std::atomic<int> open_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
