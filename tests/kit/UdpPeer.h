// A UDP socket for tests: bound to a loopback address and port, receiving
// with a time limit, answering whoever sent last.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

class UdpPeer {
public:
    // Binds to address:port (port 0: any); ok() tells whether it worked.
    UdpPeer(const std::string& address, uint16_t port);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Room for a burst of datagrams (as root, past the system's cap).
    void setReceiveBuffer(int bytes);
    uint16_t port() const;
    // Waits up to timeoutMs for one datagram; false when none came.
    bool receive(std::vector<uint8_t>* datagram, int timeoutMs);
    // The sender of the last datagram received.
    const sockaddr_in& lastSender() const { return lastSender_; }
    uint16_t lastSenderPort() const { return ntohs(lastSender_.sin_port); }
    bool reply(const std::vector<uint8_t>& datagram);
    bool sendTo(const sockaddr_in& to, const std::vector<uint8_t>& datagram);

private:
    int fd_ = -1;
    sockaddr_in lastSender_{};
};
