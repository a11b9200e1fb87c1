// A resumable search of a compiled pattern (see PatternCompiler.h) through
// a text that arrives in chunks: feed the chunks in order and ask after any
// of them whether the text so far holds a match. The answer is always the
// one a search of the whole text so far would give: "$" and "\b" are tested
// at the current end, and a match that needed "$" there is forgotten when
// more text comes.
//
// The scan keeps no bytes of the text. Its state is the set of program
// positions still alive at the current end (one bit per instruction), the
// last byte seen, a flag and a work counter: a fixed 96 bytes on the 32-bit
// device (104 on a 64-bit host), whatever the length of the text. Each byte
// costs at most one visit per instruction, so the time is linear in the
// text whatever the pattern. Within one feed() the sets of threads met are
// kept with the transitions found between them, so that once a text's few
// states are known a byte costs one table lookup; that cache, the thread
// lists and the work stack live on the stack for the length of one call
// (about 7 KiB). Nothing is allocated.
//
// The scan reads the area it was given on every call: the area must outlive
// it. An area that holds no valid program (all zero after a failed compile)
// never matches.
#pragma once

#include "support/PatternProgram.h"

#include <cstddef>
#include <cstdint>

class PatternScan {
public:
    // A scan over no pattern: never matches.
    PatternScan() = default;
    explicit PatternScan(const uint8_t* area) { reset(area); }

    // Starts over on an empty text, with the given compiled area (null: no
    // pattern, never matches).
    void reset(const uint8_t* area);
    // Appends [begin, end) to the text; an empty range changes nothing.
    void feed(const uint8_t* begin, const uint8_t* end);
    // Whether the text fed since the last reset holds a match.
    bool matches() const;

    // Instruction visits made so far (for tests that prove linear time).
    uint64_t steps() const { return steps_; }

private:
    static constexpr uint32_t kWords = (pattern::kMaxInstructions + 31) / 32;
    static constexpr uint16_t kNoByte = 256;

    static bool step(const pattern::PatternProgram& program, const uint32_t* from, int previous, int next,
                     uint32_t* to, bool& anyAlive, uint64_t& steps);
    static const uint8_t* skipAhead(const pattern::PatternProgram& program, const uint8_t* at, const uint8_t* end);

    const uint8_t* area_ = nullptr;   // null: no valid program
    uint16_t previous_ = kNoByte;     // the last byte fed, or kNoByte at the start
    bool matched_ = false;            // a match was found that more text cannot undo
    uint64_t steps_ = 0;
    uint32_t alive_[kWords] = {};     // positions waiting at the current end
};
