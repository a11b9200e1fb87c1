#include "core/Ref.h"

#include <gtest/gtest.h>

namespace {

// Records its own end, and that its holder no longer pointed at it then.
struct Tracked : RefCounted {
    Tracked(int* destroyed, Ref<Tracked>* holder = nullptr) : destroyed(destroyed), holder(holder) {}
    ~Tracked() override {
        ++*destroyed;
        EXPECT_TRUE(!holder || holder->get() != this) << "released before the new value was stored";
    }
    int* destroyed;
    Ref<Tracked>* holder;
};

TEST(RefTest, TheLastReleaseDeletesAndNothingEarlier) {
    int destroyed = 0;
    auto* object = new Tracked(&destroyed);
    Ref<Tracked> ref = object;
    ref = object;  // the object it already holds, and holds alone
    ref = ref;
    { Ref<Tracked> copy = ref; }
    Ref<Tracked> moved = std::move(ref);
    EXPECT_EQ(destroyed, 0);
    moved = new Tracked(&destroyed, &moved);
    EXPECT_EQ(destroyed, 1);
    moved = nullptr;
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
