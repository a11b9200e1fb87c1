// The support library: what the pattern compiler refuses, the resumable scan against whole-text search, IPv4 text.
#include "support/IPAddr.h"
#include "support/PatternScan.h"
#include "support/ReEngine.h"

#include <gtest/gtest.h>

#include <cstring>

// Each pattern on each text, in pieces here and against PCRE2 in PatternDifferentialTest; HTTP/1.0 takes 16-byte skips.
extern const std::vector<std::string> kBannerPatterns = {
    "SSH-", "^SSH-\\d\\.\\d", "^220[ -]", "HTTP/1\\.[01] \\d{3}", "(?i)^http/1\\.1 200", "\\+OK", "\\bFTP\\b",
    "Server: [^\\r\\n]*nginx", "(?i)server: *nginx", "^RFB \\d{3}\\.\\d{3}\\n$", "(?i)content-length:\\s*\\d+",
    std::string("a\0b", 3), "\\0[\\x00-\\x1f]", "(?:ab|cd)+e", "x*$", "^$", "\\B", "(a*)*b", "(?i)[^a]\\xc9",
    "(?:a|ab)(?:c|bcd)(?:d*)", "[]a]", "[^]a]", "[a-]", "a{2}", "a{2,}", "a{0,2}b", "\\W\\S\\D", "a[ab]{2}c\\b"};
extern const std::vector<std::string> kBannerTexts = {
    "", "SSH-2.0-OpenSSH_9.6\r\n", "220 ESMTP\r\n", "220-hello", "HTTP/1.1 200 OK\r\nServer: nginx\r\n",
    "HTTP/1.0 404 Not Found\r\nSERVER:  NGINX\r\n", "http/1.1 200 ok", "+OK hi", "RFB 003.008\n", "Content-Length: 12",
    std::string("xa\0b\x01", 5), "cdcdabe", "aaaab", "]-", "FTP server", "Ab\xc9\xe9 abbcd aabac!"};

static const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// An empty reason: it compiles. A refused pattern leaves an all-zero area, which never matches. The area holds
// 634 instructions (the last Match); a class table takes the room of 8, and equal ones share it.
TEST(PatternCompileTest, RefusesWhatItCannotMeanWithAReasonAndAZeroArea) {
    auto n = [](size_t count, char c) { return std::string(count, c); };
    const std::pair<std::string, std::string> cases[] = {
        {"(ab", "missing )"}, {"*a", "nothing to repeat"}, {"ab)", "unmatched )"}, {"[ab", "missing ]"},
        {"a+*", "cannot follow a quantifier"}, {"a++", "possessive"}, {"^*", "assertion"}, {"a{3,2}", "m <= n"},
        {"a{1001}", "invalid repetition"}, {"\\x4", "two hex digits"}, {"\\012", "octal"}, {"\\1", "backreferences"},
        {"\\q", "unknown escape"}, {"a\\", "lone backslash"}, {"a(?i)b", "very start"}, {"(?=a)", "unsupported group"},
        {"[[:alpha:]]", "POSIX"}, {"[\\b]", "\\b inside a class"}, {"[z-a]", "out of order"},
        {"[\\d-z]", "range cannot start"}, {n(8193, 'a'), "longer than"}, {n(33, '(') + n(33, ')'), "nested deeper"},
        {n(32, '(') + n(32, ')'), ""}, {n(633, 'a'), ""}, {"a{634}", "too large"}, {"[ab][ab]" + n(623, 'a'), ""},
        {"[ab][ac]" + n(616, 'a'), "too large"}, {"(?:(?:(?:){1000}){1000}){1000}", ""}};
    const std::vector<uint8_t> zero(kPatternAreaSize, 0);
    for (const auto& [pattern, reason] : cases) {
        std::vector<uint8_t> area = zero;  // its exact size: ASan sees a write past it
        const char* why = nullptr;
        const bool compiled = reMake(area.data(), bytes(pattern), bytes(pattern) + pattern.size(), 0, 0, &why);
        EXPECT_TRUE(compiled == reason.empty() && std::strstr(why ? why : "", reason.c_str())) << pattern << " " << why;
        EXPECT_TRUE(compiled || (area == zero && !reMatchChar(area.data(), nullptr, nullptr))) << pattern;
    }
}

// Each text cut in three pieces every way: the scan answers as a search of the text so far, so a literal cut
// anywhere is found, and a match that needed "$" or "\b" at the end is gone once more text comes.
TEST(PatternScanTest, EveryChunkingAgreesWithWholeTextSearch) {
    for (const std::string& pattern : kBannerPatterns) {
        uint8_t area[kPatternAreaSize] = {};
        ASSERT_TRUE(reMake(area, bytes(pattern), bytes(pattern) + pattern.size(), 0, 0)) << pattern;
        for (const std::string& text : kBannerTexts)
            for (size_t i = 0; i <= text.size(); ++i)
                for (size_t j = i; j <= text.size(); ++j) {
                    PatternScan scan(area);
                    for (size_t from = 0; size_t to : {i, j, text.size()}) {
                        scan.feed(bytes(text) + from, bytes(text) + to);
                        ASSERT_EQ(scan.matches(), reMatchChar(area, bytes(text), bytes(text) + to) != 0)
                            << pattern << " on " << testing::PrintToString(text) << " cut at " << i << ", " << j;
                        from = to;
                    }
                }
    }
}

// A step is an instruction visited or a byte through a cached transition: at most the program's size plus one
// per byte, where backtracking explodes. Text that cannot start a match (the last four) is skipped, not stepped.
TEST(PatternScanTest, WorkIsLinearInTheText) {
    const std::string patterns[] = {"(a*)*b", "(a|a)*b", "(?:a+)+$x", "(a|aa)*c", "(?:\\w*\\s*)*!", "(.*)*x{5}",
                                    "SSH-\\d", "^220 ", "(?i)hello", "(?i)server: *nginx"};
    const std::string text(8000, 'a');
    for (size_t i = 0; i < std::size(patterns); ++i) {
        uint8_t area[kPatternAreaSize] = {};
        ASSERT_TRUE(reMake(area, bytes(patterns[i]), bytes(patterns[i]) + patterns[i].size(), 0, 0)) << patterns[i];
        PatternScan scan(area);
        scan.feed(bytes(text), bytes(text) + text.size());
        EXPECT_LE(scan.steps(), i < 6 ? (text.size() + 1) * ((area[4] << 8 | area[5]) + 1u) : 2u) << patterns[i];
    }
}

// Compared as bytes in memory, so the test means the same on either byte order; only the low 16 bits are the port.
TEST(IPAddrTest, TextAndSocketAddressKeepTheWireOrder) {
    const uint8_t wire[] = {192, 168, 1, 254}, port[] = {0x12, 0x34};
    uint32_t address;
    std::memcpy(&address, wire, sizeof address);
    const sockaddr_in sa = IPAddr::socketAddress(address, 0x71234);
    EXPECT_EQ(IPAddr::str(address), "192.168.1.254");
    EXPECT_EQ(std::memcmp(&sa.sin_port, port, 2) | std::memcmp(&sa.sin_addr, wire, 4), 0);
}
