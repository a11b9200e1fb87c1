// The node-status request as a third-party dissector reads it.
#include "netbios/NetbiosPacket.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <vector>

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {  // pcap headers: written big-endian
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// One raw IPv4/UDP packet from 10.0.0.1:40000 to 10.0.0.2:137 in a pcap file.
std::vector<uint8_t> pcapOf(const uint8_t* payload, size_t length) {
    std::vector<uint8_t> ip;
    put16(ip, 0x4500);
    put16(ip, static_cast<uint16_t>(20 + 8 + length));
    put32(ip, 0);
    put16(ip, 0x4011);  // TTL 64, UDP
    put16(ip, 0);       // header checksum, filled below
    put32(ip, 0x0a000001);
    put32(ip, 0x0a000002);
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += ip[i] << 8 | ip[i + 1];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    put16(ip, 40000);
    put16(ip, NetbiosPacket::kPort);
    put16(ip, static_cast<uint16_t>(8 + length));
    put16(ip, 0);  // no UDP checksum
    ip.insert(ip.end(), payload, payload + length);

    std::vector<uint8_t> file;
    put32(file, 0xa1b2c3d4);
    put16(file, 2);
    put16(file, 4);
    put32(file, 0);
    put32(file, 0);
    put32(file, 65535);
    put32(file, 101);  // raw IP
    put32(file, 0);
    put32(file, 0);
    put32(file, static_cast<uint32_t>(ip.size()));
    put32(file, static_cast<uint32_t>(ip.size()));
    file.insert(file.end(), ip.begin(), ip.end());
    return file;
}

TEST(TsharkTest, RequestDissectsAsANodeStatusQuery) {
    if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
    uint8_t request[NetbiosPacket::kScratchSize];
    size_t length = NetbiosPacket::buildStatusRequest(request, 0x4242);
    char path[] = "/tmp/netprobe-nbstat-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> pcap = pcapOf(request, length);
    ASSERT_EQ(write(fd, pcap.data(), pcap.size()), static_cast<ssize_t>(pcap.size()));
    close(fd);

    std::string out;
    std::string command = std::string("tshark -r ") + path + " -V 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        pclose(pipe);
    }
    unlink(path);
    EXPECT_NE(out.find("NetBIOS Name Service"), std::string::npos) << out;
    EXPECT_NE(out.find("Transaction ID: 0x4242"), std::string::npos) << out;
    EXPECT_NE(out.find("Type: NBSTAT"), std::string::npos) << out;
    EXPECT_NE(out.find("Class: IN"), std::string::npos) << out;
    EXPECT_NE(out.find("Questions: 1"), std::string::npos) << out;
    EXPECT_NE(out.find("*<00><00><00>"), std::string::npos) << out;
}

}  // namespace
