// The pattern engine against PCRE2, whole and fed a byte at a time. Native only: the device has no PCRE2.
#include "support/PatternScan.h"
#include "support/ReEngine.h"

#include <gtest/gtest.h>

#include <random>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

extern const std::vector<std::string> kBannerPatterns, kBannerTexts;  // in SupportTest.cpp

static const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// 1 match, 0 no match, -1 refused or gave up (a limit); "." takes a newline and "$" is the very end, as here.
static int pcreMatches(const std::string& pattern, const std::string& text) {
    int e = 0;
    PCRE2_SIZE at = 0;
    pcre2_code* code = pcre2_compile(bytes(pattern), pattern.size(), PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY, &e, &at, 0);
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    const int rc = pcre2_match(code, bytes(text), text.size(), 0, 0, data, nullptr);  // no code: PCRE2_ERROR_NULL
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    return rc >= 0 ? 1 : rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

// Seeded random patterns of the whole language (the assertions, first of the atoms, take no quantifier).
struct Generator {
    std::mt19937 random{20261206};
    uint32_t below(size_t n) { return static_cast<uint32_t>(random() % n); }
    std::string pattern(int depth = 0) {
        static const std::string atoms[] = {
            "^", "$", "\\b", "\\B", "a", "b", "ab", "A", "1", " ", "\n", "_", "\xff", std::string(1, '\0'), ".",
            "\\.", "\\d", "\\D", "\\w", "\\W", "\\s", "\\S", "\\n", "\\x00", "\\x41", "\\\\", "\\|", "\\{", "[a-c]",
            "[^a-c\\d]", "[A-Z_]", "[\\s\\x00-\\x20]", "[^\\W]", "[\xff\n-]", "[]a]", "[-.]"};
        static const char* const quantifiers[] = {"*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}", "*?", "{1,2}?"};
        std::string out = depth == 0 && below(6) == 0 ? "(?i)" : "";
        do {
            for (uint32_t n = below(4) + (depth == 0); n > 0; --n) {
                uint32_t pick = below(std::size(atoms) + (depth < 3 ? 8 : 0));
                out += pick < std::size(atoms) ? atoms[pick] : (below(2) ? "(" : "(?:") + pattern(depth + 1) + ")";
                if (pick >= 4 && below(3) == 0) out += quantifiers[below(std::size(quantifiers))];
            }
        } while (below(5) == 0 && (out += '|', true));
        return out;
    }
};

// The long random texts fill the matcher's cache of thread sets, which then starts over.
TEST(PatternDifferentialTest, BannersAndRandomPatternsAgreeWithPcre2) {
    size_t cases = 0, differ = 0, undecided = 0;
    auto check = [&](const std::string& pattern, const std::string& text) {
        uint8_t area[kPatternAreaSize] = {};
        bool compiled = reMake(area, bytes(pattern), bytes(pattern) + pattern.size(), 0, 0);
        PatternScan scan(area);
        for (size_t i = 0; i < text.size(); ++i) scan.feed(bytes(text) + i, bytes(text) + i + 1);
        int whole = compiled ? reMatchChar(area, bytes(text), bytes(text) + text.size()) : -1;
        int expected = pcreMatches(pattern, text);
        ++cases, undecided += expected < 0;
        if (expected >= 0 && (whole != expected || scan.matches() != (whole == 1)) && ++differ <= 5)
            ADD_FAILURE() << testing::PrintToString(pattern) << " on " << testing::PrintToString(text) << ": PCRE2 "
                          << expected << ", engine " << whole << ", a byte at a time " << scan.matches();
    };
    for (const auto& pattern : kBannerPatterns) for (const auto& text : kBannerTexts) check(pattern, text);
    Generator generator;
    std::string pattern, text;
    for (int i = 0; i < 4000 * 12; ++i) {  // twelve texts for each pattern, the last two long
        if (i % 12 == 0) pattern = generator.pattern();
        text.assign(generator.below(i % 12 < 10 ? 25 : 401), ' ');
        for (char& c : text) c = "abcAB1_ \n-.\0\xff"[generator.below(13)];  // tells \b \w \s (?i) . $ apart
        check(pattern, text);
    }
    EXPECT_EQ(differ, 0u) << " of " << cases << " cases";
    EXPECT_LT(undecided * 100, cases) << "PCRE2 left too many cases undecided";
}
