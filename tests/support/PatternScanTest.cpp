// The resumable scan: after every chunk it must give what one search of the
// whole text so far gives, however the text is cut; its state stays small;
// and its work grows linearly with the text, counted in instruction visits.
#include "support/PatternScan.h"
#include "support/ReEngine.h"
#include "tests/support/PatternGenerator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::vector<uint8_t> compile(const std::string& pattern) {
    std::vector<uint8_t> area(kPatternAreaSize, 0);
    reMake(area.data(), bytes(pattern), bytes(pattern) + pattern.size(), 0, 0);
    return area;
}

bool wholeMatch(const std::vector<uint8_t>& area, const std::string& text) {
    return reMatchChar(area.data(), bytes(text), bytes(text) + text.size()) != 0;
}

// Feeds `text` cut at `cuts` (ascending offsets; repeats give empty chunks)
// and compares the scan with a whole-text search after every chunk.
// Returns the number of disagreements.
int disagreements(const std::vector<uint8_t>& area, const std::string& text, const std::vector<size_t>& cuts) {
    PatternScan scan(area.data());
    int wrong = wholeMatch(area, "") != scan.matches();
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? cuts[i] : text.size();
        scan.feed(bytes(text) + from, bytes(text) + to);
        wrong += wholeMatch(area, text.substr(0, to)) != scan.matches();
        from = to;
    }
    return wrong;
}

TEST(PatternScanTest, EveryChunkingAgreesWithWholeTextSearch) {
    PatternGenerator generator(7);
    int cases = 0, wrong = 0;
    std::string firstWrong;
    for (int i = 0; i < 1500; ++i) {
        std::string pattern = generator.pattern();
        std::vector<uint8_t> area = compile(pattern);
        for (int j = 0; j < 6; ++j) {
            std::string text = generator.text(40);
            // One byte at a time cuts at every position: inside every
            // literal, at every $ and \b.
            std::vector<size_t> everyByte;
            for (size_t k = 1; k < text.size(); ++k) everyByte.push_back(k);
            std::vector<size_t> random;
            for (size_t at = 0; at < text.size();) {
                at += generator.below(3) == 0 ? 0 : generator.below(8);  // 0: an empty chunk
                random.push_back(std::min(at, text.size()));
                if (random.size() > 64) break;
            }
            int w = disagreements(area, text, everyByte) + disagreements(area, text, random);
            cases += 2;
            if (w && firstWrong.empty()) firstWrong = pattern + " on " + text;
            wrong += w != 0;
        }
    }
    EXPECT_EQ(wrong, 0) << wrong << " of " << cases << " chunkings differ; first: " << firstWrong;
}

TEST(PatternScanTest, EndAssertionsAreTestedAtTheCurrentEnd) {
    std::vector<uint8_t> dollar = compile("ok$");
    PatternScan scan(dollar.data());
    std::string ok = "ok", more = "!";
    scan.feed(bytes(ok), bytes(ok) + 2);
    EXPECT_TRUE(scan.matches());
    scan.feed(bytes(more), bytes(more) + 1);
    EXPECT_FALSE(scan.matches()) << "a match at the old end is gone once more text comes";
    scan.feed(bytes(ok), bytes(ok) + 2);
    EXPECT_TRUE(scan.matches());

    std::vector<uint8_t> boundary = compile("foo\\b");
    PatternScan word(boundary.data());
    std::string foo = "foo", d = "d";
    word.feed(bytes(foo), bytes(foo) + 3);
    EXPECT_TRUE(word.matches());
    word.feed(bytes(d), bytes(d) + 1);
    EXPECT_FALSE(word.matches());
}

TEST(PatternScanTest, MatchOnceFoundWithoutTheEndStays) {
    std::vector<uint8_t> area = compile("ab");
    PatternScan scan(area.data());
    std::string a = "xa", b = "b", tail(5000, 'z');
    scan.feed(bytes(a), bytes(a) + 2);
    EXPECT_FALSE(scan.matches());
    scan.feed(bytes(b), bytes(b) + 1);
    EXPECT_TRUE(scan.matches());
    scan.feed(bytes(tail), bytes(tail) + tail.size());
    EXPECT_TRUE(scan.matches());
}

TEST(PatternScanTest, EmptyChunkStillTestsTheTextHeld) {
    std::vector<uint8_t> empty = compile("^$");
    PatternScan scan(empty.data());
    scan.feed(nullptr, nullptr);
    EXPECT_TRUE(scan.matches());
    std::vector<uint8_t> start = compile("^SSH-");
    PatternScan banner(start.data());
    std::string text = "SSH-2.0";
    banner.feed(bytes(text), bytes(text) + 3);
    banner.feed(bytes(text) + 3, bytes(text) + 3);
    EXPECT_FALSE(banner.matches());
    banner.feed(bytes(text) + 3, bytes(text) + 7);
    banner.feed(bytes(text) + 7, bytes(text) + 7);
    EXPECT_TRUE(banner.matches());
}

// The skip-ahead must not lose a literal cut by a chunk's end, wherever
// the cut falls, nor one that starts right where a chunk starts.
TEST(PatternScanTest, LiteralPrefixCutAnywhereIsFound) {
    const std::pair<const char*, const char*> cases[] = {
        {"SSH-2\\.0", "SSH-2.0"},   {"(?i)ssh-2\\.0", "sSh-2.0"}, {"S[S]H-2\\.0", "SSH-2.0"},
        {"\\bSSH-2\\.0", "SSH-2.0"}, {"(?i)qxyzq", "QxYzq"},      {"(?i)ab:cd", "aB:Cd"},
    };
    for (const auto& [pattern, needle] : cases) {
        std::vector<uint8_t> area = compile(pattern);
        // Near misses first: the literal's bytes, and its prefixes, again and again.
        std::string text = std::string(40, needle[0]) + std::string(needle, 3) + "x" + std::string(20, needle[1]) +
                           std::string(needle, 4) + "#" + needle;
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            PatternScan scan(area.data());
            scan.feed(bytes(text), bytes(text) + cut);
            scan.feed(bytes(text) + cut, bytes(text) + text.size());
            EXPECT_TRUE(scan.matches()) << pattern << " cut at " << cut;
        }
        EXPECT_FALSE(wholeMatch(area, text.substr(0, text.size() - std::string(needle).size()))) << pattern;
    }
}

TEST(PatternScanTest, ResetStartsOverOnANewPattern) {
    std::vector<uint8_t> first = compile("a$"), second = compile("^b");
    PatternScan scan(first.data());
    std::string a = "a", b = "b";
    scan.feed(bytes(a), bytes(a) + 1);
    EXPECT_TRUE(scan.matches());
    scan.reset(second.data());
    EXPECT_FALSE(scan.matches());
    scan.feed(bytes(b), bytes(b) + 1);
    EXPECT_TRUE(scan.matches());
    scan.reset(nullptr);
    scan.feed(bytes(b), bytes(b) + 1);
    EXPECT_FALSE(scan.matches());
}

// The state kept per probe does not grow with the text; its size is fixed
// by the largest program that fits the area.
TEST(PatternScanTest, StateIsSmallAndFixed) {
    EXPECT_LE(sizeof(PatternScan), 112u);
}

// Work per byte is bounded by the program's size, even for patterns that
// make a backtracking engine take exponential time: a step is one visit of
// an instruction, or one byte taken through the cached transitions.
TEST(PatternScanTest, WorkGrowsLinearlyOnPathologicalPatterns) {
    for (std::string pattern : {"(a*)*b", "(a|a)*b", "(?:a+)+$x", "(a|aa)*c", "(?:\\w*\\s*)*!", "(.*)*x{5}"}) {
        std::vector<uint8_t> area = compile(pattern);
        uint32_t instructions = area[4] << 8 | area[5];
        ASSERT_GT(instructions, 0u) << pattern;
        uint64_t previousSteps = 0;
        for (size_t length : {1000, 2000, 4000, 8000}) {
            std::string text(length, 'a');
            PatternScan scan(area.data());
            // In odd-sized chunks, to include the work at chunk ends.
            for (size_t at = 0; at < text.size(); at += 777)
                scan.feed(bytes(text) + at, bytes(text) + std::min(at + 777, text.size()));
            EXPECT_FALSE(scan.matches()) << pattern;
            // At most one visit per instruction and one table step per byte.
            EXPECT_LE(scan.steps(), (length + 1) * (instructions + 1)) << pattern;
            if (previousSteps) {
                EXPECT_LE(scan.steps(), 2 * previousSteps + 16 * instructions) << pattern;
            }
            previousSteps = scan.steps();
        }
    }
}

// A literal-led pattern over text without its first byte visits no
// instruction at all: the bytes are skipped, not run through the machine.
TEST(PatternScanTest, SkipsTextThatCannotStartAMatch) {
    std::vector<uint8_t> area = compile("SSH-\\d");
    std::string text(100000, 'x');
    PatternScan scan(area.data());
    scan.feed(bytes(text), bytes(text) + text.size());
    EXPECT_EQ(scan.steps(), 0u);
    std::vector<uint8_t> anchored = compile("^220 ");
    PatternScan banner(anchored.data());
    banner.feed(bytes(text), bytes(text) + text.size());
    EXPECT_LE(banner.steps(), 2u);
}

}  // namespace
