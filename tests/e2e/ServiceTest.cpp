// The service as a whole: the real netprobed, asked over its bus and
// through the command-line client, against peers on loopback that the
// test's own thread plays. A probe's connect completes in the listener's
// backlog, so a peer accepts after the fact and cannot miss it.
#include "nv/BusClient.h"
#include "nv/Looper.h"
#include "protocol/Fields.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

using Strings = std::vector<std::pair<uint32_t, std::string>>;

nv::message probe(uint32_t command, uint16_t port, const Strings& strings = {}, uint32_t timeoutMs = 0) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, command);
    request.insert<nv::be32_id>(field::address, ipv4("127.0.0.1"));
    request.insert<nv::u32_id>(field::port, port);
    for (const auto& [key, value] : strings) request.insert<nv::string_id>(key, value);
    if (timeoutMs != 0) request.insert<nv::u32_id>(field::timeout, timeoutMs);
    return request;
}

// Reads until `text` has come (empty: until the end); false at a reset.
bool readUntil(int fd, const std::string& text, std::string* seen) {
    for (pollfd p{fd, POLLIN, 0}; text.empty() || seen->find(text) == std::string::npos;) {
        char buffer[65536];
        const ssize_t n = poll(&p, 1, 20000) == 1 ? recv(fd, buffer, sizeof buffer, 0) : -1;
        if (n <= 0) return n == 0;
        seen->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.ready()) << service.error();
        ASSERT_TRUE(client.connect(service.busPath(), &error)) << error;
    }
    uint32_t send(const nv::message& request) {
        const uint32_t sequence = client.send(request, 0, &error);
        EXPECT_NE(sequence, 0u) << error;
        return sequence;
    }
    nv::message await(uint32_t sequence) {
        nv::message reply;
        EXPECT_TRUE(client.waitReply(sequence, &reply, 30000, &error)) << error;
        return reply;
    }

    ServiceProcess service;
    nv::BusClient client;
    std::string error;
};

TEST_F(ServiceTest, TcpProbes) {
    const std::string quit(60000, 'Q');
    const struct {
        const char* name;
        Strings strings;
        bool hold;
        std::vector<std::pair<bool, std::string>> peer;  // {true, sent} or {false, awaited}
        nv::ReplyStatus status;
        const char* text;
        std::string seen;  // all the peer read, to the end
    } cases[] = {
        {"no dialogue", {}, false, {}, nv::ReplyStatus::plain, "", ""},
        {"held first send",
         {{field::send_0, "HELD"}, {field::expect_0, "^SSH-2\\.0-"}, {field::send_1, "HI"}, {field::expect_1, "OK$"}},
         true, {{true, "SSH-2.0-Test\r\n"}, {false, "HI"}, {true, "OK"}}, nv::ReplyStatus::plain, "", "HI"},
        {"peer closes first", {{field::expect_0, "never"}}, false, {}, nv::ReplyStatus::failed, "connection closed", ""},
        {"silent peer", {{field::expect_0, "banner"}}, false, {{false, "?"}}, nv::ReplyStatus::error, "timeout", ""},
        // The reply comes at once; the last send still reaches a peer that
        // reads late and talks meanwhile, whole and with a clean end.
        {"last send", {{field::expect_0, "^220"}, {field::send_1, quit}}, false,
         {{true, "220 ready\r\n"}, {false, "Q"}, {true, std::string(3000, 'x')}}, nv::ReplyStatus::plain, "", quit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t port = 0;
        const int listener = openTcpListener("127.0.0.1", 1, SOCK_CLOEXEC, &port);
        const int small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        nv::message request = probe(CMD_TCP_PROBE, port, c.strings, c.status == nv::ReplyStatus::error ? 100 : 0);
        if (c.hold) request.insert<nv::bool_id>(field::hold_first_send, true);
        const uint32_t sequence = send(request);
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        std::string seen;
        for (const auto& [sent, text] : c.peer) {
            if (sent) ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            if (!sent && c.status != nv::ReplyStatus::error) readUntil(fd, text, &seen);
        }
        if (c.status == nv::ReplyStatus::failed) shutdown(fd, SHUT_RDWR);
        const nv::message reply = await(sequence);
        EXPECT_EQ(reply.status(), c.status);
        EXPECT_EQ(reply.statusText(), c.text);
        EXPECT_EQ(reply.contains(field::elapsed), c.status != nv::ReplyStatus::error);
        EXPECT_EQ(reply.contains(field::connected), c.status == nv::ReplyStatus::plain);
        EXPECT_TRUE(readUntil(fd, "", &seen)) << "a reset, not a clean end";
        EXPECT_EQ(seen, c.seen);
        close(fd);
    }
    const nv::message refused = await(send(probe(CMD_TCP_PROBE, closedTcpPort())));
    EXPECT_EQ(refused.statusText().rfind("connect: ", 0), 0u) << refused.statusText();
    EXPECT_NE(refused.statusText().find("(errno 111)"), std::string::npos) << refused.statusText();
}

TEST_F(ServiceTest, UdpProbes) {
    const struct {
        const char* name;
        Strings strings;
        bool hold, skipFirst, closedPort;
        std::vector<std::pair<std::string, std::vector<std::string>>> peer;  // awaited, then its answers
        nv::ReplyStatus status;
    } cases[] = {
        {"dialogue", {{field::send_0, "ping"}, {field::expect_0, "^po"}, {field::send_1, "again"}, {field::expect_1, "ng!$"}},
         false, false, false, {{"ping", {"pong"}}, {"again", {"pong", "!"}}}, nv::ReplyStatus::plain},
        {"empty answer", {{field::send_0, "hello?"}}, false, false, false, {{"hello?", {""}}}, nv::ReplyStatus::plain},
        // Sending alone is no answer; holding and skipping are TCP's alone.
        {"no answer", {{field::send_0, "x"}}, true, false, false, {{"x", {}}}, nv::ReplyStatus::error},
        {"first expectation kept", {{field::send_0, "x"}, {field::expect_0, "^y"}, {field::send_1, "z"}}, false, true,
         false, {{"x", {"n"}}}, nv::ReplyStatus::error},
        // The port unreachable comes back as a failed read, not an answer.
        {"closed port", {{field::send_0, "anyone?"}}, false, false, true, {}, nv::ReplyStatus::error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UdpPeer peer("127.0.0.1", 0);
        nv::message request = probe(CMD_UDP_PROBE, peer.port(), c.strings, c.status == nv::ReplyStatus::error ? 200 : 0);
        if (c.hold) request.insert<nv::bool_id>(field::hold_first_send, true);
        if (c.skipFirst) request.insert<nv::bool_id>(field::skip_first_expect, true);
        if (c.closedPort) request.insert<nv::u32_id>(field::port, closedTcpPort());
        const uint32_t sequence = send(request);
        for (const auto& [awaited, answers] : c.peer) {
            std::vector<uint8_t> datagram;
            ASSERT_TRUE(peer.receive(&datagram, 20000));
            EXPECT_EQ(std::string(datagram.begin(), datagram.end()), awaited);
            for (const std::string& answer : answers) peer.reply({answer.begin(), answer.end()});
        }
        const nv::message reply = await(sequence);
        EXPECT_EQ(reply.status(), c.status);
        EXPECT_EQ(reply.size(), c.status == nv::ReplyStatus::plain ? 1u : 0u) << "elapsed alone, never connected";
    }
    nv::message broadcast = probe(CMD_UDP_PROBE, 9, {{field::send_0, "x"}}, 100);
    broadcast.insert<nv::be32_id>(field::address, 0xffffffffu);
    EXPECT_EQ(await(send(broadcast)).errorCode(), kTimeoutError);
    EXPECT_TRUE(service.waitForOutput("UDP: connect 255.255.255.255:9: 13\nUDP: send: 9\n", 5000)) << service.output();
}

// Root and the service's own user may run its four commands; nobody else.
size_t lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Sweeps and batches through the client: a line per target naming it, the
// filter, the summary, and the exit statuses.
TEST_F(ServiceTest, SweepsAndBatches) {
    uint16_t open = 0;
    const int listener = openTcpListener("127.0.0.1", 64, SOCK_CLOEXEC, &open);
    const std::string bus = service.busPath(), closed = std::to_string(closedTcpPort()), live = std::to_string(open);
    std::string out, err;
    EXPECT_EQ(runClient({"--bus", bus, "--json", "tcp", "127.0.0.1", closed + "," + live + "," + closed}, &out, &err), 0);
    EXPECT_EQ(lines(out), 3u) << out;
    EXPECT_NE(out.find(R"({"result":"success","host":"127.0.0.1","port":)" + live + R"(,"elapsed":)"), std::string::npos);
    EXPECT_NE(out.find(R"({"result":"failure","host":"127.0.0.1","port":)" + closed + R"(,"text":"connect: )"), std::string::npos);
    EXPECT_NE(err.find("3 requests in "), std::string::npos) << err;
    EXPECT_NE(err.find("1 success, 2 failure, 0 error"), std::string::npos) << err;
    EXPECT_EQ(runClient({"--bus", bus, "--only", "success", "tcp", "127.0.0.1", closed + "," + live}, &out, &err), 0);
    EXPECT_EQ(out.rfind("127.0.0.1:" + live + " success elapsed=", 0), 0u) << out;
    EXPECT_EQ(lines(out), 1u) << out;

    const std::string batch = std::filesystem::path(bus).parent_path() / "batch.txt";
    std::ofstream(batch) << "tcp 127.0.0.1 '" << closed << "'\n# a comment\nnonsense here\nsend 127.0.0.1 9\n";
    EXPECT_EQ(runClient({"--bus", bus, "--json", "batch", batch}, &out, &err), 2) << "a line did not parse";
    EXPECT_NE(out.find(R"({"result":"failure","line":1,"host":"127.0.0.1","port":)" + closed), std::string::npos);
    EXPECT_NE(out.find(R"({"result":"usage","line":3,"text":"unknown subcommand nonsense"})"), std::string::npos);
    EXPECT_NE(out.find(R"({"result":"sent","line":4,"host":"127.0.0.1","port":9})"), std::string::npos);
    EXPECT_EQ(lines(out), 3u) << out;

    // Replies still missing when --wait runs out.
    EXPECT_EQ(runClient({"--bus", bus, "--wait", "100", "tcp", "127.0.0.1", live + "," + live, "--expect0", "x"},
                        &out, &err), 2);
    EXPECT_NE(err.find("2 without reply"), std::string::npos) << err;
    EXPECT_EQ(out, "");
    close(listener);
}

// SIGINT stops the sweep from starting more, and the replies in flight are
// still printed.
TEST_F(ServiceTest, InterruptedSweepTakesTheRepliesInFlight) {
    uint16_t open = 0;
    const int listener = openTcpListener("127.0.0.1", 64, SOCK_CLOEXEC, &open);
    const std::string live = std::to_string(open);
    FILE* output = std::tmpfile();
    const pid_t pid = startProgram(NETPROBE_CLI_PATH,
                                   {"--bus", service.busPath(), "--concurrency", "2", "tcp", "127.0.0.1",
                                    live + "," + live + "," + live, "--expect0", "x", "--timeout", "2000"},
                                   fileno(output), fileno(output));
    // Both requests are in flight once their connections are in the backlog.
    std::vector<int> connections;
    for (pollfd p{listener, POLLIN, 0}; connections.size() < 2 && poll(&p, 1, 20000) == 1;)
        connections.push_back(accept(listener, nullptr, nullptr));
    ASSERT_EQ(connections.size(), 2u);
    kill(pid, SIGINT);
    EXPECT_EQ(reapChild(pid, 30000), 130);
    std::string out(4096, '\0');
    out.resize(pread(fileno(output), out.data(), out.size(), 0));
    EXPECT_EQ(lines(out), 3u) << out;
    EXPECT_NE(out.find("127.0.0.1:" + live + " error 16646157: \"timeout\"\n127.0.0.1:" + live + " error"),
              std::string::npos) << out;
    EXPECT_NE(out.find("netprobe: interrupted: 2 requests in "), std::string::npos) << out;
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "no third request";
    for (int fd : connections) close(fd);
    close(listener);
    std::fclose(output);
}

TEST(ServicePolicyTest, OnlyRootAndTheServicesOwnUser) {
    ServiceProcess::Options asNobody;
    asNobody.user = 65534;
    ServiceProcess service(asNobody);
    ASSERT_TRUE(service.ready()) << service.error();
    chmod(std::filesystem::path(service.busPath()).parent_path().c_str(), 0755);
    chmod(service.busPath().c_str(), 0666);
    for (uid_t user : {0u, 65534u, 65533u}) {
        const pid_t child = fork();
        if (child == 0) {
            nv::BusClient client;
            std::string error;
            if ((user != 0 && setuid(user) != 0) || !client.connect(service.busPath(), &error)) _exit(100);
            int refused = 0;
            for (uint32_t command : {CMD_TCP_PROBE, CMD_UDP_PROBE, CMD_NETBIOS_STATUS, CMD_UDP_SEND}) {
                // Replies come in order; an allowed send has none, so the
                // unknown command behind it answers first.
                const uint32_t sequence = client.send(probe(command, closedTcpPort(), {}, 1), 0, &error);
                client.send(probe(0, 0), 0, &error);
                uint32_t first = 0;
                nv::message reply;
                if (client.nextReply(&first, &reply, 20000, &error) && first == sequence)
                    refused += reply.errorCode() == nv::kErrNotAllowed;
                if (first == sequence) client.nextReply(&first, &reply, 20000, &error);
            }
            _exit(refused);
        }
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), user == 65533 ? 4 : 0) << "user " << user;
    }
}

TEST(ServiceProcessTest, ClientAndServiceExitStatuses) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready()) << service.error();
    const std::string bus = service.busPath();
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out;
    } runs[] = {
        {{"--bus", bus, "--json", "request", "--command", "5"}, 1,
         "{\"result\":\"error\",\"code\":16711681,\"text\":\"unknown command\"}\n"},
        {{"--bus", bus, "request", "--command", "5"}, 1, "error 16711681: \"unknown command\"\n"},
        {{"--bus", bus, "--json", "send", "127.0.0.1", "9"}, 0, "{\"result\":\"sent\"}\n"},
        {{"--bus", bus, "tcp", "127.0.0.1", "80", "--expect0", "("}, 2, ""},
        {{"frobnicate"}, 2, ""},
        {{"--bus", "/nonexistent/bus.sock", "request", "--command", "5"}, 2, ""},
    };
    for (const auto& run : runs) {
        std::string out, err;
        EXPECT_EQ(runClient(run.args, &out, &err), run.status) << run.args.back();
        EXPECT_EQ(out, run.out);
        EXPECT_EQ(err.empty(), run.status != 2) << err;
    }
    // A second service on a live path refuses to start; the first goes on.
    std::string out, err;
    EXPECT_EQ(runProgram(ServiceProcess::programPath(), {}, &out, &err, {"NETPROBE_BUS=" + bus}), 1);
    nv::BusClient client;
    ASSERT_TRUE(client.connect(bus, &err)) << err;
    // SIGTERM with requests in flight: exit 0, and (with the sanitizers) no
    // leak reported.
    uint16_t port = 0;
    const int silent = openTcpListener("127.0.0.1", 64, SOCK_CLOEXEC, &port);
    UdpPeer deaf("127.0.0.1", 0);
    for (int i = 0; i < 20; ++i) {
        client.send(probe(CMD_TCP_PROBE, port, {{field::expect_0, "never"}}), 0, &err);
        client.send(probe(CMD_UDP_PROBE, deaf.port(), {{field::send_0, "x"}}), 0, &err);
        client.send(probe(CMD_NETBIOS_STATUS, deaf.port()), 0, &err);
    }
    nv::message reply;
    ASSERT_TRUE(client.call(probe(0, 0), 0, &reply, 20000, &err)) << "all started";
    EXPECT_EQ(service.stop(), 0);
    close(silent);
}

}  // namespace
