// Builds node-status responses for tests: a valid one with the given name
// entries, which a test then spoils in the one place it cares about.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct NbstatEntry {
    std::string name;  // padded with spaces to 15 bytes, then the suffix
    uint8_t suffix;
    bool group;
};

// "*" and 15 zero bytes, first-level encoded: what a response must name.
inline constexpr uint8_t kNbstatWildcardName[34] = {0x20, 'C', 'K', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A',
                                                    'A',  'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A',
                                                    'A',  'A', 'A', 'A', 'A', 'A', 'A', 0x00};

inline std::vector<uint8_t> nbstatResponse(uint16_t id, const std::vector<NbstatEntry>& entries) {
    std::vector<uint8_t> d(56, 0);
    d[0] = static_cast<uint8_t>(id >> 8);
    d[1] = static_cast<uint8_t>(id);
    d[2] = 0x84;  // response, authoritative
    d[7] = 1;     // ANCOUNT
    std::memcpy(&d[12], kNbstatWildcardName, sizeof kNbstatWildcardName);
    d[47] = 0x21;  // NBSTAT
    d[49] = 0x01;  // IN
    d.push_back(static_cast<uint8_t>(entries.size()));
    for (const NbstatEntry& e : entries) {
        std::string name = e.name;
        name.resize(15, ' ');
        for (char c : name) d.push_back(static_cast<uint8_t>(c));
        d.push_back(e.suffix);
        d.push_back(e.group ? 0x80 : 0x00);
        d.push_back(0x00);
    }
    size_t rdLength = d.size() - 56;
    d[54] = static_cast<uint8_t>(rdLength >> 8);
    d[55] = static_cast<uint8_t>(rdLength);
    return d;
}
