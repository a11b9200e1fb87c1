// What one read of a DatagramSocket yielded, handed to its receive callback.
//
// The record and the bytes it points at live in the receive routine's frame:
// both are valid only during the callback call, and a consumer that keeps
// bytes copies them.
#pragma once

#include <cstdint>

struct DatagramRecord {
    // True when the read yielded no bytes: an error, or a datagram of length 0.
    bool failed = true;
    // Bytes received, at most DatagramSocket::kReceiveSize; 0 when failed.
    int32_t length = 0;
    // The received bytes; null when failed.
    const uint8_t* data = nullptr;
    // The sender's IPv4 address in network byte order; 0 when failed.
    uint32_t sourceAddress = 0;
    // The sender's UDP port; 0 when failed.
    uint32_t sourcePort = 0;
    // The read's error number when it failed (ECONNREFUSED after an ICMP port
    // unreachable on a connected socket, EAGAIN when the datagram that made
    // the socket readable was dropped); 0 for a datagram of length 0 and for
    // every successful read. This is what tells an empty answer from an error.
    int error = 0;
};
