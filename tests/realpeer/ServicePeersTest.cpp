// TCP and UDP probes against servers no one here wrote: OpenSSH, nginx and
// dnsmasq, started by the test on loopback ports of their own, asked
// through the command-line client as a user would.
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

// A third-party server in the foreground, stopped by its pid.
class Server {
public:
    Server(const std::vector<std::string>& argv, const std::string& folder) : folder_(folder) {
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            freopen((folder + "/server.log").c_str(), "w", stderr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::string command = "rm -rf '" + folder_ + "'";
        if (system(command.c_str()) != 0) {
        }
    }

private:
    std::string folder_;
    pid_t pid_ = -1;
};

std::string makeFolder() {
    char pattern[] = "/tmp/netprobe-peer-XXXXXX";
    return mkdtemp(pattern) ? pattern : "";
}

bool tcpAnswers(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(fd);
    return ok;
}

bool waitForTcp(uint16_t port) {
    for (int i = 0; i < 100; ++i) {
        if (tcpAnswers(port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

class ServicePeersTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.ready()); }
    int client(std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), {"--bus", service.busPath(), "--json"});
        return runClient(args, out);
    }
    ServiceProcess service;
};

TEST_F(ServicePeersTest, OpenSshGreetsAHeldBackProbe) {
    if (access("/usr/sbin/sshd", X_OK) != 0) GTEST_SKIP() << "sshd is not installed";
    std::string folder = makeFolder();
    ASSERT_EQ(system(("ssh-keygen -q -t ed25519 -N '' -f " + folder + "/host_key").c_str()), 0);
    mkdir("/run/sshd", 0755);
    uint16_t port = closedTcpPort();
    Server sshd({"/usr/sbin/sshd", "-D", "-e", "-f", "/dev/null", "-o", "HostKey=" + folder + "/host_key", "-o",
                 "ListenAddress=127.0.0.1:" + std::to_string(port), "-o", "PidFile=none", "-o", "UsePAM=no"},
                folder);
    ASSERT_TRUE(waitForTcp(port));
    std::string out;
    EXPECT_EQ(client({"tcp", "127.0.0.1", std::to_string(port), "--expect0", "^SSH-2\\.0-", "--hold-first-send",
                      "--timeout", "5000"},
                     &out),
              0)
        << out;
    EXPECT_EQ(out.rfind("{\"result\":\"success\",\"elapsed\":", 0), 0u) << out;
    EXPECT_NE(out.find("\"connected\":true}"), std::string::npos) << out;
}

TEST_F(ServicePeersTest, NginxAnswersTheRequestWithItsStatusLine) {
    if (access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
    std::string folder = makeFolder();
    uint16_t port = closedTcpPort();
    {
        std::ofstream conf(folder + "/nginx.conf");
        conf << "daemon off; master_process off; pid " << folder << "/nginx.pid;\n"
             << "error_log " << folder << "/error.log;\n"
             << "events {}\n"
             << "http {\n  access_log off;\n"
             << "  client_body_temp_path " << folder << "/body; proxy_temp_path " << folder << "/proxy;\n"
             << "  fastcgi_temp_path " << folder << "/fcgi; uwsgi_temp_path " << folder << "/uwsgi;\n"
             << "  scgi_temp_path " << folder << "/scgi;\n"
             << "  server { listen 127.0.0.1:" << port << "; location / { return 200 \"probed\\n\"; } }\n}\n";
    }
    Server nginx({"/usr/sbin/nginx", "-c", folder + "/nginx.conf", "-p", folder}, folder);
    ASSERT_TRUE(waitForTcp(port));
    std::string out;
    EXPECT_EQ(client({"tcp", "127.0.0.1", std::to_string(port), "--send0", "GET / HTTP/1.0\\r\\n\\r\\n",
                      "--expect0", "^HTTP/1\\.[01] 200 OK\\r\\n", "--timeout", "5000"},
                     &out),
              0)
        << out;
    // A 404 is not what the pattern waits for, and nginx closes after its
    // answer: the connection's failure ends the probe.
    EXPECT_EQ(client({"tcp", "127.0.0.1", std::to_string(port), "--send0", "GET / HTTP/1.0\\r\\n\\r\\n",
                      "--expect0", "^HTTP/1\\.[01] 404", "--timeout", "500"},
                     &out),
              1);
    EXPECT_EQ(out.rfind("{\"result\":\"failure\",\"text\":\"connection closed\",\"elapsed\":", 0), 0u) << out;
}

TEST_F(ServicePeersTest, DnsmasqAnswersABinaryQuery) {
    if (access("/usr/sbin/dnsmasq", X_OK) != 0) GTEST_SKIP() << "dnsmasq is not installed";
    std::string folder = makeFolder();
    uint16_t port = closedTcpPort();  // dnsmasq also listens on TCP: a ready check
    Server dnsmasq({"/usr/sbin/dnsmasq", "--no-daemon", "--port=" + std::to_string(port),
                    "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv", "--no-hosts",
                    "--address=/probe.test/10.1.2.3", "--pid-file=" + folder + "/pid", "--user=root"},
                   folder);
    ASSERT_TRUE(waitForTcp(port));
    // Query id 0x1234, recursion desired, one question: probe.test A IN.
    std::string query = "\\x12\\x34\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00"
                        "\\x05probe\\x04test\\x00\\x00\\x01\\x00\\x01";
    std::string out;
    EXPECT_EQ(client({"udp", "127.0.0.1", std::to_string(port), "--send0", query, "--expect0",
                      "^\\x12\\x34\\x85\\x80.*\\x00\\x04\\x0a\\x01\\x02\\x03$", "--timeout", "5000"},
                     &out),
              0)
        << out;
    EXPECT_EQ(out.find("connected"), std::string::npos) << out;
}

}  // namespace
