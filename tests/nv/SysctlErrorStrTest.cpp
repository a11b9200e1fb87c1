// nv::sysctlErrorStr: the text handed on to requesters.
#include "nv/sysctlErrorStr.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(SysctlErrorStrTest, NamesTheCallTheWordingAndTheNumber) {
    EXPECT_EQ(nv::sysctlErrorStr("connect", ECONNREFUSED), "connect: Connection refused (errno 111)");
    EXPECT_EQ(nv::sysctlErrorStr("socket", EMFILE), "socket: Too many open files (errno 24)");
}

TEST(SysctlErrorStrTest, UnknownNumbersStillCarryTheNumber) {
    std::string text = nv::sysctlErrorStr("send", 99999);
    EXPECT_EQ(text.rfind("send: ", 0), 0u);
    EXPECT_NE(text.find("(errno 99999)"), std::string::npos);
    EXPECT_EQ(text, nv::sysctlErrorStr("send", 99999));
}

}  // namespace
