// Node-status datagrams: the request as sent, and every check of a response
// in its order, without sockets.
#include "netbios/NetbiosPacket.h"
#include "tests/kit/NbstatBuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

using Verdict = NetbiosPacket::Verdict;

std::vector<uint8_t> readHex(const std::string& name) {
    std::ifstream in(std::string(NETPROBE_SOURCE_DIR) + "/tests/data/" + name);
    std::vector<uint8_t> bytes;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        for (size_t i = 0; i + 1 < line.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Verdict read(const std::vector<uint8_t>& d, NetbiosPacket* out = nullptr) {
    NetbiosPacket packet(d.data(), static_cast<uint32_t>(d.size()));
    Verdict v = packet.readStatusResponse();
    if (out) {
        out->hostName = packet.hostName;
        out->groupName = packet.groupName;
    }
    return v;
}

TEST(NetbiosPacketTest, RequestMatchesTheCapturedOneByteForByte) {
    uint8_t buffer[NetbiosPacket::kScratchSize];
    ASSERT_EQ(NetbiosPacket::buildStatusRequest(buffer, 0x1234), 50u);
    std::vector<uint8_t> expected = readHex("nbstat-request.hex");
    ASSERT_EQ(expected.size(), 50u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 50), expected);
}

TEST(NetbiosPacketTest, RealNmbdAnswerGivesItsHostAndGroup) {
    std::vector<uint8_t> d = readHex("nbstat-response-nmbd.hex");
    ASSERT_EQ(d.size(), 193u);
    NetbiosPacket names(nullptr, 0);
    EXPECT_EQ(read(d, &names), Verdict::ok);
    EXPECT_EQ(names.hostName, "TESTHOST");
    EXPECT_EQ(names.groupName, "TESTGROUP");
    NetbiosPacket packet(d.data(), 193);
    EXPECT_EQ(packet.transactionId(), 0x1234);
}

TEST(NetbiosPacketTest, ChecksRunInOrderAndNameTheirFailure) {
    std::vector<uint8_t> d(12, 0);
    EXPECT_EQ(read(std::vector<uint8_t>(11, 0x84)), Verdict::tooSmall);
    d[2] = 0x84;
    EXPECT_EQ(read(d), Verdict::noAnswer);
    d[2] = 0x00;
    EXPECT_EQ(read(d), Verdict::notResponse);
    d[2] = 0xA8;
    EXPECT_EQ(read(d), Verdict::notNameQuery);
    d[2] = 0x84;
    d[3] = 0x03;
    EXPECT_EQ(read(d), Verdict::errorCode);
    NetbiosPacket packet(d.data(), 12);
    EXPECT_EQ(packet.line(Verdict::errorCode), "NETBIOS: error 3");
    d[3] = 0xF0;  // RA, B and the zero bits are ignored
    d[5] = 1;     // QDCOUNT 1
    d[7] = 1;
    EXPECT_EQ(read(d), Verdict::dropped);

    std::vector<uint8_t> good = nbstatResponse(7, {{"HOST", 0x00, false}});
    for (size_t length = 12; length < 56; ++length) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + length);
        EXPECT_EQ(read(cut), Verdict::dropped) << length;
    }
    std::vector<uint8_t> badName = good;
    badName[20] = 'B';
    EXPECT_EQ(read(badName), Verdict::badName);
    badName.resize(46);
    EXPECT_EQ(read(badName), Verdict::badName);
    std::vector<uint8_t> badType = good;
    badType[47] = 0x20;
    EXPECT_EQ(read(badType), Verdict::badType);
    std::vector<uint8_t> badClass = good;
    badClass[49] = 0x03;
    EXPECT_EQ(read(badClass), Verdict::badClass);
}

TEST(NetbiosPacketTest, RdataMustHoldEveryEntryOrTheDatagramIsDropped) {
    std::vector<uint8_t> d = nbstatResponse(7, {{"ALPHA", 0, false}, {"BETA", 0, true}});
    std::vector<uint8_t> zero = d;
    zero[54] = zero[55] = 0;
    EXPECT_EQ(read(zero), Verdict::dropped);
    std::vector<uint8_t> beyond = d;
    beyond[55] += 1;
    EXPECT_EQ(read(beyond), Verdict::dropped);
    // Three names announced, room for two: dropped although two were read.
    std::vector<uint8_t> three = d;
    three[56] = 3;
    NetbiosPacket names(nullptr, 0);
    EXPECT_EQ(read(three, &names), Verdict::dropped);
    EXPECT_TRUE(names.hostName.empty());
    // NUM_NAMES 0 in a 57-byte response: both names empty.
    std::vector<uint8_t> none = nbstatResponse(7, {});
    ASSERT_EQ(none.size(), 57u);
    EXPECT_EQ(read(none, &names), Verdict::ok);
    EXPECT_EQ(names.hostName, "");
    EXPECT_EQ(names.groupName, "");
}

TEST(NetbiosPacketTest, FirstNameOfEachKindThatCleansToSomething) {
    NetbiosPacket names(nullptr, 0);
    EXPECT_EQ(read(nbstatResponse(1, {{"\x01\x02__MSBROWSE__\x02", 0x01, true},
                                {"ALPHA", 0x00, false},
                                {"BETA", 0x00, true},
                                {"GAMMA", 0x00, false}}),
                   &names),
              Verdict::ok);
    EXPECT_EQ(names.hostName, "ALPHA");
    EXPECT_EQ(names.groupName, "BETA");

    EXPECT_EQ(read(nbstatResponse(1, {{"", 0x20, false}, {"DELTA", 0x20, false}}), &names), Verdict::ok);
    EXPECT_EQ(names.hostName, "DELTA");
}

TEST(NetbiosPacketTest, CleanNameStripsOnlyZeroAndSpaceSuffixes) {
    auto clean = [](std::string name) {
        name.resize(16, '\0');
        return NetbiosPacket::cleanName(reinterpret_cast<const uint8_t*>(name.data()));
    };
    EXPECT_EQ(clean("ALPHA          \x20"), "ALPHA");
    EXPECT_EQ(clean("ALPHA          "), "ALPHA");  // suffix 0x00
    EXPECT_EQ(clean("ALPHA          \x1d"), "ALPHA          \x1d");
    EXPECT_EQ(clean("A B            \x00"), "A B");
    EXPECT_EQ(clean("               \x20"), "");
    EXPECT_EQ(clean(std::string(16, '\0')), "");
    EXPECT_EQ(clean("\x01SOMETHING"), "");
}

}  // namespace
