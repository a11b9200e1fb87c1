#include "support/PatternScan.h"

#include <cstring>
#include <utility>

using namespace pattern;

void PatternScan::reset(const uint8_t* area) {
    area_ = area && PatternProgram(area).valid() ? area : nullptr;
    std::memset(alive_, 0, sizeof alive_);
    steps_ = 0;
    previous_ = kNoByte;
    matched_ = false;
}

// One text position, between the byte `previous` and the byte `next`
// (kNoByte at either end of the text). Follows every empty-width edge from
// the threads in `from` and, for an unanchored search, from a new thread at
// the start of the program; assertions are decided by `previous` and `next`.
// A consuming instruction that accepts `next` puts its successor into `to`.
// Each instruction is visited at most once (the visited set is marked on
// push, so the stack never holds more entries than there are instructions).
// Returns true as soon as Match is reached.
bool PatternScan::step(const PatternProgram& program, const uint32_t* from, int previous, int next, uint32_t* to,
                       bool& anyAlive, uint64_t& steps) {
    uint32_t visited[kWords] = {};
    uint16_t stack[kMaxInstructions];
    uint32_t depth = 0;
    auto push = [&](uint32_t pc) {
        uint32_t bit = 1u << (pc & 31);
        if (!(visited[pc >> 5] & bit)) {
            visited[pc >> 5] |= bit;
            stack[depth++] = static_cast<uint16_t>(pc);
        }
    };
    if (!(program.flags() & kFlagAnchored) || previous == kNoByte) push(0);
    for (uint32_t w = 0; w < kWords; ++w) {
        for (uint32_t bits = from[w]; bits != 0; bits &= bits - 1) push(w * 32 + __builtin_ctz(bits));
    }
    bool previousIsWord = isWordByte(previous);
    bool nextIsWord = isWordByte(next);
    while (depth > 0) {
        uint32_t pc = stack[--depth];
        ++steps;
        const uint8_t* in = program.instruction(pc);
        bool accepted = false;
        switch (in[0]) {
        case kOpMatch:
            return true;
        case kOpByte:
            accepted = next == in[1];
            break;
        case kOpByteFold:
            accepted = (next | 0x20) == in[1];
            break;
        case kOpAny:
            accepted = next != kNoByte;
            break;
        case kOpClass:
            accepted = next != kNoByte && bitmapHas(program.classTable(in[1]), static_cast<uint8_t>(next));
            break;
        case kOpSplit:
            push(pc + 1);
            push(load16(in + 2));
            break;
        case kOpJmp:
            push(load16(in + 2));
            break;
        case kOpAssert: {
            bool holds = false;
            switch (in[1]) {
            case kAssertBegin:
                holds = previous == kNoByte;
                break;
            case kAssertEnd:
                holds = next == kNoByte;
                break;
            case kAssertWordBoundary:
                holds = previousIsWord != nextIsWord;
                break;
            default:
                holds = previousIsWord == nextIsWord;
                break;
            }
            if (holds) push(pc + 1);
            break;
        }
        }
        if (accepted && to) {
            to[(pc + 1) >> 5] |= 1u << ((pc + 1) & 31);
            anyAlive = true;
        }
    }
    return false;
}

namespace {

// Whether the literal of the program starts at `at` (all of it in range).
bool prefixAt(const PatternProgram& program, const uint8_t* at) {
    const uint8_t* prefix = program.prefix();
    uint32_t fold = program.prefixFold();
    for (uint32_t i = 0; i < program.prefixLength(); ++i) {
        uint8_t b = (fold >> i & 1) ? static_cast<uint8_t>(at[i] | 0x20) : at[i];
        if (b != prefix[i]) return false;
    }
    return true;
}

// Sixteen bytes as one value: GCC lowers the operations to vector
// instructions where the target has them and to plain word operations
// where it has not, so this stays portable.
using Bytes16 = uint8_t __attribute__((vector_size(16)));

// The first place in [at, end) where the whole literal of a program with
// either-case bytes starts, or null. A byte search per case would stop at
// every common byte of the literal; testing two of its rarer bytes at their
// distance, sixteen places at a time, lets few places through to the full
// comparison.
const uint8_t* findFoldedPrefix(const PatternProgram& program, const uint8_t* at, const uint8_t* end) {
    uint32_t length = program.prefixLength();
    uint32_t first = program.prefixRare();
    uint32_t second = program.prefixPair();
    uint32_t fold = program.prefixFold();
    // An either-case letter is held in lower case: or-ing 0x20 into the text
    // byte folds only the other case of that letter onto it.
    uint8_t firstByte = program.prefix()[first];
    uint8_t firstMask = (fold >> first & 1) ? 0x20 : 0;
    uint8_t secondByte = program.prefix()[second];
    uint8_t secondMask = (fold >> second & 1) ? 0x20 : 0;
    const uint8_t* stop = end - length + 1;  // past the last place where all of it fits
    const uint8_t* p = at;
    // Every load below ends at p + length - 1 + 15 at most, inside the text.
    while (stop - p >= 16) {
        Bytes16 atFirst;
        Bytes16 atSecond;
        std::memcpy(&atFirst, p + first, sizeof atFirst);
        std::memcpy(&atSecond, p + second, sizeof atSecond);
        auto hits = ((atFirst | firstMask) == firstByte) & ((atSecond | secondMask) == secondByte);
        uint64_t words[2];
        std::memcpy(words, &hits, sizeof words);
        if (words[0] | words[1]) {
            for (uint32_t i = 0; i < 16; ++i)
                if (prefixAt(program, p + i)) return p + i;
        }
        p += 16;
    }
    for (; p < stop; ++p) {
        if ((p[first] | firstMask) == firstByte && (p[second] | secondMask) == secondByte && prefixAt(program, p))
            return p;
    }
    return nullptr;
}

}  // namespace

// The first position at or after `at` where a match can start, or `end`.
// Only called when no thread is alive, so every position skipped would only
// have started a new thread that dies at once.
const uint8_t* PatternScan::skipAhead(const PatternProgram& program, const uint8_t* at, const uint8_t* end) {
    uint32_t length = program.prefixLength();
    if (length >= 2 && static_cast<size_t>(end - at) >= length) {
        if (program.prefixFold() != 0) {
            if (const uint8_t* found = findFoldedPrefix(program, at, end)) return found;
        } else {
            // Look for the literal's rarest byte, then check the whole
            // literal around it.
            uint32_t rare = program.prefixRare();
            uint8_t wanted = program.prefix()[rare];
            const uint8_t* from = at + rare;
            const uint8_t* to = end - length + rare + 1;  // past the last place where all of it fits
            while (from < to) {
                const void* found = std::memchr(from, wanted, static_cast<size_t>(to - from));
                if (!found) break;
                const uint8_t* hit = static_cast<const uint8_t*>(found);
                if (prefixAt(program, hit - rare)) return hit - rare;
                from = hit + 1;
            }
        }
        // A literal cut by the end of this chunk can only start in its last
        // length - 1 bytes; those go through the first-byte test below.
        at = end - (length - 1);
    }
    if (program.flags() & kFlagOneFirstByte) {
        const void* found = std::memchr(at, program.firstByte(), static_cast<size_t>(end - at));
        return found ? static_cast<const uint8_t*>(found) : end;
    }
    const uint8_t* firstBytes = program.firstBytes();
    while (at < end && !bitmapHas(firstBytes, *at)) ++at;
    return at;
}

namespace {

// The sets of threads met so far in one feed() call, each with the class of
// the byte before it, and the transitions found between them: a small
// cache that turns the machine into a table lookup per byte once a text's
// few states have been seen. When it is full it is emptied and refilled;
// every byte still costs at most one run of the machine, so the time stays
// linear. It lives on the stack for one call (about 5.5 KiB).
constexpr uint32_t kCacheStates = 16;
constexpr uint8_t kUnknown = 0xff;
constexpr uint32_t kWords = (kMaxInstructions + 31) / 32;

enum ByteKind : uint8_t { kStartKind, kWordKind, kOtherKind };

// What the assertions can tell of the byte before a position.
uint8_t kindOf(int byte) { return byte > 255 ? kStartKind : isWordByte(byte) ? kWordKind : kOtherKind; }

struct StateCache {
    uint32_t count = 0;
    uint32_t sets[kCacheStates][kWords];
    uint8_t kinds[kCacheStates];
    bool empty[kCacheStates];
    uint8_t next[kCacheStates][256];

    // The index of the state (set, kind), added if new; kUnknown when full.
    uint8_t intern(const uint32_t* set, uint8_t kind) {
        for (uint32_t i = 0; i < count; ++i)
            if (kinds[i] == kind && std::memcmp(sets[i], set, sizeof sets[i]) == 0) return static_cast<uint8_t>(i);
        if (count == kCacheStates) return kUnknown;
        std::memcpy(sets[count], set, sizeof sets[count]);
        kinds[count] = kind;
        bool none = true;
        for (uint32_t w = 0; w < kWords && none; ++w) none = set[w] == 0;
        empty[count] = none;
        std::memset(next[count], kUnknown, sizeof next[count]);
        return static_cast<uint8_t>(count++);
    }
    uint8_t internOrRestart(const uint32_t* set, uint8_t kind) {
        uint8_t index = intern(set, kind);
        if (index != kUnknown) return index;
        count = 0;
        return intern(set, kind);
    }
};

}  // namespace

void PatternScan::feed(const uint8_t* begin, const uint8_t* end) {
    static_assert(kWords == PatternScan::kWords);
    if (!area_ || matched_ || begin >= end) return;
    PatternProgram program(area_);
    bool anchored = program.flags() & kFlagAnchored;
    bool canSkip = program.flags() & kFlagFirstBytes;
    // A stand-in for the byte before a position, of the same kind.
    const int representative[3] = {kNoByte, 'a', ' '};
    StateCache cache;
    int previous = previous_;
    uint8_t state = cache.internOrRestart(alive_, kindOf(previous));
    uint64_t steps = 0;
    const uint8_t* at = begin;
    while (at < end) {
        if (cache.empty[state]) {
            // Anchored and past the first byte with nothing alive: no match
            // can ever start again, and the bytes no longer matter.
            if (anchored && previous != kNoByte) break;
            if (canSkip) {
                const uint8_t* candidate = skipAhead(program, at, end);
                if (candidate == end) break;
                if (candidate != at) {
                    const uint32_t none[kWords] = {};
                    previous = candidate[-1];
                    state = cache.internOrRestart(none, kindOf(previous));
                    at = candidate;
                }
            }
        }
        uint8_t byte = *at;
        uint8_t target = cache.next[state][byte];
        if (target == kUnknown) {
            uint32_t alive[kWords] = {};
            bool anyAlive = false;
            if (step(program, cache.sets[state], representative[cache.kinds[state]], byte, alive, anyAlive, steps)) {
                matched_ = true;
                break;
            }
            target = cache.intern(alive, kindOf(byte));
            if (target == kUnknown) {
                cache.count = 0;
                target = cache.intern(alive, kindOf(byte));
            } else {
                cache.next[state][byte] = target;
            }
        }
        ++steps;
        state = target;
        previous = byte;
        ++at;
    }
    steps_ += steps;
    if (matched_) return;
    std::memcpy(alive_, cache.sets[state], sizeof alive_);
    previous_ = end[-1];
}

bool PatternScan::matches() const {
    if (matched_) return true;
    if (!area_) return false;
    bool anyAlive = false;
    uint64_t steps = 0;
    return step(PatternProgram(area_), alive_, previous_, kNoByte, nullptr, anyAlive, steps);
}
