// nv::message fields and routes, the policy table, and the error text handed
// on to requesters.
#include "nv/Looper.h"
#include "nv/message.h"
#include "nv/policies.h"
#include "nv/sysctlErrorStr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

namespace {

using nv::message;

// A field of another type reads as absent; insert replaces whatever was
// there; copies carry the route, which equality ignores.
TEST(MessageTest, FieldsAndRoutes) {
    message m, copy;
    m.insert<nv::string_id>(1, "10");
    m.insert<nv::be32_id>(2, 0x0a000001);
    EXPECT_EQ(m.get<nv::u32_id>(1, 7), 7u);
    EXPECT_EQ(m.get<nv::u32_id>(2, 7), 7u);
    EXPECT_EQ(m.get<nv::be32_id>(2), 0x0a000001u);
    m.insert<nv::u32_id>(1, 42);
    EXPECT_EQ(m.get<nv::u32_id>(1), 42u);
    EXPECT_EQ(m.find(1)->bytes, "");  // nothing left of the string
    EXPECT_EQ(m.get<nv::string_id>(1, "x"), "x");
    for (uint32_t key : {0xffffffffu, 0u}) m.insert<nv::bool_id>(key, true);
    std::vector<uint32_t> keys;
    for (const message::Field& f : m.fields()) keys.push_back(f.key);
    EXPECT_EQ(keys, (std::vector<uint32_t>{0, 1, 2, 0xffffffff}));
    copy = m;
    nv::Route::set(m, 77, 9);
    EXPECT_EQ(copy, m);
    copy = m;
    EXPECT_EQ(nv::Route::connection(copy), 77u);
    EXPECT_EQ(nv::Route::sequence(message(copy)), 9u);
}

// Each permission byte grants to its own class of peer only; a request is
// judged by its command field, an absent one reading as 0.
TEST(PolicyTest, PermissionBytesGrantByClass) {
    nv::policies table;
    const uid_t me = geteuid();
    const gid_t myGroup = getegid();
    const nv::PeerCredentials root{1, 0, 0}, self{1, me, myGroup};
    const nv::PeerCredentials stranger{1, 65534, 65534}, groupMate{1, 65534, myGroup};
    EXPECT_TRUE(table.is_allowed(1, stranger)) << "no policy: open";
    table.set_policy(1, 0x20200);
    EXPECT_TRUE(table.is_allowed(1, root));
    EXPECT_TRUE(table.is_allowed(1, self));
    EXPECT_FALSE(table.is_allowed(1, stranger));
    EXPECT_EQ(table.is_allowed(1, groupMate), me == 65534);
    table.set_policy(2, 0x02000000);
    EXPECT_TRUE(table.is_allowed(2, groupMate));
    EXPECT_EQ(table.is_allowed(2, stranger), myGroup == 65534);
    table.set_policy(3, 0x2);
    EXPECT_TRUE(table.is_allowed(3, stranger));
    table.set_policy(4, 0xfdfdfdfd);  // reserved bits grant nothing
    EXPECT_FALSE(table.is_allowed(4, root));
    table.set_policy(0, 0);  // closed to everyone
    EXPECT_FALSE(table.is_allowed(0, self));

    message m;
    EXPECT_FALSE(table.is_allowed(m, root));
    m.insert<nv::u32_id>(nv::kCommandField, 1);
    EXPECT_FALSE(table.is_allowed(m, stranger));
    EXPECT_TRUE(table.is_allowed(m, root));
    m.insert<nv::u32_id>(nv::kCommandField, 3);
    EXPECT_TRUE(table.is_allowed(m, stranger));
}

TEST(SysctlErrorStrTest, NamesTheCallTheWordingAndTheNumber) {
    EXPECT_EQ(nv::sysctlErrorStr("connect", ECONNREFUSED), "connect: Connection refused (errno 111)");
    const std::string unknown = nv::sysctlErrorStr("send", 99999);
    EXPECT_TRUE(unknown.starts_with("send: ") && unknown.ends_with(" (errno 99999)")) << unknown;
}

}  // namespace
