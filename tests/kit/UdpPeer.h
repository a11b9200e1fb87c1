// A UDP socket for tests: bound to a loopback address and port, receiving
// with a time limit, answering whoever sent last.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

class UdpPeer {
public:
    // Binds to address:port (port 0: any).
    UdpPeer(const std::string& address, uint16_t port);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16_t port() const;
    // Waits up to timeoutMs for one datagram; false when none came.
    bool receive(std::vector<uint8_t>* datagram, int timeoutMs);
    const sockaddr_in& lastSender() const { return lastSender_; }
    bool reply(const std::vector<uint8_t>& datagram);
    bool sendTo(const sockaddr_in& to, const std::vector<uint8_t>& datagram);

private:
    int fd_ = -1;
    sockaddr_in lastSender_{};
};
