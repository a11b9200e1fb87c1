// The bus's wire format (docs/bus-protocol.md): one message per
// SOCK_SEQPACKET packet, big-endian integers, built by shifts so that the
// bytes are the same on every host.
#pragma once

#include "nv/message.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace nv::wire {

constexpr uint32_t kMagic = 0x4E565042;  // "NVPB"
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 20;
// Admits a request carrying a 65,507-byte payload (the largest UDP datagram)
// with room to spare for its other fields.
constexpr size_t kMaxPacket = 72 * 1024;
constexpr size_t kMaxFields = 256;

enum class Kind : uint8_t { request = 1, reply = 2 };

struct Packet {
    Kind kind = Kind::request;
    uint32_t sequence = 0;
    uint32_t arg = 0;  // requests: the handler's second argument
    message body;      // replies: status, error number and text included
};

// Encodes a request (arg) or a reply (body's status). Never fails; the
// caller keeps within kMaxPacket.
std::string encode(Kind kind, uint32_t sequence, uint32_t arg, const message& body);

enum class DecodeResult { ok, noHeader, badMagic, badVersion, badKind, truncated,
                          badType, badBool, duplicateField, tooManyFields, tooLarge,
                          badReserved, badStatus, truncatedText };
// Reads one packet of `size` bytes. A size above kMaxPacket (the receiver
// learns the real length with MSG_TRUNC) is refused as tooLarge; only the
// first kHeaderSize bytes are read then. On any failure where the magic
// matched and the 20-byte header is present (everything but noHeader and
// badMagic), *sequenceKnown is true and out->sequence holds the packet's
// sequence number, so the sender can be answered.
DecodeResult decode(const uint8_t* data, size_t size, Packet* out, bool* sequenceKnown);
// A short phrase such as "truncated field", for "bad message: <phrase>".
const char* describe(DecodeResult result);

// The exact size encode() would produce.
size_t encodedSize(Kind kind, const message& body);

}  // namespace nv::wire
