// Node-status lookups: the datagrams alone, against a real server's
// (tests/data); then through the running service, UDP peers playing hosts.
#include "netbios/NetbiosEndpoint.h"
#include "netbios/NetbiosPacket.h"
#include "nv/BusClient.h"
#include "tests/kit/NbstatBuilder.h"
#include "tests/kit/NodeStatusRequest.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;
using Verdict = NetbiosPacket::Verdict;

// Plain hex; lines starting with # are comments.
Bytes readHex(const char* name) {
    std::ifstream in(std::string(NETPROBE_SOURCE_DIR) + "/tests/data/" + name);
    Bytes bytes;
    for (std::string line; std::getline(in, line);)
        for (size_t i = 0; line[0] != '#' && i + 1 < line.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The captured answer with bytes set, cut to `size` (0: all 193 bytes), and
// what reading it gives: its line, or "ok" or "dropped", then the names. At 54
// the data length, then the name count and five 18-byte entries from 57
// (TESTHOST <00> <03> <20>, group TESTGROUP <00> <1e>), then statistics.
struct Case { std::vector<std::pair<size_t, uint8_t>> set; size_t size; const char* reading; };

const Case kCases[] = {
    {{}, 0, "ok TESTHOST/TESTGROUP"},
    {{{2, 0x04}}, 0, "NETBIOS: not a response /"},
    {{{2, 0xac}}, 0, "NETBIOS: not a name query /"},  // opcode 5
    {{{3, 0xf3}}, 0, "NETBIOS: error 3 /"},           // beside other flags
    {{{7, 0}}, 0, "NETBIOS: no answer /"},
    {{{20, 'B'}}, 46, "NETBIOS: bad name /"},  // cut after the name
    {{{47, 0x20}}, 0, "NETBIOS: bad type /"},
    {{{49, 3}}, 0, "NETBIOS: bad class /"},
    {{{55, 138}}, 0, "dropped /"},                          // data past the datagram
    {{{55, 90}}, 146, "dropped /"},                         // data one byte short of the last entry
    {{{55, 91}}, 147, "ok TESTHOST/TESTGROUP"},             // data ending with it
    {{{56, 8}}, 0, "dropped /"},                            // eight entries announced, five fit
    {{{56, 0}}, 0, "ok /"},                                 // none
    {{{93, 'X'}, {129, 'X'}}, 0, "ok TESTHOST/TESTGROUP"},  // later names of each kind differ
    {{{57, 1}, {75, 1}, {93, 'X'}}, 0, "ok XESTHOST/TESTGROUP"},       // names from 0x01 are empty
    {{{61, ' '}, {72, 0x1d}}, 0, "ok TEST OST       \x1d/TESTGROUP"},  // only trailing spaces go
};

TEST(NetbiosPacketTest, BuildsTheCapturedRequestAndReadsEachSpoiltAnswer) {
    uint8_t request[NetbiosPacket::kScratchSize];
    const size_t length = NetbiosPacket::buildStatusRequest(request, 0x1234);
    EXPECT_EQ(Bytes(request, request + length), readHex("nbstat-request.hex"));
    const Bytes captured = readHex("nbstat-response-nmbd.hex");
    for (const Case& c : kCases) {
        Bytes d = captured;
        for (auto [offset, value] : c.set) d[offset] = value;
        d.resize(c.size ? c.size : d.size());
        NetbiosPacket packet(d.data(), static_cast<uint32_t>(d.size()));
        const Verdict verdict = packet.readStatusResponse();
        const std::string line = verdict == Verdict::ok ? "ok" : packet.line(verdict);
        EXPECT_EQ((line.empty() ? "dropped" : line) + " " + packet.hostName + "/" + packet.groupName, c.reading)
            << "case " << &c - kCases;
    }
    // The name table (its first line, of five) and the unit id: as captured; with a line feed and a backslash in a
    // name, every flag and a unit id set; with statistics one byte short of a unit id.
    const struct { std::vector<std::pair<size_t, uint8_t>> set; const char *first, *unit; } tables[] = {
        {{}, "TESTHOST<00> UNIQUE ACTIVE\n", "00:00:00:00:00:00"},
        {{{57, '\n'}, {58, '\\'}, {73, 0x9e}, {147, 0xaa}, {152, 0x0f}},
         "\\x0a\\x5cSTHOST<00> GROUP DEREGISTERING CONFLICT ACTIVE PERMANENT\n", "aa:00:00:00:00:0f"},
        {{{55, 96}}, "TESTHOST<00> UNIQUE ACTIVE\n", ""}};
    for (const auto& t : tables) {
        Bytes d = captured;
        for (auto [offset, value] : t.set) d[offset] = value;
        NetbiosPacket packet(d.data(), static_cast<uint32_t>(d.size()));
        ASSERT_EQ(packet.readStatusResponse(), Verdict::ok);
        const std::string table = packet.nameTable();
        EXPECT_EQ(table.substr(0, table.find('\n') + 1), t.first);
        EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 5);
        EXPECT_EQ(packet.unitId(), t.unit);
    }
    for (size_t size = 0; size < captured.size(); ++size) {
        const Bytes cut(captured.begin(), captured.begin() + static_cast<long>(size));  // a read past it shows
        const Verdict refused = size < 12 ? Verdict::tooSmall : Verdict::dropped;
        EXPECT_EQ(NetbiosPacket(cut.data(), static_cast<uint32_t>(size)).readStatusResponse(), refused) << size;
    }
}

// All ids in use: one more lookup is refused at once, with one reply. An id serves again once its lookup has
// ended; a late answer to that lookup, from its host, is not taken for the newer lookup of another host.
TEST(NetbiosLookupTest, IdsRunOutComeBackAndIgnoreLateAnswers) {
    ServiceProcess service;
    nv::BusClient client;
    std::string error;
    ASSERT_TRUE(service.ready() && client.connect(service.busPath(), &error)) << error;
    const auto next = [&](uint32_t sequence) {
        nv::message reply;
        uint32_t answered = 0;
        EXPECT_TRUE(client.nextReply(&answered, &reply, 60000, &error) && answered == sequence) << error;
        return reply;
    };
    UdpPeer old("127.0.3.3", NetbiosPacket::kPort), newer("127.0.3.4", NetbiosPacket::kPort);
    Bytes query;
    const uint32_t first = client.send(nodeStatusRequest("127.0.3.3", 100), 0, &error);
    ASSERT_TRUE(old.receive(&query, 20000));
    const uint16_t id = static_cast<uint16_t>(query[0] << 8 | query[1]);
    // The other ids, held by a silent host; the first, freed meanwhile, queues behind them.
    for (uint32_t i = 1; i < NetbiosEndpoint::kQueryIds; ++i)
        client.send(nodeStatusRequest("127.0.3.5", 600000), 0, &error);
    EXPECT_EQ(next(first).errorCode(), kTimeoutError);
    const uint32_t again = client.send(nodeStatusRequest("127.0.3.4", 600000), 0, &error);
    ASSERT_TRUE(newer.receive(&query, 20000));
    EXPECT_EQ(query[0] << 8 | query[1], id);

    EXPECT_EQ(next(client.send(nodeStatusRequest("127.0.3.4", 100), 0, &error)).statusText(), "too many requests");
    old.sendTo(newer.lastSender(), nbstatResponse(id, {{"LATE", 0, false}}));
    ASSERT_TRUE(service.waitForOutput("Netbios: unknown id " + std::to_string(id) + "\n", 20000));
    newer.reply(nbstatResponse(id, {{"NEWER", 0, false}}));
    const nv::message reply = next(again);
    EXPECT_EQ(reply.get<nv::string_id>(field::host_name), "NEWER");
    EXPECT_FALSE(reply.contains(field::names)) << "the whole table only when asked";
}

}  // namespace
