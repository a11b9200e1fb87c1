#include "tests/kit/UdpPeer.h"

#include "tests/kit/Sockets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

UdpPeer::UdpPeer(const std::string& address, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) return;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bindIpv4(fd_, address.c_str(), port) == 0) {
        close(fd_);
        fd_ = -1;
    }
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) close(fd_);
}

void UdpPeer::setReceiveBuffer(int bytes) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
}

uint16_t UdpPeer::port() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool UdpPeer::receive(std::vector<uint8_t>* datagram, int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return false;
    datagram->resize(70000);
    socklen_t length = sizeof lastSender_;
    ssize_t n = recvfrom(fd_, datagram->data(), datagram->size(), 0,
                         reinterpret_cast<sockaddr*>(&lastSender_), &length);
    if (n < 0) return false;
    datagram->resize(static_cast<size_t>(n));
    return true;
}

bool UdpPeer::reply(const std::vector<uint8_t>& datagram) {
    return sendTo(lastSender_, datagram);
}

bool UdpPeer::sendTo(const sockaddr_in& to, const std::vector<uint8_t>& datagram) {
    return sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(datagram.size());
}
