// The service as a whole: started as its own program, asked through the
// client library and the command-line client.
#include "protocol/Fields.h"
#include "nv/BusClient.h"
#include "nv/Looper.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

nv::message command(uint32_t number) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, number);
    return request;
}

TEST(ServiceTest, UnknownCommandGetsAnErrorReplyAndExitStatusOne) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    std::string out;
    int status = runClient({"--bus", service.busPath(), "--json", "request", "--command", "5"}, &out);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "{\"result\":\"error\",\"code\":" + std::to_string(nv::kErrUnknownCommand) +
                       ",\"text\":\"unknown command\"}\n");
}

TEST(ServiceTest, EndsWithStatusZeroOnSigterm) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceTest, PeerOfAnotherUserIsRefusedAndOthersAreStillServed) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    // Let the other user reach the socket at all; the policy must still
    // refuse it.
    chmod(service.folder().c_str(), 0755);
    chmod(service.busPath().c_str(), 0666);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        nv::BusClient client;
        std::string error;
        if (!client.connect(service.busPath(), &error)) _exit(4);
        nv::message reply;
        if (!client.call(command(CMD_NETBIOS_STATUS), 0, &reply, 20000, &error)) _exit(5);
        _exit(reply.status() == nv::ReplyStatus::error && reply.errorCode() == nv::kErrNotAllowed ? 0 : 6);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    nv::BusClient client;
    std::string error;
    ASSERT_TRUE(client.connect(service.busPath(), &error)) << error;
    nv::message reply;
    ASSERT_TRUE(client.call(command(0), 0, &reply, 20000, &error)) << error;
    EXPECT_EQ(reply.errorCode(), nv::kErrUnknownCommand);
}

TEST(ServiceTest, SecondServiceOnALivePathRefusesToStart) {
    ServiceProcess first;
    ASSERT_TRUE(first.ready());
    pid_t child = fork();
    if (child == 0) {
        setenv("NETPROBE_BUS", first.busPath().c_str(), 1);
        std::vector<std::string> args = emulatorPrefix();
        args.push_back(NETPROBED_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    // The first one still answers.
    nv::BusClient client;
    std::string error;
    ASSERT_TRUE(client.connect(first.busPath(), &error)) << error;
}

TEST(ServiceTest, ClientExitStatusesForUsageAndUnreachableBus) {
    std::string out, err;
    EXPECT_EQ(runClient({"frobnicate"}, &out, &err), 2);
    EXPECT_EQ(runClient({"request"}, &out, &err), 2);
    EXPECT_EQ(runClient({"tcp", "127.0.0.1", "99999999999"}, &out, &err), 2);
    EXPECT_EQ(runClient({"send", "127.0.0.1", "9", "--payload", "\\xZZ"}, &out, &err), 2);
    EXPECT_EQ(runClient({"--bus", "/nonexistent/bus.sock", "request", "--command", "5"}, &out, &err), 2);
    EXPECT_NE(err.find("netprobe:"), std::string::npos);
}

TEST(ServiceTest, SendPrintsSentOnceTheRequestIsOnTheBus) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    std::string out;
    EXPECT_EQ(runClient({"--bus", service.busPath(), "--json", "send", "127.0.0.1", "9"}, &out), 0);
    EXPECT_EQ(out, "{\"result\":\"sent\"}\n");
}

}  // namespace
