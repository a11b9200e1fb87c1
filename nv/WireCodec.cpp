// The bus's wire format, version 1 (docs/bus-protocol.md). Every integer is
// written and read by shifts, so the bytes do not depend on the host. A be32
// value is the exception on purpose: it is held in network order already,
// so its four bytes are copied as they stand in memory.
#include "nv/WireCodec.h"

#include <cstring>

namespace nv::wire {

namespace {

constexpr size_t kFieldHead = 5;  // u32 key, u8 type

void put32(std::string& out, uint32_t v) {
    char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 4);
}

void put8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

size_t valueSize(const message::Field& f) {
    switch (f.type) {
    case FieldType::u32:
    case FieldType::be32:
        return 4;
    case FieldType::boolean:
        return 1;
    case FieldType::string:
        return 4 + f.bytes.size();
    }
    return 0;
}

}  // namespace

size_t encodedSize(Kind kind, const message& body) {
    size_t size = kHeaderSize;
    if (kind == Kind::reply) size += body.statusText().size();
    for (const message::Field& f : body.fields()) size += kFieldHead + valueSize(f);
    return size;
}

std::string encode(Kind kind, uint32_t sequence, uint32_t arg, const message& body) {
    std::string out;
    out.reserve(encodedSize(kind, body));
    put32(out, kMagic);
    put8(out, kVersion);
    put8(out, static_cast<uint8_t>(kind));
    if (kind == Kind::request) {
        // A request has no status of its own, whatever the message holds.
        put8(out, 0);
        put8(out, 0);
        put32(out, sequence);
        put32(out, arg);
        put32(out, 0);
    } else {
        ReplyStatus status = body.status();
        put8(out, static_cast<uint8_t>(status));
        put8(out, 0);
        put32(out, sequence);
        put32(out, status == ReplyStatus::error ? body.errorCode() : 0);
        put32(out, static_cast<uint32_t>(body.statusText().size()));
        out += body.statusText();
    }
    for (const message::Field& f : body.fields()) {
        put32(out, f.key);
        put8(out, static_cast<uint8_t>(f.type));
        switch (f.type) {
        case FieldType::u32:
            put32(out, f.number);
            break;
        case FieldType::be32: {
            char b[4];
            std::memcpy(b, &f.number, 4);
            out.append(b, 4);
            break;
        }
        case FieldType::boolean:
            put8(out, f.number != 0 ? 1 : 0);
            break;
        case FieldType::string:
            put32(out, static_cast<uint32_t>(f.bytes.size()));
            out += f.bytes;
            break;
        }
    }
    return out;
}

DecodeResult decode(const uint8_t* data, size_t size, Packet* out, bool* sequenceKnown) {
    *sequenceKnown = false;
    *out = Packet{};
    if (size < kHeaderSize) return DecodeResult::noHeader;
    if (get32(data) != kMagic) return DecodeResult::badMagic;
    // Magic and sequence keep their places in every version, so even a
    // packet of another version or of any size can be answered.
    out->sequence = get32(data + 8);
    *sequenceKnown = true;
    if (size > kMaxPacket) return DecodeResult::tooLarge;
    if (data[4] != kVersion) return DecodeResult::badVersion;
    uint8_t kind = data[5];
    if (kind != static_cast<uint8_t>(Kind::request) && kind != static_cast<uint8_t>(Kind::reply))
        return DecodeResult::badKind;
    out->kind = static_cast<Kind>(kind);
    uint8_t status = data[6];
    if (data[7] != 0) return DecodeResult::badReserved;
    uint32_t arg = get32(data + 12);
    uint32_t textLength = get32(data + 16);
    size_t pos = kHeaderSize;

    if (out->kind == Kind::request) {
        if (status != 0 || textLength != 0) return DecodeResult::badStatus;
        out->arg = arg;
    } else {
        if (status > static_cast<uint8_t>(ReplyStatus::error)) return DecodeResult::badStatus;
        if (status != static_cast<uint8_t>(ReplyStatus::error) && arg != 0)
            return DecodeResult::badStatus;
        // Compared against what is left, never as pos + length: no overflow
        // where size_t is 32 bits.
        if (textLength > size - pos) return DecodeResult::truncatedText;
        out->body.setStatus(static_cast<ReplyStatus>(status), arg,
                            std::string(reinterpret_cast<const char*>(data + pos), textLength));
        pos += textLength;
    }

    message& body = out->body;
    while (pos < size) {
        if (size - pos < kFieldHead) return DecodeResult::truncated;
        if (body.size() == kMaxFields) return DecodeResult::tooManyFields;
        uint32_t key = get32(data + pos);
        uint8_t type = data[pos + 4];
        pos += kFieldHead;
        if (body.contains(key)) return DecodeResult::duplicateField;
        size_t left = size - pos;
        switch (type) {
        case static_cast<uint8_t>(FieldType::u32):
            if (left < 4) return DecodeResult::truncated;
            body.insert<u32_id>(key, get32(data + pos));
            pos += 4;
            break;
        case static_cast<uint8_t>(FieldType::be32): {
            if (left < 4) return DecodeResult::truncated;
            uint32_t held;
            std::memcpy(&held, data + pos, 4);
            body.insert<be32_id>(key, held);
            pos += 4;
            break;
        }
        case static_cast<uint8_t>(FieldType::boolean):
            if (left < 1) return DecodeResult::truncated;
            if (data[pos] > 1) return DecodeResult::badBool;
            body.insert<bool_id>(key, data[pos] == 1);
            pos += 1;
            break;
        case static_cast<uint8_t>(FieldType::string): {
            if (left < 4) return DecodeResult::truncated;
            uint32_t length = get32(data + pos);
            if (length > left - 4) return DecodeResult::truncated;
            body.insert<string_id>(key, std::string(reinterpret_cast<const char*>(data + pos + 4), length));
            pos += 4 + length;
            break;
        }
        default:
            return DecodeResult::badType;
        }
    }
    return DecodeResult::ok;
}

const char* describe(DecodeResult result) {
    switch (result) {
    case DecodeResult::ok: return "ok";
    case DecodeResult::noHeader: return "too short";
    case DecodeResult::badMagic: return "bad magic";
    case DecodeResult::badVersion: return "unsupported version";
    case DecodeResult::badKind: return "bad kind";
    case DecodeResult::truncated: return "truncated field";
    case DecodeResult::badType: return "unknown field type";
    case DecodeResult::badBool: return "bad bool value";
    case DecodeResult::duplicateField: return "duplicate field";
    case DecodeResult::tooManyFields: return "too many fields";
    case DecodeResult::tooLarge: return "too large";
    case DecodeResult::badReserved: return "reserved byte not zero";
    case DecodeResult::badStatus: return "bad status";
    case DecodeResult::truncatedText: return "truncated status text";
    }
    return "unknown";
}

}  // namespace nv::wire
