#include "netbios/NetbiosPacket.h"

#include <cstdio>
#include <cstring>

namespace {

uint16_t read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void write16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

constexpr uint16_t kTypeNbstat = 0x0021;
constexpr uint16_t kClassIn = 0x0001;
constexpr size_t kRecordNameOffset = 12;
constexpr size_t kRecordTypeOffset = 46;
constexpr size_t kRecordClassOffset = 48;
constexpr size_t kRdLengthOffset = 54;
constexpr size_t kRdataOffset = 56;
constexpr size_t kEntrySize = 18;

}  // namespace

// 0x20 (length 32), then "*" as "CK" and 15 zero bytes as "AA" each, then
// the root label.
const uint8_t NetbiosPacket::kWildcardName[34] = {
    0x20, 'C', 'K', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A',
    'A',  'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 0x00};

size_t NetbiosPacket::buildStatusRequest(uint8_t* buffer, uint16_t transactionId) {
    std::memset(buffer, 0, kRequestSize);
    write16(buffer + 0, transactionId);
    write16(buffer + 2, 0x0000);  // a query, to one host
    write16(buffer + 4, 1);       // QDCOUNT
    std::memcpy(buffer + 12, kWildcardName, sizeof kWildcardName);
    write16(buffer + 46, kTypeNbstat);
    write16(buffer + 48, kClassIn);
    return kRequestSize;
}

NetbiosPacket::Verdict NetbiosPacket::readStatusResponse() {
    if (size < 12) return Verdict::tooSmall;
    if (!(data[2] & 0x80)) return Verdict::notResponse;
    if ((data[2] >> 3) & 0x0f) return Verdict::notNameQuery;
    if (rcode() != 0) return Verdict::errorCode;
    if (read16(data + 4) != 0) return Verdict::dropped;
    if (read16(data + 6) == 0) return Verdict::noAnswer;
    if (size < kRecordTypeOffset) return Verdict::dropped;
    if (std::memcmp(data + kRecordNameOffset, kWildcardName, sizeof kWildcardName) != 0)
        return Verdict::badName;
    if (size < kRdataOffset) return Verdict::dropped;
    if (read16(data + kRecordTypeOffset) != kTypeNbstat) return Verdict::badType;
    if (read16(data + kRecordClassOffset) != kClassIn) return Verdict::badClass;

    uint32_t rdLength = read16(data + kRdLengthOffset);
    if (rdLength == 0 || rdLength > size - kRdataOffset) return Verdict::dropped;
    const uint8_t* rdata = data + kRdataOffset;
    uint32_t names = rdata[0];
    for (uint32_t i = 0; i < names; ++i) {
        // Entry i is RDATA bytes 1 + 18i to 18 + 18i; one that does not fit
        // drops the whole datagram, whatever was read before it.
        if (19 + kEntrySize * i > rdLength) {
            hostName.clear();
            groupName.clear();
            return Verdict::dropped;
        }
        const uint8_t* entry = rdata + 1 + kEntrySize * i;
        bool group = entry[16] & 0x80;
        std::string& slot = group ? groupName : hostName;
        if (slot.empty()) slot = cleanName(entry);
    }
    entries_ = rdata + 1;
    entryCount_ = names;
    rdLength_ = rdLength;
    return Verdict::ok;
}

std::string NetbiosPacket::nameTable() const {
    static constexpr struct {
        uint8_t bit;
        const char* word;
    } kFlags[] = {{0x10, " DEREGISTERING"}, {0x08, " CONFLICT"}, {0x04, " ACTIVE"}, {0x02, " PERMANENT"}};
    std::string table;
    char text[8];
    for (uint32_t i = 0; i < entryCount_; ++i) {
        const uint8_t* entry = entries_ + kEntrySize * i;
        size_t length = 15;  // then the suffix byte and two bytes of flags
        while (length > 0 && (entry[length - 1] == 0x20 || entry[length - 1] == 0x00)) --length;
        for (size_t at = 0; at < length; ++at) {
            if (entry[at] >= 0x20 && entry[at] <= 0x7e && entry[at] != '\\') {
                table += static_cast<char>(entry[at]);
                continue;
            }
            std::snprintf(text, sizeof text, "\\x%02x", entry[at]);
            table += text;
        }
        std::snprintf(text, sizeof text, "<%02x> ", entry[15]);
        table += text;
        table += entry[16] & 0x80 ? "GROUP" : "UNIQUE";
        for (const auto& flag : kFlags)
            if (entry[16] & flag.bit) table += flag.word;
        table += '\n';
    }
    return table;
}

std::string NetbiosPacket::unitId() const {
    const uint32_t statistics = 1 + kEntrySize * entryCount_;
    if (!entries_ || rdLength_ < statistics + 6) return {};
    const uint8_t* unit = entries_ - 1 + statistics;
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", unit[0], unit[1], unit[2], unit[3], unit[4],
                  unit[5]);
    return text;
}

std::string NetbiosPacket::line(Verdict verdict) const {
    switch (verdict) {
    case Verdict::tooSmall: return "NETBIOS: too small";
    case Verdict::notResponse: return "NETBIOS: not a response";
    case Verdict::notNameQuery: return "NETBIOS: not a name query";
    case Verdict::errorCode: return "NETBIOS: error " + std::to_string(rcode());
    case Verdict::noAnswer: return "NETBIOS: no answer";
    case Verdict::badName: return "NETBIOS: bad name";
    case Verdict::badType: return "NETBIOS: bad type";
    case Verdict::badClass: return "NETBIOS: bad class";
    case Verdict::ok:
    case Verdict::dropped: break;
    }
    return {};
}

std::string NetbiosPacket::cleanName(const uint8_t* name) {
    size_t length = 16;
    while (length > 0 && name[length - 1] == 0x00) --length;
    while (length > 0 && name[length - 1] == 0x20) --length;
    if (length > 0 && name[0] == 0x01) return {};
    return std::string(reinterpret_cast<const char*>(name), length);
}
