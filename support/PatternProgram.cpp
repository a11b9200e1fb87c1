#include "support/PatternProgram.h"

#include <cstring>

namespace pattern {

bool PatternProgram::valid() const {
    if (std::memcmp(area_ + kMagicAt, kMagic, sizeof kMagic) != 0) return false;
    uint32_t n = count();
    uint32_t classes = area_[kClassCountAt];
    if (n == 0 || classes > kMaxClasses) return false;
    if (kHeaderSize + classes * kClassSize + n * kInstructionSize > kAreaSize) return false;
    if (prefixLength() > kMaxPrefix || (prefixLength() > 0 && (prefixRare() >= prefixLength() || prefixPair() >= prefixLength()))) return false;
    for (uint32_t i = 0; i < prefixLength(); ++i) {
        uint8_t b = prefix()[i];
        if ((prefixFold() >> i & 1) && (b < 'a' || b > 'z')) return false;
    }
    if (instruction(n - 1)[0] != kOpMatch) return false;
    for (uint32_t pc = 0; pc < n; ++pc) {
        const uint8_t* in = instruction(pc);
        switch (in[0]) {
        case kOpMatch:
        case kOpAny:
            break;
        case kOpByte:
            break;
        case kOpByteFold:
            if (in[1] < 'a' || in[1] > 'z') return false;
            break;
        case kOpClass:
            if (in[1] >= classes) return false;
            break;
        case kOpSplit:
        case kOpJmp:
            if (load16(in + 2) >= n) return false;
            break;
        case kOpAssert:
            if (in[1] < kAssertBegin || in[1] > kAssertNotBoundary) return false;
            break;
        default:
            return false;
        }
    }
    return true;
}

}  // namespace pattern
