// Hands out distinct ids from [first, first + count) in O(1), and takes
// them back in O(1). Freed ids queue behind the ones never used or freed
// earlier: the least recently freed id comes back first, so that a late
// answer is as unlikely as possible to meet a newer holder of its id.
#pragma once

#include <cstdint>
#include <vector>

namespace nv {

class Allocator {
public:
    Allocator(uint32_t first, uint32_t count);

    // Whether allocate() would succeed.
    bool available() const { return freeCount_ != 0; }
    // Precondition: available(). Returns UINT32_MAX otherwise.
    uint32_t allocate();
    // Ids outside the range, or not in use, are ignored.
    void free(uint32_t id);
    bool inUse(uint32_t id) const;
    uint32_t inUseCount() const { return count_ - freeCount_; }

private:
    uint32_t first_;
    uint32_t count_;
    std::vector<uint32_t> ring_;  // free ids, oldest first
    uint32_t head_ = 0;
    uint32_t freeCount_;
    std::vector<bool> used_;
};

}  // namespace nv
