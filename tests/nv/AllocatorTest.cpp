// nv::Allocator: order of ids, bounds, stray frees, exhaustion.
#include "nv/Allocator.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

namespace {

TEST(AllocatorTest, NewIdsAscendThenFreedIdsComeBackOldestFirst) {
    nv::Allocator ids(100, 5);
    EXPECT_EQ(ids.allocate(), 100u);
    EXPECT_EQ(ids.allocate(), 101u);
    EXPECT_EQ(ids.allocate(), 102u);
    ids.free(101);
    ids.free(100);
    // Never-used ids first, then the freed ones in the order they came back.
    EXPECT_EQ(ids.allocate(), 103u);
    EXPECT_EQ(ids.allocate(), 104u);
    EXPECT_EQ(ids.allocate(), 101u);
    EXPECT_EQ(ids.allocate(), 100u);
    EXPECT_FALSE(ids.available());
}

TEST(AllocatorTest, ExhaustionIsReportedAndRecovers) {
    nv::Allocator ids(0, 3);
    for (int i = 0; i < 3; ++i) ids.allocate();
    EXPECT_FALSE(ids.available());
    EXPECT_EQ(ids.allocate(), UINT32_MAX);
    EXPECT_EQ(ids.inUseCount(), 3u);
    ids.free(1);
    EXPECT_TRUE(ids.available());
    EXPECT_EQ(ids.allocate(), 1u);

    nv::Allocator none(7, 0);
    EXPECT_FALSE(none.available());
    EXPECT_EQ(none.allocate(), UINT32_MAX);
    none.free(7);
    EXPECT_FALSE(none.available());
}

TEST(AllocatorTest, StrayAndRepeatedFreesAreIgnored) {
    nv::Allocator ids(10, 4);
    uint32_t a = ids.allocate();
    ids.free(9);   // below the range
    ids.free(14);  // above it
    ids.free(12);  // in range, never handed out
    EXPECT_EQ(ids.inUseCount(), 1u);
    ids.free(a);
    ids.free(a);  // a second free must not queue it twice
    EXPECT_EQ(ids.inUseCount(), 0u);
    std::vector<uint32_t> out;
    while (ids.available()) out.push_back(ids.allocate());
    EXPECT_EQ(out, (std::vector<uint32_t>{11, 12, 13, 10}));
}

TEST(AllocatorTest, RangeEndingAtTheTopStopsShortOfTheFailureValue) {
    nv::Allocator ids(UINT32_MAX - 2, 10);
    EXPECT_EQ(ids.allocate(), UINT32_MAX - 2);
    EXPECT_EQ(ids.allocate(), UINT32_MAX - 1);
    EXPECT_FALSE(ids.available());
    EXPECT_FALSE(ids.inUse(UINT32_MAX));
}

// Random allocations and frees against a plain queue model.
TEST(AllocatorTest, MatchesAQueueModelUnderRandomUse) {
    constexpr uint32_t kFirst = 1;
    constexpr uint32_t kCount = 64;
    nv::Allocator ids(kFirst, kCount);
    std::deque<uint32_t> model;
    for (uint32_t i = 0; i < kCount; ++i) model.push_back(kFirst + i);
    std::vector<uint32_t> held;
    std::mt19937 random(7);
    int mismatches = 0;
    for (int step = 0; step < 20000; ++step) {
        if (!held.empty() && (random() % 2 || model.empty())) {
            size_t pick = random() % held.size();
            uint32_t id = held[pick];
            held[pick] = held.back();
            held.pop_back();
            ids.free(id);
            model.push_back(id);
        } else if (!model.empty()) {
            uint32_t id = ids.allocate();
            mismatches += id != model.front();
            model.pop_front();
            held.push_back(id);
        }
        mismatches += ids.available() != !model.empty();
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
