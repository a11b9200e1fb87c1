// A UDP service probe (command 2): a connected datagram socket of its own,
// `send_0` as one datagram, then the send/expect sequence over the
// datagrams that come back. Replies once: success when the sequence ends,
// or the timeout; socket troubles are only logged.
#pragma once

#include "core/ProbeRequest.h"
#include "core/Ref.h"
#include "net/DatagramSocket.h"
#include "probes/StageSequence.h"
#include "probes/StageTransport.h"

class UdpProbe : public ProbeRequest, private StageTransport {
public:
    ~UdpProbe() override = default;

    void start();
    // The socket's receive callback, once per read.
    void onDatagram(const DatagramRecord& record);

private:
    void send(const uint8_t* data, uint32_t length) override;
    // The sequence has ended: release the transport, then reply success
    // (which deletes this probe).
    void finish();

    // Declared before the socket, so that deletion releases the socket
    // first and then the expectations.
    StageSequence sequence;
    Ref<DatagramSocket> datagramSocket;
};
