// A NetBIOS name-service datagram: building the node-status request for the
// wildcard name, and reading a node-status response in place.
//
// Reading checks the response field by field, in a fixed order, and stops at
// the first check that fails; only a response that passes every check yields
// names. Every read stays inside the datagram: each offset is checked against
// the length before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class NetbiosPacket {
public:
    static constexpr uint16_t kPort = 137;
    static constexpr size_t kRequestSize = 50;
    static constexpr size_t kScratchSize = 200;
    // "*" and 15 zero bytes, first-level encoded, no scope.
    static const uint8_t kWildcardName[34];

    enum class Verdict {
        ok,
        dropped,        // rejected without a line
        tooSmall,       // "NETBIOS: too small"
        notResponse,    // "NETBIOS: not a response"
        notNameQuery,   // "NETBIOS: not a name query"
        errorCode,      // "NETBIOS: error <rcode>"
        noAnswer,       // "NETBIOS: no answer"
        badName,        // "NETBIOS: bad name"
        badType,        // "NETBIOS: bad type"
        badClass,       // "NETBIOS: bad class"
    };

    NetbiosPacket(const uint8_t* data, uint32_t size) : data(data), size(size) {}

    // Writes the 50-byte node-status request with this transaction id into
    // `buffer` (at least kRequestSize bytes); returns its length.
    static size_t buildStatusRequest(uint8_t* buffer, uint16_t transactionId);

    // Checks the datagram as a node-status response and collects the first
    // unique name (hostName) and the first group name (groupName).
    Verdict readStatusResponse();
    // After an ok read: every name of the table, one line each, "NAME<xx>
    // UNIQUE" or "NAME<xx> GROUP" and the flags the peer set (DEREGISTERING,
    // CONFLICT, ACTIVE, PERMANENT), a name's bytes outside printable ASCII
    // (and the backslash) as \xHH so that a line stays a line.
    std::string nameTable() const;
    // After an ok read: the adapter's unit id from the statistics that
    // follow the names, "aa:bb:cc:dd:ee:ff"; empty when there are none.
    std::string unitId() const;
    // The diagnostic line for a verdict that has one (empty otherwise).
    std::string line(Verdict verdict) const;

    uint16_t transactionId() const { return static_cast<uint16_t>(data[0] << 8 | data[1]); }
    uint8_t rcode() const { return data[3] & 0x0f; }

    // One 16-byte name entry as text: trailing zero bytes, then trailing
    // spaces removed; a name beginning with 0x01 counts as empty.
    static std::string cleanName(const uint8_t* name);

    const uint8_t* data;
    uint32_t size;
    std::string hostName;
    std::string groupName;

private:
    const uint8_t* entries_ = nullptr;  // inside data, once read
    uint32_t entryCount_ = 0;
    uint32_t rdLength_ = 0;
};
