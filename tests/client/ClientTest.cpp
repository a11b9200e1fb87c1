// The command-line client's parsing and output, without a bus.
#include "client/CommandLine.h"
#include "client/Escapes.h"
#include "client/ReplyPrinter.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

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
    };
    for (const auto& args : refused) parse(args, false);
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
}

}  // namespace
