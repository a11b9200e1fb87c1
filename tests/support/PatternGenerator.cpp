#include "PatternGenerator.h"

#include <iterator>

namespace {

// Letters of both cases, word and non-word bytes, line ends, a zero byte
// and a high byte: enough to tell \b, \w, \s, (?i), "." and $ apart.
const char kAlphabet[] = {'a', 'b', 'c', 'A', 'B', '1', '_', ' ', '\n', '-', '.', '\0', '\xff'};

const char* const kAtoms[] = {
    "a", "b", "A", "1", " ", "\n", "_", "-", "\xff", ".", "\\.", "\\d", "\\D", "\\w", "\\W", "\\s", "\\S", "\\n",
    "\\t", "\\x00", "\\xff", "\\x41", "\\*", "\\\\", "\\|", "\\{", "\\$", "(?:\\0)", "[a-c]", "[^a-c\\d]", "[A-Z_]",
    "[\\s\\x00-\\x20]", "[^\\W]", "[\xff\n-]", "[]a]", "[-.]",
};
const char* const kAssertions[] = {"^", "$", "\\b", "\\B"};
const char* const kQuantifiers[] = {"*", "+", "?", "{2}", "{0,}", "{1,3}", "{0,2}", "{2,}", "*?", "+?", "??", "{1,2}?"};

}  // namespace

std::string PatternGenerator::pattern() {
    std::string out = below(6) == 0 ? "(?i)" : "";
    alternation(out, 0);
    return out;
}

std::string PatternGenerator::text(size_t maxLength) {
    std::string out(below(static_cast<uint32_t>(maxLength + 1)), ' ');
    for (char& c : out) c = kAlphabet[below(sizeof kAlphabet)];
    return out;
}

void PatternGenerator::alternation(std::string& out, int depth) {
    do {
        for (uint32_t n = below(4) + (depth == 0 ? 1 : 0); n > 0; --n) piece(out, depth);
    } while (below(5) == 0 && (out += '|', true));
}

void PatternGenerator::piece(std::string& out, int depth) {
    uint32_t kind = below(depth < 3 ? 10 : 8);
    if (kind < 6) {
        uint32_t pick = below(std::size(kAtoms) + 1);
        if (pick < std::size(kAtoms)) out += kAtoms[pick];
        else out += '\0';
    } else if (kind < 8) {
        out += kAssertions[below(std::size(kAssertions))];
        return;  // assertions take no quantifier
    } else {
        out += below(2) ? "(" : "(?:";
        alternation(out, depth + 1);
        out += ')';
    }
    if (below(3) == 0) out += kQuantifiers[below(std::size(kQuantifiers))];
}
