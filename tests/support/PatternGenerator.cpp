#include "tests/support/PatternGenerator.h"

namespace {
// Letters of both cases, word and non-word bytes, line ends, a zero byte
// and a high byte: enough to tell \b, \w, \s, (?i), "." and $ apart.
const char kAlphabet[] = {'a', 'b', 'c', 'A', 'B', '1', '_', ' ', '\n', '-', '.', '\0', '\xff'};
}

uint8_t PatternGenerator::alphabetByte() { return static_cast<uint8_t>(kAlphabet[below(sizeof kAlphabet)]); }

std::string PatternGenerator::pattern() {
    std::string out;
    if (below(6) == 0) out += "(?i)";
    alternation(out, 0);
    return out;
}

std::string PatternGenerator::text(size_t maxLength) {
    std::string out;
    size_t length = below(static_cast<uint32_t>(maxLength + 1));
    for (size_t i = 0; i < length; ++i) out += static_cast<char>(alphabetByte());
    return out;
}

void PatternGenerator::alternation(std::string& out, int depth) {
    concat(out, depth);
    while (below(5) == 0) {
        out += '|';
        concat(out, depth);
    }
}

void PatternGenerator::concat(std::string& out, int depth) {
    uint32_t pieces = below(4) + (depth == 0 ? 1 : 0);
    for (uint32_t i = 0; i < pieces; ++i) piece(out, depth);
}

void PatternGenerator::piece(std::string& out, int depth) {
    bool repeatable = true;
    atom(out, depth, repeatable);
    if (repeatable && below(3) == 0) quantifier(out);
}

void PatternGenerator::atom(std::string& out, int depth, bool& repeatable) {
    switch (below(depth < 3 ? 12 : 10)) {
    case 0:
    case 1:
    case 2:
        literal(out);
        return;
    case 3:
        out += '.';
        return;
    case 4:
        classExpression(out);
        return;
    case 5: {
        static const char* const kShorthands[] = {"\\d", "\\D", "\\w", "\\W", "\\s", "\\S"};
        out += kShorthands[below(6)];
        return;
    }
    case 6: {
        static const char* const kEscapes[] = {"\\n", "\\t", "\\r", "\\x00", "\\xff", "\\x41", "\\.", "\\*", "\\(",
                                               "\\[", "\\\\", "\\|", "\\{", "\\}", "\\$", "\\^", "(?:\\0)"};
        out += kEscapes[below(sizeof kEscapes / sizeof kEscapes[0])];
        return;
    }
    case 7:
    case 8: {
        static const char* const kAssertions[] = {"^", "$", "\\b", "\\B"};
        out += kAssertions[below(4)];
        repeatable = false;
        return;
    }
    case 9:
        literal(out);
        literal(out);
        return;
    default:
        out += below(2) ? "(" : "(?:";
        alternation(out, depth + 1);
        out += ')';
        return;
    }
}

void PatternGenerator::literal(std::string& out) {
    uint8_t byte = alphabetByte();
    if (byte == '.') out += '\\';
    out += static_cast<char>(byte);
}

void PatternGenerator::classExpression(std::string& out) {
    out += '[';
    if (below(3) == 0) out += '^';
    uint32_t items = below(3) + 1;
    for (uint32_t i = 0; i < items; ++i) {
        switch (below(6)) {
        case 0:
            out += "a-c";
            break;
        case 1:
            out += "A-Z";
            break;
        case 2:
            out += below(2) ? "\\d" : "\\w";
            break;
        case 3:
            out += below(2) ? "\\s" : "\\W";
            break;
        case 4:
            out += "\\x00-\\x20";
            break;
        default: {
            uint8_t byte = alphabetByte();
            if (byte == '-' || byte == '\\' || byte == '^') out += '\\';
            out += static_cast<char>(byte);
            break;
        }
        }
    }
    out += ']';
}

void PatternGenerator::quantifier(std::string& out) {
    switch (below(7)) {
    case 0:
        out += '*';
        break;
    case 1:
        out += '+';
        break;
    case 2:
        out += '?';
        break;
    case 3:
        out += "{" + std::to_string(below(3)) + "}";
        break;
    case 4:
        out += "{" + std::to_string(below(3)) + ",}";
        break;
    default: {
        uint32_t min = below(3);
        out += "{" + std::to_string(min) + "," + std::to_string(min + below(3)) + "}";
        break;
    }
    }
    if (below(4) == 0) out += '?';
}
