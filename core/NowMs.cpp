#include "core/NowMs.h"

#include <time.h>

namespace {
uint32_t testOffset = 0;
}

uint32_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // All in 32-bit unsigned arithmetic: the product wraps, as it must.
    uint32_t seconds = static_cast<uint32_t>(ts.tv_sec);
    uint32_t millis = static_cast<uint32_t>(ts.tv_nsec / 1000000);
    return seconds * 1000u + millis + testOffset;
}

void setNowMsOffsetForTesting(uint32_t offset) {
    testOffset = offset;
}
