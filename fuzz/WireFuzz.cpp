// libFuzzer target for the bus codec: decode any packet, and re-encode what
// decodes.
//
// Input: the packet itself (libFuzzer hands it over in a heap block of its
// exact size, so AddressSanitizer reports any read past it). Traps when
// - a failure has no description, is "too short" for a whole header, or
//   says the sequence is known (or not) against what the header holds, or
//   gives another sequence than the header's;
// - a packet that decodes does not re-encode to as many bytes as it had,
//   to the header and status text it had, or to what encodedSize says;
// - the re-encoding does not decode to an equal message, kind, sequence and
//   arg, or does not re-encode to itself (fields go out in key order);
// - a route on the message changes the bytes or the equality;
// - a packet said to be longer than the limit is read past its header.
#include "nv/WireCodec.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

using nv::wire::DecodeResult;

uint32_t be32At(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

bool headerReadable(const uint8_t* data, size_t size) {
    return size >= nv::wire::kHeaderSize && be32At(data) == nv::wire::kMagic;
}

// The failure is described, and the sequence is known exactly when the
// header is there with the right magic.
void checkFailure(const uint8_t* data, size_t size, DecodeResult result, const nv::wire::Packet& packet,
                  bool sequenceKnown) {
    if (sequenceKnown != headerReadable(data, size)) __builtin_trap();
    if (sequenceKnown && packet.sequence != be32At(data + 8)) __builtin_trap();
    if (result == DecodeResult::noHeader && size >= nv::wire::kHeaderSize) __builtin_trap();
    if (std::strcmp(nv::wire::describe(result), "unknown") == 0) __builtin_trap();
}

void checkRoundTrip(const uint8_t* data, size_t size, const nv::wire::Packet& packet) {
    const nv::message& body = packet.body;
    if (nv::Route::connection(body) != 0 || nv::Route::sequence(body) != 0) __builtin_trap();
    if (packet.kind == nv::wire::Kind::request &&
        (body.status() != nv::ReplyStatus::plain || !body.statusText().empty()))
        __builtin_trap();

    std::string again = nv::wire::encode(packet.kind, packet.sequence, packet.arg, body);
    if (again.size() != size || nv::wire::encodedSize(packet.kind, body) != size) __builtin_trap();
    // The header and the status text have one encoding only; the fields may
    // have come in another order.
    size_t head = nv::wire::kHeaderSize + body.statusText().size();
    if (std::memcmp(again.data(), data, head) != 0) __builtin_trap();

    nv::wire::Packet second;
    bool sequenceKnown = false;
    DecodeResult result = nv::wire::decode(reinterpret_cast<const uint8_t*>(again.data()), again.size(),
                                           &second, &sequenceKnown);
    if (result != DecodeResult::ok || !sequenceKnown) __builtin_trap();
    if (second.kind != packet.kind || second.sequence != packet.sequence || second.arg != packet.arg ||
        !(second.body == body))
        __builtin_trap();
    if (nv::wire::encode(second.kind, second.sequence, second.arg, second.body) != again) __builtin_trap();

    // The route stays in the process: not compared, never sent.
    nv::message routed = body;
    nv::Route::set(routed, 0x1122334455667788u, packet.sequence ^ 0xffffffffu);
    if (!(routed == body)) __builtin_trap();
    if (nv::wire::encode(packet.kind, packet.sequence, packet.arg, routed) != again) __builtin_trap();
}

// The receiver hands over the length the kernel reported, which may exceed
// what it read; past the limit only the header may be read. The header sits
// alone in a block of its size, so a read of anything more is caught.
void checkOversized(const uint8_t* data, size_t size) {
    if (size < nv::wire::kHeaderSize) return;
    std::unique_ptr<uint8_t[]> header(new uint8_t[nv::wire::kHeaderSize]);
    std::memcpy(header.get(), data, nv::wire::kHeaderSize);
    size_t claimed = nv::wire::kMaxPacket + 1 + size;
    nv::wire::Packet packet;
    bool sequenceKnown = false;
    DecodeResult result = nv::wire::decode(header.get(), claimed, &packet, &sequenceKnown);
    DecodeResult expected = headerReadable(data, size) ? DecodeResult::tooLarge : DecodeResult::badMagic;
    if (result != expected) __builtin_trap();
    checkFailure(header.get(), nv::wire::kHeaderSize, result, packet, sequenceKnown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nv::wire::Packet packet;
    bool sequenceKnown = false;
    DecodeResult result = nv::wire::decode(data, size, &packet, &sequenceKnown);
    if (result == DecodeResult::ok) {
        if (!sequenceKnown) __builtin_trap();
        checkRoundTrip(data, size, packet);
    } else {
        checkFailure(data, size, result, packet, sequenceKnown);
    }
    checkOversized(data, size);
    return 0;
}
