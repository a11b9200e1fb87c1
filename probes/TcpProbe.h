// A TCP service probe (command 1): connects to the host and port, then runs
// the send/expect sequence over the connection. Replies once: success with
// `connected` when the sequence ends, failure with the connection's text,
// or the timeout.
#pragma once

#include "core/ProbeRequest.h"
#include "core/Ref.h"
#include "net/StreamConnection.h"
#include "probes/StageSequence.h"
#include "probes/StageTransport.h"

#include <string>

class TcpProbe : public ProbeRequest, private StageTransport {
public:
    ~TcpProbe() override = default;

    void start();
    // The connection's data callback: (nullptr, 0) once when connected, then
    // every chunk read.
    void onData(const uint8_t* data, uint32_t length);
    // The connection's error callback: at most once, from the loop.
    void onError(std::string text);

private:
    void send(const uint8_t* data, uint32_t length) override;
    // The sequence has ended: release the transport, then reply success
    // (which deletes this probe).
    void finish();

    // Declared before the connection, so that deletion releases the
    // connection first and then the expectations.
    StageSequence sequence;
    Ref<StreamConnection> connection;
};
