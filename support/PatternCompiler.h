// Compiles a pattern (a counted byte range) into a caller-supplied area of
// pattern::kAreaSize zero-filled bytes, in the layout of PatternProgram.h.
//
// Two passes over the pattern: the first checks the syntax, lays the class
// tables down at the front of the area and counts the instructions, the
// copies made by {m,n} included; only when everything fits does the second
// pass write the instructions. Neither pass allocates, and the parser's
// recursion is bounded by the group nesting limit, not by the pattern.
// On failure the area is left all zero, which never matches, and error()
// says why.
#pragma once

#include "support/PatternProgram.h"

#include <cstddef>
#include <cstdint>

namespace pattern {

// Deeper nesting of groups is refused: it bounds the parser's stack.
constexpr uint32_t kMaxNesting = 32;
// Above this a count in {m,n} is refused.
constexpr uint32_t kMaxRepeat = 1000;
// Longer patterns are refused before parsing.
constexpr size_t kMaxPatternLength = 8192;

class PatternCompiler {
public:
    PatternCompiler(uint8_t* area, const uint8_t* begin, const uint8_t* end);
    PatternCompiler(const PatternCompiler&) = delete;
    PatternCompiler& operator=(const PatternCompiler&) = delete;

    bool compile();
    // Why compile() failed (a fixed text), or null after success.
    const char* error() const { return error_; }
    // Offset in the pattern where the failure was found.
    size_t errorOffset() const { return errorOffset_; }

private:
    bool runPass(bool emitting);
    bool parseAlternation(uint32_t depth);
    bool parseConcat(uint32_t depth);
    bool parsePiece(uint32_t depth);
    bool parseAtom(uint32_t depth, bool& repeatable);
    bool parseEscapeAtom(bool& repeatable);
    bool parseQuantifier(uint32_t& min, uint32_t& max);
    bool parseNumber(uint32_t& value);
    bool parseClass(uint8_t* set);
    bool parseClassItem(uint8_t* set, int& byte);
    bool parseEscapedByte(uint8_t escape, uint8_t& byte);

    bool repeat(uint32_t start, uint32_t min, uint32_t max);
    bool emitSet(const uint8_t* set);
    bool emitLiteral(uint8_t byte);
    bool findOrAddClass(const uint8_t* set, uint8_t& index);

    bool reserve(uint32_t more);
    bool append(uint8_t op, uint8_t arg, uint32_t target);
    bool insert(uint32_t at, uint32_t slots);
    bool copy(uint32_t from, uint32_t size);
    void put(uint32_t pc, uint8_t op, uint8_t arg, uint32_t target);
    uint8_t* instruction(uint32_t pc);
    void patchPending(uint32_t from);

    void writeHeader();
    bool fail(const char* text);

    uint8_t* area_;
    const uint8_t* begin_;
    const uint8_t* end_;
    const uint8_t* bodyBegin_;  // after a leading (?i)
    const uint8_t* pos_;
    bool caseless_ = false;
    bool emitting_ = false;
    uint32_t count_ = 0;
    uint32_t classCount_ = 0;
    const char* error_ = nullptr;
    size_t errorOffset_ = 0;
};

}  // namespace pattern
