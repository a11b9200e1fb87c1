#include "client/PatternCheck.h"

#include "support/ReEngine.h"

std::string patternError(const std::string& pattern) {
    auto begin = reinterpret_cast<const uint8_t*>(pattern.data());
    size_t offset = 0;
    const char* why = reExplain(begin, begin + pattern.size(), &offset);
    if (!why) return {};
    return std::string(why) + " (at byte " + std::to_string(offset) + ")";
}
