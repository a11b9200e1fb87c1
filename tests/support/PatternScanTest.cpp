// The resumable scan: after every chunk it must give what one search of the
// whole text so far gives, however the text is cut; and its work grows
// linearly with the text, counted in steps.
#include "support/PatternScan.h"
#include "support/ReEngine.h"
#include "PatternGenerator.h"

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

// Feeds `text` cut at `cuts` (ascending; a repeat is an empty chunk) and
// counts the chunks after which the scan and a whole-text search disagree.
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

// Byte by byte cuts everywhere: inside every literal, at every $ and \b
// (where a match that needed the end is gone once more text comes).
TEST(PatternScanTest, EveryChunkingAgreesWithWholeTextSearch) {
    PatternGenerator generator(7);
    int cases = 0, wrong = 0;
    std::string first;
    for (int i = 0; i < 1500; ++i) {
        std::string pattern = generator.pattern();
        std::vector<uint8_t> area = compile(pattern);
        for (int j = 0; j < 6; ++j) {
            std::string text = generator.text(40);
            std::vector<size_t> everyByte, random;
            for (size_t k = 1; k < text.size(); ++k) everyByte.push_back(k);
            for (size_t at = 0; at < text.size() && random.size() < 64;) {
                at = std::min(text.size(), at + (generator.below(3) == 0 ? 0 : generator.below(8)));
                random.push_back(at);
            }
            int w = disagreements(area, text, everyByte) + disagreements(area, text, random);
            if (w && first.empty()) first = pattern + " on " + text;
            wrong += w != 0;
            ++cases;
        }
    }
    EXPECT_EQ(wrong, 0) << wrong << " of " << cases << " texts differ; first: " << first;
}

// The skip-ahead must not lose a literal cut by a chunk's end, wherever the
// cut falls, nor be fooled by near misses.
TEST(PatternScanTest, LiteralPrefixCutAnywhereIsFound) {
    const std::pair<const char*, const char*> cases[] = {
        {"SSH-2\\.0", "SSH-2.0"},   {"(?i)ssh-2\\.0", "sSh-2.0"}, {"S[S]H-2\\.0", "SSH-2.0"},
        {"\\bSSH-2\\.0", "SSH-2.0"}, {"(?i)qxyzq", "QxYzq"},      {"(?i)ab:cd", "aB:Cd"},
        {"(?i)server: *nginx", "SeRVER:  nginX"},
    };
    for (const auto& [pattern, needle] : cases) {
        std::vector<uint8_t> area = compile(pattern);
        std::string misses = std::string(40, needle[0]) + std::string(needle, 3) + "x" + std::string(20, needle[1]) +
                             std::string(needle, 4) + "#";
        std::string text = misses + needle;
        EXPECT_FALSE(wholeMatch(area, misses)) << pattern;
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            PatternScan scan(area.data());
            scan.feed(bytes(text), bytes(text) + cut);
            scan.feed(bytes(text) + cut, bytes(text) + text.size());
            EXPECT_TRUE(scan.matches()) << pattern << " cut at " << cut;
        }
    }
}

// A step is one visit of an instruction or one byte taken through a cached
// transition: at most the program's size plus one per byte, even where a
// backtracking engine takes exponential time.
TEST(PatternScanTest, WorkIsLinearInTheText) {
    for (std::string pattern : {"(a*)*b", "(a|a)*b", "(?:a+)+$x", "(a|aa)*c", "(?:\\w*\\s*)*!", "(.*)*x{5}"}) {
        std::vector<uint8_t> area = compile(pattern);
        uint32_t instructions = area[4] << 8 | area[5];
        ASSERT_GT(instructions, 0u) << pattern;
        for (size_t length : {1000, 8000}) {
            std::string text(length, 'a');
            PatternScan scan(area.data());
            for (size_t at = 0; at < text.size(); at += 777)
                scan.feed(bytes(text) + at, bytes(text) + std::min(at + 777, text.size()));
            EXPECT_FALSE(scan.matches()) << pattern;
            EXPECT_LE(scan.steps(), (length + 1) * (instructions + 1)) << pattern;
        }
    }
    // Text that cannot start a match is skipped, not run through the machine.
    std::string text(100000, 'x');
    for (const char* pattern : {"SSH-\\d", "^220 ", "(?i)hello"}) {
        std::vector<uint8_t> area = compile(pattern);
        PatternScan scan(area.data());
        scan.feed(bytes(text), bytes(text) + text.size());
        EXPECT_LE(scan.steps(), 2u) << pattern;
    }
}

}  // namespace
