// In a private network whose far host is silent: connects nothing answers, in
// the transport and the service, and the service's NetBIOS socket unbound.
#include "net/StreamConnection.h"
#include "nv/BusClient.h"
#include "nv/ThinRunner.h"
#include "nv/sysctlErrorStr.h"
#include "protocol/Fields.h"
#include "tests/kit/NetNamespace.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

// An unroutable host fails the connect inside open; the silent one runs out the
// connect timer at 10 s on a driven clock. Each is told on a later pass.
TEST(TransportNetnsTest, UnansweredConnectIsToldFromTheLoop) {
    NetNamespace network(/*silentFar=*/true);
    if (!network.ok()) GTEST_SKIP() << network.error();
    ASSERT_TRUE(network.enterNear());
    nv::ThinRunner runner;
    uint64_t nowMs = 0;
    runner.setClockForTesting([&] { return nowMs; });
    std::vector<std::string> seen;  // each notice with the clock of the pass that told it
    auto connect = [&](uint32_t address) {  // a success would go unseen, and fail the test
        Ref<StreamConnection> connection = new StreamConnection;
        connection->open(address, 80);
        connection->setErrorCallback([&](std::string text) { seen.push_back(text + " at " + std::to_string(nowMs)); });
        return connection;
    };
    Ref<StreamConnection> unroutable = connect(ipv4("10.214.0.1"));  // no route leads there
    runner.runOnce(0);
    Ref<StreamConnection> silent = connect(NetNamespace::farAddress());
    for (nowMs = 9990; nowMs <= 10010; nowMs += 10) runner.runOnce(0);  // met at 10000, told at 10010
    EXPECT_EQ(seen, (std::vector<std::string>{nv::sysctlErrorStr("connect", ENETUNREACH) + " at 0",
                                              "connection timeout at 10010"}));
}

// The service in near, its one ephemeral UDP port taken: the NetBIOS socket is
// unbound, so each lookup fails at its send at once, with elapsed. A probe of the
// silent host gets the bare timeout reply (no fields) from its request timer.
TEST(ServiceNetnsTest, RepliesWhenNothingAnswers) {
    NetNamespace network(/*silentFar=*/true);
    if (!network.ok()) GTEST_SKIP() << network.error();
    ASSERT_TRUE(network.enterNear());
    ASSERT_TRUE(NetNamespace::run("sysctl -q -w net.ipv4.ip_local_port_range='61000 61000'"));
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bindIpv4(holder, "0.0.0.0", 61000), 61000);
    ServiceProcess service(ServiceProcess::Options{.netns = network.nearName()});
    nv::BusClient client;
    std::string error;
    ASSERT_TRUE(service.ready() && client.connect(service.busPath(), &error)) << service.error() << error;
    auto send = [&](uint32_t command, uint32_t timeoutMs) {
        nv::message request;
        request.insert<nv::u32_id>(field::command, command);
        request.insert<nv::be32_id>(field::address, NetNamespace::farAddress());
        request.insert<nv::u32_id>(field::port, 80);
        request.insert<nv::u32_id>(field::timeout, timeoutMs);
        return client.send(request, 0, &error);
    };
    ASSERT_NE(send(CMD_UDP_SEND, 0), 0u);  // never answered: its reply would come first
    for (uint32_t command : {CMD_TCP_PROBE, CMD_NETBIOS_STATUS, CMD_NETBIOS_STATUS}) {
        const bool timesOut = command == CMD_TCP_PROBE;
        const uint32_t timeoutMs = timesOut ? 200 : 2000, sequence = send(command, timeoutMs);
        uint32_t answered = 0;
        nv::message reply;
        ASSERT_TRUE(client.nextReply(&answered, &reply, 5000, &error) && answered == sequence) << error;
        EXPECT_EQ(reply.statusText(), timesOut ? "timeout" : "sendto: Bad file descriptor (errno 9)");
        EXPECT_EQ(reply.status(), timesOut ? nv::ReplyStatus::error : nv::ReplyStatus::failed);
        EXPECT_EQ(reply.errorCode(), timesOut ? kTimeoutError : 0);
        EXPECT_EQ(reply.size(), timesOut ? 0u : 1u);
        EXPECT_LT(reply.get<nv::u32_id>(field::elapsed, 0), timeoutMs);
    }
    close(holder);
}
