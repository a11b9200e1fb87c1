// Compiling patterns into the fixed area: what is refused and why, the
// area's limits, the exact layout, and that only a good compile can match.
#include "support/PatternProgram.h"
#include "support/ReEngine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct Compiled {
    bool ok;
    std::string reason;
    std::vector<uint8_t> area;  // a heap block of the exact size: ASan sees any write past it
};

Compiled compile(const std::string& pattern) {
    std::vector<uint8_t> area(kPatternAreaSize, 0);
    const char* reason = nullptr;
    bool ok = reMake(area.data(), bytes(pattern), bytes(pattern) + pattern.size(), 0, 0, &reason);
    return {ok, reason ? reason : "", area};
}

bool matches(const std::vector<uint8_t>& area, const std::string& text) {
    return reMatchChar(area.data(), bytes(text), bytes(text) + text.size()) != 0;
}

bool allZero(const std::vector<uint8_t>& area) { return area == std::vector<uint8_t>(kPatternAreaSize, 0); }

TEST(PatternCompileTest, RefusesWhatItCannotMeanWithAReasonAndAZeroArea) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"(ab", "missing )"}, {"ab)", "unmatched )"}, {"[ab", "missing ]"}, {"*a", "nothing to repeat"},
        {"a|+", "nothing to repeat"}, {"{2}", "nothing to repeat"}, {"a**", "cannot follow a quantifier"},
        {"a++", "possessive"}, {"^*", "assertion"}, {"\\b+", "assertion"}, {"a{", "invalid repetition"},
        {"a{,3}", "invalid repetition"}, {"a{3,2}", "m <= n"}, {"a{1001}", "invalid repetition"},
        {"\\x4", "two hex digits"}, {"\\012", "octal"}, {"\\1", "backreferences"}, {"\\q", "unknown escape"},
        {"abc\\", "lone backslash"}, {"(?=a)", "unsupported group"}, {"a(?i)b", "very start"},
        {"(?I)a", "unsupported group"}, {"[[:alpha:]]", "POSIX"}, {"[\\b]", "\\b inside a class"},
        {"[z-a]", "out of order"}, {"[\\d-z]", "range cannot start"}, {"[a-\\w]", "range cannot end"},
        {std::string(33, '(') + std::string(33, ')'), "nested deeper"}, {std::string(8193, 'a'), "longer than"},
    };
    for (const auto& [pattern, reason] : cases) {
        Compiled c = compile(pattern);
        EXPECT_FALSE(c.ok) << pattern;
        EXPECT_NE(c.reason.find(reason), std::string::npos) << pattern << ": " << c.reason;
        EXPECT_TRUE(allZero(c.area)) << pattern;
        EXPECT_FALSE(matches(c.area, "")) << pattern;
    }
    size_t offset = 0;
    std::string pattern = "abc[def";
    EXPECT_STREQ(reExplain(bytes(pattern), bytes(pattern) + pattern.size(), &offset), "missing ]");
    EXPECT_EQ(offset, pattern.size());
    std::string good = "ab{2}";
    EXPECT_EQ(reExplain(bytes(good), bytes(good) + good.size()), nullptr);
    std::vector<uint8_t> area(kPatternAreaSize, 0);
    EXPECT_FALSE(reMake(area.data(), bytes(pattern), bytes(pattern) + 1, 0, 1)) << "reserved arguments must be 0";
    EXPECT_TRUE(compile(std::string(32, '(') + std::string(32, ')')).ok);
}

// 64 header bytes, then 4 bytes per instruction: 634 instructions, the last
// of them Match. A class table takes the room of 8 instructions; equal
// classes share one; {m,n} copies count like any other instruction.
TEST(PatternCompileTest, FillsTheAreaExactlyAndFailsCleanlyBeyond) {
    EXPECT_TRUE(compile(std::string(633, 'a')).ok);
    Compiled tooLarge = compile(std::string(634, 'a'));
    EXPECT_NE(tooLarge.reason.find("too large"), std::string::npos);
    EXPECT_TRUE(allZero(tooLarge.area));
    EXPECT_TRUE(compile("a{633}").ok);
    EXPECT_FALSE(compile("a{634}").ok);
    EXPECT_FALSE(compile("(?:(?:(?:a{10}){10}){10}){10}").ok);
    EXPECT_TRUE(compile("[ab][ab][ab]" + std::string(622, 'a')).ok);
    EXPECT_FALSE(compile("[ab][ac][ab]" + std::string(622, 'a')).ok);
    EXPECT_TRUE(compile("(?:(?:(?:){1000}){1000}){1000}a").ok) << "repeating nothing costs nothing";
}

// Byte for byte, whatever the host's byte order.
TEST(PatternCompileTest, LayoutIsExactAndBigEndian) {
    Compiled c = compile("ab|c");
    ASSERT_TRUE(c.ok);
    using namespace pattern;
    const std::vector<uint8_t> header = {'N', 'P', 'R', '1', 0, 6, 0};  // 6 instructions, no class table
    const std::vector<uint8_t> program = {kOpSplit, 0, 0, 4, kOpByte, 'a', 0, 0, kOpByte, 'b', 0, 0,
                                          kOpJmp,   0, 0, 5, kOpByte, 'c', 0, 0, kOpMatch, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(c.area.begin(), c.area.begin() + 7), header);
    EXPECT_EQ(std::vector<uint8_t>(c.area.begin() + 64, c.area.begin() + 88), program);
    EXPECT_EQ(std::vector<uint8_t>(c.area.begin() + 88, c.area.end()), std::vector<uint8_t>(kPatternAreaSize - 88, 0));
}

TEST(PatternCompileTest, CorruptAreaNeverMatchesAndIsNeverLeft) {
    Compiled c = compile("a(?:b|[cd])*d");
    ASSERT_TRUE(c.ok);
    ASSERT_TRUE(matches(c.area, "abcd"));
    uint32_t classes = c.area[6], count = c.area[5], base = 64 + classes * 32;
    for (uint32_t pc = 0; pc < count; ++pc) {
        std::vector<uint8_t> bad = c.area;
        bad[base + pc * 4] = pattern::kOpJmp;
        bad[base + pc * 4 + 2] = 0xff;  // a target far out of the program
        EXPECT_FALSE(matches(bad, "abcd")) << pc;
    }
    std::vector<uint8_t> bad = c.area;
    bad[4] = 0xff;  // a count beyond the area
    EXPECT_FALSE(matches(bad, "abcd"));
    EXPECT_FALSE(matches(std::vector<uint8_t>(kPatternAreaSize, 0), "")) << "an all-zero area never matches";
    bad = compile("(?i)ab:cd").area;
    bad[13] = 0xff;  // the literal's second search byte far beyond it
    EXPECT_FALSE(matches(bad, std::string(40, 'x') + "ab:cd"));
}

}  // namespace
