// The C client library against the real service: requests in flight matched
// by sequence in the caller's own poll loop, every bad argument, the bus
// going away and coming back, and the constants against the catalogue.
#include "nv/WireCodec.h"
#include "protocol/Fields.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"

#include <netprobe/client.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

extern "C" int np_c99_round_trip(void);

namespace {

struct Freed {
    void operator()(np_message* m) const { np_message_free(m); }
};
using Message = std::unique_ptr<np_message, Freed>;

Message tcpProbe(uint16_t port) {
    Message request(np_message_new(NP_CMD_TCP_PROBE));
    np_set_be32(request.get(), NP_FIELD_ADDRESS, ipv4("127.0.0.1"));
    np_set_u32(request.get(), NP_FIELD_PORT, port);
    return request;
}

TEST(ClientLibraryTest, ConstantsAreTheCatalogueAndTheHeaderIsC99) {
    const std::map<uint32_t, std::string> constants = {
        {NP_FIELD_COMMAND, "command"}, {NP_FIELD_TIMEOUT, "timeout"}, {NP_FIELD_ELAPSED, "elapsed"},
        {NP_FIELD_ADDRESS, "address"}, {NP_FIELD_PORT, "port"}, {NP_FIELD_SKIP_FIRST_EXPECT, "skip_first_expect"},
        {NP_FIELD_HOLD_FIRST_SEND, "hold_first_send"}, {NP_FIELD_SEND_0, "send_0"}, {NP_FIELD_EXPECT_0, "expect_0"},
        {NP_FIELD_SEND_1, "send_1"}, {NP_FIELD_EXPECT_1, "expect_1"}, {NP_FIELD_SEND_2, "send_2"},
        {NP_FIELD_EXPECT_2, "expect_2"}, {NP_FIELD_CONNECTED, "connected"}, {NP_FIELD_GROUP_NAME, "group_name"},
        {NP_FIELD_PAYLOAD, "payload"}, {NP_FIELD_ALL_NAMES, "all_names"}, {NP_FIELD_NAMES, "names"},
        {NP_FIELD_UNIT_ID, "unit_id"}, {NP_FIELD_HOST_NAME, "host_name"}};
    EXPECT_EQ(constants.size(), fieldCatalogue().size()) << "a catalogue entry without its NP_FIELD_ constant";
    for (const FieldInfo& info : fieldCatalogue()) EXPECT_EQ(constants.at(info.key), info.name);
    EXPECT_EQ(np_c99_round_trip(), 0);
}

TEST(ClientLibraryTest, ManyRequestsInFlightAreMatchedBySequenceInTheCallersPollLoop) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready()) << service.error();
    uint16_t open = 0;
    const int listener = openTcpListener("127.0.0.1", 256, SOCK_CLOEXEC, &open);
    const uint16_t closed = closedTcpPort();
    np_client* client = np_open(service.busPath().c_str());
    ASSERT_NE(client, nullptr) << std::strerror(errno);
    std::map<uint32_t, int> expected;  // sequence -> status
    for (int i = 0; i < 150; ++i) {
        Message request = i % 3 == 2 ? Message(np_message_new(5)) : tcpProbe(i % 3 == 0 ? open : closed);
        uint32_t sequence = 0;
        ASSERT_EQ(np_send(client, request.get(), &sequence), 0) << std::strerror(errno);
        expected[sequence] = i % 3 == 0 ? NP_SUCCESS : i % 3 == 1 ? NP_FAILED : NP_ERROR;
    }
    EXPECT_EQ(expected.size(), 150u) << "each request its own sequence";
    for (pollfd p{np_fd(client), POLLIN, 0}; !expected.empty() && poll(&p, 1, 20000) == 1;) {
        uint32_t sequence = 0;
        Message reply(np_receive(client, 0, &sequence));
        ASSERT_NE(reply, nullptr) << std::strerror(errno);
        ASSERT_EQ(expected.count(sequence), 1u) << sequence;
        EXPECT_EQ(np_status(reply.get()), expected[sequence]);
        uint32_t elapsed = 0;
        size_t length = 0;
        const char* text = np_text(reply.get(), &length);
        if (expected[sequence] == NP_ERROR) {
            EXPECT_EQ(np_error_code(reply.get()), 16711681u);
            EXPECT_EQ(std::string(text, length), "unknown command");
        } else {
            EXPECT_EQ(np_get_u32(reply.get(), NP_FIELD_ELAPSED, &elapsed), 0);
        }
        int connected = 0;
        EXPECT_EQ(np_get_bool(reply.get(), NP_FIELD_CONNECTED, &connected) == 0, expected[sequence] == NP_SUCCESS);
        expected.erase(sequence);
    }
    EXPECT_TRUE(expected.empty()) << expected.size() << " replies missing";
    EXPECT_EQ(np_receive(client, 0, nullptr), nullptr);
    EXPECT_EQ(errno, ETIMEDOUT);
    np_close(client);
    close(listener);
}

TEST(ClientLibraryTest, BadArgumentsAreRefusedWithoutACrash) {
    Message m(np_message_new(1));
    uint32_t u = 0;
    int b = 0;
    size_t length = 0;
    const std::vector<std::pair<const char*, bool>> nullCalls = {
        {"np_fd", np_fd(nullptr) == -1},
        {"np_set_u32", np_set_u32(nullptr, 1, 1) == -1},
        {"np_set_be32", np_set_be32(nullptr, 1, 1) == -1},
        {"np_set_bool", np_set_bool(nullptr, 1, 1) == -1},
        {"np_set_string", np_set_string(m.get(), 7, nullptr, 3) == -1},
        {"np_send", np_send(nullptr, m.get(), &u) == -1},
        {"np_receive", np_receive(nullptr, 0, &u) == nullptr},
        {"np_status", np_status(nullptr) == -1},
        {"np_text", np_text(m.get(), nullptr) == nullptr},
        {"np_get_u32", np_get_u32(m.get(), 1, nullptr) == -1},
        {"np_get_be32", np_get_be32(nullptr, 1, &u) == -1},
        {"np_get_bool", np_get_bool(m.get(), 1, nullptr) == -1},
        {"np_get_string", np_get_string(nullptr, 1, &length) == nullptr},
    };
    for (const auto& [name, refused] : nullCalls) {
        errno = 0;
        EXPECT_TRUE(refused) << name;
    }
    EXPECT_EQ((np_fd(nullptr), errno), EINVAL);
    np_close(nullptr);
    np_message_free(nullptr);
    EXPECT_EQ(np_error_code(nullptr), 0u);
    // Absent, or of another type: ENOENT.
    EXPECT_EQ(np_get_u32(m.get(), NP_FIELD_PORT, &u), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(np_get_bool(m.get(), NP_FIELD_COMMAND, &b), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(np_set_string(m.get(), NP_FIELD_SEND_0, nullptr, 0), 0) << "an empty string needs no bytes";
    // Too large for the bus, and buses that are not there.
    std::string big(40000, 'x');
    np_set_string(m.get(), NP_FIELD_SEND_0, big.data(), big.size());
    np_set_string(m.get(), NP_FIELD_SEND_1, big.data(), big.size());
    ServiceProcess service;
    ASSERT_TRUE(service.ready()) << service.error();
    np_client* client = np_open(service.busPath().c_str());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(np_send(client, m.get(), &u), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    np_close(client);
    EXPECT_EQ(np_open("/nonexistent/bus.sock"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(np_open(std::string(200, 'p').c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL);
    setenv("NETPROBE_BUS", service.busPath().c_str(), 1);
    client = np_open(nullptr);
    unsetenv("NETPROBE_BUS");
    EXPECT_NE(client, nullptr) << "NULL takes $NETPROBE_BUS";
    np_close(client);
}

// A bus peer of the test's own: a reply over the limit and one that does not
// decode are refused, and the next good reply still comes.
TEST(ClientLibraryTest, OversizedAndBrokenRepliesAreRefusedAndTheClientGoesOn) {
    const std::string path = "/tmp/netprobe-cclient-peer-" + std::to_string(getpid()) + ".sock";
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    np_client* client = np_open(path.c_str());
    ASSERT_NE(client, nullptr);
    const int peer = accept(listener, nullptr, nullptr);
    const std::string oversized(nv::wire::kMaxPacket + 10, 'x'), broken = "NVPB garbage";
    const std::string good = nv::wire::encode(nv::wire::Kind::reply, 7, 0, nv::failedMsg("late"));
    for (const std::string* packet : {&oversized, &broken, &good})
        ASSERT_EQ(send(peer, packet->data(), packet->size(), 0), static_cast<ssize_t>(packet->size()));
    EXPECT_EQ(np_receive(client, 20000, nullptr), nullptr);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(np_receive(client, 20000, nullptr), nullptr);
    EXPECT_EQ(errno, EBADMSG);
    uint32_t sequence = 0;
    Message reply(np_receive(client, 20000, &sequence));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(sequence, 7u);
    EXPECT_EQ(np_status(reply.get()), NP_FAILED);
    np_close(client);
    close(peer);
    close(listener);
    unlink(path.c_str());
}

TEST(ClientLibraryTest, ABusThatGoesAwayIsToldAndCanBeOpenedAgain) {
    ServiceProcess::Options options;
    options.busPath = "/tmp/netprobe-cclient-" + std::to_string(getpid()) + ".sock";
    np_client* client = nullptr;
    {
        ServiceProcess first(options);
        ASSERT_TRUE(first.ready()) << first.error();
        client = np_open(options.busPath.c_str());
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(first.stop(), 0);
    }
    EXPECT_EQ(np_receive(client, 20000, nullptr), nullptr);
    EXPECT_EQ(errno, ENOTCONN);
    Message request(np_message_new(5));
    EXPECT_EQ(np_send(client, request.get(), nullptr), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(np_fd(client), -1);
    np_close(client);
    ServiceProcess second(options);  // the service comes back on the same path
    ASSERT_TRUE(second.ready()) << second.error();
    client = np_open(options.busPath.c_str());
    ASSERT_NE(client, nullptr);
    uint32_t sequence = 0, answered = 1;
    ASSERT_EQ(np_send(client, request.get(), &sequence), 0);
    Message reply(np_receive(client, 20000, &answered));
    ASSERT_NE(reply, nullptr) << std::strerror(errno);
    EXPECT_EQ(answered, sequence);
    EXPECT_EQ(np_status(reply.get()), NP_ERROR);
    np_close(client);
}

}  // namespace
