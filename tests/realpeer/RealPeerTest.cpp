// Programs no one here wrote, on the far host of a private network, asked through the client and the service:
// Samba's nmbd (as nmblookup reads it), OpenSSH, nginx, dnsmasq, and tshark dissecting our request.
#include "tests/kit/NetNamespace.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

namespace {

// A program run by the shell after `setup` ($F: a folder of its own) for 60 s at most, its output on a pipe;
// stopped by its pid, that of `timeout`, which passes the signal on.
struct Peer {
    Peer(const std::string& setup, const std::string& program) {
        const std::string shell = std::string("F=") + mkdtemp(folder) + "; { " + setup + "; } >/dev/null 2>&1; ";
        out = popen((shell + "echo $$; exec timeout 60 " + program + " 2>&1").c_str(), "r");
        if (!out || fscanf(out, "%d", &pid) != 1) pid = -1;
    }
    ~Peer() {
        if (pid > 0) kill(pid, SIGTERM);
        if (out) pclose(out);
        (void)!system((std::string("rm -rf ") + folder).c_str());
    }
    // What it prints up to the first line holding `text` (null: to its end).
    std::string until(const char* text) {
        std::string read;
        for (char line[1024]; out && fgets(line, sizeof line, out) && (read += line, !text || !strstr(line, text));) {}
        return read;
    }
    char folder[26] = "/tmp/netprobe-peer-XXXXXX";
    FILE* out = nullptr;
    pid_t pid = -1;
};

// A server run on the far host, ready once it prints `ready`; the client's arguments, exit status and output;
// then `shows`, if set, is found in what `other` prints on the near host, or else the server to its end.
struct PeerCase {
    const char *name, *program, *setup, *server, *ready;
    std::vector<std::string> ask;
    int status;
    const char *output, *other = nullptr, *shows = nullptr;
    bool sameNames = false;  // the output's names and unit_id are what `other` shows
};

const char* const kConnected = R"(\{"result":"success","elapsed":\d+,"connected":true\}\n)";

const PeerCase kPeerCases[] = {
    // nmblookup's first name too is TESTHOST <00>, its first group TESTGROUP <00>.
    {"Nmbd", "/usr/sbin/nmbd",
     "printf '[global]\\nnetbios name = TESTHOST\\nworkgroup = TESTGROUP\\ninterfaces = 10.213.0.2/24\\n' >$F/c;"
     " for d in 'private dir' 'lock directory' 'state directory' 'cache directory' 'pid directory';"
     " do echo \"$d = $F\"; done >>$F/c",
     "nmbd -F --no-process-group --debug-stdout -d 3 -s $F/c", "Added netbios name TESTGROUP<1e>",
     {"netbios", "10.213.0.2", "--all-names"}, 0,
     R"x(\{"result":"success","elapsed":\d+,"group_name":"TESTGROUP","names":"(.*)","unit_id":"(.*)",)x"
     R"("host_name":"TESTHOST"\}\n)",
     "nmblookup -s /dev/null -A 10.213.0.2",
     R"(of 10\.213\.0\.2\n\tTESTHOST +<00> - +B.*\n(\t\S+ +<..> - +B.*\n)*\tTESTGROUP +<00> - <GROUP>)", true},
    {"OpenSsh", "/usr/sbin/sshd", "ssh-keygen -q -t ed25519 -N '' -f $F/key; mkdir -p /run/sshd",
     "/usr/sbin/sshd -D -e -f /dev/null -o HostKey=$F/key -o PidFile=none -o UsePAM=no", "Server listening",
     {"tcp", "10.213.0.2", "22", "--expect0", "^SSH-2\\.0-", "--hold-first-send"}, 0, kConnected},
    {"Nginx", "/usr/sbin/nginx", "echo 'events {} http { access_log off; server { listen 80; return 200 x; } }' >$F/c",
     "nginx -e stderr -p $F -c $F/c -g \"daemon off; master_process off; pid $F/pid; error_log stderr notice;\"",
     "getrlimit", {"tcp", "10.213.0.2", "80", "--send0", "GET / HTTP/1.0\\r\\n\\r\\n", "--expect0", "^HTTP/1\\.1 200"},
     0, kConnected},
    // Id 0x1234, recursion desired, one question: probe.test A IN.
    {"Dnsmasq", "/usr/sbin/dnsmasq", "true",
     "dnsmasq --no-daemon --log-facility=- --no-resolv --no-hosts --address=/probe.test/10.1.2.3 --pid-file=$F/pid",
     "started, version",
     {"udp", "10.213.0.2", "53", "--send0",
      "\\x12\\x34\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x05probe\\x04test\\x00\\x00\\x01\\x00\\x01",
      "--expect0", "^\\x12\\x34\\x85\\x80.*\\x00\\x04\\x0a\\x01\\x02\\x03$"},
     0, R"(\{"result":"success","elapsed":\d+\}\n)"},
    // Nothing answers the lookup; tshark shows it and ends.
    {"Tshark", "/usr/bin/tshark", "true", "tshark -l -i any -f 'udp dst port 137' -c 1 -V", "Capture started",
     {"netbios", "10.213.0.2", "--timeout", "500"}, 1, R"(\{"result":"error","code":\d+,"text":"timeout"\}\n)",
     nullptr, R"(Flags: 0x0000, Opcode: Name query[^]*Questions: 1\n\s+Answer RRs: 0[^]*(<00>){15}: type NBSTAT)"},
};

void PrintTo(const PeerCase& c, std::ostream* out) { *out << c.name; }  // a test's name, the same in every build
class RealPeerTest : public ::testing::TestWithParam<PeerCase> {};

TEST_P(RealPeerTest, ClientReadsTheServer) {
    const PeerCase& c = GetParam();
    if (access(c.program, X_OK) != 0) GTEST_SKIP() << c.program << " is not installed";
    NetNamespace network;
    if (!network.ok()) GTEST_SKIP() << network.error();
    Peer server(c.setup, "ip netns exec " + network.farName() + " " + c.server);
    const std::string log = server.until(c.ready);
    ASSERT_NE(log.find(c.ready), std::string::npos) << log;
    ServiceProcess service(ServiceProcess::Options{.netns = network.nearName()});
    std::vector<std::string> args{"--bus", service.busPath(), "--json"};
    args.insert(args.end(), c.ask.begin(), c.ask.end());
    std::string out;
    EXPECT_EQ(runClient(args, &out), c.status) << out;
    std::smatch ours;
    EXPECT_TRUE(std::regex_match(out, ours, std::regex(c.output))) << out;
    if (!c.shows) return;
    Peer other("true", "ip netns exec " + network.nearName() + " " + (c.other ? c.other : "true"));
    const std::string shown = (c.other ? other : server).until(nullptr);
    EXPECT_TRUE(std::regex_search(shown, std::regex(c.shows))) << shown;
    if (!c.sameNames || ours.size() < 3) return;
    // nmblookup's "\tNAME <xx> - [<GROUP>] B <ACTIVE>" lines, then "MAC Address = aa-bb-...", as ours.
    std::string names, unit;
    const std::regex line(R"(\t(\S+) +<(..)> - +(<GROUP>)? *\w ((?:<\w+> )*)|MAC Address = (\S+))");
    for (std::sregex_iterator at(shown.begin(), shown.end(), line), end; at != end; ++at) {
        const std::smatch& m = *at;
        if (m[5].matched) unit = std::regex_replace(m[5].str(), std::regex("-"), ":");
        if (m[1].matched) names += m[1].str() + "<" + m[2].str() + "> " + (m[3].matched ? "GROUP" : "UNIQUE") +
                                   std::regex_replace(m[4].str(), std::regex("<(\\w+)> ?"), " $1") + "\n";
    }
    EXPECT_EQ(std::regex_replace(ours[1].str(), std::regex(R"(\\u000a)"), "\n"), names);
    EXPECT_EQ(ours[2].str(), unit);
}

INSTANTIATE_TEST_SUITE_P(Peers, RealPeerTest, ::testing::ValuesIn(kPeerCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
