// A node-status lookup answered by Samba's nmbd, a peer no one here wrote,
// on a test host of our own; the names must agree with nmblookup's.
#include "protocol/Fields.h"
#include "nv/BusClient.h"
#include "tests/kit/NetNamespace.h"
#include "tests/kit/NodeStatusRequest.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// Runs a command and returns what it printed.
std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The first unique and the first group name of an `nmblookup -A` listing.
void firstNames(const std::string& listing, std::string* unique, std::string* group) {
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        size_t angle = line.find(" <");
        if (line.empty() || line[0] != '\t' || angle == std::string::npos) continue;
        std::string name = line.substr(1, angle - 1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        std::string& slot = line.find("<GROUP>") != std::string::npos ? *group : *unique;
        if (slot.empty()) slot = name;
    }
}

class Nmbd {
public:
    explicit Nmbd(const NetNamespace& network) {
        char pattern[] = "/tmp/netprobe-nmbd-XXXXXX";
        if (!mkdtemp(pattern)) return;
        folder_ = pattern;
        std::ofstream conf(folder_ + "/smb.conf");
        conf << "[global]\n"
             << "netbios name = TESTHOST\nworkgroup = TESTGROUP\n"
             << "interfaces = " << NetNamespace::kFarAddress << "/24\n";
        for (const char* dir : {"lock", "state", "cache", "private", "pid"}) {
            mkdir((folder_ + "/" + dir).c_str(), 0700);
            conf << dir << (std::string(dir) == "private" ? " dir" : " directory") << " = " << folder_ << "/"
                 << dir << "\n";
        }
        conf << "log file = " << folder_ << "/nmbd.log\n";
        conf.close();
        pid_ = fork();
        if (pid_ == 0) {
            execlp("ip", "ip", "netns", "exec", network.farName().c_str(), "nmbd", "-F", "--no-process-group",
                   "-s", (folder_ + "/smb.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Nmbd() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!folder_.empty()) capture("rm -rf '" + folder_ + "'");
    }
    const std::string& conf() const { return folder_; }

private:
    std::string folder_;
    pid_t pid_ = -1;
};

TEST(NmbdTest, LookupAgreesWithNmblookup) {
    if (access("/usr/sbin/nmbd", X_OK) != 0) GTEST_SKIP() << "nmbd is not installed";
    NetNamespace network;
    if (!network.ok()) GTEST_SKIP() << network.error();
    Nmbd nmbd(network);

    // nmbd takes a few seconds to register its names.
    std::string listing, unique, group;
    std::string ask = "ip netns exec " + network.nearName() + " nmblookup -A " + NetNamespace::kFarAddress +
                      " -s " + nmbd.conf() + "/smb.conf 2>/dev/null";
    for (int i = 0; i < 60 && unique.empty(); ++i) {
        usleep(500 * 1000);
        listing = capture(ask);
        firstNames(listing, &unique, &group);
    }
    ASSERT_FALSE(unique.empty()) << listing;

    ServiceProcess::Options options;
    options.netns = network.nearName();
    ServiceProcess service(options);
    ASSERT_TRUE(service.ready());
    nv::BusClient client;
    std::string error;
    ASSERT_TRUE(client.connect(service.busPath(), &error)) << error;
    nv::message reply;
    ASSERT_TRUE(client.call(nodeStatusRequest(NetNamespace::farAddress(), 5000), 0, &reply, 20000, &error)) << error;
    ASSERT_EQ(reply.status(), nv::ReplyStatus::plain) << reply.statusText();
    EXPECT_EQ(reply.get<nv::string_id>(field::host_name), unique);
    EXPECT_EQ(reply.get<nv::string_id>(field::group_name), group);
    EXPECT_EQ(unique, "TESTHOST");
    EXPECT_EQ(group, "TESTGROUP");
}

}  // namespace
