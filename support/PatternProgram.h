// The compiled form of a pattern, as it lies in its caller-supplied area,
// and a read-only view of it. Written by PatternCompiler, read by
// PatternScan; nothing else knows the layout.
//
// Layout (every multi-byte number big-endian, written and read by shifts,
// so the area means the same on every host):
//
//   0   "NPR1"       magic; an all-zero area is no program and never matches
//   4   u16          instruction count (the last instruction is always Match)
//   6   u8           class table count
//   7   u8           flags (kFlag*)
//   8   u8           length of the literal every match starts with (0 or 2..16)
//   9   u8           the single byte a match can start with (kFlagOneFirstByte)
//   10  u16          which bytes of the literal match either ASCII case
//                    (bit i for byte i; those bytes are held in lower case)
//   12  u8           index of the literal's byte to search for first: the
//                    one likely rarest in text
//   13  u8           index of the next rarest, tested with it when the
//                    literal has either-case bytes
//   16  16 bytes     the literal
//   32  32 bytes     bitmap of the bytes a match can start with
//   64  32 bytes     per class table: bitmap of the bytes the class accepts
//   ..  4 bytes      per instruction: op, arg, u16 target
//
// Instructions are linked by index, so a block of them can be moved or
// copied by adjusting the targets inside it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pattern {

constexpr size_t kAreaSize = 2600;
constexpr size_t kHeaderSize = 64;
constexpr size_t kClassSize = 32;
constexpr size_t kInstructionSize = 4;
constexpr size_t kMaxPrefix = 16;
constexpr size_t kMaxInstructions = (kAreaSize - kHeaderSize) / kInstructionSize;
constexpr size_t kMaxClasses = (kAreaSize - kHeaderSize - kInstructionSize) / kClassSize;

// Offsets in the header.
constexpr size_t kMagicAt = 0;
constexpr size_t kCountAt = 4;
constexpr size_t kClassCountAt = 6;
constexpr size_t kFlagsAt = 7;
constexpr size_t kPrefixLengthAt = 8;
constexpr size_t kFirstByteAt = 9;
constexpr size_t kPrefixFoldAt = 10;
constexpr size_t kPrefixRareAt = 12;
constexpr size_t kPrefixPairAt = 13;
constexpr size_t kPrefixAt = 16;
constexpr size_t kFirstBytesAt = 32;

constexpr uint8_t kMagic[4] = {'N', 'P', 'R', '1'};

// Every thread from the start passes "^" first: no match can start after
// the first byte.
constexpr uint8_t kFlagAnchored = 1;
// No match is empty and every match starts with a byte of the first-byte
// bitmap, so positions holding other bytes can be skipped.
constexpr uint8_t kFlagFirstBytes = 2;
// ...and that bitmap holds exactly one byte (memchr will do).
constexpr uint8_t kFlagOneFirstByte = 4;

enum Op : uint8_t {
    kOpMatch = 1,
    kOpByte,      // arg: the byte
    kOpByteFold,  // arg: a lower-case ASCII letter; either case is accepted
    kOpAny,       // any byte
    kOpClass,     // arg: class table index
    kOpSplit,     // go on at pc + 1 and at target
    kOpJmp,       // go on at target
    kOpAssert,    // arg: kAssert*; go on at pc + 1 when it holds
};

enum Assertion : uint8_t {
    kAssertBegin = 1,      // ^: no byte before
    kAssertEnd,            // $: no byte after
    kAssertWordBoundary,   // \b
    kAssertNotBoundary,    // \B
};

// A target no instruction may keep once its group is closed: the jump at the
// end of an alternative, waiting for the group's end to be known.
constexpr uint16_t kPendingTarget = 0xffff;

inline uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void store16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline bool bitmapHas(const uint8_t* bitmap, uint8_t byte) { return (bitmap[byte >> 3] >> (byte & 7)) & 1; }
inline void bitmapAdd(uint8_t* bitmap, uint8_t byte) { bitmap[byte >> 3] |= static_cast<uint8_t>(1u << (byte & 7)); }

// \w: the bytes on the word side of \b and \B.
inline bool isWordByte(int byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           byte == '_';
}

// A read-only view of a compiled area. Construct, then check valid() before
// anything else: the view accepts only an area whose every instruction,
// target and table index lies inside it, so a reader that trusts a valid
// view never leaves the area.
class PatternProgram {
public:
    explicit PatternProgram(const uint8_t* area) : area_(area) {}

    bool valid() const;

    uint32_t count() const { return load16(area_ + kCountAt); }
    uint8_t flags() const { return area_[kFlagsAt]; }
    uint32_t prefixLength() const { return area_[kPrefixLengthAt]; }
    const uint8_t* prefix() const { return area_ + kPrefixAt; }
    uint32_t prefixFold() const { return load16(area_ + kPrefixFoldAt); }
    uint32_t prefixRare() const { return area_[kPrefixRareAt]; }
    uint32_t prefixPair() const { return area_[kPrefixPairAt]; }
    uint8_t firstByte() const { return area_[kFirstByteAt]; }
    const uint8_t* firstBytes() const { return area_ + kFirstBytesAt; }

    const uint8_t* instruction(uint32_t pc) const {
        return area_ + kHeaderSize + area_[kClassCountAt] * kClassSize + pc * kInstructionSize;
    }
    const uint8_t* classTable(uint32_t index) const { return area_ + kHeaderSize + index * kClassSize; }

private:
    const uint8_t* area_;
};

}  // namespace pattern
