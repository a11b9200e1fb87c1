// The command-line client's parsing and output, without a bus.
#include "client/CommandLine.h"
#include "client/Escapes.h"
#include "client/JobSource.h"
#include "client/RateLimit.h"
#include "client/ReplyPrinter.h"
#include "client/ShellWords.h"
#include "client/TargetList.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace {

TEST(EscapesTest, DecodesTheCEscapesAndRefusesOthers) {
    std::string out, error;
    ASSERT_TRUE(decodeEscapes("a\\\\b\\r\\n\\t\\0\\x41\\xfF", &out, &error));
    EXPECT_EQ(out, std::string("a\\b\r\n\t\0A\xff", 9));
    for (const char* bad : {"\\q", "\\x4", "\\x4g", "end\\"}) EXPECT_FALSE(decodeEscapes(bad, &out, &error)) << bad;
    EXPECT_EQ(jsonString(std::string("a\"\\ ~\x7f\x1f\0\xff", 9)), "\"a\\\"\\\\ ~\\u007f\\u001f\\u0000\\u00ff\"");
}

Invocation parse(std::vector<std::string> args, bool expectOk = true) {
    Invocation invocation;
    std::string error;
    EXPECT_EQ(parseCommandLine(args, &invocation, &error), expectOk) << error;
    return invocation;
}

TEST(CommandLineTest, TcpProbeSendsOnlyTheOptionsGiven) {
    Invocation inv = parse({"--bus", "/x", "tcp", "127.0.0.2", "0x16", "--send0", "hi\\r\\n", "--hold-first-send"});
    EXPECT_EQ(inv.busPath, "/x");
    const nv::message& r = inv.request;
    EXPECT_EQ(r.get<nv::u32_id>(field::command), CMD_TCP_PROBE);
    EXPECT_EQ(r.get<nv::be32_id>(field::address), htonl(0x7f000002));
    EXPECT_EQ(r.get<nv::u32_id>(field::port), 22u);
    EXPECT_EQ(r.get<nv::string_id>(field::send_0), "hi\r\n");
    EXPECT_TRUE(r.get<nv::bool_id>(field::hold_first_send));
    EXPECT_EQ(r.size(), 5u) << "no timeout, no skip_first_expect";
    EXPECT_EQ(inv.waitMs, 15000u) << "the default timeout and 5 s";
    EXPECT_EQ(parse({"netbios", "10.1.2.3", "--timeout", "4294967295"}).waitMs, 4294967295u);
    EXPECT_EQ(parse({"netbios", "10.1.2.3", "--timeout", "100"}).waitMs, 5100u);
    EXPECT_EQ(parse({"--wait", "7", "netbios", "10.1.2.3", "--timeout", "100"}).waitMs, 7u);
    Invocation send = parse({"send", "127.0.0.1", "65545", "--payload", ""});
    EXPECT_FALSE(send.expectsReply);
    EXPECT_EQ(send.request.get<nv::u32_id>(field::port), 65545u);
    EXPECT_TRUE(send.request.contains(field::payload));
}

TEST(CommandLineTest, RawRequestTakesNamesOrNumbersAsKeys) {
    Invocation inv = parse({"request", "--command", "4294967295", "--u32", "timeout=0x10", "--be32",
                            "address=1.2.3.4", "--bool", "99=true", "--string", "0xfe0010=a\\0b"});
    const nv::message& r = inv.request;
    EXPECT_EQ(r.get<nv::u32_id>(field::command), 4294967295u);
    EXPECT_EQ(r.get<nv::u32_id>(field::timeout), 16u);
    EXPECT_EQ(r.get<nv::be32_id>(field::address), htonl(0x01020304));
    EXPECT_TRUE(r.get<nv::bool_id>(99));
    EXPECT_EQ(r.get<nv::string_id>(field::host_name), std::string("a\0b", 3));
}

TEST(CommandLineTest, UsageErrors) {
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"tcp", "127.0.0.1"},
        {"tcp", "127.0.0.1", "4294967296"},
        {"tcp", "127.0.0.1", "80", "--expect1", "(unclosed"},  // refused here, never sent
        {"udp", "127.0.0.1", "53", "--hold-first-send"},       // TCP only
        {"request", "--u32", "timeout=1"},                     // no command
        {"request", "--command", "3", "--string", "command=x"},
        {"request", "--command", "1", "--bool", "5=yes"},
        {"request", "--command", "1", "--be32", "address=1.2.3"},
        {"request", "--command", "1", "--u32", "nosuchfield=1"},
        {"send", "127.0.0.1", "9", "--payload"},
        {"--concurrency", "0", "netbios", "10.1.2.3"},
        {"--concurrency", "60001", "netbios", "10.1.2.3"},
        {"--rate", "0", "netbios", "10.1.2.3"},
        {"--only", "sent", "netbios", "10.1.2.3"},
        {"batch", "a", "b"},
    };
    for (const auto& args : refused) parse(args, false);
}

TEST(CommandLineTest, OneTargetIsOneRequestAndMoreAreASweep) {
    Invocation one = parse({"tcp", "127.0.0.9/32", "22-22"});
    EXPECT_TRUE(isSingleRequest(one));
    EXPECT_EQ(one.request.get<nv::be32_id>(field::address), htonl(0x7f000009));
    EXPECT_EQ(one.request.get<nv::u32_id>(field::port), 22u);
    Invocation many = parse({"--concurrency", "60000", "--only", "success", "tcp", "127.0.0.9", "22,23"});
    EXPECT_FALSE(isSingleRequest(many));
    EXPECT_FALSE(many.request.contains(field::address));
    EXPECT_EQ(many.concurrency, 60000u);
    EXPECT_FALSE(isSingleRequest(parse({"batch"})));
}

std::string expand(const std::string& hosts, const std::string& ports, bool withPorts, uint64_t* count) {
    TargetList list;
    std::string error, out;
    if (!list.parse(hosts, ports, withPorts, &error)) return "refused: " + error;
    *count = list.count();
    Target target;
    for (int i = 0; i < 8 && list.next(&target); ++i) {
        in_addr address{target.address};
        out += std::string(inet_ntoa(address)) + (withPorts ? ":" + std::to_string(target.port) : "") + " ";
    }
    return out;
}

TEST(TargetListTest, ExpandsEachHostWithEachPortInOrder) {
    const struct {
        const char* hosts;
        const char* ports;
        uint64_t count;
        const char* first;
    } cases[] = {
        {"10.0.0.1", "0x16", 1, "10.0.0.1:22 "},
        {"10.0.0.1", "4294967295", 1, "10.0.0.1:4294967295 "},
        {"10.0.0.255/31", "1,3-4", 6, "10.0.0.254:1 10.0.0.254:3 10.0.0.254:4 10.0.0.255:1 10.0.0.255:3 10.0.0.255:4 "},
        {"10.0.0.7-9,localhost", "", 4, "10.0.0.7 10.0.0.8 10.0.0.9 127.0.0.1 "},
        {"10.0.0.5/32,10.0.0.5-5", "", 2, "10.0.0.5 10.0.0.5 "},
        {"10.1.2.3/16", "1-65535", 65536ull * 65535, "10.1.0.0:1 10.1.0.0:2 10.1.0.0:3 10.1.0.0:4 10.1.0.0:5 10.1.0.0:6 10.1.0.0:7 10.1.0.0:8 "},
        {"10.0.0.9-3", "", 0, "refused: HOST range 10.0.0.9-3: the end is below the start"},
        {"10.0.0.0/15", "", 0, "refused: HOST block 10.0.0.0/15: prefix below 16"},
        {"10.0.0.0/33", "", 0, "refused: HOST block 10.0.0.0/33: not A.B.C.D/N"},
        {"10.0.0.1-256", "", 0, "refused: HOST range 10.0.0.1-256: the end is not an octet from 0 to 255"},
        {"10.0.0.1,,10.0.0.2", "", 0, "refused: HOST list 10.0.0.1,,10.0.0.2: an empty element"},
        {"", "", 0, "refused: HOST is empty"},
        {"10.0.0.1", "22,65536", 0, "refused: PORT list 22,65536: 65536 is not a port or range from 0 to 65535"},
        {"10.0.0.1", "22,", 0, "refused: PORT list 22,: an empty element"},
        {"10.0.0.1", "-5", 0, "refused: PORT list -5: -5 is not a port or range from 0 to 65535"},
        {"10.0.0.1", "90-80", 0, "refused: PORT range 90-80: the end is below the start"},
    };
    for (const auto& c : cases) {
        uint64_t count = 0;
        EXPECT_EQ(expand(c.hosts, c.ports, *c.ports != '\0' || c.count == 0, &count), c.first) << c.hosts;
        EXPECT_EQ(count, c.count) << c.hosts;
    }
}

TEST(ShellWordsTest, SplitsAsTheShellDoesWithoutExpanding) {
    const struct {
        const char* line;
        std::vector<std::string> words;  // empty with `error`: refused
        const char* error;
    } cases[] = {
        {" tcp\t'a b'  \"c\\\"d\" e\\ f", {"tcp", "a b", "c\"d", "e f"}, ""},
        {"\"\\$X \\q\" $HOME * `x` ''", {"$X \\q", "$HOME", "*", "`x`", ""}, ""},
        {"a'b'\"c\"d #x", {"abcd"}, ""},
        {"a#b", {"a#b"}, ""},
        {"'it'\\''s'", {"it's"}, ""},
        {"   # only a comment", {}, ""},
        {"a 'b", {}, "a single quote is not closed"},
        {"a \"b\\\"", {}, "a double quote is not closed"},
        {"a\\", {}, "the line ends in a backslash"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_EQ(splitShellWords(c.line, &words, &error), *c.error == '\0') << c.line;
        EXPECT_EQ(error, c.error) << c.line;
        if (*c.error == '\0') {
            EXPECT_EQ(words, c.words) << c.line;
        }
    }
}

TEST(JobSourceTest, BatchLinesBecomeJobsOrUsageLinesInOrder) {
    const std::string longLine = "tcp 10.0.0.1 1 --send0 " + std::string(JobSource::kMaxLine, 'x');
    const std::string batch = "# sweep\n\ntcp 10.0.0.1-2 7,9 --timeout 10\r\nbogus\n" + longLine + "\n" +
                              std::string("netbios 10.0.0.3\0\n", 18) + "request --command 5\n  netbios \"10.0.0.4\"";
    int fd = memfd_create("batch", 0);
    ASSERT_EQ(write(fd, batch.data(), batch.size()), static_cast<ssize_t>(batch.size()));
    lseek(fd, 0, SEEK_SET);
    Invocation global;
    global.waitGiven = true;
    global.waitMs = 77;
    JobSource source(global, fd);
    std::vector<std::string> seen;
    std::string error;
    for (int i = 0; i < 100; ++i) {
        Job job;
        JobSource::Next next = source.next(&job);
        if (next == JobSource::Next::end) break;
        if (next == JobSource::Next::needInput) {
            ASSERT_TRUE(source.readInput(&error)) << error;
            continue;
        }
        if (next == JobSource::Next::usage) {
            seen.push_back(formatUsage(false, job.label.line, job.usage));
            continue;
        }
        EXPECT_EQ(job.waitMs, 77u);
        const nv::message::Field* address = job.request->find(field::address);
        EXPECT_EQ(job.label.withHost ? address->number : 0, job.label.address) << "the request goes where its line says";
        seen.push_back(formatSent(false, job.label));
    }
    close(fd);
    const std::vector<std::string> expected = {
        "line 3: 10.0.0.1:7 sent", "line 3: 10.0.0.1:9 sent", "line 3: 10.0.0.2:7 sent", "line 3: 10.0.0.2:9 sent",
        "line 4: unknown subcommand bogus", "line 5: the line is longer than 65536 bytes",
        "line 6: a zero byte in the line", "line 7: sent", "line 8: 10.0.0.4 sent",
    };
    EXPECT_EQ(seen, expected);
}

TEST(RateLimitTest, StartsAtMostTheRateAndMakesNoBurstAfterAPause) {
    RateLimit unlimited(0, 0);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(unlimited.take(0));
    RateLimit limit(1000, 0);
    int started = 0;
    for (int64_t t = 0; t < 1000000; t += 100)
        while (limit.take(t)) ++started;
    EXPECT_NEAR(started, 1000, 1) << "one a millisecond over a second";
    int burst = 0;
    while (limit.take(3000000)) ++burst;
    EXPECT_EQ(burst, 10) << "two idle seconds save up a hundredth of a second's worth";
    EXPECT_EQ(limit.waitUs(3000000), 1000);
    EXPECT_EQ(limit.waitUs(3001000), 0);
}

TEST(CommandLineTest, BusPathComesFromTheEnvironmentUnlessEmpty) {
    setenv(kBusPathVariable, "/run/other.sock", 1);
    EXPECT_EQ(parse({"netbios", "10.1.2.3"}).busPath, "/run/other.sock");
    setenv(kBusPathVariable, "", 1);
    EXPECT_EQ(parse({"netbios", "10.1.2.3"}).busPath, kDefaultBusPath);
    unsetenv(kBusPathVariable);
}

TEST(ReplyPrinterTest, ShapesOfTheThreeRepliesInJsonAndText) {
    nv::message success;
    success.insert<nv::u32_id>(field::elapsed, 12);
    success.insert<nv::bool_id>(field::connected, true);
    success.insert<nv::be32_id>(field::address, htonl(0x0a000102));
    success.insert<nv::string_id>(field::host_name, "HOST\x01");
    success.insert<nv::u32_id>(77, 5);
    nv::message failure = nv::failedMsg("connection closed");
    failure.insert<nv::u32_id>(field::elapsed, 3);
    const nv::message error = nv::errorMsg(0xfe000d, "timeout");
    const struct {
        const nv::message& reply;
        const char* json;
        const char* text;
    } cases[] = {
        {success,
         R"({"result":"success","elapsed":12,"address":"10.0.1.2","connected":true,"field_77":5,"host_name":"HOST\u0001"})",
         R"(success elapsed=12ms address="10.0.1.2" connected=true field_77=5 host_name="HOST\u0001")"},
        {failure, R"({"result":"failure","text":"connection closed","elapsed":3})",
         R"(failure: "connection closed" elapsed=3ms)"},
        {error, R"({"result":"error","code":16646157,"text":"timeout"})", R"(error 16646157: "timeout")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatReply(c.reply, true), c.json);
        EXPECT_EQ(formatReply(c.reply, false), c.text);
    }
    TargetLabel label{3, true, htonl(0x0a000001), true, 22};
    EXPECT_EQ(formatReply(error, true, label),
              R"({"result":"error","line":3,"host":"10.0.0.1","port":22,"code":16646157,"text":"timeout"})");
    EXPECT_EQ(formatReply(failure, false, label), R"(line 3: 10.0.0.1:22 failure: "connection closed" elapsed=3ms)");
    label.line = 0;
    label.withPort = false;
    EXPECT_EQ(formatSent(true, label), R"({"result":"sent","host":"10.0.0.1"})");
    EXPECT_EQ(formatUsage(true, 9, "bad \""), R"({"result":"usage","line":9,"text":"bad \""})");
}

}  // namespace
