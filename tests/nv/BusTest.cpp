// The bus end to end: BusClient against a TestLooper, run in a forked child
// (fork, no exec) or, where a test must see inside, in this process and
// driven pass by pass with runOnce.
#include "nv/BusClient.h"
#include "nv/Looper.h"
#include "nv/WireCodec.h"
#include "tests/kit/ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using nv::message;
using nv::wire::Kind;

constexpr uint32_t kEcho = 100;   // replies with the request, its arg in kArgField
constexpr uint32_t kBig = 101;    // the same, field 1 replaced by that many bytes
constexpr uint32_t kStats = 102;  // the same, field 1 replaced by the count of requests handled
constexpr uint32_t kHold = 103;   // keeps the request, replies never
constexpr uint32_t kArgField = 1000;
constexpr int kWaitMs = 10000;

message cmd(uint32_t command, uint32_t value = 0) {
    message m;
    m.insert<nv::u32_id>(nv::kCommandField, command);
    m.insert<nv::u32_id>(1, value);
    return m;
}

std::string errorOf(const message& reply) { return std::to_string(reply.errorCode()) + " " + reply.statusText(); }

// Commands 1 to 4 echo as well, under policy 0x20200.
class TestLooper : public nv::Looper {
public:
    TestLooper() : nv::Looper() {
        for (uint32_t c = 1; c <= 4; ++c)
            policyTable().set_policy(c, nv::policies::grant(nv::policies::kRun, nv::policies::kRoot) |
                                            nv::policies::grant(nv::policies::kRun, nv::policies::kOwnUser));
    }
    void handleCmd(const message& request, unsigned arg) override {
        ++handled;
        const uint32_t command = request.get<nv::u32_id>(nv::kCommandField), value = request.get<nv::u32_id>(1);
        if (command == 0 || (command > 4 && command < kEcho) || command > kHold) return nv::Looper::handleCmd(request, arg);
        if (command == kHold) return held.push_back(request);
        message reply = request;
        reply.insert<nv::u32_id>(kArgField, arg);
        if (command == kBig) reply.insert<nv::string_id>(1, std::string(value, 'b'));
        if (command == kStats) reply.insert<nv::u32_id>(1, handled);
        replyMessage(request, reply);
    }
    unsigned handled = 0;
    std::vector<message> held;
};

// Runs `body` in a forked child, which exits with what it returns.
pid_t spawn(const std::function<int()>& body) {
    fflush(nullptr);  // or the child would print the parent's pending output again
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// Waits for a child for up to 10 s, then kills it; its exit status or -1.
int reap(pid_t pid) {
    return reapChild(pid, 10000);
}

// A TestLooper serving `path` in a child, stopped by SIGTERM.
struct ForkedService {
    explicit ForkedService(const std::string& path)
        : pid(spawn([&] {
              TestLooper looper;
              std::string error;
              if (!looper.openBus(path, &error)) return 3;
              looper.run();
              return 0;
          })) {}
    ~ForkedService() { stop(); }
    int stop() {  // the exit status
        const int status = stopChild(pid, 10000);
        pid = -1;
        return status;
    }
    pid_t pid;
};

int unixSocket(const std::string& path, bool bound) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    auto* address = reinterpret_cast<sockaddr*>(&addr);
    EXPECT_EQ(bound ? bind(fd, address, sizeof addr) : connect(fd, address, sizeof addr), 0);
    return fd;
}

// The reply to a raw packet: "<sequence> <error number> <text>", "closed" or "silence".
std::string rawExchange(int fd, const std::string& packet) {
    EXPECT_EQ(send(fd, packet.data(), packet.size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()));
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return "silence";
    std::vector<uint8_t> buffer(nv::wire::kMaxPacket);
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    nv::wire::Packet reply;
    bool known;
    if (n <= 0) return "closed";
    if (nv::wire::decode(buffer.data(), n, &reply, &known) != nv::wire::DecodeResult::ok) return "undecodable";
    return std::to_string(reply.sequence) + " " + errorOf(reply.body);
}

// Sends up to `count` requests for 60 KB replies, reading nothing (by hand:
// BusClient reads while it waits to send); how many went out.
int sendWithoutReading(int fd, int count) {
    const std::string request = nv::wire::encode(Kind::request, 1, 0, cmd(kBig, 60000));
    int sent = 0;
    for (pollfd p{fd, POLLOUT, 0}; sent < count && poll(&p, 1, kWaitMs) == 1; ++sent)
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) break;
    return sent;
}

// Reads replies until `limit` have come or the connection ends.
int readReplies(int fd, int limit) {
    int received = 0;
    std::vector<char> buffer(nv::wire::kMaxPacket);
    for (pollfd p{fd, POLLIN, 0}; received < limit && poll(&p, 1, kWaitMs) == 1; ++received)
        if (recv(fd, buffer.data(), buffer.size(), 0) <= 0) break;
    return received;
}

class BusTest : public ::testing::Test {
protected:
    BusTest() {
        char pattern[] = "/tmp/nv-bus-test-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        bus = folder + "/bus.sock";
    }
    ~BusTest() override { std::filesystem::remove_all(folder); }
    void connect(nv::BusClient& client) {  // waits for a service starting up
        std::string error;
        for (int i = 0; i < 1000 && !client.connect(bus, &error); ++i) poll(nullptr, 0, 10);
        ASSERT_TRUE(client.connected()) << error;
    }
    message call(nv::BusClient& client, const message& request) {
        message reply;
        std::string error;
        EXPECT_TRUE(client.call(request, 0, &reply, kWaitMs, &error)) << error;
        return reply;
    }
    uint32_t echo(nv::BusClient& client, uint32_t value) { return call(client, cmd(kEcho, value)).get<nv::u32_id>(1); }
    uint32_t handled(nv::BusClient& client) { return call(client, cmd(kStats)).get<nv::u32_id>(1); }
    // Until the service has handled every request sent so far: two status
    // requests 20 ms apart with nothing handled in between.
    void waitUntilIdle(nv::BusClient& client) {
        for (uint32_t i = 0, last = handled(client), now; i < 500; ++i, last = now) {
            poll(nullptr, 0, 20);
            if ((now = handled(client)) == last + 1) return;
        }
        ADD_FAILURE() << "the service stays busy";
    }

    std::string folder, bus;
};

TEST_F(BusTest, ManyClientsManyRequestsInFlightEachAnswered) {
    ForkedService service(bus);
    constexpr uint32_t kClients = 8, kPerClient = 64;
    nv::BusClient clients[kClients];
    uint32_t sequences[kClients][kPerClient];
    std::string error;
    for (auto& c : clients) connect(c);
    for (uint32_t i = 0; i < kPerClient; ++i)
        for (uint32_t c = 0; c < kClients; ++c) sequences[c][i] = clients[c].send(cmd(kEcho, c * 1000 + i), i, &error);
    // Collected out of order: the client keeps replies until asked for.
    for (uint32_t c = 0; c < kClients; ++c) {
        for (uint32_t i = kPerClient; i-- > 0;) {
            message reply;
            ASSERT_TRUE(clients[c].waitReply(sequences[c][i], &reply, kWaitMs, &error)) << error;
            EXPECT_EQ(reply.get<nv::u32_id>(1), c * 1000 + i);
            EXPECT_EQ(reply.get<nv::u32_id>(kArgField), i);
        }
    }
    nv::BusClient& client = clients[0];
    for (uint32_t command : {0u, 5u, 0xffffffffu})
        EXPECT_EQ(errorOf(call(client, cmd(command))), std::to_string(nv::kErrUnknownCommand) + " unknown command");
    EXPECT_EQ(call(client, cmd(kBig, 65000)).get<nv::string_id>(1).size(), 65000u);
    EXPECT_EQ(errorOf(call(client, cmd(kBig, 80000))), std::to_string(nv::kErrReplyTooLarge) + " reply too large");
    EXPECT_EQ(echo(client, 7), 7u);
}

// Past 256 clients a newcomer is closed at once. A client that leaves with
// requests in flight costs the others nothing, and its place is taken again.
TEST_F(BusTest, ClientsBeyondTheLimitAndAClientVanishingMidRequest) {
    ForkedService service(bus);
    std::vector<std::unique_ptr<nv::BusClient>> clients(257);
    for (auto& c : clients) connect(*(c = std::make_unique<nv::BusClient>()));
    for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(echo(*clients[i], i), i);
    message reply;
    std::string error;
    EXPECT_FALSE(clients[256]->call(cmd(kEcho), 0, &reply, kWaitMs, &error));
    EXPECT_FALSE(clients[256]->connected()) << error;

    for (int i = 0; i < 5; ++i) ASSERT_NE(clients[0]->send(cmd(kBig, 60000), 0, &error), 0u);
    clients[0]->close();
    waitUntilIdle(*clients[1]);
    connect(*clients[256]);
    EXPECT_EQ(echo(*clients[256], 2), 2u);
}

// Clients that do not read their replies are cut off once their queue
// passes 8 MiB, or all queues together pass 32 MiB (the longest goes), and
// nobody else notices.
TEST_F(BusTest, ClientsThatNeverReadAreDisconnected) {
    ForkedService service(bus);
    nv::BusClient busy;
    connect(busy);
    const int greedy = unixSocket(bus, false);
    const int sent = sendWithoutReading(greedy, 200);
    waitUntilIdle(busy);
    EXPECT_LT(readReplies(greedy, sent), sent);
    close(greedy);

    std::map<int, int> idle;  // five just under their own bound: 39 MB together
    for (int i = 0; i < 5; ++i) {
        const int fd = unixSocket(bus, false);
        idle[fd] = sendWithoutReading(fd, 130);
    }
    waitUntilIdle(busy);
    int cutOff = 0;
    for (auto [fd, count] : idle) {
        cutOff += readReplies(fd, count) < count;
        close(fd);
    }
    EXPECT_EQ(cutOff, 1);
}

TEST_F(BusTest, MalformedPacketsAreAnsweredOrCloseTheirConnection) {
    ForkedService service(bus);
    nv::BusClient bystander;
    connect(bystander);
    const std::string bad = std::to_string(nv::kErrBadMessage) + " bad message: ";
    message withText = cmd(kEcho), huge = cmd(kEcho);
    withText.insert<nv::string_id>(7, "abc");
    huge.insert<nv::string_id>(7, std::string(nv::wire::kMaxPacket, 'h'));
    std::string truncated = nv::wire::encode(Kind::request, 5, 0, withText);
    truncated.pop_back();
    std::string badVersion = nv::wire::encode(Kind::request, 6, 0, cmd(kEcho));
    badVersion[4] = 9;

    int fd = unixSocket(bus, false);
    EXPECT_EQ(rawExchange(fd, truncated), "5 " + bad + "truncated field");
    EXPECT_EQ(rawExchange(fd, badVersion), "6 " + bad + "unsupported version");
    EXPECT_EQ(rawExchange(fd, nv::wire::encode(Kind::reply, 7, 0, cmd(kEcho))), "7 " + bad + "not a request");
    EXPECT_EQ(rawExchange(fd, nv::wire::encode(Kind::request, 8, 0, huge)), "8 " + bad + "too large");
    EXPECT_EQ(rawExchange(fd, nv::wire::encode(Kind::request, 9, 0, cmd(kStats))), "9 0 ");  // still served
    EXPECT_EQ(echo(bystander, 3), 3u);
    // Without a readable header there is nobody to answer: closed.
    EXPECT_EQ(rawExchange(fd, "hello, bus"), "closed");
    close(fd);
    fd = unixSocket(bus, false);
    EXPECT_EQ(rawExchange(fd, "XXXX" + badVersion.substr(4)), "closed");
    close(fd);
    EXPECT_EQ(echo(bystander, 4), 4u);
}

// Under 0x20200 a peer that is neither root nor the service's user is
// refused, and nothing runs; commands without a policy stay open to it.
TEST_F(BusTest, PolicyRefusesAPeerOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    ForkedService service(bus);
    nv::BusClient root;
    connect(root);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(chown(bus.c_str(), 0, 65534), 0);  // the group may write the 0660 socket
    EXPECT_EQ(call(root, cmd(1, 11)).get<nv::u32_id>(1), 11u);
    const uint32_t handledBefore = handled(root);
    EXPECT_EQ(reap(spawn([&] {
                  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 10;
                  nv::BusClient stranger;
                  std::string error;
                  message reply;
                  if (!stranger.connect(bus, &error)) return 11;
                  int failures = 0;
                  for (uint32_t c = 1; c <= 4; ++c)
                      failures += !stranger.call(cmd(c), 0, &reply, kWaitMs, &error) ||
                                  errorOf(reply) != std::to_string(nv::kErrNotAllowed) + " not allowed";
                  failures += !stranger.call(cmd(kEcho, 5), 0, &reply, kWaitMs, &error) || reply.get<nv::u32_id>(1) != 5;
                  return failures;
              })),
              0);
    // Only the stranger's echo and this request reached handleCmd.
    EXPECT_EQ(handled(root), handledBefore + 2);
}

TEST_F(BusTest, StartUpReplacesOnlyAStaleSocket) {
    close(unixSocket(bus, true));  // a socket file without owner, as a killed service leaves it
    ForkedService service(bus);
    nv::BusClient client;
    connect(client);
    EXPECT_EQ(echo(client, 1), 1u);
    struct stat st;
    ASSERT_EQ(stat(bus.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    const std::string file = folder + "/file", errors = folder + "/errors";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    {
        TestLooper looper;  // the one in this process
        std::string error;
        EXPECT_FALSE(looper.openBus(bus, &error));
        EXPECT_EQ(error, "bus " + bus + ": another service is already answering there");
        EXPECT_FALSE(looper.openBus(file, &error));
        EXPECT_EQ(error, "bus " + file + ": exists and is not a socket");
    }
    EXPECT_EQ(echo(client, 2), 2u);
    EXPECT_EQ(service.stop(), 0);
    EXPECT_NE(access(bus.c_str(), F_OK), 0) << "the service removes its socket file";
    // run() says why it cannot open the bus, and exits with 1.
    EXPECT_EQ(reap(spawn([&] {
                  if (!freopen(errors.c_str(), "w", stderr)) return 9;
                  TestLooper looper;
                  looper.setBusPath("/nonexistent-folder/bus.sock");
                  looper.run();
                  return 0;
              })),
              1);
    std::ifstream in(errors);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "bus /nonexistent-folder/bus.sock: bind: No such file or directory\n");
}

// In this process, pass by pass. Connection ids are never reused: a late
// reply for a client that has gone is dropped, though the next client gets
// the same descriptor number and the same sequence number.
TEST_F(BusTest, LateReplyNeverReachesALaterConnectionNorALocalRequester) {
    TestLooper looper;
    std::string error;
    ASSERT_TRUE(looper.openBus(bus, &error)) << error;
    auto pump = [&] {
        for (int i = 0; i < 5; ++i) looper.runOnce(10);
    };
    nv::BusClient first, second;
    connect(first);
    const uint32_t firstSequence = first.send(cmd(kHold), 0, &error);
    pump();
    ASSERT_EQ(looper.held.size(), 1u);
    first.close();
    pump();
    connect(second);
    EXPECT_EQ(second.send(cmd(kEcho, 2), 0, &error), firstSequence);
    pump();
    looper.replyMessage(looper.held[0], nv::errorMsg(1, "late"));
    pump();
    message reply;
    uint32_t sequence;
    ASSERT_TRUE(second.waitReply(firstSequence, &reply, kWaitMs, &error)) << error;
    EXPECT_EQ(reply.get<nv::u32_id>(1), 2u);
    EXPECT_FALSE(second.nextReply(&sequence, &reply, 200, &error)) << "got " << reply.statusText();

    // A local request passes the policy too, and gets one reply only.
    std::vector<message> replies;
    auto record = [&](const message& r) { replies.push_back(r); };
    looper.dispatchLocal(cmd(kEcho, 3), 8, record);
    looper.dispatchLocal(cmd(kHold), 0, record);
    looper.replyMessage(looper.held[1], nv::failedMsg("first"));
    looper.replyMessage(looper.held[1], nv::failedMsg("second"));
    looper.policyTable().set_policy(kEcho, 0);
    const unsigned handledBefore = looper.handled;
    looper.dispatchLocal(cmd(kEcho), 0, record);
    EXPECT_EQ(looper.handled, handledBefore);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].get<nv::u32_id>(kArgField), 8u);
    EXPECT_EQ(replies[1].statusText(), "first");
    EXPECT_EQ(errorOf(replies[2]), std::to_string(nv::kErrNotAllowed) + " not allowed");
}

// Out of descriptors, the loop stops watching the listener rather than spin
// on it, and serves the waiting clients once descriptors are free again.
TEST_F(BusTest, AcceptPausesWhileDescriptorsRunOut) {
    EXPECT_EQ(reap(spawn([&] {
                  rlimit limit{32, 32};
                  setrlimit(RLIMIT_NOFILE, &limit);
                  TestLooper looper;
                  std::string error;
                  if (!looper.openBus(bus, &error)) return 10;
                  int listener = -1, accepting = 0;
                  for (int fd = 0; fd < 32; ++fd) {
                      socklen_t length = sizeof accepting;
                      if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 && accepting) listener = fd;
                  }
                  std::vector<std::unique_ptr<nv::BusClient>> clients;
                  while (clients.size() < 32 && clients.emplace_back(new nv::BusClient)->connect(bus, &error)) {}
                  if (clients.size() < 5) return 11;
                  looper.runOnce(0);
                  if (looper.isWatched(listener)) return 12;
                  clients.resize(2);  // the first two in the backlog stay
                  for (int i = 0; i < 100 && !looper.isWatched(listener); ++i) looper.runOnce(50);
                  if (!looper.isWatched(listener)) return 13;
                  const uint32_t sequence = clients[1]->send(cmd(kEcho, 6), 0, &error);
                  message reply;
                  for (int i = 0; i < 200 && !clients[1]->waitReply(sequence, &reply, 0, &error); ++i) looper.runOnce(20);
                  return reply.get<nv::u32_id>(1) == 6 ? 0 : 14;
              })),
              0);
}

}  // namespace
