// One compiled pattern that a stage of the send/expect sequence waits for.
//
// Built once at the probe's start from its pattern bytes and never changed;
// held through Ref by the probe alone. The compiled form lives wholly in
// the object's fixed area; nothing else is allocated for it. A pattern that
// does not compile leaves the area all zero, so the expectation is never
// met and the probe ends by its request timeout.
#pragma once

#include "core/Ref.h"
#include "support/ReEngine.h"

#include <cstdint>

class Expectation : public RefCounted {
public:
    Expectation(const uint8_t* patternBegin, const uint8_t* patternEnd);
    ~Expectation() override = default;
    Expectation(const Expectation&) = delete;
    Expectation& operator=(const Expectation&) = delete;

    // Whether the pattern compiled; one that did not is never met.
    bool compiled() const { return compiled_; }
    // Whether the whole text [begin, end) holds a match.
    bool matches(const uint8_t* begin, const uint8_t* end) const;
    // The compiled form, for a resumable scan (PatternScan) over it.
    const uint8_t* area() const { return area_; }

private:
    uint8_t area_[kPatternAreaSize];
    bool compiled_;
};
