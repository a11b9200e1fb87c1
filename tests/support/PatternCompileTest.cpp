// Compiling patterns into the fixed area: what is refused and why, the
// area's limits, the exact layout, and that nothing but a good compile can
// ever match.
#include "support/PatternProgram.h"
#include "support/ReEngine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct Compiled {
    bool ok;
    std::string reason;
    std::vector<uint8_t> area;
};

// The area sits exactly at the end of a heap block, so that under
// AddressSanitizer a write past it is caught.
Compiled compile(const std::string& pattern) {
    std::vector<uint8_t> area(kPatternAreaSize, 0);
    const char* reason = nullptr;
    bool ok = reMake(area.data(), bytes(pattern), bytes(pattern) + pattern.size(), 0, 0, &reason);
    return {ok, reason ? reason : "", area};
}

bool matches(const std::vector<uint8_t>& area, const std::string& text) {
    return reMatchChar(area.data(), bytes(text), bytes(text) + text.size()) != 0;
}

bool allZero(const std::vector<uint8_t>& area) {
    for (uint8_t b : area)
        if (b != 0) return false;
    return true;
}

TEST(PatternCompileTest, RefusesWhatItCannotMeanWithAReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"(ab", "missing )"},
        {"ab)", "unmatched )"},
        {"[ab", "missing ]"},
        {"*a", "nothing to repeat"},
        {"a|+", "nothing to repeat"},
        {"{2}", "nothing to repeat"},
        {"a**", "a quantifier cannot follow a quantifier"},
        {"a++", "possessive"},
        {"^*", "assertion"},
        {"\\b+", "assertion"},
        {"a{", "invalid repetition"},
        {"a{x}", "invalid repetition"},
        {"a{,3}", "invalid repetition"},
        {"a{3,2}", "m <= n"},
        {"a{1001}", "invalid repetition"},
        {"\\x4", "two hex digits"},
        {"\\xg0", "two hex digits"},
        {"\\012", "octal"},
        {"\\1", "backreferences"},
        {"\\q", "unknown escape"},
        {"\\A", "unknown escape"},
        {"abc\\", "lone backslash"},
        {"(?=a)", "unsupported group"},
        {"(?P<n>a)", "unsupported group"},
        {"a(?i)b", "very start"},
        {"[[:alpha:]]", "POSIX"},
        {"[\\b]", "\\b inside a class"},
        {"[z-a]", "out of order"},
        {"[\\d-z]", "range cannot start"},
        {"[a-\\w]", "range cannot end"},
    };
    for (const auto& [pattern, reason] : cases) {
        Compiled c = compile(pattern);
        EXPECT_FALSE(c.ok) << pattern;
        EXPECT_NE(c.reason.find(reason), std::string::npos) << pattern << ": " << c.reason;
        EXPECT_TRUE(allZero(c.area)) << pattern;
        EXPECT_FALSE(matches(c.area, "")) << pattern;
        EXPECT_FALSE(matches(c.area, pattern)) << pattern;
    }
}

TEST(PatternCompileTest, ExplainGivesReasonAndOffset) {
    std::string pattern = "abc[def";
    size_t offset = 99;
    const char* reason = reExplain(bytes(pattern), bytes(pattern) + pattern.size(), &offset);
    ASSERT_NE(reason, nullptr);
    EXPECT_STREQ(reason, "missing ]");
    EXPECT_EQ(offset, pattern.size());
    pattern = "ab{2}";
    EXPECT_EQ(reExplain(bytes(pattern), bytes(pattern) + pattern.size()), nullptr);
}

TEST(PatternCompileTest, AllZeroAreaNeverMatches) {
    std::vector<uint8_t> area(kPatternAreaSize, 0);
    EXPECT_FALSE(matches(area, ""));
    EXPECT_FALSE(matches(area, "anything at all"));
}

TEST(PatternCompileTest, NonZeroReservedArgumentsAreRefused) {
    std::string pattern = "a";
    std::vector<uint8_t> area(kPatternAreaSize, 0);
    EXPECT_FALSE(reMake(area.data(), bytes(pattern), bytes(pattern) + 1, 1, 0));
    EXPECT_FALSE(reMake(area.data(), bytes(pattern), bytes(pattern) + 1, 0, 1));
    EXPECT_TRUE(allZero(area));
}

// 64 header bytes, then 4 bytes per instruction: 634 instructions, the last
// of them Match. Each class table takes the room of 8 instructions.
TEST(PatternCompileTest, FillsTheAreaExactlyAndFailsCleanlyBeyond) {
    EXPECT_TRUE(compile(std::string(633, 'a')).ok);
    Compiled tooLong = compile(std::string(634, 'a'));
    EXPECT_FALSE(tooLong.ok);
    EXPECT_NE(tooLong.reason.find("too large"), std::string::npos);
    EXPECT_TRUE(allZero(tooLong.area));

    EXPECT_TRUE(compile("a{633}").ok);
    EXPECT_FALSE(compile("a{634}").ok);
    EXPECT_FALSE(compile("(?:(?:(?:a{10}){10}){10}){10}").ok);
    EXPECT_TRUE(compile("[ab]" + std::string(624, 'a')).ok);
    EXPECT_FALSE(compile("[ab]" + std::string(625, 'a')).ok);
    // Equal classes share one table.
    EXPECT_TRUE(compile("[ab][ab][ab]" + std::string(622, 'a')).ok);
    EXPECT_FALSE(compile("[ab][ac][ab]" + std::string(622, 'a')).ok);
    // Repeating nothing costs nothing, however often.
    EXPECT_TRUE(compile("(?:(?:(?:){1000}){1000}){1000}a").ok);
    EXPECT_FALSE(compile(std::string(8193, 'a')).ok);
}

TEST(PatternCompileTest, NestingIsBounded) {
    std::string deep32 = std::string(32, '(') + "a" + std::string(32, ')');
    std::string deep33 = std::string(33, '(') + "a" + std::string(33, ')');
    EXPECT_TRUE(compile(deep32).ok);
    Compiled c = compile(deep33);
    EXPECT_FALSE(c.ok);
    EXPECT_NE(c.reason.find("nested"), std::string::npos);
}

// The layout is fixed byte for byte, whatever the host's byte order.
TEST(PatternCompileTest, LayoutIsExactAndBigEndian) {
    Compiled c = compile("ab|c");
    ASSERT_TRUE(c.ok);
    const std::vector<uint8_t>& a = c.area;
    EXPECT_EQ(std::string(a.begin(), a.begin() + 4), "NPR1");
    EXPECT_EQ(a[4], 0);
    EXPECT_EQ(a[5], 6);  // split, a, b, jmp, c, match
    EXPECT_EQ(a[6], 0);  // no class tables
    const std::vector<uint8_t> program = {
        pattern::kOpSplit, 0, 0, 4, pattern::kOpByte, 'a', 0, 0, pattern::kOpByte, 'b', 0, 0,
        pattern::kOpJmp,   0, 0, 5, pattern::kOpByte, 'c', 0, 0, pattern::kOpMatch, 0, 0, 0,
    };
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + 64, a.begin() + 64 + 24), program);
    for (size_t i = 64 + 24; i < a.size(); ++i) ASSERT_EQ(a[i], 0) << i;
}

TEST(PatternCompileTest, CorruptAreaNeverMatchesAndIsNeverLeft) {
    Compiled c = compile("a(?:b|c)*d");
    ASSERT_TRUE(c.ok);
    ASSERT_TRUE(matches(c.area, "abcd"));
    uint32_t count = c.area[5];
    for (uint32_t pc = 0; pc < count; ++pc) {
        std::vector<uint8_t> bad = c.area;
        bad[64 + pc * 4 + 2] = 0xff;  // target far out of the program
        bad[64 + pc * 4 + 0] = pattern::kOpJmp;
        EXPECT_FALSE(matches(bad, "abcd")) << pc;
    }
    std::vector<uint8_t> bad = c.area;
    bad[4] = 0xff;  // count beyond the area
    EXPECT_FALSE(matches(bad, "abcd"));
    bad = c.area;
    bad[64 + (count - 1) * 4] = pattern::kOpByte;  // no Match at the end
    EXPECT_FALSE(matches(bad, "abcd"));
}

TEST(PatternCompileTest, ZeroBytesAreOrdinaryInPatternAndText) {
    Compiled literal = compile(std::string("a\0b", 3));
    ASSERT_TRUE(literal.ok);
    EXPECT_TRUE(matches(literal.area, std::string("xa\0b", 4)));
    EXPECT_FALSE(matches(literal.area, "ab"));
    Compiled escaped = compile("\\0\\x00[\\0]");
    ASSERT_TRUE(escaped.ok);
    EXPECT_TRUE(matches(escaped.area, std::string("x\0\0\0", 4)));
    EXPECT_FALSE(matches(escaped.area, std::string("\0\0", 2)));
    Compiled tail = compile("b$");
    EXPECT_FALSE(matches(tail.area, std::string("ab\0", 3)));
}

TEST(PatternCompileTest, CaseInsensitivityIsAsciiOnly) {
    Compiled c = compile("(?i)ssh-[a-c]\\xc9");
    ASSERT_TRUE(c.ok);
    EXPECT_TRUE(matches(c.area, "SsH-B\xc9"));
    EXPECT_FALSE(matches(c.area, "SSH-B\xe9"));
    Compiled negated = compile("(?i)[^a]");
    EXPECT_FALSE(matches(negated.area, "aA"));
    EXPECT_FALSE(compile("(?I)a").ok);
}

}  // namespace
