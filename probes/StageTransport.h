// What the send/expect sequence (StageSequence) needs from the probe that
// runs it: a way to send one string over the probe's transport. TcpProbe and
// UdpProbe implement it; tests use a fake.
#pragma once

#include <cstdint>

class StageTransport {
public:
    // Hands one string to the transport in one call (a TCP write with flush,
    // or one UDP datagram). The outcome is the transport's business: the
    // sequence neither sees nor waits for it.
    virtual void send(const uint8_t* data, uint32_t length) = 0;

protected:
    ~StageTransport() = default;
};
