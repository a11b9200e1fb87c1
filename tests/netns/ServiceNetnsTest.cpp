// The service on a test host of its own: a silent far host, and a shared
// endpoint that cannot get a port.
#include "protocol/Fields.h"
#include "nv/BusClient.h"
#include "tests/kit/NetNamespace.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

nv::message request(uint32_t command, uint32_t address, uint32_t port, uint32_t timeoutMs) {
    nv::message r;
    r.insert<nv::u32_id>(field::command, command);
    r.insert<nv::be32_id>(field::address, address);
    r.insert<nv::u32_id>(field::port, port);
    r.insert<nv::u32_id>(field::timeout, timeoutMs);
    return r;
}

class ServiceNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!network.ok()) GTEST_SKIP() << network.error();
    }
    bool startService() {
        ServiceProcess::Options options;
        options.netns = network.nearName();
        service = std::make_unique<ServiceProcess>(options);
        std::string error;
        return service->ready() && client.connect(service->busPath(), &error);
    }
    nv::message call(const nv::message& r) {
        nv::message reply;
        std::string error;
        EXPECT_TRUE(client.call(r, 0, &reply, 30000, &error)) << error;
        return reply;
    }

    NetNamespace network;
    std::unique_ptr<ServiceProcess> service;
    nv::BusClient client;
};

// With the default timeout both the request timer and the connect timer
// run 10 s; whichever runs out first answers. A shorter request timeout
// answers first; a longer one leaves the answer to the connect timer.
TEST_F(ServiceNetnsTest, SilentHostIsAnsweredByWhicheverTimerRunsOutFirst) {
    ASSERT_TRUE(network.silenceFar());
    ASSERT_TRUE(startService());
    nv::message reply = call(request(CMD_TCP_PROBE, NetNamespace::farAddress(), 80, 500));
    EXPECT_EQ(reply.errorCode(), kTimeoutError);
    EXPECT_FALSE(reply.contains(field::elapsed));

    reply = call(request(CMD_TCP_PROBE, NetNamespace::farAddress(), 80, 20000));
    EXPECT_EQ(reply.status(), nv::ReplyStatus::failed);
    EXPECT_EQ(reply.statusText(), "connection timeout");
    uint32_t elapsed = reply.get<nv::u32_id>(field::elapsed);
    EXPECT_GE(elapsed, 9990u);
    EXPECT_LT(elapsed, 15000u);

    // UDP to the silent host: the send goes out, nothing comes back.
    reply = call(request(CMD_UDP_PROBE, NetNamespace::farAddress(), 53, 300));
    EXPECT_EQ(reply.errorCode(), kTimeoutError);
}

// The shared endpoint cannot bind when the host's one ephemeral port is
// taken: every lookup then fails at its send, at once, and raw sends do
// nothing; the rest of the service works on.
TEST_F(ServiceNetnsTest, SharedSocketWithoutADescriptorFailsEveryLookupAtItsSend) {
    ASSERT_EQ(NetNamespace::run({"ip", "netns", "exec", network.nearName(), "sysctl", "-q", "-w",
                                 "net.ipv4.ip_local_port_range=61000 61000"}),
              0);
    ASSERT_TRUE(network.enterNear());
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_port = htons(61000);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&port), sizeof port), 0);
    network.leave();

    ASSERT_TRUE(startService());
    EXPECT_TRUE(service->waitForOutput("UDP: bind: 98\n", 5000)) << service->output();
    for (int i = 0; i < 3; ++i) {
        nv::message reply = call(request(CMD_NETBIOS_STATUS, NetNamespace::farAddress(), 0, 5000));
        EXPECT_EQ(reply.status(), nv::ReplyStatus::failed);
        EXPECT_EQ(reply.statusText(), "sendto: Bad file descriptor (errno 9)");
        EXPECT_TRUE(reply.contains(field::elapsed));
    }
    std::string error;
    EXPECT_NE(client.send(request(CMD_UDP_SEND, NetNamespace::farAddress(), 9, 0), 0, &error), 0u);
    nv::message reply;
    uint32_t sequence;
    EXPECT_FALSE(client.nextReply(&sequence, &reply, 300, &error)) << "raw sends are never answered";
    close(holder);
}

}  // namespace
