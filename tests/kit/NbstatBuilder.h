// Node-status answers for tests and benchmarks: a valid one naming these
// entries, which a test may then spoil in one place.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

// A name (padded with spaces to 15 bytes), its suffix, and whether it is a group's.
using NbstatEntry = std::tuple<std::string, uint8_t, bool>;

inline std::vector<uint8_t> nbstatResponse(uint16_t id, const std::vector<NbstatEntry>& entries) {
    // An authoritative response with one answer: the name asked ("*" and 15 zero bytes, encoded as "CK" and "AA"
    // each), type NBSTAT, class IN, the data length and the name count.
    const size_t length = 1 + 18 * entries.size();
    std::vector<uint8_t> d{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0,
                           0x20, 'C', 'K'};
    d.reserve(57 + length);  // GCC 12 at -O3 misjudges the bounds of inserts that must grow the vector
    d.resize(45, 'A');
    d.insert(d.end(), {0, 0, 0x21, 0, 1, 0, 0, 0, 0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                       static_cast<uint8_t>(entries.size())});
    for (auto [name, suffix, group] : entries) {
        name.resize(15, ' ');
        d.insert(d.end(), name.begin(), name.end());
        d.insert(d.end(), {suffix, static_cast<uint8_t>(group ? 0x80 : 0), 0});
    }
    return d;
}
