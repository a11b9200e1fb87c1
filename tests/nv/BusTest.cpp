// The bus and what it carries: messages, their wire codec (byte for byte, for the big-endian build
// to show any host byte order leaking in), policies, the bus server with BusClient; and the id allocator.
#include "nv/Allocator.h"
#include "nv/BusClient.h"
#include "nv/Looper.h"
#include "nv/WireCodec.h"

#include <gtest/gtest.h>

#include <functional>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Never-used ids first, then freed ones oldest first, within bounds; stray and repeated frees do not count.
TEST(AllocatorTest, FreedIdsComeBackOldestFirstWithinTheRange) {
    const struct { uint32_t first, count, taken; std::vector<uint32_t> freed, rest; } cases[] = {
        {100, 6, 3, {101, 100, 101, 99, 106, 104}, {103, 104, 105, 101, 100}},  // repeat, out of range, not out; wraps
        {7, 0, 0, {7}, {}}, {UINT32_MAX - 2, 10, 0, {}, {UINT32_MAX - 2, UINT32_MAX - 1}}};  // short of UINT32_MAX
    for (const auto& c : cases) {
        nv::Allocator ids(c.first, c.count);
        for (uint32_t i = 0; i < c.taken; ++i) ids.allocate();
        for (uint32_t id : c.freed) ids.free(id);
        std::vector<uint32_t> rest;
        while (ids.available()) rest.push_back(ids.allocate());
        EXPECT_EQ(rest, c.rest) << c.first;
    }
}

// A field replaced by one of another type keeps nothing of the old value.
TEST(MessageTest, InsertReplacesWhateverTheKeyHeld) {
    nv::message replaced, fresh;
    replaced.insert<nv::string_id>(5, "ab");
    for (nv::message* m : {&replaced, &fresh}) m->insert<nv::bool_id>(5, true);
    EXPECT_EQ(replaced, fresh);
}

// A request of fixed bytes (192.168.1.2 as a be32 held as in a sockaddr_in, a string with a zero byte) and an
// error reply decode and encode back; a prefix that ends between fields is a shorter packet, any other is refused.
TEST(WireCodecTest, RoundTripsExactBytesAndRefusesEveryCutPrefix) {
    const uint8_t request[] = {
        0x4E, 0x56, 0x50, 0x42, 0x01, 0x01, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0,  // magic, ...
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x02, 0xC0, 0xA8, 0x01, 0x02,  // ...; field 3, be32 as held
        0x00, 0x00, 0x00, 0x05, 0x03, 0x01, 0x00, 0x00, 0x00, 0x07, 0x04, 0x00, 0x00, 0x00, 0x03, 'a', 0x00, 'b',
        0x00, 0xFF, 0x00, 0x07, 0x01, 0x00, 0x00, 0x00, 0x01};
    nv::message reply = nv::errorMsg(0xfe000d, std::string("x\0y", 3));
    reply.insert<nv::bool_id>(0, false);
    reply.insert<nv::string_id>(0xffffffff, "");
    for (const std::string& encoded : {std::string(request, request + sizeof request),
                                       nv::wire::encode(nv::wire::Kind::reply, 0xffffffff, 0, reply)}) {
        size_t shorter = 0;
        nv::wire::Packet p;
        for (size_t n = 0; n <= encoded.size(); ++n) {
            const std::vector<uint8_t> prefix(encoded.begin(), encoded.begin() + n);  // its own buffer, for ASan
            bool known;
            if (nv::wire::decode(prefix.data(), n, &p, &known) != nv::wire::DecodeResult::ok) continue;
            ++shorter;
            EXPECT_EQ(nv::wire::encode(p.kind, p.sequence, p.arg, p.body), encoded.substr(0, n)) << n;
        }
        EXPECT_EQ(shorter, p.body.size() + 1);  // p: the whole packet
        const uint32_t held = p.body.get<nv::be32_id>(3);  // in memory as in the packet
        EXPECT_TRUE(p.kind == nv::wire::Kind::reply ? p.body == reply : p.body.get<nv::u32_id>(0xff0007) == 1 &&
                    std::string(reinterpret_cast<const char*>(&held), 4) == "\xC0\xA8\x01\x02");
    }
}

// Each permission byte grants to its own class of peer only, reserved bits to none; no policy: open to all.
TEST(PolicyTest, EachByteGrantsToItsOwnClassOfPeer) {
    const nv::PeerCredentials root{1, 0, 0}, self{1, geteuid(), getegid()};
    const nv::PeerCredentials mate{1, self.uid + 1, self.gid}, other{1, self.uid + 1, self.gid + 1};
    const struct { uint32_t policy; nv::PeerCredentials peer; bool allowed; } cases[] = {
        {0x2, other, true},     {0x200, root, true},     {0x200, mate, false},       {0x20000, self, true},
        {0x20000, mate, false}, {0x2000000, mate, true}, {0x2020200, other, false}, {0xfdfdfdfd, self, false}};
    nv::policies table;
    EXPECT_TRUE(table.is_allowed(1, other));
    for (const auto& c : cases) {
        table.set_policy(1, c.policy);
        EXPECT_EQ(table.is_allowed(1, c.peer), c.allowed) << std::hex << c.policy << " " << c.peer.uid;
    }
}

// The looper itself, run in passes of at most 10 ms (3000 at most, a safety net) until its clients have what they
// wait for. Echo and the guarded command (policy 0x20200: root, the service's user) fail with a text of arg bytes.
class BusTest : public ::testing::Test, public nv::Looper {
protected:
    static constexpr uint32_t kGuarded = 1, kEcho = 100;
    static nv::message cmd(uint32_t c) { nv::message m; m.insert<nv::u32_id>(nv::kCommandField, c); return m; }
    BusTest() { policyTable().set_policy(kGuarded, 0x20200); EXPECT_TRUE(openBus(bus, &error)) << error; }
    void handleCmd(const nv::message& request, unsigned arg) override {
        if (request.get<nv::u32_id>(nv::kCommandField) > kEcho) return nv::Looper::handleCmd(request, arg);
        replyMessage(request, nv::failedMsg(std::string(arg, 'b')));
    }
    bool runUntil(const std::function<bool()>& done) {
        for (int pass = 0; pass < 3000; ++pass, runOnce(10))
            if (done()) return true;
        return false;
    }

    const std::string bus = "/tmp/nv-bus-test-" + std::to_string(getpid()) + ".sock";  // the looper removes it
    std::string error;
};

// Requests in flight on two connections, collected last first, get one reply each. The base handleCmd
// answers commands the looper does not handle; a peer of another user is refused the guarded one.
TEST_F(BusTest, EachRequestGetsItsOneReplyWithinThePolicy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    nv::BusClient own, stranger;  // a connection keeps the credentials it was made with
    const bool dropped = chown(bus.c_str(), 0, 65534) == 0 && setegid(65534) == 0 && seteuid(65534) == 0;
    const bool connected = dropped && stranger.connect(bus, &error);
    ASSERT_TRUE(seteuid(getuid()) == 0 && setegid(getgid()) == 0 && connected && own.connect(bus, &error)) << error;
    const struct { nv::BusClient* client; uint32_t command; std::string reply; } cases[] = {
        {&own, kEcho, "0 b"}, {&own, kGuarded, "0 bb"}, {&stranger, kEcho, "0 bbb"},
        {&stranger, kGuarded, std::to_string(nv::kErrNotAllowed) + " not allowed"},
        {&stranger, 0xffffffff, std::to_string(nv::kErrUnknownCommand) + " unknown command"}};
    uint32_t sequences[std::size(cases)], sequence;
    for (uint32_t i = 0; i < std::size(cases); ++i)
        sequences[i] = cases[i].client->send(cmd(cases[i].command), i + 1, &error);
    nv::message reply;
    for (size_t i = std::size(cases); i-- > 0;) {
        ASSERT_TRUE(runUntil([&] { return cases[i].client->waitReply(sequences[i], &reply, 0, &error); })) << error;
        EXPECT_EQ(std::to_string(reply.errorCode()) + " " + reply.statusText(), cases[i].reply);
    }
    EXPECT_FALSE(own.nextReply(&sequence, &reply, 0, &error) || stranger.nextReply(&sequence, &reply, 0, &error));
}

// Replies wait in a queue of at most 8 MiB per client and 32 MiB in all (past that the longest goes). Clients ask
// for 60 KB replies in rounds, reading after each: one that reads between rounds stays, whatever went through.
TEST_F(BusTest, ReplyQueuesBoundWhatWaitsNotWhatWentBefore) {
    const uint32_t cases[][4] = {{1, 1, 200, 1}, {5, 1, 130, 1}, {1, 6, 40, 0}};  // clients, rounds, each, cut off
    for (const auto& [count, rounds, perRound, cutOff] : cases) {
        std::vector<nv::BusClient> clients(count);
        std::vector<uint32_t> sent(count), received(count);
        for (nv::BusClient& client : clients) ASSERT_TRUE(client.connect(bus, &error)) << error;
        for (uint32_t round = 0; round < rounds; ++round) {
            for (uint32_t i = 0; i < count * perRound; ++i) {
                nv::BusClient& c = clients[i / perRound];
                sent[i / perRound] += runUntil([&] { return c.send(cmd(kEcho), 60000, &error, 0) || !c.connected(); });
            }
            for (uint32_t i = 0; i < count; ++i)
                runUntil([&] {  // once the service has taken in every request (or dropped it with its client)
                    int unread = 0;
                    nv::message reply;
                    for (nv::BusClient& c : clients)
                        if (ioctl(c.fd(), SIOCOUTQ, &unread) == 0 && unread > 0) return false;
                    for (uint32_t sequence; clients[i].nextReply(&sequence, &reply, 0, &error);) ++received[i];
                    return received[i] == sent[i] || !clients[i].connected();
                });
        }
        uint32_t cut = 0;
        for (nv::BusClient& client : clients) cut += !client.connected();
        EXPECT_EQ(cut, cutOff) << count << " clients, " << rounds << " rounds";
    }
}
