// IPAddr::str: the octets in wire order, whatever the host's byte order.
#include "support/IPAddr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

TEST(IPAddrTest, FormatsNetworkOrderAsDottedDecimal) {
    EXPECT_EQ(IPAddr::str(htonl(0x7f000001)), "127.0.0.1");
    EXPECT_EQ(IPAddr::str(htonl(0x0a01ff00)), "10.1.255.0");
    EXPECT_EQ(IPAddr::str(0), "0.0.0.0");
    EXPECT_EQ(IPAddr::str(0xffffffffu), "255.255.255.255");
}

}  // namespace
