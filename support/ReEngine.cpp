#include "support/ReEngine.h"

#include "support/PatternCompiler.h"
#include "support/PatternScan.h"

static_assert(kPatternAreaSize == pattern::kAreaSize);

bool reMake(uint8_t* area, const uint8_t* begin, const uint8_t* end, int reserved1, int reserved2,
            const char** reason) {
    if (reserved1 != 0 || reserved2 != 0) {
        for (size_t i = 0; i < kPatternAreaSize; ++i) area[i] = 0;
        if (reason) *reason = "unsupported compile options";
        return false;
    }
    pattern::PatternCompiler compiler(area, begin, end);
    bool compiled = compiler.compile();
    if (reason) *reason = compiler.error();
    return compiled;
}

bool reMake(uint8_t* area, const uint8_t* begin, const uint8_t* end, int reserved1, int reserved2) {
    return reMake(area, begin, end, reserved1, reserved2, nullptr);
}

const char* reExplain(const uint8_t* begin, const uint8_t* end, size_t* offset) {
    uint8_t area[kPatternAreaSize];
    pattern::PatternCompiler compiler(area, begin, end);
    if (compiler.compile()) return nullptr;
    if (offset) *offset = compiler.errorOffset();
    return compiler.error();
}

int reMatchChar(const uint8_t* area, const uint8_t* begin, const uint8_t* end) {
    PatternScan scan(area);
    scan.feed(begin, end);
    return scan.matches() ? 1 : 0;
}
