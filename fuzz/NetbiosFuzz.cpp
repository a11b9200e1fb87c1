// libFuzzer target for reading NetBIOS node-status answers: any datagram.
//
// Input: the datagram (libFuzzer hands it over in a heap block of its exact
// size, so AddressSanitizer reports any read past it). Traps when
// - a verdict's line is not its fixed line (an error verdict: "NETBIOS:
//   error " and the nonzero rcode), or ok and dropped have a line;
// - a datagram that is not ok leaves a name behind;
// - an ok datagram ends before its name count, or yields a name longer
//   than 16 bytes, ending in a space, or not found among its entries;
// - cleaning a name gives anything but a prefix of its 16 bytes without a
//   trailing space, or a name starting with 0x01 is not empty;
// - our own request, under the datagram's id, reads as anything but "not a
//   response" or loses its id.
#include "netbios/NetbiosPacket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using Verdict = NetbiosPacket::Verdict;

// Where the answer's name entries start: header, question name, type,
// class, TTL, RDLENGTH, name count.
constexpr size_t kFirstEntry = 57;

const char* fixedLine(Verdict verdict) {
    switch (verdict) {
    case Verdict::tooSmall: return "NETBIOS: too small";
    case Verdict::notResponse: return "NETBIOS: not a response";
    case Verdict::notNameQuery: return "NETBIOS: not a name query";
    case Verdict::noAnswer: return "NETBIOS: no answer";
    case Verdict::badName: return "NETBIOS: bad name";
    case Verdict::badType: return "NETBIOS: bad type";
    case Verdict::badClass: return "NETBIOS: bad class";
    case Verdict::ok:
    case Verdict::dropped: return "";
    case Verdict::errorCode: break;
    }
    return nullptr;
}

void checkLine(const NetbiosPacket& packet, Verdict verdict) {
    std::string line = packet.line(verdict);
    if (verdict == Verdict::errorCode) {
        if (packet.rcode() == 0 || line != "NETBIOS: error " + std::to_string(packet.rcode()))
            __builtin_trap();
        return;
    }
    const char* expected = fixedLine(verdict);
    if (expected == nullptr || line != expected) __builtin_trap();
}

void checkName(const std::string& name, const uint8_t* data, size_t size) {
    if (name.empty()) return;
    if (name.size() > 16 || name.back() == ' ') __builtin_trap();
    const uint8_t* entries = data + kFirstEntry;
    const uint8_t* end = data + size;
    if (std::search(entries, end, name.begin(), name.end(),
                    [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }) == end)
        __builtin_trap();
}

void checkCleanName(const uint8_t* entry) {
    std::string name = NetbiosPacket::cleanName(entry);
    if (name.size() > 16 || std::memcmp(name.data(), entry, name.size()) != 0) __builtin_trap();
    if (!name.empty() && name.back() == ' ') __builtin_trap();
    if (entry[0] == 0x01 && !name.empty()) __builtin_trap();
}

// Our own request, with an id from the datagram, is never taken for an
// answer and keeps its id.
void checkOwnRequest(const uint8_t* data, size_t size) {
    uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
    uint8_t buffer[NetbiosPacket::kScratchSize];
    size_t length = NetbiosPacket::buildStatusRequest(buffer, id);
    NetbiosPacket request(buffer, static_cast<uint32_t>(length));
    if (request.readStatusResponse() != Verdict::notResponse || request.transactionId() != id) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    NetbiosPacket packet(data, static_cast<uint32_t>(size));
    Verdict verdict = packet.readStatusResponse();
    checkLine(packet, verdict);
    if (verdict == Verdict::ok) {
        if (size < kFirstEntry) __builtin_trap();
        checkName(packet.hostName, data, size);
        checkName(packet.groupName, data, size);
        // One printable line per name announced (the reads stay inside the
        // datagram, which the sanitizer shows); a unit id or none.
        const std::string table = packet.nameTable();
        if (std::count(table.begin(), table.end(), '\n') != data[kFirstEntry - 1]) __builtin_trap();
        for (char c : table)
            if ((c < 0x20 || c > 0x7e) && c != '\n') __builtin_trap();
        const std::string unit = packet.unitId();
        if (!unit.empty() && unit.size() != 17) __builtin_trap();
    } else if (!packet.hostName.empty() || !packet.groupName.empty()) {
        __builtin_trap();
    }
    if (size >= 16) checkCleanName(data + size - 16);
    checkOwnRequest(data, size);
    return 0;
}
