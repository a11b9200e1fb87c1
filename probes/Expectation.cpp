#include "probes/Expectation.h"

#include <cstring>

Expectation::Expectation(const uint8_t* patternBegin, const uint8_t* patternEnd) {
    std::memset(area_, 0, sizeof area_);
    compiled_ = reMake(area_, patternBegin, patternEnd, 0, 0);
}

bool Expectation::matches(const uint8_t* begin, const uint8_t* end) const {
    return reMatchChar(area_, begin, end) != 0;
}
