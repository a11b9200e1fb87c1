// libFuzzer target for the pattern engine: compile arbitrary bytes as a
// pattern, then search arbitrary bytes with it, whole and in chunks.
//
// Input: two bytes giving the pattern's length (modulo what is there), the
// pattern, then the text. The area and the text sit in heap blocks of their
// exact size, so AddressSanitizer reports any access past them. Traps when
// a failed compile leaves anything in the area, when a failure has no
// reason, or when the resumable scan and the whole-text search disagree.
#include "support/PatternScan.h"
#include "support/ReEngine.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t patternLength = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
    const uint8_t* pattern = data + 2;
    size_t textLength = size - 2 - patternLength;
    std::unique_ptr<uint8_t[]> text(new uint8_t[textLength + 1]);
    std::memcpy(text.get(), pattern + patternLength, textLength);

    std::unique_ptr<uint8_t[]> area(new uint8_t[kPatternAreaSize]());
    const char* reason = nullptr;
    bool compiled = reMake(area.get(), pattern, pattern + patternLength, 0, 0, &reason);
    if (!compiled) {
        if (!reason) __builtin_trap();
        for (size_t i = 0; i < kPatternAreaSize; ++i)
            if (area[i] != 0) __builtin_trap();
    }

    bool whole = reMatchChar(area.get(), text.get(), text.get() + textLength) != 0;
    if (!compiled && whole) __builtin_trap();

    // Chunk sizes drawn from the text itself, empty chunks included; after
    // each, the scan must agree with a search of the text so far.
    PatternScan scan(area.get());
    size_t at = 0;
    for (size_t round = 0; at < textLength && round < 64; ++round) {
        size_t chunk = std::min<size_t>(text[at] % 9, textLength - at);
        scan.feed(text.get() + at, text.get() + at + chunk);
        at += chunk;
        if (scan.matches() != (reMatchChar(area.get(), text.get(), text.get() + at) != 0)) __builtin_trap();
    }
    scan.feed(text.get() + at, text.get() + textLength);
    if (scan.matches() != whole) __builtin_trap();
    return 0;
}
