#include "core/Ref.h"

#include <gtest/gtest.h>

namespace {

struct Tracked : RefCounted {
    explicit Tracked(int* destroyed) : destroyed(destroyed) {}
    ~Tracked() override { ++*destroyed; }
    int* destroyed;
};

TEST(RefTest, NewObjectBelongsToNobodyUntilTaken) {
    int destroyed = 0;
    auto* object = new Tracked(&destroyed);
    EXPECT_EQ(object->refCount, 0u);
    {
        Ref<Tracked> ref = object;
        EXPECT_EQ(object->refCount, 1u);
        Ref<Tracked> second = ref;
        EXPECT_EQ(object->refCount, 2u);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(RefTest, AssigningTheHeldObjectKeepsItAndItsCount) {
    int destroyed = 0;
    auto* object = new Tracked(&destroyed);
    Ref<Tracked> ref = object;
    ref = object;
    ref = ref;
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->refCount, 1u);
    ref = nullptr;
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(ref);
}

TEST(RefTest, ReassignReleasesTheOldObjectAndMoveTransfersWithoutCounting) {
    int destroyedA = 0, destroyedB = 0;
    Ref<Tracked> ref = new Tracked(&destroyedA);
    ref = new Tracked(&destroyedB);
    EXPECT_EQ(destroyedA, 1);
    Ref<Tracked> moved = std::move(ref);
    EXPECT_EQ(moved->refCount, 1u);
    EXPECT_FALSE(ref);  // NOLINT: checking the moved-from state
    moved = Ref<Tracked>();
    EXPECT_EQ(destroyedB, 1);
}

// An object whose destructor drops the last reference of another: the
// holder's Ref must already hold its new value when the old one dies.
struct Chain : RefCounted {
    explicit Chain(Ref<Chain>* holder) : holder(holder) {}
    ~Chain() override {
        if (holder) {
            EXPECT_FALSE(holder->get() == this);
        }
    }
    Ref<Chain>* holder;
};

TEST(RefTest, ReleaseHappensAfterTheNewValueIsStored) {
    Ref<Chain> ref;
    ref = new Chain(&ref);
    ref = nullptr;
}

}  // namespace
