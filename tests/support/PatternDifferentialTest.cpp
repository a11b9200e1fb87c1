// The pattern engine against PCRE2 on tables and seeded random cases of the
// engine's language: same match or no match on every case. PCRE2 runs with
// "." matching newline and "$" only at the very end, which is what this
// language means by them. Native builds only: there is no PCRE2 for the device.
#include "support/ReEngine.h"
#include "PatternGenerator.h"

#include <gtest/gtest.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>
#include <vector>

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// 1 match, 0 no match, -1 PCRE2 refused or gave up (a limit).
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
    return rc >= 0 ? 1 : rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += c >= 32 && c < 127 ? std::string(1, c) : "\\x" + std::to_string(c);
    return out;
}

// Counts the cases where the engine and PCRE2 differ, keeping the first few.
struct Tally {
    int cases = 0, differ = 0, undecided = 0;
    std::string first;

    void compare(const std::string& pattern, const std::string& text) {
        uint8_t area[kPatternAreaSize] = {};
        const char* reason = "";
        bool compiled = reMake(area, bytes(pattern), bytes(pattern) + pattern.size(), 0, 0, &reason);
        int expected = pcreMatches(pattern, text);
        ++cases;
        if (expected < 0) {
            ++undecided;
            return;
        }
        int got = compiled ? reMatchChar(area, bytes(text), bytes(text) + text.size()) != 0 : -1;
        if (got == expected) return;
        if (++differ <= 5)
            first += "  /" + printable(pattern) + "/ on \"" + printable(text) + "\": pcre2 " + std::to_string(expected) +
                     ", engine " + std::to_string(got) + (compiled ? "" : std::string(" (") + reason + ")") + "\n";
    }
    void expectAgreement() const {
        EXPECT_EQ(differ, 0) << differ << " of " << cases << " cases differ:\n" << first;
        EXPECT_LT(undecided * 100, cases + 100) << "PCRE2 left too many cases undecided";
    }
};

TEST(PatternDifferentialTest, BannersAndEdgesAgreeWithPcre2) {
    const std::vector<std::string> patterns = {
        "SSH-", "^SSH-\\d\\.\\d", "^220[ -]", "HTTP/1\\.[01] \\d{3}", "(?i)^http/1\\.1 200", "\\+OK",
        "Server: [^\\r\\n]*nginx", "\\bFTP\\b", "^RFB \\d{3}\\.\\d{3}\\n$", "(?i)content-length:\\s*\\d+",
        std::string("a\0b", 3), "\\0[\\x00-\\x1f]", "(?:ab|cd)+e", "x*$", "^$", "\\B", "(a*)*b", "(?i)[^a]\\xc9",
        "(?:a|ab)(?:c|bcd)(?:d*)", "[]a]", "[^]a]", "[a-]", "[-a]", "a{2}", "a{2,}", "a{0,2}b", "\xc3\xa9",
    };
    const std::vector<std::string> texts = {
        "", "SSH-2.0-OpenSSH_9.6\r\n", "220 mail ESMTP\r\n", "220-hello", "HTTP/1.1 200 OK\r\nServer: nginx\r\n",
        "http/1.1 200 ok", "+OK ready", "RFB 003.008\n", "Content-Length:  12", std::string("xa\0b\x01", 5),
        "abcde", "cdcdabe", "aaaab", "aaaa", "]", "-", "FTP server", "ab\n", "abbcd", "\xc3\xa9", "Ab\xc9\xe9",
    };
    Tally tally;
    for (const std::string& p : patterns)
        for (const std::string& t : texts) tally.compare(p, t);
    tally.expectAgreement();
}

TEST(PatternDifferentialTest, RandomPatternsAgreeWithPcre2) {
    PatternGenerator generator(20261206);
    Tally tally;
    for (int i = 0; i < 4000; ++i) {
        std::string pattern = generator.pattern();
        for (int j = 0; j < 12; ++j) tally.compare(pattern, generator.text(24));
    }
    tally.expectAgreement();
}

// Counted windows over long two-letter texts make many distinct thread
// sets: the matcher's state cache fills and starts over again and again.
TEST(PatternDifferentialTest, ManyStatesAgreeWithPcre2) {
    PatternGenerator generator(99);
    Tally tally;
    for (const char* p : {"a[ab]{7}c", "(?:a|b)*a[ab]{9}b$", "\\ba.{5}b\\B", "(?i)a.{3,6}B.{2}c"}) {
        for (int i = 0; i < 200; ++i) {
            std::string text(50 + generator.below(400), ' ');
            for (char& c : text) c = "abABc "[generator.below(i % 2 ? 2 : 6)];
            tally.compare(p, text);
        }
    }
    tally.expectAgreement();
}

}  // namespace

