// The command-line client's parsing and output, without a bus.
#include "client/CommandLine.h"
#include "client/Escapes.h"
#include "client/ReplyPrinter.h"
#include "protocol/Fields.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

TEST(EscapesTest, DecodesTheCEscapesAndRefusesOthers) {
    std::string out, error;
    ASSERT_TRUE(decodeEscapes("a\\\\b\\r\\n\\t\\0\\x41\\xfF", &out, &error));
    EXPECT_EQ(out, std::string("a\\b\r\n\t\0A\xff", 9));
    EXPECT_FALSE(decodeEscapes("\\q", &out, &error));
    EXPECT_FALSE(decodeEscapes("\\x4", &out, &error));
    EXPECT_FALSE(decodeEscapes("\\x4g", &out, &error));
    EXPECT_FALSE(decodeEscapes("end\\", &out, &error));
}

TEST(EscapesTest, JsonKeepsPrintableAsciiAndEscapesEveryOtherByte) {
    EXPECT_EQ(jsonString(std::string("a\"\\ ~\x7f\x1f\0\xff", 9)),
              "\"a\\\"\\\\ ~\\u007f\\u001f\\u0000\\u00ff\"");
}

Invocation parse(std::vector<std::string> args, bool expectOk = true) {
    Invocation invocation;
    std::string error;
    bool ok = parseCommandLine(args, &invocation, &error);
    EXPECT_EQ(ok, expectOk) << error;
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
    EXPECT_FALSE(r.contains(field::timeout));
    EXPECT_FALSE(r.contains(field::skip_first_expect));
    EXPECT_EQ(inv.waitMs, 15000u);
}

TEST(CommandLineTest, WaitFollowsTheTimeoutUnlessGiven) {
    EXPECT_EQ(parse({"netbios", "10.1.2.3", "--timeout", "4294967295"}).waitMs, 4294967295u);
    EXPECT_EQ(parse({"netbios", "10.1.2.3", "--timeout", "100"}).waitMs, 5100u);
    EXPECT_EQ(parse({"--wait", "7", "netbios", "10.1.2.3", "--timeout", "100"}).waitMs, 7u);
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
    parse({}, false);
    parse({"tcp", "127.0.0.1"}, false);
    parse({"tcp", "127.0.0.1", "4294967296"}, false);
    parse({"udp", "127.0.0.1", "53", "--hold-first-send"}, false);  // TCP only
    parse({"request", "--u32", "timeout=1"}, false);                 // no command
    parse({"request", "--command", "3", "--string", "command=x"}, false);  // command retyped
    parse({"request", "--command", "1", "--bool", "5=yes"}, false);
    parse({"request", "--command", "1", "--be32", "address=1.2.3"}, false);
    parse({"request", "--command", "1", "--u32", "nosuchfield=1"}, false);
    parse({"send", "127.0.0.1", "9", "--payload"}, false);
}

TEST(CommandLineTest, SendExpectsNoReply) {
    Invocation inv = parse({"send", "127.0.0.1", "65545", "--payload", ""});
    EXPECT_FALSE(inv.expectsReply);
    EXPECT_EQ(inv.request.get<nv::u32_id>(field::port), 65545u);
    EXPECT_TRUE(inv.request.contains(field::payload));
}

TEST(ReplyPrinterTest, JsonShapesOfTheThreeReplies) {
    nv::message success;
    success.insert<nv::u32_id>(field::elapsed, 12);
    success.insert<nv::bool_id>(field::connected, true);
    success.insert<nv::string_id>(field::host_name, "HOST\x01");
    success.insert<nv::u32_id>(77, 5);
    EXPECT_EQ(formatReply(success, true),
              "{\"result\":\"success\",\"elapsed\":12,\"connected\":true,\"field_77\":5,"
              "\"host_name\":\"HOST\\u0001\"}");

    nv::message failure = nv::failedMsg("connection closed");
    failure.insert<nv::u32_id>(field::elapsed, 3);
    EXPECT_EQ(formatReply(failure, true), "{\"result\":\"failure\",\"text\":\"connection closed\",\"elapsed\":3}");

    EXPECT_EQ(formatReply(nv::errorMsg(0xfe000d, "timeout"), true),
              "{\"result\":\"error\",\"code\":16646157,\"text\":\"timeout\"}");
}

}  // namespace
