// Seeded random patterns of the engine's whole language, and texts drawn
// from a small alphabet so that they often match. Used by the differential
// tests of the pattern engine.
#pragma once

#include <cstdint>
#include <random>
#include <string>

class PatternGenerator {
public:
    explicit PatternGenerator(uint32_t seed) : random_(seed) {}

    // A pattern that the engine must accept.
    std::string pattern();
    // A text of 0 to maxLength bytes.
    std::string text(size_t maxLength);
    uint32_t below(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

private:
    void alternation(std::string& out, int depth);
    void piece(std::string& out, int depth);

    std::mt19937 random_;
};
