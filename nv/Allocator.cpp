// nv::Allocator: free ids wait in a ring, oldest first; a bit per id says
// whether it is out, so that a stray or repeated free cannot put an id in
// the ring twice (which would hand it to two holders).
#include "nv/Allocator.h"

#include <cstddef>

namespace nv {

namespace {

// UINT32_MAX is allocate()'s failure value, so no id may reach it.
uint32_t clampCount(uint32_t first, uint32_t count) {
    uint32_t room = UINT32_MAX - first;
    return count < room ? count : room;
}

}  // namespace

Allocator::Allocator(uint32_t first, uint32_t count)
    : first_(first), count_(clampCount(first, count)), ring_(count_), freeCount_(count_), used_(count_, false) {
    // Never-used ids go out first, in ascending order.
    for (uint32_t i = 0; i < count_; ++i) ring_[i] = first_ + i;
}

uint32_t Allocator::allocate() {
    if (freeCount_ == 0) return UINT32_MAX;
    uint32_t id = ring_[head_];
    head_ = head_ + 1 == count_ ? 0 : head_ + 1;
    --freeCount_;
    used_[id - first_] = true;
    return id;
}

void Allocator::free(uint32_t id) {
    if (!inUse(id)) return;
    used_[id - first_] = false;
    // 64-bit sum: head and count together may pass 2^32 for huge ranges.
    uint64_t tail = (static_cast<uint64_t>(head_) + freeCount_) % count_;
    ring_[static_cast<std::size_t>(tail)] = id;
    ++freeCount_;
}

bool Allocator::inUse(uint32_t id) const {
    return id >= first_ && id - first_ < count_ && used_[id - first_];
}

}  // namespace nv
