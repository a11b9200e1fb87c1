#include "nv/message.h"
#include "nv/policies.h"
#include "nv/Looper.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using nv::message;

TEST(MessageTest, AbsentOrOtherTypeFieldsReadAsFallback) {
    message m;
    EXPECT_EQ(m.get<nv::u32_id>(1), 0u);
    EXPECT_EQ(m.get<nv::be32_id>(1), 0u);
    EXPECT_FALSE(m.get<nv::bool_id>(1));
    EXPECT_EQ(m.get<nv::string_id>(1), "");
    EXPECT_EQ(m.get<nv::u32_id>(1, 10000), 10000u);
    EXPECT_TRUE(m.get<nv::bool_id>(1, true));
    EXPECT_EQ(m.get<nv::string_id>(1, "x"), "x");
    // A field of another type is as good as absent.
    m.insert<nv::string_id>(1, "10");
    m.insert<nv::be32_id>(2, 0x0a000001);
    EXPECT_EQ(m.get<nv::u32_id>(1), 0u);
    EXPECT_EQ(m.get<nv::u32_id>(1, 7), 7u);
    EXPECT_EQ(m.get<nv::u32_id>(2, 7), 7u);
    EXPECT_EQ(m.get<nv::be32_id>(2), 0x0a000001u);
}

TEST(MessageTest, InsertReplacesWhateverTypeWasThere) {
    message m;
    m.insert<nv::string_id>(5, "long text");
    m.insert<nv::u32_id>(5, 42);
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(m.get<nv::u32_id>(5), 42u);
    EXPECT_EQ(m.find(5)->bytes, "");  // no leftover of the string
    m.insert<nv::bool_id>(5, true);
    EXPECT_TRUE(m.get<nv::bool_id>(5));
    EXPECT_EQ(m.get<nv::u32_id>(5, 9), 9u);
}

TEST(MessageTest, FieldsStaySortedByKeyAndErase) {
    message m;
    for (uint32_t key : {30u, 0xff0007u, 1u, 15u, 0u, 0xffffffffu}) m.insert<nv::u32_id>(key, key);
    std::vector<uint32_t> keys;
    for (const message::Field& f : m.fields()) keys.push_back(f.key);
    EXPECT_EQ(keys, (std::vector<uint32_t>{0, 1, 15, 30, 0xff0007, 0xffffffff}));
    EXPECT_TRUE(m.erase(15));
    EXPECT_FALSE(m.erase(15));
    EXPECT_FALSE(m.contains(15));
    EXPECT_EQ(m.get<nv::u32_id>(0xffffffff), 0xffffffffu);
}

TEST(MessageTest, CopiesCarryTheRouteButEqualityIgnoresIt) {
    message request;
    request.insert<nv::u32_id>(1, 5);
    nv::Route::set(request, 77, 9);
    message copy = request;
    EXPECT_EQ(nv::Route::connection(copy), 77u);
    EXPECT_EQ(nv::Route::sequence(copy), 9u);
    message assigned;
    assigned = request;
    EXPECT_EQ(nv::Route::connection(assigned), 77u);

    message unrouted;
    unrouted.insert<nv::u32_id>(1, 5);
    EXPECT_EQ(unrouted, request);
    unrouted.insert<nv::u32_id>(1, 6);
    EXPECT_FALSE(unrouted == request);
}

// Each permission byte grants to its own class of peer only.
TEST(PolicyTest, PermissionBytesGrantByClass) {
    nv::policies table;
    const uid_t me = geteuid();
    const gid_t myGroup = getegid();
    const nv::PeerCredentials root{1, 0, 0};
    const nv::PeerCredentials self{1, me, myGroup};
    const nv::PeerCredentials stranger{1, 65534, 65534};
    const nv::PeerCredentials groupMate{1, 65534, myGroup};

    EXPECT_TRUE(table.is_allowed(1, stranger)) << "no policy: open";
    table.set_policy(1, 0x20200);
    EXPECT_TRUE(table.has_policy(1));
    EXPECT_TRUE(table.is_allowed(1, root));
    EXPECT_TRUE(table.is_allowed(1, self));
    EXPECT_FALSE(table.is_allowed(1, stranger));
    EXPECT_EQ(table.is_allowed(1, groupMate), me == 65534);

    table.set_policy(2, 0x02000000);
    EXPECT_TRUE(table.is_allowed(2, groupMate));
    EXPECT_EQ(table.is_allowed(2, stranger), myGroup == 65534);

    table.set_policy(3, 0x2);
    EXPECT_TRUE(table.is_allowed(3, stranger));

    // Reserved bits grant nothing; 0 closes the command to everyone.
    table.set_policy(4, 0xfdfdfdfd);
    EXPECT_FALSE(table.is_allowed(4, root));
    EXPECT_FALSE(table.is_allowed(4, stranger));
    table.set_policy(4, 0);
    EXPECT_FALSE(table.is_allowed(4, self));
}

TEST(PolicyTest, RequestIsJudgedByItsCommandField) {
    nv::policies table;
    table.set_policy(0, 0);  // an absent command field reads as 0
    table.set_policy(1, 0x200);
    const nv::PeerCredentials stranger{1, 65534, 65534};
    message m;
    EXPECT_FALSE(table.is_allowed(m, stranger));
    m.insert<nv::u32_id>(nv::kCommandField, 1);
    EXPECT_FALSE(table.is_allowed(m, stranger));
    EXPECT_TRUE(table.is_allowed(m, nv::PeerCredentials{1, 0, 0}));
    m.insert<nv::u32_id>(nv::kCommandField, 2);
    EXPECT_TRUE(table.is_allowed(m, stranger));
}

}  // namespace
