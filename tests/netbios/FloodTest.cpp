// A flood of junk datagrams on the shared port, while the service's
// standard output is a pipe that nobody reads: every junk datagram is worth
// a diagnostic line, yet probes are still answered and SIGTERM still ends
// the service.
#include "netbios/NetbiosPacket.h"
#include "nv/BusClient.h"
#include "protocol/Fields.h"
#include "tests/kit/NodeStatusRequest.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"
#include "tests/kit/UdpPeer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(FloodTest, JunkDatagramsWithAStalledLogNeitherStopProbesNorShutdown) {
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    fcntl(output[1], F_SETPIPE_SZ, 4096);  // a console or logger that fills quickly
    ServiceProcess::Options options;
    options.outputFd = output[1];
    ServiceProcess service(options);
    close(output[1]);
    ASSERT_TRUE(service.ready()) << service.error();
    nv::BusClient client;
    std::string error;
    ASSERT_TRUE(client.connect(service.busPath(), &error)) << error;

    // The shared port: where the lookups come from.
    UdpPeer host("127.0.5.1", NetbiosPacket::kPort);
    ASSERT_TRUE(host.ok());
    ASSERT_NE(client.send(nodeStatusRequest("127.0.5.1", 100), 0, &error), 0u) << error;
    std::vector<uint8_t> query;
    ASSERT_TRUE(host.receive(&query, 20000));
    sockaddr_in shared = host.lastSender();

    // Far more lines than the pipe holds: "NETBIOS: too small" each.
    UdpPeer junk("127.0.5.2", 0);
    for (int i = 0; i < 20000; ++i) junk.sendTo(shared, std::vector<uint8_t>(5, 0));

    nv::message request, reply;
    request.insert<nv::u32_id>(field::command, CMD_TCP_PROBE);
    request.insert<nv::be32_id>(field::address, ipv4("127.0.0.1"));
    request.insert<nv::u32_id>(field::port, closedTcpPort());
    ASSERT_TRUE(client.call(request, 0, &reply, 20000, &error)) << "the service stopped answering: " << error;
    EXPECT_EQ(reply.status(), nv::ReplyStatus::failed);
    EXPECT_EQ(service.stop(), 0) << "SIGTERM did not end the service";
    close(output[0]);
}

}  // namespace
