// The wire codec, byte for byte. These tests also run on the big-endian
// build, where any use of host byte order would change the expected bytes.
#include "nv/WireCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace {

using nv::message;
using nv::wire::DecodeResult;
using nv::wire::Kind;
using nv::wire::Packet;

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

DecodeResult decode(const Bytes& b, Packet* p, bool* known) {
    return nv::wire::decode(b.data(), b.size(), p, known);
}

DecodeResult decode(const Bytes& b) {
    Packet p;
    bool known;
    return decode(b, &p, &known);
}

uint32_t be32From(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t raw[4] = {a, b, c, d};
    uint32_t held;
    std::memcpy(&held, raw, 4);  // as an address stands in a sockaddr_in
    return held;
}

message sampleRequest() {
    message m;
    m.insert<nv::u32_id>(0xff0007, 1);
    m.insert<nv::be32_id>(3, be32From(192, 168, 1, 2));
    m.insert<nv::bool_id>(5, true);
    m.insert<nv::string_id>(7, std::string("a\0b", 3));
    return m;
}

// A packet header in the order of the protocol, for hand-made packets.
Bytes header(uint8_t kind, uint8_t status, uint32_t sequence, uint32_t arg, uint32_t textLength) {
    auto be = [](Bytes& b, uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
    };
    Bytes b;
    be(b, 0x4E565042);
    b.push_back(1);
    b.push_back(kind);
    b.push_back(status);
    b.push_back(0);
    be(b, sequence);
    be(b, arg);
    be(b, textLength);
    return b;
}

Bytes withField(Bytes b, uint32_t key, uint8_t type, const Bytes& value) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(key >> shift));
    b.push_back(type);
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

TEST(WireCodecTest, RequestHasExactBytes) {
    Bytes expected = {
        0x4E, 0x56, 0x50, 0x42, 0x01, 0x01, 0x00, 0x00,  // magic, version, request, status, reserved
        0x01, 0x02, 0x03, 0x04,                          // sequence
        0xA0, 0xB0, 0xC0, 0xD0,                          // arg
        0x00, 0x00, 0x00, 0x00,                          // no status text
        0x00, 0x00, 0x00, 0x03, 0x02, 0xC0, 0xA8, 0x01, 0x02,  // be32 as held
        0x00, 0x00, 0x00, 0x05, 0x03, 0x01,                    // bool
        0x00, 0x00, 0x00, 0x07, 0x04, 0x00, 0x00, 0x00, 0x03, 'a', 0x00, 'b',
        0x00, 0xFF, 0x00, 0x07, 0x01, 0x00, 0x00, 0x00, 0x01,  // u32 command
    };
    std::string wire = nv::wire::encode(Kind::request, 0x01020304, 0xA0B0C0D0, sampleRequest());
    EXPECT_EQ(bytesOf(wire), expected);
    EXPECT_EQ(nv::wire::encodedSize(Kind::request, sampleRequest()), expected.size());
}

TEST(WireCodecTest, RepliesHaveExactBytes) {
    Bytes timeout = {0x4E, 0x56, 0x50, 0x42, 0x01, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x07,
                     0x00, 0xFE, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x07, 't', 'i', 'm', 'e', 'o', 'u', 't'};
    EXPECT_EQ(bytesOf(nv::wire::encode(Kind::reply, 7, 0, nv::errorMsg(0xfe000d, "timeout"))), timeout);

    message failed = nv::failedMsg("closed");
    failed.insert<nv::u32_id>(2, 300);
    Bytes failure = {0x4E, 0x56, 0x50, 0x42, 0x01, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x09,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 'c', 'l', 'o', 's', 'e', 'd',
                     0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x01, 0x2C};
    // The arg of encode is for requests only; a reply's number is its own.
    EXPECT_EQ(bytesOf(nv::wire::encode(Kind::reply, 9, 1234, failed)), failure);
}

TEST(WireCodecTest, EveryTypeRoundTrips) {
    message m = sampleRequest();
    m.insert<nv::u32_id>(1, 0);
    m.insert<nv::u32_id>(2, 0xffffffff);
    m.insert<nv::bool_id>(6, false);
    m.insert<nv::string_id>(8, "");
    m.insert<nv::string_id>(9, std::string(1000, '\0'));
    m.insert<nv::be32_id>(0xfe0010, be32From(255, 0, 0, 1));
    for (Kind kind : {Kind::request, Kind::reply}) {
        std::string wire = nv::wire::encode(kind, 0xfffffffe, 42, m);
        Packet p;
        bool known = false;
        ASSERT_EQ(nv::wire::decode(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), &p, &known),
                  DecodeResult::ok);
        EXPECT_EQ(p.kind, kind);
        EXPECT_EQ(p.sequence, 0xfffffffeu);
        EXPECT_EQ(p.body, m);
        EXPECT_EQ(p.arg, kind == Kind::request ? 42u : 0u);
        EXPECT_EQ(p.body.get<nv::be32_id>(3), be32From(192, 168, 1, 2));
    }
}

TEST(WireCodecTest, ReplyStatusesRoundTrip) {
    for (const message& reply : {nv::failedMsg(std::string("x\0y", 3)),
                                 nv::errorMsg(0xff0001, "unknown command"), nv::errorMsg(0, "")}) {
        std::string wire = nv::wire::encode(Kind::reply, 3, 0, reply);
        Packet p;
        bool known;
        ASSERT_EQ(decode(bytesOf(wire), &p, &known), DecodeResult::ok);
        EXPECT_EQ(p.body, reply);
    }
}

// Packets end where their fields end, so a prefix that stops exactly after
// a field is itself a valid (shorter) packet; every other prefix is refused.
TEST(WireCodecTest, EveryTruncatedPrefixIsRefusedOrAShorterMessage) {
    message reply = sampleRequest();
    reply.setStatus(nv::ReplyStatus::failed, 0, "text");
    for (Kind kind : {Kind::request, Kind::reply}) {
        Bytes full = bytesOf(nv::wire::encode(kind, 5, 6, reply));
        std::set<size_t> boundaries;
        size_t headEnd = 20 + (kind == Kind::reply ? 4 : 0);
        boundaries.insert(headEnd);
        size_t pos = headEnd;
        for (const message::Field& f : reply.fields()) {
            pos += 5 + (f.type == nv::FieldType::string ? 4 + f.bytes.size()
                        : f.type == nv::FieldType::boolean ? 1 : 4);
            boundaries.insert(pos);
        }
        ASSERT_EQ(pos, full.size());
        for (size_t n = 0; n < full.size(); ++n) {
            Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
            Packet p;
            bool known;
            DecodeResult r = decode(prefix, &p, &known);
            if (n < 20) {
                EXPECT_EQ(r, DecodeResult::noHeader) << n;
                EXPECT_FALSE(known);
            } else if (boundaries.count(n)) {
                EXPECT_EQ(r, DecodeResult::ok) << n;
            } else {
                EXPECT_NE(r, DecodeResult::ok) << n;
                EXPECT_TRUE(known);
                EXPECT_EQ(p.sequence, 5u);
            }
        }
    }
}

TEST(WireCodecTest, OversizedLengthsAreRefused) {
    Bytes base = header(1, 0, 1, 0, 0);
    EXPECT_EQ(decode(withField(base, 1, 4, {0xff, 0xff, 0xff, 0xff, 'a'})), DecodeResult::truncated);
    EXPECT_EQ(decode(withField(base, 1, 4, {0x00, 0x00, 0x00, 0x02, 'a'})), DecodeResult::truncated);
    EXPECT_EQ(decode(withField(base, 1, 4, {0x00, 0x00, 0x00, 0x01, 'a'})), DecodeResult::ok);
    EXPECT_EQ(decode(withField(base, 1, 1, {0, 0, 0})), DecodeResult::truncated);

    Bytes reply = header(2, 1, 1, 0, 0xffffffff);
    reply.push_back('x');
    EXPECT_EQ(decode(reply), DecodeResult::truncatedText);
}

TEST(WireCodecTest, BadHeadersAreRefused) {
    Bytes good = header(1, 0, 3, 0, 0);
    auto mutated = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    Packet p;
    bool known = true;
    EXPECT_EQ(decode(mutated(0, 'X'), &p, &known), DecodeResult::badMagic);
    EXPECT_FALSE(known);
    EXPECT_EQ(decode(mutated(4, 2), &p, &known), DecodeResult::badVersion);
    EXPECT_TRUE(known);
    EXPECT_EQ(p.sequence, 3u);
    EXPECT_EQ(decode(mutated(5, 0)), DecodeResult::badKind);
    EXPECT_EQ(decode(mutated(5, 3)), DecodeResult::badKind);
    EXPECT_EQ(decode(mutated(7, 1)), DecodeResult::badReserved);
    // Requests carry no status, error number or text.
    EXPECT_EQ(decode(mutated(6, 1)), DecodeResult::badStatus);
    EXPECT_EQ(decode(mutated(19, 1)), DecodeResult::badStatus);
    // Replies: status 0 to 2, and an error number only with status 2.
    EXPECT_EQ(decode(header(2, 3, 1, 0, 0)), DecodeResult::badStatus);
    EXPECT_EQ(decode(header(2, 1, 1, 5, 0)), DecodeResult::badStatus);
    EXPECT_EQ(decode(header(2, 2, 1, 5, 0)), DecodeResult::ok);
}

TEST(WireCodecTest, BadFieldsAreRefused) {
    Bytes base = header(1, 0, 1, 0, 0);
    EXPECT_EQ(decode(withField(base, 1, 0, {0, 0, 0, 0})), DecodeResult::badType);
    EXPECT_EQ(decode(withField(base, 1, 5, {0, 0, 0, 0})), DecodeResult::badType);
    EXPECT_EQ(decode(withField(base, 1, 3, {2})), DecodeResult::badBool);
    EXPECT_EQ(decode(withField(base, 1, 3, {0xff})), DecodeResult::badBool);
    Bytes twice = withField(withField(base, 9, 1, {0, 0, 0, 1}), 9, 4, {0, 0, 0, 0});
    EXPECT_EQ(decode(twice), DecodeResult::duplicateField);
    // Fields may come in any order; they read back sorted.
    Packet p;
    bool known;
    ASSERT_EQ(decode(withField(withField(base, 9, 3, {1}), 2, 3, {0}), &p, &known), DecodeResult::ok);
    EXPECT_EQ(p.body.fields().front().key, 2u);
}

TEST(WireCodecTest, FieldCountIsLimited) {
    Bytes b = header(1, 0, 1, 0, 0);
    for (uint32_t key = 0; key < nv::wire::kMaxFields; ++key) b = withField(b, key, 3, {1});
    EXPECT_EQ(decode(b), DecodeResult::ok);
    EXPECT_EQ(decode(withField(b, 0xffff, 3, {1})), DecodeResult::tooManyFields);
}

// Random damage to valid packets: whatever comes out, nothing is read out
// of bounds (the sanitizer build checks) and a decoded packet re-encodes.
TEST(WireCodecTest, RandomDamageIsRefusedOrDecodesCleanly) {
    std::mt19937 random(20261206);
    message reply = sampleRequest();
    reply.setStatus(nv::ReplyStatus::error, 7, "err");
    const Bytes seeds[] = {bytesOf(nv::wire::encode(Kind::request, 1, 2, sampleRequest())),
                           bytesOf(nv::wire::encode(Kind::reply, 1, 2, reply))};
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes b = seeds[round % 2];
        int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) b[random() % b.size()] = static_cast<uint8_t>(random());
        if (random() % 3 == 0) b.resize(random() % b.size());
        Packet p;
        bool known;
        if (decode(b, &p, &known) == DecodeResult::ok) {
            ++decoded;
            std::string again = nv::wire::encode(p.kind, p.sequence, p.arg, p.body);
            Packet q;
            ASSERT_EQ(decode(bytesOf(again), &q, &known), DecodeResult::ok);
            EXPECT_EQ(q.body, p.body);
        }
    }
    EXPECT_GT(decoded, 0);
}

}  // namespace
