#include "tests/kit/TcpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

TcpPeer::TcpPeer(const std::string& address, Script script, int connections) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) return;
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    socklen_t length = sizeof local;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(listener_, 512) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this, script = std::move(script), connections] { serve(script, connections); });
}

TcpPeer::~TcpPeer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
}

void TcpPeer::serve(Script script, int connections) {
    for (int served = 0; served < connections && !stopping_;) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
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

uint16_t closedTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    close(fd);
    return ntohs(local.sin_port);
}
