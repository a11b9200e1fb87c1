#include "tests/kit/TcpPeer.h"

#include "tests/kit/Sockets.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

TcpPeer::TcpPeer(const std::string& address, Script script, int connections) {
    listener_ = openTcpListener(address.c_str(), 512, 0, &port_);
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (listener_ < 0 || wake_ < 0) return;
    thread_ = std::thread([this, script = std::move(script), connections] { serve(script, connections); });
}

TcpPeer::~TcpPeer() {
    stopping_ = true;
    if (wake_ >= 0) eventfd_write(wake_, 1);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    if (wake_ >= 0) close(wake_);
}

void TcpPeer::serve(Script script, int connections) {
    for (int served = 0; served < connections;) {
        // Once stopping, a connection already made (waiting to be accepted)
        // is still served: a probe may connect and finish before this
        // thread first looks.
        pollfd p[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(p, 2, stopping_ ? 0 : -1) < 1) {
            if (stopping_) return;
            continue;
        }
        if (!(p[0].revents & POLLIN)) {
            if (stopping_) return;
            continue;
        }
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        ++accepted_;
        ++served;
        script(fd);
        close(fd);
    }
}

bool TcpPeer::sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool TcpPeer::readUntil(int fd, const std::string& text, int timeoutMs, std::string* seen) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen->find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        seen->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

std::string TcpPeer::readToClose(int fd, int timeoutMs) {
    std::string seen;
    readUntil(fd, std::string(1, '\0') + "never-sent-marker", timeoutMs, &seen);
    return seen;
}
