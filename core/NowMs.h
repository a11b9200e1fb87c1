// The service's clock: unsigned 32-bit milliseconds on the monotonic clock,
// wrapping modulo 2^32. `elapsed` is the difference of two readings, right
// for any span shorter than about 49.7 days.
#pragma once

#include <cstdint>

uint32_t nowMs();

// For tests: a constant added to every reading, to put a wrap of the counter
// within reach.
void setNowMsOffsetForTesting(uint32_t offset);
