#include "probes/UdpProbe.h"

#include "protocol/Fields.h"

void UdpProbe::start() {
    auto* socket = new DatagramSocket;
    socket->open();
    datagramSocket = socket;
    socket->bind();
    socket->connect(request.get<nv::be32_id>(field::address), request.get<nv::u32_id>(field::port));
    socket->setReceiveCallback([this](const DatagramRecord& record) { onDatagram(record); });
    sequence.build(request, false);
    std::string first = request.get<nv::string_id>(field::send_0);
    if (!first.empty()) socket->send(first.data(), static_cast<uint32_t>(first.size()));
}

void UdpProbe::onDatagram(const DatagramRecord& record) {
    // A read that failed with an error (the ICMP port unreachable of a
    // closed port arrives as ECONNREFUSED) is no answer: taking it for one
    // would report a closed port as a service that answers. A datagram of
    // length 0 is a real answer and counts, as an empty chunk.
    if (record.failed && record.error != 0) return;
    if (sequence.step(request, record.data, static_cast<uint32_t>(record.length), *this)) finish();
}

void UdpProbe::send(const uint8_t* data, uint32_t length) {
    datagramSocket->send(data, length);
}

void UdpProbe::finish() {
    datagramSocket = nullptr;
    replySuccess();
}
