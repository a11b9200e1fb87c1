#include "netbios/NetbiosEndpoint.h"

#include "core/DiagnosticLog.h"
#include "netbios/NetbiosPacket.h"
#include "protocol/Fields.h"
#include "support/IPAddr.h"

#include <netinet/in.h>
#include <sys/socket.h>


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
        if (!line.empty()) DiagnosticLog::standardOutput().write(line);
        return;
    }
    NetbiosQuery* query = pending.find(packet.transactionId());
    // Only the host asked may answer: ids are few and come in order, so a
    // host that sees one lookup could otherwise name the hosts of the next.
    if (query && query->request.get<nv::be32_id>(field::address) != record.sourceAddress) query = nullptr;
    if (!query) {
        DiagnosticLog::standardOutput().write("Netbios: unknown id " + std::to_string(packet.transactionId()));
        return;
    }
    query->reply.insert<nv::string_id>(field::host_name, packet.hostName);
    query->reply.insert<nv::string_id>(field::group_name, packet.groupName);
    if (query->request.get<nv::bool_id>(field::all_names)) {
        query->reply.insert<nv::string_id>(field::names, packet.nameTable());
        const std::string unit = packet.unitId();
        if (!unit.empty()) query->reply.insert<nv::string_id>(field::unit_id, unit);
    }
    query->replySuccess();
}
