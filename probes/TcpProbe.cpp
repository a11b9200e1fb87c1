#include "probes/TcpProbe.h"

#include "protocol/Fields.h"

void TcpProbe::start() {
    connection = new StreamConnection;
    connection->open(request.get<nv::be32_id>(field::address), request.get<nv::u32_id>(field::port));
    connection->setDataCallback([this](const uint8_t* data, uint32_t length) { onData(data, length); });
    connection->setErrorCallback([this](std::string text) { onError(std::move(text)); });
    sequence.build(request, true);
    if (request.get<nv::bool_id>(field::hold_first_send)) return;
    std::string first = request.get<nv::string_id>(field::send_0);
    if (!first.empty()) connection->write(first.data(), static_cast<uint32_t>(first.size()), true);
}

void TcpProbe::onData(const uint8_t* data, uint32_t length) {
    if (sequence.step(request, data, length, *this)) finish();
}

void TcpProbe::onError(std::string text) {
    replyFailure(text);
}

void TcpProbe::send(const uint8_t* data, uint32_t length) {
    connection->write(data, length, true);
}

void TcpProbe::finish() {
    // The connection goes first, seeing the last send through to the peer
    // on its own; the reply does not wait for it.
    connection->closeWhenSent();
    connection = nullptr;
    // Data reaches the sequence only once connected, so every success is.
    reply.insert<nv::bool_id>(field::connected, true);
    replySuccess();
}
