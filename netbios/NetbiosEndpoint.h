// The one UDP endpoint of the process, shared by the NetBIOS lookups and
// the raw datagram sends: its socket, the lookups waiting for answers, and
// the allocator of their query ids. Created once at startup and published
// before the loop runs; never destroyed.
#pragma once

#include "core/Ref.h"
#include "net/DatagramSocket.h"
#include "netbios/PendingTable.h"
#include "nv/Allocator.h"
#include "nv/message.h"

class NetbiosEndpoint {
public:
    static constexpr uint32_t kQueryIds = 65000;
    // Answers to many lookups come back together: room for a burst of them
    // in the kernel, and a batch of them read per readiness report.
    static constexpr int kReceiveBufferBytes = 4 << 20;
    static constexpr uint32_t kReadsPerReport = 64;

    // Creates the endpoint with its socket opened, bound to a port the
    // system chooses, and wired to the response handler. Failures to open
    // or bind have printed their line; the endpoint works on regardless
    // (every lookup then fails at its send).
    static NetbiosEndpoint* create();
    // The endpoint of the process, set once at startup.
    static NetbiosEndpoint* published;

    // Command 4: sends the request's payload as one datagram to its address
    // and port. No reply, no line; the result is ignored.
    void sendRaw(const nv::message& request);

    // The response handler: checks each datagram and completes the query
    // whose id it carries.
    void onDatagram(const DatagramRecord& record);

    Ref<DatagramSocket> socket;
    PendingTable pending;
    nv::Allocator allocator{0, kQueryIds};
};
