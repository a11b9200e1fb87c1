#include "client/TargetList.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

namespace {

// The comma-separated elements of a list; false when one is empty.
bool splitList(const std::string& spec, std::vector<std::string>* items) {
    size_t start = 0;
    for (;;) {
        size_t comma = spec.find(',', start);
        std::string item = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty()) return false;
        items->push_back(std::move(item));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// One to three decimal digits, at most `max`.
bool parseSmall(const std::string& text, uint32_t max, uint32_t* out) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    uint32_t value = 0;
    for (char c : text) value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > max) return false;
    *out = value;
    return true;
}

bool dottedAddress(const std::string& text, uint32_t* hostOrder) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
    *hostOrder = ntohl(address.s_addr);
    return true;
}

}  // namespace

bool parseNumber(const std::string& text, uint32_t* out) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value * base + digit;
        if (value > UINT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

bool resolveHost(const std::string& host, uint32_t* out, std::string* error) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        *out = address.s_addr;
        return true;
    }
    if (host.find('\0') != std::string::npos) {
        *error = "cannot resolve host: a zero byte in the name";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        *error = "cannot resolve host " + host + ": " + gai_strerror(rc);
        return false;
    }
    *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

bool TargetList::parseHost(const std::string& item, std::string* error) {
    uint32_t start;
    size_t slash = item.find('/');
    if (slash != std::string::npos) {
        uint32_t prefix;
        if (!dottedAddress(item.substr(0, slash), &start) || !parseSmall(item.substr(slash + 1), 32, &prefix)) {
            *error = "HOST block " + item + ": not A.B.C.D/N";
            return false;
        }
        if (prefix < 16) {
            *error = "HOST block " + item + ": prefix below 16";
            return false;
        }
        uint32_t size = prefix == 32 ? 0 : (UINT32_MAX >> prefix);
        hosts_.push_back({start & ~size, (start & ~size) | size});
        return true;
    }
    // A range needs an address before the dash; a name may hold dashes too.
    size_t dash = item.rfind('-');
    uint32_t end;
    if (dash != std::string::npos && dottedAddress(item.substr(0, dash), &start)) {
        if (!parseSmall(item.substr(dash + 1), 255, &end)) {
            *error = "HOST range " + item + ": the end is not an octet from 0 to 255";
            return false;
        }
        if (end < (start & 0xff)) {
            *error = "HOST range " + item + ": the end is below the start";
            return false;
        }
        hosts_.push_back({start, (start & ~0xffu) | end});
        return true;
    }
    uint32_t address;
    if (!resolveHost(item, &address, error)) return false;
    hosts_.push_back({ntohl(address), ntohl(address)});
    return true;
}

bool TargetList::parsePorts(const std::string& spec, std::string* error) {
    if (spec.find_first_of(",-") == std::string::npos) {
        uint32_t port;
        if (!parseNumber(spec, &port)) {
            *error = "PORT: not a number from 0 to 4294967295: " + spec;
            return false;
        }
        ports_.push_back({port, port});
        return true;
    }
    std::vector<std::string> items;
    if (!splitList(spec, &items)) {
        *error = "PORT list " + spec + ": an empty element";
        return false;
    }
    for (const std::string& item : items) {
        size_t dash = item.find('-');
        std::string firstText = item.substr(0, dash);
        std::string lastText = dash == std::string::npos ? firstText : item.substr(dash + 1);
        uint32_t first, last;
        if (!parseNumber(firstText, &first) || !parseNumber(lastText, &last) || first > 65535 || last > 65535) {
            *error = "PORT list " + spec + ": " + item + " is not a port or range from 0 to 65535";
            return false;
        }
        if (last < first) {
            *error = "PORT range " + item + ": the end is below the start";
            return false;
        }
        ports_.push_back({first, last});
    }
    return true;
}

bool TargetList::parse(const std::string& hostSpec, const std::string& portSpec, bool withPorts,
                       std::string* error) {
    *this = TargetList();
    std::vector<std::string> items;
    if (!splitList(hostSpec, &items)) {
        *error = hostSpec.empty() ? "HOST is empty" : "HOST list " + hostSpec + ": an empty element";
        return false;
    }
    for (const std::string& item : items)
        if (!parseHost(item, error)) return false;
    if (!withPorts) {
        ports_.push_back({0, 0});
        return true;
    }
    return parsePorts(portSpec, error);
}

uint64_t TargetList::count() const {
    uint64_t hosts = 0, ports = 0;
    for (const Span& span : hosts_) hosts += uint64_t{span.last} - span.first + 1;
    for (const Span& span : ports_) ports += uint64_t{span.last} - span.first + 1;
    return hosts * ports;
}

bool TargetList::next(Target* out) {
    if (hostSpan_ >= hosts_.size() || ports_.empty()) return false;
    if (!started_) {
        started_ = true;
        host_ = hosts_[0].first;
        port_ = ports_[0].first;
    } else if (port_ < ports_[portSpan_].last) {
        ++port_;
    } else if (portSpan_ + 1 < ports_.size()) {
        port_ = ports_[++portSpan_].first;
    } else {
        port_ = ports_[portSpan_ = 0].first;
        if (host_ < hosts_[hostSpan_].last) {
            ++host_;
        } else if (++hostSpan_ < hosts_.size()) {
            host_ = hosts_[hostSpan_].first;
        } else {
            return false;
        }
    }
    out->address = htonl(host_);
    out->port = port_;
    return true;
}
