#include "tests/kit/UdpPeer.h"

#include "tests/kit/Sockets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A failed bind shows as datagrams that never come.
UdpPeer::UdpPeer(const std::string& address, uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bindIpv4(fd_, address.c_str(), port);
}

UdpPeer::~UdpPeer() { close(fd_); }

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
