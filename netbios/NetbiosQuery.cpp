#include "netbios/NetbiosQuery.h"

#include "protocol/Fields.h"
#include "netbios/NetbiosEndpoint.h"
#include "netbios/NetbiosPacket.h"
#include "nv/sysctlErrorStr.h"
#include "support/IPAddr.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

NetbiosQuery::~NetbiosQuery() {
    if (queryId != kNoId) allocator->free(queryId);
    // `link` unlinks the query from the pending table as it is destroyed.
}

void NetbiosQuery::start() {
    NetbiosEndpoint* endpoint = NetbiosEndpoint::published;
    if (!endpoint->allocator.available()) {
        replyFailure("too many requests");
        return;
    }
    allocator = &endpoint->allocator;
    queryId = allocator->allocate();

    uint8_t scratch[NetbiosPacket::kScratchSize];
    size_t length = NetbiosPacket::buildStatusRequest(scratch, static_cast<uint16_t>(queryId));

    const sockaddr_in target = IPAddr::socketAddress(request.get<nv::be32_id>(field::address), NetbiosPacket::kPort);
    ssize_t sent = sendto(endpoint->socket->fd(), scratch, length, MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent > static_cast<ssize_t>(length) - 1) {
        endpoint->pending.insert(*this);
        return;
    }
    replyFailure(nv::sysctlErrorStr("sendto", errno));
}
