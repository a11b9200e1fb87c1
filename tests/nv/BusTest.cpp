// The bus end to end: BusClient against a TestLooper, run in a forked child
// (fork, no exec) or, where a test must see inside, in this process and
// driven pass by pass with runOnce.
#include "nv/BusClient.h"
#include "nv/Looper.h"
#include "nv/Timer.h"
#include "nv/WireCodec.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>

namespace {

using nv::message;

constexpr uint32_t kEcho = 100;   // replies with the request's fields and arg
constexpr uint32_t kLater = 101;  // replies after field 1 ticks
constexpr uint32_t kBig = 102;    // replies with a string of field 1 bytes
constexpr uint32_t kStats = 103;  // replies with kLater replies sent (1) and requests handled (2)
constexpr uint32_t kHold = 104;   // keeps the request, replies never
constexpr uint32_t kArgField = 1000;
constexpr int kWaitMs = 10000;

message cmd(uint32_t command, uint32_t value = 0) {
    message m;
    m.insert<nv::u32_id>(nv::kCommandField, command);
    m.insert<nv::u32_id>(1, value);
    return m;
}

class TestLooper : public nv::Looper {
public:
    TestLooper() : nv::Looper(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) {
        for (uint32_t c = 1; c <= 4; ++c) policyTable().set_policy(c, 0x20200);
    }

    void handleCmd(const message& request, unsigned arg) override {
        ++handled;
        uint32_t command = request.get<nv::u32_id>(nv::kCommandField);
        message reply;
        if (command == kEcho || (command >= 1 && command <= 4)) {
            reply = request;
            reply.insert<nv::u32_id>(kArgField, arg);
        } else if (command == kBig) {
            reply.insert<nv::string_id>(1, std::string(request.get<nv::u32_id>(1), 'b'));
        } else if (command == kStats) {
            reply.insert<nv::u32_id>(1, laterSent);
            reply.insert<nv::u32_id>(2, handled);
        } else if (command == kLater) {
            uint64_t id = nextLater++;
            auto& entry = later[id];
            entry.first = request;
            // The handler destroys its own timer: the framework allows it.
            entry.second = nv::Timer(request.get<nv::u32_id>(1), [this, id] {
                replyMessage(later[id].first, message());
                ++laterSent;
                later.erase(id);
            });
            return;
        } else if (command == kHold) {
            held.push_back(request);
            return;
        } else {
            nv::Looper::handleCmd(request, arg);
            return;
        }
        replyMessage(request, reply);
    }

    unsigned handled = 0;
    uint32_t laterSent = 0;
    std::vector<message> held;
    std::map<uint64_t, std::pair<message, nv::Timer>> later;
    uint64_t nextLater = 0;
};

struct TempFolder {
    TempFolder() {
        char pattern[] = "/tmp/nv-bus-test-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        path = pattern;
    }
    ~TempFolder() {
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* e = readdir(dir))
                if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
            closedir(dir);
        }
        rmdir(path.c_str());
    }
    std::string path;
};

// Waits for a child for up to 10 s, then kills it; its exit status or -1.
int reap(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        poll(nullptr, 0, 10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// A TestLooper serving `path` in a child process, stopped by SIGTERM.
class ForkedService {
public:
    explicit ForkedService(const std::string& path) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        fflush(nullptr);  // or the child would print the parent's pending output again
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            int status = 3;
            {
                TestLooper looper;
                std::string error;
                bool ok = looper.openBus(path, &error);
                std::string line = ok ? "ok" : error;
                if (write(fds[1], line.data(), line.size()) < 0) _exit(4);
                close(fds[1]);
                if (ok) {
                    looper.run();
                    status = 0;
                }
            }
            _exit(status);
        }
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        char buffer[512];
        ssize_t n = poll(&p, 1, 20000) == 1 ? read(fds[0], buffer, sizeof buffer) : 0;
        startLine = std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        close(fds[0]);
    }
    ~ForkedService() { stop(); }
    bool ready() const { return startLine == "ok"; }
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = reap(pid_);
        pid_ = -1;
        return status;
    }
    std::string startLine;

private:
    pid_t pid_ = -1;
};

class BusTest : public ::testing::Test {
protected:
    void connect(nv::BusClient& client) {
        std::string error;
        ASSERT_TRUE(client.connect(bus, &error)) << error;
    }
    message call(nv::BusClient& client, const message& request, unsigned arg = 0) {
        message reply;
        std::string error;
        EXPECT_TRUE(client.call(request, arg, &reply, kWaitMs, &error)) << error;
        return reply;
    }
    // Until the service has handled every request sent so far: two status
    // requests in a row, 20 ms apart, with nothing handled in between.
    void waitUntilIdle(nv::BusClient& client) {
        uint32_t last = call(client, cmd(kStats)).get<nv::u32_id>(2);
        for (int i = 0; i < 500; ++i) {
            poll(nullptr, 0, 20);
            uint32_t now = call(client, cmd(kStats)).get<nv::u32_id>(2);
            if (now == last + 1) return;
            last = now;
        }
        ADD_FAILURE() << "the service stays busy";
    }
    static void expectError(const message& reply, uint32_t code, const std::string& text) {
        EXPECT_EQ(reply.status(), nv::ReplyStatus::error);
        EXPECT_EQ(reply.errorCode(), code);
        EXPECT_EQ(reply.statusText(), text);
    }

    TempFolder folder;
    std::string bus = folder.path + "/bus.sock";
};

TEST_F(BusTest, ManyClientsWithManyRequestsInFlight) {
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    constexpr uint32_t kClients = 8, kPerClient = 64;
    nv::BusClient clients[kClients];
    std::map<uint32_t, uint32_t> sequenceOf[kClients];
    std::string error;
    for (auto& c : clients) connect(c);
    for (uint32_t i = 0; i < kPerClient; ++i)
        for (uint32_t c = 0; c < kClients; ++c)
            sequenceOf[c][i] = clients[c].send(cmd(kEcho, c * 1000 + i), i, &error);
    // Collected out of order: the client keeps replies until asked for.
    for (uint32_t c = 0; c < kClients; ++c) {
        for (uint32_t i = kPerClient; i-- > 0;) {
            message reply;
            ASSERT_TRUE(clients[c].waitReply(sequenceOf[c][i], &reply, kWaitMs, &error)) << error;
            EXPECT_EQ(reply.get<nv::u32_id>(1), c * 1000 + i);
            EXPECT_EQ(reply.get<nv::u32_id>(kArgField), i);
        }
    }
}

TEST_F(BusTest, EveryRequestIsAnswered) {
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    nv::BusClient client;
    connect(client);
    for (uint32_t command : {0u, 5u, 0xffffffffu}) expectError(call(client, cmd(command), 9), nv::kErrUnknownCommand, "unknown command");

    message largest = cmd(kEcho);
    largest.insert<nv::string_id>(15, std::string(65507, '\0'));
    EXPECT_EQ(call(client, largest).get<nv::string_id>(15), largest.get<nv::string_id>(15));
    expectError(call(client, cmd(kBig, 80000)), nv::kErrReplyTooLarge, "reply too large");

    message tooLarge = cmd(kEcho);
    tooLarge.insert<nv::string_id>(15, std::string(nv::wire::kMaxPacket, 'x'));
    std::string error;
    EXPECT_EQ(client.send(tooLarge, 0, &error), 0u);
    EXPECT_NE(error.find("too large"), std::string::npos);
    EXPECT_EQ(call(client, cmd(kEcho, 7)).get<nv::u32_id>(1), 7u);
}

TEST_F(BusTest, VanishedClientLosesOnlyItsOwnReplies) {
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    nv::BusClient leaving, staying;
    connect(leaving);
    connect(staying);
    std::string error;
    for (int i = 0; i < 5; ++i) ASSERT_NE(leaving.send(cmd(kLater, 20), 0, &error), 0u);
    leaving.close();
    EXPECT_EQ(call(staying, cmd(kLater, 30)).status(), nv::ReplyStatus::plain);
    // All six requests ended normally, the five unanswerable ones included.
    EXPECT_EQ(call(staying, cmd(kStats)).get<nv::u32_id>(1), 6u);
}

// Past 256 clients a newcomer is closed at once; a free place is taken again.
TEST_F(BusTest, ClientsBeyondTheLimitAreTurnedAway) {
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    std::vector<std::unique_ptr<nv::BusClient>> clients;
    for (int i = 0; i <= 256; ++i) {
        clients.push_back(std::make_unique<nv::BusClient>());
        connect(*clients.back());
    }
    for (int i = 0; i < 256; ++i) ASSERT_EQ(call(*clients[i], cmd(kEcho, 1)).get<nv::u32_id>(1), 1u) << i;
    message reply;
    std::string error;
    EXPECT_FALSE(clients[256]->call(cmd(kEcho), 0, &reply, kWaitMs, &error));
    EXPECT_FALSE(clients[256]->connected()) << error;
    clients[0]->close();
    waitUntilIdle(*clients[1]);
    connect(*clients[256]);
    EXPECT_EQ(call(*clients[256], cmd(kEcho, 2)).get<nv::u32_id>(1), 2u);
}

int rawConnect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

// The reply to a raw packet: its sequence and text, "closed", or "silence".
std::string rawExchange(int fd, const std::string& packet) {
    EXPECT_EQ(send(fd, packet.data(), packet.size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()));
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return "silence";
    std::vector<uint8_t> buffer(nv::wire::kMaxPacket);
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return "closed";
    nv::wire::Packet reply;
    bool known;
    if (nv::wire::decode(buffer.data(), static_cast<size_t>(n), &reply, &known) != nv::wire::DecodeResult::ok)
        return "undecodable";
    return std::to_string(reply.sequence) + " " + std::to_string(reply.body.errorCode()) + " " +
           reply.body.statusText();
}

// Sends `count` requests for 60 KB replies and reads nothing (by hand:
// BusClient reads while it waits to send); how many went out.
int sendWithoutReading(int fd, int count) {
    const std::string request = nv::wire::encode(nv::wire::Kind::request, 1, 0, cmd(kBig, 60000));
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

// Clients that do not read their replies are cut off once their queue
// passes 8 MiB, or all queues together pass 32 MiB (the longest goes), and
// nobody else notices.
TEST_F(BusTest, ClientsThatNeverReadAreDisconnected) {
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    nv::BusClient busy;
    connect(busy);
    int greedy = rawConnect(bus);
    int sent = sendWithoutReading(greedy, 200);
    waitUntilIdle(busy);
    EXPECT_LT(readReplies(greedy, sent), sent);
    close(greedy);

    // Five just under their own bound: 39 MB together.
    std::map<int, int> idle;
    for (int i = 0; i < 5; ++i) {
        int fd = rawConnect(bus);
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
    ASSERT_TRUE(service.ready()) << service.startLine;
    nv::BusClient bystander;
    connect(bystander);
    const std::string bad = std::to_string(nv::kErrBadMessage) + " bad message: ";
    message withText = cmd(kEcho);
    withText.insert<nv::string_id>(7, "abc");
    std::string truncated = nv::wire::encode(nv::wire::Kind::request, 5, 0, withText);
    truncated.pop_back();
    std::string badVersion = nv::wire::encode(nv::wire::Kind::request, 6, 0, cmd(kEcho));
    badVersion[4] = 9;
    message huge = cmd(kEcho);
    huge.insert<nv::string_id>(7, std::string(nv::wire::kMaxPacket, 'h'));

    int fd = rawConnect(bus);
    EXPECT_EQ(rawExchange(fd, truncated), "5 " + bad + "truncated field");
    EXPECT_EQ(rawExchange(fd, badVersion), "6 " + bad + "unsupported version");
    EXPECT_EQ(rawExchange(fd, nv::wire::encode(nv::wire::Kind::reply, 7, 0, cmd(kEcho))), "7 " + bad + "not a request");
    EXPECT_EQ(rawExchange(fd, nv::wire::encode(nv::wire::Kind::request, 8, 0, huge)), "8 " + bad + "too large");
    // The connection survives all of that.
    EXPECT_EQ(rawExchange(fd, nv::wire::encode(nv::wire::Kind::request, 9, 0, cmd(kStats))), "9 0 ");
    EXPECT_EQ(call(bystander, cmd(kEcho, 3)).get<nv::u32_id>(1), 3u);
    // Without a readable header there is nobody to answer: closed.
    EXPECT_EQ(rawExchange(fd, "hello, bus"), "closed");
    close(fd);
    fd = rawConnect(bus);
    EXPECT_EQ(rawExchange(fd, std::string("XXXX") + badVersion.substr(4)), "closed");
    close(fd);
    EXPECT_EQ(call(bystander, cmd(kEcho, 4)).get<nv::u32_id>(1), 4u);
}

// Under 0x20200 a peer that is neither root nor the service's user is
// refused, and nothing runs; commands without a policy stay open to it.
TEST_F(BusTest, PolicyRefusesAPeerOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    ASSERT_EQ(chmod(folder.path.c_str(), 0755), 0);
    ASSERT_EQ(chown(bus.c_str(), 0, 65534), 0);  // the group may write the 0660 socket
    nv::BusClient root;
    connect(root);
    EXPECT_EQ(call(root, cmd(1, 11)).get<nv::u32_id>(1), 11u);
    uint32_t handledBefore = call(root, cmd(kStats)).get<nv::u32_id>(2);

    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        nv::BusClient stranger;
        std::string error;
        message reply;
        if (!stranger.connect(bus, &error)) _exit(11);
        int failures = 0;
        for (uint32_t c = 1; c <= 4; ++c) {
            if (!stranger.call(cmd(c), 0, &reply, kWaitMs, &error)) _exit(12);
            failures += reply.errorCode() != nv::kErrNotAllowed || reply.statusText() != "not allowed";
        }
        if (!stranger.call(cmd(kEcho, 5), 0, &reply, kWaitMs, &error)) _exit(13);
        failures += reply.get<nv::u32_id>(1) != 5;
        _exit(failures);
    }
    EXPECT_EQ(reap(child), 0);
    // The refused requests never reached handleCmd: only the stranger's
    // echo and this request did.
    EXPECT_EQ(call(root, cmd(kStats)).get<nv::u32_id>(2), handledBefore + 2);
}

TEST_F(BusTest, StartUpReplacesOnlyAStaleSocket) {
    {
        // A socket file whose owner is gone, as a killed service leaves it.
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        bus.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        close(fd);
    }
    ForkedService service(bus);
    ASSERT_TRUE(service.ready()) << service.startLine;
    struct stat st;
    ASSERT_EQ(stat(bus.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    ForkedService second(bus);
    EXPECT_EQ(second.startLine, "bus " + bus + ": another service is already answering there");
    nv::BusClient client;
    connect(client);
    EXPECT_EQ(call(client, cmd(kEcho, 1)).get<nv::u32_id>(1), 1u);
    EXPECT_EQ(service.stop(), 0);
    EXPECT_NE(access(bus.c_str(), F_OK), 0) << "the service removes its socket file";

    std::string plainFile = folder.path + "/file";
    close(open(plainFile.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_EQ(ForkedService(plainFile).startLine, "bus " + plainFile + ": exists and is not a socket");
    EXPECT_EQ(ForkedService("/nonexistent-folder/bus.sock").startLine,
              "bus /nonexistent-folder/bus.sock: bind: No such file or directory");
}

TEST_F(BusTest, RunSaysWhyAndExitsWhenTheBusCannotOpen) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDERR_FILENO);
        setenv("NETPROBE_BUS", "/nonexistent-folder/bus.sock", 1);
        TestLooper looper;
        looper.run();
        _exit(0);
    }
    close(fds[1]);
    EXPECT_EQ(reap(child), 1);
    char buffer[256];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0),
              "bus /nonexistent-folder/bus.sock: bind: No such file or directory\n");
}

// In this process, pass by pass.
void pump(nv::ThinRunner& runner, int passes) {
    for (int i = 0; i < passes; ++i) runner.runOnce(10);
}

// Connection ids are never reused: a late reply for a client that has gone
// is dropped, even though the next client gets the same descriptor number
// and the same sequence number.
TEST_F(BusTest, LateReplyNeverReachesALaterConnection) {
    TestLooper looper;
    std::string error;
    ASSERT_TRUE(looper.openBus(bus, &error)) << error;
    nv::BusClient first, second;
    connect(first);
    uint32_t firstSequence = first.send(cmd(kHold), 0, &error);
    pump(looper, 5);
    ASSERT_EQ(looper.held.size(), 1u);
    first.close();
    pump(looper, 5);
    connect(second);
    EXPECT_EQ(second.send(cmd(kEcho, 2), 0, &error), firstSequence);
    pump(looper, 5);
    looper.replyMessage(looper.held[0], nv::errorMsg(1, "late"));
    pump(looper, 2);
    message reply;
    uint32_t sequence;
    ASSERT_TRUE(second.waitReply(firstSequence, &reply, kWaitMs, &error)) << error;
    EXPECT_EQ(reply.get<nv::u32_id>(1), 2u);
    EXPECT_FALSE(second.nextReply(&sequence, &reply, 200, &error)) << "got " << reply.statusText();
}

TEST_F(BusTest, LocalRequestsPassThePolicyAndGetOneReply) {
    TestLooper looper;
    std::vector<message> replies;
    auto record = [&](const message& r) { replies.push_back(r); };
    looper.dispatchLocal(cmd(kEcho, 3), 8, record);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].get<nv::u32_id>(kArgField), 8u);

    looper.dispatchLocal(cmd(kHold), 0, record);
    looper.replyMessage(looper.held[0], nv::failedMsg("first"));
    looper.replyMessage(looper.held[0], nv::failedMsg("second"));
    looper.replyMessage(message(), nv::failedMsg("to nobody"));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].statusText(), "first");

    looper.policyTable().set_policy(kEcho, 0);
    unsigned handledBefore = looper.handled;
    looper.dispatchLocal(cmd(kEcho), 0, record);
    ASSERT_EQ(replies.size(), 3u);
    expectError(replies[2], nv::kErrNotAllowed, "not allowed");
    EXPECT_EQ(looper.handled, handledBefore);
}

// Out of descriptors, the loop stops watching the listener rather than spin
// on it, and serves the waiting clients once descriptors are free again.
TEST_F(BusTest, AcceptPausesWhileDescriptorsRunOut) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        rlimit limit{32, 32};
        setrlimit(RLIMIT_NOFILE, &limit);
        TestLooper looper;
        std::string error;
        if (!looper.openBus(bus, &error)) _exit(10);
        int listener = -1;
        for (int fd = 0; fd < 32; ++fd) {
            int accepting = 0;
            socklen_t length = sizeof accepting;
            if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 && accepting) listener = fd;
        }
        std::vector<std::unique_ptr<nv::BusClient>> clients;
        for (int i = 0; i < 32; ++i) {
            auto c = std::make_unique<nv::BusClient>();
            if (!c->connect(bus, &error)) break;
            clients.push_back(std::move(c));
        }
        if (clients.size() < 4) _exit(11);
        looper.runOnce(0);
        if (looper.isWatched(listener)) _exit(12);
        clients.resize(2);  // the first two in the backlog stay
        for (int i = 0; i < 100 && !looper.isWatched(listener); ++i) looper.runOnce(50);
        if (!looper.isWatched(listener)) _exit(13);
        uint32_t sequence = clients[1]->send(cmd(kEcho, 6), 0, &error);
        message reply;
        for (int i = 0; i < 200 && !clients[1]->waitReply(sequence, &reply, 0, &error); ++i) looper.runOnce(20);
        _exit(reply.get<nv::u32_id>(1) == 6 ? 0 : 14);
    }
    EXPECT_EQ(reap(child), 0);
}

}  // namespace
