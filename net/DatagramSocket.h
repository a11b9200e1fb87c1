// DatagramSocket: one IPv4 UDP socket watched by the loop for readability,
// handing every datagram it reads to a receive callback.
//
// Held through Ref (its only holder is its owner: the process-wide NetBIOS
// endpoint, or one UDP probe); the last release destroys it, which stops the
// loop watching the descriptor and closes it. Failures are reported by a
// boolean result and one diagnostic line on standard output, "UDP: ...";
// the owners go on regardless, and every later step on a socket that lost
// its descriptor fails in its system call and writes its own line.
//
// The descriptor is non-blocking: the loop thread must never wait on it.
#pragma once

#include "core/Ref.h"
#include "net/DatagramRecord.h"

#include <cstdint>
#include <functional>

class DatagramSocket : public RefCounted {
public:
    using ReceiveCallback = std::function<void(const DatagramRecord& record)>;

    // A longer datagram is cut to this many bytes; the rest is lost.
    static constexpr uint32_t kReceiveSize = 4096;

    DatagramSocket() = default;
    ~DatagramSocket() override;
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Creates the descriptor and has the loop watch it for readability.
    bool open();
    // Sets SO_REUSEADDR and binds to the wildcard address, a port the system
    // picks. A failed bind closes the descriptor.
    bool bind();
    // `address` in network byte order; the low 16 bits of `port` are the
    // port. A failed connect closes the descriptor.
    void connect(uint32_t address, uint32_t port);
    // One datagram on the connected socket; false unless all of it went out.
    bool send(const void* data, uint32_t length);

    void setReceiveCallback(ReceiveCallback callback);

    // For a socket that many peers answer at once (the shared endpoint): a
    // larger kernel receive buffer, so that a burst of answers is not dropped
    // before the loop gets to it (forced past the system's cap where the
    // process may do so), and up to `reads` datagrams taken per readiness
    // report instead of one. Best effort: a refusal leaves the defaults.
    void absorbBursts(int bufferBytes, uint32_t reads);

    // -1 while the socket has no descriptor. The shared endpoint sends on it
    // directly with sendto.
    int fd() const { return fd_; }

    // The receive routine the loop runs when the descriptor is readable:
    // reads exactly one datagram and calls the receive callback as its last
    // step, since the callback may drop the last reference to this socket.
    void onReadable(int descriptor, unsigned events);

private:
    // Stops watching and closes the descriptor after a failed step.
    void closeDescriptor();

    ReceiveCallback receiveCallback_;
    int fd_ = -1;
    uint32_t readsPerReport_ = 1;
    // Set while a callback runs that may destroy this socket: the
    // destructor raises it, and the read loop stops.
    bool* destroyed_ = nullptr;
};
