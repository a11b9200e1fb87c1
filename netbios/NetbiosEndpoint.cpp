#include "netbios/NetbiosEndpoint.h"

#include "protocol/Fields.h"
#include "netbios/NetbiosPacket.h"
#include "support/IPAddr.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <iostream>

NetbiosEndpoint* NetbiosEndpoint::published = nullptr;

NetbiosEndpoint* NetbiosEndpoint::create() {
    auto* endpoint = new NetbiosEndpoint;
    auto* socket = new DatagramSocket;
    socket->open();
    endpoint->socket = socket;
    socket->bind();
    socket->absorbBursts(kReceiveBufferBytes, kReadsPerReport);
    socket->setReceiveCallback([endpoint](const DatagramRecord& record) { endpoint->onDatagram(record); });
    return endpoint;
}

void NetbiosEndpoint::sendRaw(const nv::message& request) {
    std::string payload = request.get<nv::string_id>(field::payload);
    const sockaddr_in target =
        IPAddr::socketAddress(request.get<nv::be32_id>(field::address), request.get<nv::u32_id>(field::port));
    sendto(socket->fd(), payload.data(), payload.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&target), sizeof target);
}

void NetbiosEndpoint::onDatagram(const DatagramRecord& record) {
    if (record.failed) return;
    NetbiosPacket packet(record.data, static_cast<uint32_t>(record.length));
    NetbiosPacket::Verdict verdict = packet.readStatusResponse();
    if (verdict != NetbiosPacket::Verdict::ok) {
        std::string line = packet.line(verdict);
        if (!line.empty()) std::cout << line << std::endl;
        return;
    }
    NetbiosQuery* query = pending.find(packet.transactionId());
    if (!query) {
        std::cout << "Netbios: " << "unknown id " << packet.transactionId() << std::endl;
        return;
    }
    query->reply.insert<nv::string_id>(field::host_name, packet.hostName);
    query->reply.insert<nv::string_id>(field::group_name, packet.groupName);
    query->replySuccess();
}
