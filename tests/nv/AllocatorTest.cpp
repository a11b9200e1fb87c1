// nv::Allocator: never-used ids first, then freed ones oldest first, within
// bounds; stray and repeated frees do not count.
#include "nv/Allocator.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint32_t> drain(nv::Allocator& ids) {
    std::vector<uint32_t> out;
    while (ids.available()) out.push_back(ids.allocate());
    return out;
}

TEST(AllocatorTest, ReuseOrderBoundsAndStrayFrees) {
    nv::Allocator ids(100, 6);
    for (int i = 0; i < 3; ++i) ids.allocate();
    for (uint32_t id : {101, 100, 101, 99, 106, 104}) ids.free(id);  // a repeat, out of range, never handed out
    EXPECT_EQ(ids.inUseCount(), 1u);
    EXPECT_EQ(drain(ids), (std::vector<uint32_t>{103, 104, 105, 101, 100}));
    EXPECT_EQ(ids.allocate(), UINT32_MAX);
    for (uint32_t round = 0; round < 20; ++round) {  // the free list wraps many times
        const std::vector<uint32_t> freed{100 + round % 6, 100 + (round + 3) % 6};
        for (uint32_t id : freed) ids.free(id);
        EXPECT_EQ(drain(ids), freed);
    }
    nv::Allocator none(7, 0), top(UINT32_MAX - 2, 10);
    none.free(7);
    EXPECT_EQ(none.allocate(), UINT32_MAX);
    EXPECT_EQ(drain(top), (std::vector<uint32_t>{UINT32_MAX - 2, UINT32_MAX - 1}));  // short of the failure value
}

}  // namespace
