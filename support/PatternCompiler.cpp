#include "support/PatternCompiler.h"

#include <cstring>

namespace pattern {

namespace {

constexpr uint32_t kUnbounded = 0xffffffff;

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool isAlnum(uint8_t c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isLetter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
uint8_t lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c | 0x20) : c; }
bool isQuantifierStart(uint8_t c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

int hexValue(uint8_t c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void addRange(uint8_t* set, int lo, int hi) {
    for (int b = lo; b <= hi; ++b) bitmapAdd(set, static_cast<uint8_t>(b));
}

// \d \w \s and their complements, added to a set.
void addShorthand(uint8_t* set, uint8_t escape) {
    uint8_t positive[kClassSize] = {};
    switch (escape | 0x20) {
    case 'd':
        addRange(positive, '0', '9');
        break;
    case 'w':
        for (int b = 0; b < 256; ++b)
            if (isWordByte(b)) bitmapAdd(positive, static_cast<uint8_t>(b));
        break;
    default:  // 's'
        addRange(positive, '\t', '\r');
        bitmapAdd(positive, ' ');
        break;
    }
    bool complement = escape >= 'A' && escape <= 'Z';
    for (size_t i = 0; i < kClassSize; ++i) set[i] |= complement ? static_cast<uint8_t>(~positive[i]) : positive[i];
}

bool isShorthand(uint8_t c) {
    switch (c) {
    case 'd': case 'D': case 'w': case 'W': case 's': case 'S':
        return true;
    default:
        return false;
    }
}

// A rough rank of how often a byte turns up in service banners and
// protocol text (higher: more often), to pick the byte of a literal that a
// search should look for first. A letter of either case counts as both.
int commonness(uint8_t byte, bool eitherCase) {
    int rank;
    if (byte == ' ') rank = 7;
    else if (byte >= 'a' && byte <= 'z') rank = std::strchr("etaoinsrhlcdu", byte) ? 6 : 5;
    else if (byte >= 'A' && byte <= 'Z') rank = 4;
    else if (isDigit(byte) || byte == '\r' || byte == '\n') rank = 4;
    else if (byte == '.' || byte == ',' || byte == '-' || byte == ':' || byte == '/' || byte == '=') rank = 3;
    else if (byte >= 0x20 && byte < 0x7f) rank = 2;
    else rank = 1;  // control bytes and bytes above 0x7e
    return eitherCase ? rank + 2 : rank;
}

int popcount(const uint8_t* set) {
    int n = 0;
    for (size_t i = 0; i < kClassSize; ++i) n += __builtin_popcount(set[i]);
    return n;
}

}  // namespace

PatternCompiler::PatternCompiler(uint8_t* area, const uint8_t* begin, const uint8_t* end)
    : area_(area), begin_(begin), end_(end), bodyBegin_(begin), pos_(begin) {}

bool PatternCompiler::compile() {
    std::memset(area_, 0, kAreaSize);
    if (static_cast<size_t>(end_ - begin_) > kMaxPatternLength) return fail("pattern longer than 8192 bytes");
    if (end_ - begin_ >= 4 && std::memcmp(begin_, "(?i)", 4) == 0) {
        caseless_ = true;
        bodyBegin_ = begin_ + 4;
    }
    // The first pass stops at the first error or as soon as the program
    // cannot fit; the second repeats its steps exactly, writing them down.
    if (!runPass(false)) return false;
    uint32_t counted = count_;
    if (!runPass(true) || count_ != counted) {
        std::memset(area_, 0, kAreaSize);
        return fail(error_ ? error_ : "internal error: passes disagree");
    }
    writeHeader();
    return true;
}

bool PatternCompiler::runPass(bool emitting) {
    emitting_ = emitting;
    pos_ = bodyBegin_;
    count_ = 0;
    if (!parseAlternation(0)) return false;
    if (pos_ != end_) return fail("unmatched )");
    return append(kOpMatch, 0, 0);
}

bool PatternCompiler::fail(const char* text) {
    if (!error_) {
        error_ = text;
        errorOffset_ = static_cast<size_t>(pos_ - begin_);
    }
    std::memset(area_, 0, kAreaSize);
    return false;
}

// --- Parsing -------------------------------------------------------------

// a|b|c becomes a chain of splits, each alternative but the last ending in
// a jump to the group's end, patched once that end is known:
//   split L1; a; jmp End; L1: split L2; b; jmp End; L2: c; End:
bool PatternCompiler::parseAlternation(uint32_t depth) {
    uint32_t groupStart = count_;
    uint32_t alternativeStart = count_;
    if (!parseConcat(depth)) return false;
    while (pos_ < end_ && *pos_ == '|') {
        ++pos_;
        if (!insert(alternativeStart, 1) || !append(kOpJmp, 0, kPendingTarget)) return false;
        put(alternativeStart, kOpSplit, 0, count_);
        alternativeStart = count_;
        if (!parseConcat(depth)) return false;
    }
    patchPending(groupStart);
    return true;
}

bool PatternCompiler::parseConcat(uint32_t depth) {
    while (pos_ < end_ && *pos_ != '|' && *pos_ != ')') {
        if (!parsePiece(depth)) return false;
    }
    return true;
}

bool PatternCompiler::parsePiece(uint32_t depth) {
    uint32_t start = count_;
    bool repeatable = true;
    if (!parseAtom(depth, repeatable)) return false;
    if (pos_ == end_ || !isQuantifierStart(*pos_)) return true;
    if (!repeatable) return fail("an assertion (^ $ \\b \\B) cannot be repeated");
    uint32_t min = 0, max = 0;
    if (!parseQuantifier(min, max)) return false;
    // Lazy and greedy forms match the same texts; only whether a match
    // exists counts here.
    if (pos_ < end_ && *pos_ == '?') ++pos_;
    if (pos_ < end_ && *pos_ == '+') return fail("possessive quantifiers are not supported");
    if (pos_ < end_ && isQuantifierStart(*pos_)) return fail("a quantifier cannot follow a quantifier");
    return repeat(start, min, max);
}

bool PatternCompiler::parseAtom(uint32_t depth, bool& repeatable) {
    uint8_t c = *pos_;
    switch (c) {
    case '(': {
        ++pos_;
        if (pos_ < end_ && *pos_ == '?') {
            if (end_ - pos_ >= 2 && pos_[1] == ':') {
                pos_ += 2;
            } else if (end_ - pos_ >= 3 && pos_[1] == 'i' && pos_[2] == ')') {
                return fail("(?i) is allowed only at the very start of the pattern");
            } else {
                return fail("unsupported group: only ( ) and (?: ) are allowed");
            }
        }
        if (depth + 1 > kMaxNesting) return fail("groups nested deeper than 32");
        if (!parseAlternation(depth + 1)) return false;
        if (pos_ == end_ || *pos_ != ')') return fail("missing )");
        ++pos_;
        return true;
    }
    case '*':
    case '+':
    case '?':
        return fail("nothing to repeat");
    case '{':
        return fail("nothing to repeat (write \\{ for a literal brace)");
    case '.':
        ++pos_;
        return append(kOpAny, 0, 0);
    case '^':
    case '$':
        ++pos_;
        repeatable = false;
        return append(kOpAssert, c == '^' ? kAssertBegin : kAssertEnd, 0);
    case '[': {
        ++pos_;
        uint8_t set[kClassSize] = {};
        return parseClass(set) && emitSet(set);
    }
    case '\\':
        return parseEscapeAtom(repeatable);
    default:
        ++pos_;
        return emitLiteral(c);
    }
}

bool PatternCompiler::parseEscapeAtom(bool& repeatable) {
    ++pos_;
    if (pos_ == end_) return fail("pattern ends with a lone backslash");
    uint8_t escape = *pos_++;
    if (escape == 'b' || escape == 'B') {
        repeatable = false;
        return append(kOpAssert, escape == 'b' ? kAssertWordBoundary : kAssertNotBoundary, 0);
    }
    if (isShorthand(escape)) {
        uint8_t set[kClassSize] = {};
        addShorthand(set, escape);
        return emitSet(set);
    }
    uint8_t byte = 0;
    return parseEscapedByte(escape, byte) && emitLiteral(byte);
}

// The escapes that stand for one byte, inside and outside classes.
bool PatternCompiler::parseEscapedByte(uint8_t escape, uint8_t& byte) {
    switch (escape) {
    case 'x': {
        int hi = pos_ < end_ ? hexValue(pos_[0]) : -1;
        int lo = end_ - pos_ >= 2 ? hexValue(pos_[1]) : -1;
        if (hi < 0 || lo < 0) return fail("\\x needs exactly two hex digits");
        pos_ += 2;
        byte = static_cast<uint8_t>(hi << 4 | lo);
        return true;
    }
    case 'n':
        byte = '\n';
        return true;
    case 'r':
        byte = '\r';
        return true;
    case 't':
        byte = '\t';
        return true;
    case '0':
        // Other tools read \012 as octal; refuse rather than guess.
        if (pos_ < end_ && *pos_ >= '0' && *pos_ <= '7') return fail("octal escapes are not supported; use \\xHH");
        byte = 0;
        return true;
    default:
        if (isDigit(escape)) return fail("backreferences are not supported");
        if (isAlnum(escape)) return fail("unknown escape");
        byte = escape;
        return true;
    }
}

bool PatternCompiler::parseNumber(uint32_t& value) {
    if (pos_ == end_ || !isDigit(*pos_)) return false;
    value = 0;
    while (pos_ < end_ && isDigit(*pos_)) {
        value = value * 10 + (*pos_++ - '0');
        if (value > kMaxRepeat) return false;
    }
    return true;
}

bool PatternCompiler::parseQuantifier(uint32_t& min, uint32_t& max) {
    uint8_t c = *pos_++;
    switch (c) {
    case '*':
        min = 0, max = kUnbounded;
        return true;
    case '+':
        min = 1, max = kUnbounded;
        return true;
    case '?':
        min = 0, max = 1;
        return true;
    default:
        break;
    }
    // {m}, {m,} or {m,n}; a brace in any other form is refused rather than
    // read as a literal, so that a typo cannot silently change the meaning.
    if (!parseNumber(min)) return fail("invalid repetition: use {m}, {m,} or {m,n} with counts up to 1000");
    max = min;
    if (pos_ < end_ && *pos_ == ',') {
        ++pos_;
        max = kUnbounded;
        if (pos_ < end_ && *pos_ != '}' && !parseNumber(max))
            return fail("invalid repetition: use {m}, {m,} or {m,n} with counts up to 1000");
    }
    if (pos_ == end_ || *pos_ != '}') return fail("invalid repetition: use {m}, {m,} or {m,n} with counts up to 1000");
    ++pos_;
    if (max < min) return fail("invalid repetition: {m,n} needs m <= n");
    return true;
}

// After the opening bracket. A ']' first in the class stands for itself.
bool PatternCompiler::parseClass(uint8_t* set) {
    bool negate = false;
    if (pos_ < end_ && *pos_ == '^') {
        negate = true;
        ++pos_;
    }
    uint8_t members[kClassSize] = {};
    for (bool first = true;; first = false) {
        if (pos_ == end_) return fail("missing ]");
        if (*pos_ == ']' && !first) {
            ++pos_;
            break;
        }
        int lo = -1;
        if (!parseClassItem(members, lo)) return false;
        bool range = end_ - pos_ >= 2 && pos_[0] == '-' && pos_[1] != ']';
        if (!range) {
            if (lo >= 0) bitmapAdd(members, static_cast<uint8_t>(lo));
            continue;
        }
        if (lo < 0) return fail("a range cannot start at \\d, \\w or \\s");
        ++pos_;
        int hi = -1;
        if (!parseClassItem(members, hi)) return false;
        if (hi < 0) return fail("a range cannot end at \\d, \\w or \\s");
        if (hi < lo) return fail("range out of order in class");
        addRange(members, lo, hi);
    }
    if (caseless_) {
        for (int b = 'a'; b <= 'z'; ++b) {
            if (bitmapHas(members, static_cast<uint8_t>(b)) || bitmapHas(members, static_cast<uint8_t>(b - 32))) {
                bitmapAdd(members, static_cast<uint8_t>(b));
                bitmapAdd(members, static_cast<uint8_t>(b - 32));
            }
        }
    }
    for (size_t i = 0; i < kClassSize; ++i) set[i] = negate ? static_cast<uint8_t>(~members[i]) : members[i];
    return true;
}

// One member of a class: a byte (returned in `byte`) or a shorthand set
// (added to `set` at once; `byte` stays -1).
bool PatternCompiler::parseClassItem(uint8_t* set, int& byte) {
    uint8_t c = *pos_;
    if (c == '[' && end_ - pos_ >= 2 && (pos_[1] == ':' || pos_[1] == '.' || pos_[1] == '='))
        return fail("POSIX classes such as [:alpha:] are not supported");
    ++pos_;
    if (c != '\\') {
        byte = c;
        return true;
    }
    if (pos_ == end_) return fail("missing ]");
    uint8_t escape = *pos_++;
    if (isShorthand(escape)) {
        addShorthand(set, escape);
        return true;
    }
    if (escape == 'b') return fail("\\b inside a class is not supported; use \\x08");
    uint8_t value = 0;
    if (!parseEscapedByte(escape, value)) return false;
    byte = value;
    return true;
}

// --- Emitting ------------------------------------------------------------

bool PatternCompiler::emitLiteral(uint8_t byte) {
    if (caseless_ && isLetter(byte)) return append(kOpByteFold, lower(byte), 0);
    return append(kOpByte, byte, 0);
}

// The cheapest instruction that accepts exactly the bytes of `set`.
bool PatternCompiler::emitSet(const uint8_t* set) {
    int n = popcount(set);
    if (n == 256) return append(kOpAny, 0, 0);
    int firstMember = -1;
    for (int b = 0; b < 256 && firstMember < 0; ++b)
        if (bitmapHas(set, static_cast<uint8_t>(b))) firstMember = b;
    if (n == 1) return append(kOpByte, static_cast<uint8_t>(firstMember), 0);
    if (n == 2 && firstMember >= 'A' && firstMember <= 'Z' && bitmapHas(set, static_cast<uint8_t>(firstMember | 0x20)))
        return append(kOpByteFold, static_cast<uint8_t>(firstMember | 0x20), 0);
    uint8_t index = 0;
    return findOrAddClass(set, index) && append(kOpClass, index, 0);
}

// Tables are shared by equal classes. The first pass adds them; the second
// meets the same classes in the same order and only finds them.
bool PatternCompiler::findOrAddClass(const uint8_t* set, uint8_t& index) {
    for (uint32_t i = 0; i < classCount_; ++i) {
        if (std::memcmp(area_ + kHeaderSize + i * kClassSize, set, kClassSize) == 0) {
            index = static_cast<uint8_t>(i);
            return true;
        }
    }
    if (emitting_) return fail("internal error: class missing in second pass");
    if (classCount_ + 1 > kMaxClasses ||
        kHeaderSize + (classCount_ + 1) * kClassSize + (count_ + 1) * kInstructionSize > kAreaSize)
        return fail("pattern too large for its 2600-byte area");
    std::memcpy(area_ + kHeaderSize + classCount_ * kClassSize, set, kClassSize);
    index = static_cast<uint8_t>(classCount_++);
    return true;
}

// X{m,n} is laid out as m copies of X followed by n - m optional copies
// (split over the copy), X{m,} as m - 1 copies and X+; every copy counts
// against the area like any other instruction.
bool PatternCompiler::repeat(uint32_t start, uint32_t min, uint32_t max) {
    uint32_t size = count_ - start;
    if (max == 0) {
        if (emitting_) std::memset(instruction(start), 0, size * kInstructionSize);
        count_ = start;
        return true;
    }
    if (size == 0) return true;  // repeating nothing is nothing
    if (min == 0 && max == kUnbounded) {  // L: split Exit; X; jmp L; Exit:
        if (!insert(start, 1)) return false;
        put(start, kOpSplit, 0, count_ + 1);
        return append(kOpJmp, 0, start);
    }
    if (min == 1 && max == kUnbounded) return append(kOpSplit, 0, start);  // L: X; split L
    uint32_t source = start;
    uint32_t optional = max == kUnbounded ? 0 : max - min;
    if (min == 0) {  // the X already laid down becomes the first optional copy
        if (!insert(start, 1)) return false;
        put(start, kOpSplit, 0, count_);
        source = start + 1;
        --optional;
    }
    uint32_t lastCopy = source;
    for (uint32_t i = 1; i < min; ++i) {
        lastCopy = count_;
        if (!copy(source, size)) return false;
    }
    if (max == kUnbounded) return append(kOpSplit, 0, lastCopy);
    for (uint32_t i = 0; i < optional; ++i) {
        if (!append(kOpSplit, 0, count_ + 1 + size) || !copy(source, size)) return false;
    }
    return true;
}

uint8_t* PatternCompiler::instruction(uint32_t pc) {
    return area_ + kHeaderSize + classCount_ * kClassSize + pc * kInstructionSize;
}

bool PatternCompiler::reserve(uint32_t more) {
    uint64_t room = (kAreaSize - kHeaderSize - classCount_ * kClassSize) / kInstructionSize;
    if (static_cast<uint64_t>(count_) + more > room) return fail("pattern too large for its 2600-byte area");
    return true;
}

void PatternCompiler::put(uint32_t pc, uint8_t op, uint8_t arg, uint32_t target) {
    if (!emitting_) return;
    uint8_t* in = instruction(pc);
    in[0] = op;
    in[1] = arg;
    store16(in + 2, target);
}

bool PatternCompiler::append(uint8_t op, uint8_t arg, uint32_t target) {
    if (!reserve(1)) return false;
    put(count_++, op, arg, target);
    return true;
}

// Opens `slots` empty instructions at `at`, moving [at, count) up. Targets
// inside the moved block that point into it (or to its end) move with it;
// nothing before `at` points past it, since every group before it is closed.
bool PatternCompiler::insert(uint32_t at, uint32_t slots) {
    if (!reserve(slots)) return false;
    if (emitting_) {
        std::memmove(instruction(at + slots), instruction(at), (count_ - at) * kInstructionSize);
        for (uint32_t pc = at + slots; pc < count_ + slots; ++pc) {
            uint8_t* in = instruction(pc);
            uint32_t target = load16(in + 2);
            if ((in[0] == kOpSplit || in[0] == kOpJmp) && target != kPendingTarget && target >= at)
                store16(in + 2, target + slots);
        }
    }
    count_ += slots;
    return true;
}

// Appends a copy of [from, from + size), its inner targets moved along.
bool PatternCompiler::copy(uint32_t from, uint32_t size) {
    if (!reserve(size)) return false;
    if (emitting_) {
        uint32_t shift = count_ - from;
        std::memcpy(instruction(count_), instruction(from), size * kInstructionSize);
        for (uint32_t pc = count_; pc < count_ + size; ++pc) {
            uint8_t* in = instruction(pc);
            uint32_t target = load16(in + 2);
            if ((in[0] == kOpSplit || in[0] == kOpJmp) && target >= from && target <= from + size)
                store16(in + 2, target + shift);
        }
    }
    count_ += size;
    return true;
}

// Points the alternatives' end jumps of the group that began at `from` at
// the current end. Inner groups were patched when they closed.
void PatternCompiler::patchPending(uint32_t from) {
    if (!emitting_) return;
    for (uint32_t pc = from; pc < count_; ++pc) {
        uint8_t* in = instruction(pc);
        if (in[0] == kOpJmp && load16(in + 2) == kPendingTarget) store16(in + 2, count_);
    }
}

// What the matcher's skip-ahead needs: the bytes a match can start with
// (found by following every empty-width edge from the start, taking each
// assertion as passable, so the set can only be too large, never too small),
// and the literal that every match starts with.
void PatternCompiler::writeHeader() {
    uint8_t firstBytes[kClassSize] = {};
    uint8_t visited[(kMaxInstructions + 7) / 8] = {};
    uint16_t stack[kMaxInstructions];
    uint32_t depth = 0;
    bool emptyMatch = false;
    stack[depth++] = 0;
    visited[0] = 1;
    while (depth > 0) {
        uint32_t pc = stack[--depth];
        const uint8_t* in = instruction(pc);
        uint32_t next[2];
        uint32_t nextCount = 0;
        switch (in[0]) {
        case kOpMatch:
            emptyMatch = true;
            break;
        case kOpByte:
            bitmapAdd(firstBytes, in[1]);
            break;
        case kOpByteFold:
            bitmapAdd(firstBytes, in[1]);
            bitmapAdd(firstBytes, static_cast<uint8_t>(in[1] - 32));
            break;
        case kOpAny:
            std::memset(firstBytes, 0xff, kClassSize);
            break;
        case kOpClass:
            for (size_t i = 0; i < kClassSize; ++i) firstBytes[i] |= area_[kHeaderSize + in[1] * kClassSize + i];
            break;
        case kOpSplit:
            next[nextCount++] = pc + 1;
            next[nextCount++] = load16(in + 2);
            break;
        case kOpJmp:
            next[nextCount++] = load16(in + 2);
            break;
        case kOpAssert:
            next[nextCount++] = pc + 1;
            break;
        }
        for (uint32_t i = 0; i < nextCount; ++i) {
            uint32_t t = next[i];
            if (!(visited[t >> 3] >> (t & 7) & 1)) {
                visited[t >> 3] |= static_cast<uint8_t>(1u << (t & 7));
                stack[depth++] = static_cast<uint16_t>(t);
            }
        }
    }

    uint8_t flags = 0;
    const uint8_t* first = instruction(0);
    if (first[0] == kOpAssert && first[1] == kAssertBegin) flags |= kFlagAnchored;
    int members = popcount(firstBytes);
    if (!emptyMatch && members < 256) {
        flags |= kFlagFirstBytes;
        std::memcpy(area_ + kFirstBytesAt, firstBytes, kClassSize);
        if (members == 1) {
            flags |= kFlagOneFirstByte;
            for (int b = 0; b < 256; ++b)
                if (bitmapHas(firstBytes, static_cast<uint8_t>(b))) area_[kFirstByteAt] = static_cast<uint8_t>(b);
        }
    }
    // The straight run of literal bytes at the start: every thread started
    // at a position must meet them there, whatever the rest of the program.
    uint32_t prefixLength = 0;
    uint32_t fold = 0;
    uint32_t rare = 0;
    for (uint32_t pc = 0; pc < count_ && prefixLength < kMaxPrefix; ++pc) {
        const uint8_t* in = instruction(pc);
        if (in[0] != kOpByte && in[0] != kOpByteFold) break;
        if (in[0] == kOpByteFold) fold |= 1u << prefixLength;
        if (prefixLength > 0 &&
            commonness(in[1], in[0] == kOpByteFold) < commonness(area_[kPrefixAt + rare], fold >> rare & 1))
            rare = prefixLength;
        area_[kPrefixAt + prefixLength++] = in[1];
    }
    if (prefixLength >= 2) {
        uint32_t pair = rare == 0 ? 1 : 0;
        for (uint32_t i = 0; i < prefixLength; ++i) {
            if (i != rare && commonness(area_[kPrefixAt + i], fold >> i & 1) <
                                 commonness(area_[kPrefixAt + pair], fold >> pair & 1))
                pair = i;
        }
        area_[kPrefixLengthAt] = static_cast<uint8_t>(prefixLength);
        store16(area_ + kPrefixFoldAt, fold);
        area_[kPrefixRareAt] = static_cast<uint8_t>(rare);
        area_[kPrefixPairAt] = static_cast<uint8_t>(pair);
    } else {
        std::memset(area_ + kPrefixAt, 0, kMaxPrefix);
    }

    store16(area_ + kCountAt, count_);
    area_[kClassCountAt] = static_cast<uint8_t>(classCount_);
    area_[kFlagsAt] = flags;
    std::memcpy(area_ + kMagicAt, kMagic, sizeof kMagic);
}

}  // namespace pattern
