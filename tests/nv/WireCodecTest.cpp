// The wire codec, byte for byte. These tests also run on the big-endian
// build, where any use of host byte order would change the expected bytes.
#include "nv/WireCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

using nv::message;
using nv::wire::DecodeResult;
using nv::wire::Kind;
using nv::wire::Packet;
using Bytes = std::vector<uint8_t>;

Bytes wire(Kind kind, uint32_t sequence, uint32_t arg, const message& body) {
    const std::string text = nv::wire::encode(kind, sequence, arg, body);
    return Bytes(text.begin(), text.end());
}

DecodeResult decode(const Bytes& b, Packet* p = nullptr) {
    Packet ignored;
    bool known;
    return nv::wire::decode(b.data(), b.size(), p ? p : &ignored, &known);
}

message sampleRequest() {
    const uint8_t address[4] = {192, 168, 1, 2};
    uint32_t held;
    std::memcpy(&held, address, 4);  // as an address stands in a sockaddr_in
    message m;
    m.insert<nv::u32_id>(0xff0007, 1);
    m.insert<nv::be32_id>(3, held);
    m.insert<nv::bool_id>(5, true);
    m.insert<nv::string_id>(7, std::string("a\0b", 3));
    return m;
}

void put32(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

// Hand-made packets: a header, then fields.
Bytes header(uint8_t kind, uint8_t status, uint32_t sequence, uint32_t arg, uint32_t textLength) {
    Bytes b;
    put32(b, 0x4E565042);
    b.insert(b.end(), {1, kind, status, 0});
    put32(b, sequence);
    put32(b, arg);
    put32(b, textLength);
    return b;
}

Bytes withField(Bytes b, uint32_t key, uint8_t type, const Bytes& value) {
    put32(b, key);
    b.push_back(type);
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

TEST(WireCodecTest, RequestAndReplyHaveExactBytes) {
    const Bytes request = {
        0x4E, 0x56, 0x50, 0x42, 0x01, 0x01, 0x00, 0x00,        // magic, version, request, status, reserved
        0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0,        // sequence, arg
        0x00, 0x00, 0x00, 0x00,                                // no status text
        0x00, 0x00, 0x00, 0x03, 0x02, 0xC0, 0xA8, 0x01, 0x02,  // be32 as held
        0x00, 0x00, 0x00, 0x05, 0x03, 0x01,                    // bool
        0x00, 0x00, 0x00, 0x07, 0x04, 0x00, 0x00, 0x00, 0x03, 'a', 0x00, 'b',
        0x00, 0xFF, 0x00, 0x07, 0x01, 0x00, 0x00, 0x00, 0x01,  // u32 command
    };
    EXPECT_EQ(wire(Kind::request, 0x01020304, 0xA0B0C0D0, sampleRequest()), request);
    EXPECT_EQ(nv::wire::encodedSize(Kind::request, sampleRequest()), request.size());

    message failed = nv::errorMsg(0xfe000d, "timeout");
    failed.insert<nv::u32_id>(2, 300);
    const Bytes reply = {0x4E, 0x56, 0x50, 0x42, 0x01, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x07,
                         0x00, 0xFE, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x07, 't',  'i',  'm',  'e',
                         'o',  'u',  't',  0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x01, 0x2C};
    // The arg of encode is for requests only; a reply's number is its own.
    EXPECT_EQ(wire(Kind::reply, 7, 1234, failed), reply);
}

TEST(WireCodecTest, EveryTypeAndStatusRoundTrips) {
    message m = sampleRequest();
    m.insert<nv::u32_id>(2, 0xffffffff);
    m.insert<nv::bool_id>(6, false);
    m.insert<nv::string_id>(8, "");
    m.insert<nv::string_id>(9, std::string(1000, '\0'));
    const std::pair<Kind, message> cases[] = {
        {Kind::request, m}, {Kind::reply, m}, {Kind::reply, nv::failedMsg(std::string("x\0y", 3))},
        {Kind::reply, nv::errorMsg(0xff0001, "unknown command")}, {Kind::reply, nv::errorMsg(0, "")}};
    for (const auto& [kind, body] : cases) {
        Packet p;
        ASSERT_EQ(decode(wire(kind, 0xfffffffe, 42, body), &p), DecodeResult::ok);
        EXPECT_EQ(p.kind, kind);
        EXPECT_EQ(p.sequence, 0xfffffffeu);
        EXPECT_TRUE(kind == Kind::reply || p.arg == 42u);
        EXPECT_EQ(p.body, body);
    }
}

// Packets end where their fields end, so a prefix that stops exactly after
// a field is itself a valid (shorter) packet; every other prefix is refused.
TEST(WireCodecTest, EveryTruncatedPrefixIsRefusedOrAShorterMessage) {
    message reply = sampleRequest();
    reply.setStatus(nv::ReplyStatus::failed, 0, "text");
    for (Kind kind : {Kind::request, Kind::reply}) {
        const Bytes full = wire(kind, 5, 6, reply);
        size_t pos = 20 + (kind == Kind::reply ? 4 : 0);
        std::set<size_t> boundaries{pos};
        for (const message::Field& f : reply.fields()) {
            pos += 5 + (f.type == nv::FieldType::string ? 4 + f.bytes.size()
                        : f.type == nv::FieldType::boolean ? 1 : 4);
            boundaries.insert(pos);
        }
        ASSERT_EQ(pos, full.size());
        for (size_t n = 0; n < full.size(); ++n) {
            const DecodeResult r = decode(Bytes(full.begin(), full.begin() + static_cast<long>(n)));
            EXPECT_TRUE(n < 20 ? r == DecodeResult::noHeader : (r == DecodeResult::ok) == (boundaries.count(n) > 0)) << n;
        }
    }
}

TEST(WireCodecTest, MalformedPacketsAreRefused) {
    const Bytes request = header(1, 0, 3, 0, 0);
    auto mutated = [&](size_t at, uint8_t value) {
        Bytes b = request;
        b[at] = value;
        return b;
    };
    Bytes textTooLong = header(2, 1, 1, 0, 0xffffffff), tooMany = request;
    textTooLong.push_back('x');
    for (uint32_t key = 0; key <= nv::wire::kMaxFields; ++key) tooMany = withField(tooMany, key, 3, {1});
    using R = DecodeResult;
    const std::pair<Bytes, DecodeResult> cases[] = {
        {mutated(0, 'X'), R::badMagic}, {mutated(4, 2), R::badVersion}, {mutated(5, 0), R::badKind},
        {mutated(5, 3), R::badKind}, {mutated(7, 1), R::badReserved},
        {mutated(6, 1), R::badStatus}, {mutated(19, 1), R::badStatus},  // requests carry no status or text
        {header(2, 3, 1, 0, 0), R::badStatus}, {header(2, 1, 1, 5, 0), R::badStatus},  // statuses 0 to 2, an
        {header(2, 2, 1, 5, 0), R::ok}, {textTooLong, R::truncatedText},               // error number with 2
        {withField(request, 1, 4, {0xff, 0xff, 0xff, 0xff, 'a'}), R::truncated},
        {withField(request, 1, 4, {0, 0, 0, 2, 'a'}), R::truncated}, {withField(request, 1, 4, {0, 0, 0, 1, 'a'}), R::ok},
        {withField(request, 1, 1, {0, 0, 0}), R::truncated}, {withField(request, 1, 0, {0, 0, 0, 0}), R::badType},
        {withField(request, 1, 5, {0, 0, 0, 0}), R::badType}, {withField(request, 1, 3, {2}), R::badBool},
        {withField(request, 1, 3, {0xff}), R::badBool},
        {withField(withField(request, 9, 1, {0, 0, 0, 1}), 9, 4, {0, 0, 0, 0}), R::duplicateField},
        {Bytes(tooMany.begin(), tooMany.end() - 6), R::ok}, {tooMany, R::tooManyFields},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(decode(cases[i].first), cases[i].second) << "case " << i;
    Packet p;  // fields may come in any order; they read back sorted
    ASSERT_EQ(decode(withField(withField(request, 9, 3, {1}), 2, 3, {0}), &p), DecodeResult::ok);
    EXPECT_EQ(p.body.fields().front().key, 2u);
}

}  // namespace
