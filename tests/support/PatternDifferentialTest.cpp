// The pattern engine against PCRE2 on tables and seeded random cases of the
// engine's language: same match or no match on every case. PCRE2 runs with
// "." matching newline and "$" only at the very end, which is what this
// language means by them. Native builds only (NETPROBE_HAVE_PCRE2).
#include "support/ReEngine.h"
#include "tests/support/PatternGenerator.h"

#include <gtest/gtest.h>

#ifdef NETPROBE_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>
#include <vector>

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// 1 match, 0 no match, -1 PCRE2 could not decide (a limit) or refused.
int pcreMatches(const std::string& pattern, const std::string& text) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(bytes(pattern), pattern.size(), PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY, &error,
                                     &offset, nullptr);
    if (!code) return -1;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    int rc = pcre2_match(code, bytes(text), text.size(), 0, 0, data, nullptr);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    if (rc >= 0) return 1;
    return rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

struct Outcome {
    int cases = 0;
    int failures = 0;
    int undecided = 0;
    std::vector<std::string> firstFailures;
};

void compare(const std::string& pattern, const std::string& text, Outcome& outcome) {
    uint8_t area[kPatternAreaSize] = {};
    const char* reason = nullptr;
    bool compiled = reMake(area, bytes(pattern), bytes(pattern) + pattern.size(), 0, 0, &reason);
    int expected = pcreMatches(pattern, text);
    ++outcome.cases;
    if (expected < 0) {
        ++outcome.undecided;
        return;
    }
    int got = compiled ? (reMatchChar(area, bytes(text), bytes(text) + text.size()) != 0) : -1;
    if (got == expected) return;
    ++outcome.failures;
    if (outcome.firstFailures.size() < 8) {
        std::string shown = "pattern ";
        for (char c : pattern) shown += (c >= 32 && c < 127) ? std::string(1, c) : "\\x" + std::to_string(uint8_t(c));
        shown += " text ";
        for (char c : text) shown += (c >= 32 && c < 127) ? std::string(1, c) : "\\x" + std::to_string(uint8_t(c));
        shown += compiled ? "" : std::string(" (not compiled: ") + reason + ")";
        shown += " pcre2=" + std::to_string(expected) + " engine=" + std::to_string(got);
        outcome.firstFailures.push_back(shown);
    }
}

void expectAgreement(const Outcome& outcome) {
    std::string shown;
    for (const std::string& f : outcome.firstFailures) shown += "  " + f + "\n";
    EXPECT_EQ(outcome.failures, 0) << outcome.failures << " of " << outcome.cases << " cases differ:\n" << shown;
    EXPECT_LT(outcome.undecided * 100, outcome.cases + 100) << "PCRE2 left too many cases undecided";
}

TEST(PatternDifferentialTest, BannerTableAgreesWithPcre2) {
    const std::vector<std::string> patterns = {
        "SSH-", "^SSH-\\d\\.\\d", "^220[ -]", "HTTP/1\\.[01] \\d{3}", "(?i)^http/1\\.1 200", "\\+OK", "^\\* OK",
        "Server: [^\\r\\n]*nginx", "\\bFTP\\b", "^RFB \\d{3}\\.\\d{3}\\n$", "(?i)content-length:\\s*\\d+",
        "SSH-2\\.0-OpenSSH_[0-9.]+", "a\\0b", "[\\x00-\\x1f]", "(?:ab|cd)+e", "x*$", "^$", "\\B", "(a*)*b",
        "(?:a|ab)(?:c|bcd)(?:d*)", "[]a]", "[^]a]", "[a-]", "[-a]", "a{2}", "a{2,}", "a{0,2}b", "a{,", "é",
    };
    const std::vector<std::string> texts = {
        "", "SSH-2.0-OpenSSH_9.6\r\n", "220 mail ESMTP\r\n", "220-hello", "HTTP/1.1 200 OK\r\nServer: nginx\r\n",
        "http/1.1 200 ok", "+OK ready", "* OK IMAP", "RFB 003.008\n", "Content-Length:  12",
        std::string("a\0b", 3), "abcde", "cdcdabe", "aaaab", "aaaa", "]", "-", "xx", "FTP server", "ab\n",
        "abcd", "abbcd", "\xc3\xa9",
    };
    Outcome outcome;
    for (const std::string& p : patterns) {
        if (p == "a{,") continue;  // refused here on purpose, literal for PCRE2 (see PatternCompileTest)
        for (const std::string& t : texts) compare(p, t, outcome);
    }
    expectAgreement(outcome);
}

TEST(PatternDifferentialTest, RandomPatternsAgreeWithPcre2) {
    PatternGenerator generator(20261206);
    Outcome outcome;
    for (int i = 0; i < 4000; ++i) {
        std::string pattern = generator.pattern();
        for (int j = 0; j < 12; ++j) compare(pattern, generator.text(24), outcome);
    }
    expectAgreement(outcome);
}

// Patterns whose thread sets are many (a counted window over a two-letter
// text) on long texts: the matcher's state cache fills and starts over
// again and again.
TEST(PatternDifferentialTest, ManyStatesAgreeWithPcre2) {
    PatternGenerator generator(99);
    Outcome outcome;
    const std::vector<std::string> patterns = {"a[ab]{7}c", "(?:a|b)*a[ab]{9}b$", "\\ba.{5}b\\B", "(?i)a.{3,6}B.{2}c"};
    for (const std::string& p : patterns) {
        for (int i = 0; i < 200; ++i) {
            std::string text;
            size_t length = 50 + generator.below(400);
            for (size_t k = 0; k < length; ++k) text += "abABc "[generator.below(i % 2 ? 2 : 6)];
            compare(p, text, outcome);
        }
    }
    expectAgreement(outcome);
}

}  // namespace

#else
TEST(PatternDifferentialTest, DISABLED_NeedsPcre2) {}
#endif
