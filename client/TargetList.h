// The targets of one command line: HOST and PORT specifications expanded
// lazily, each host with each of its ports, in the order given.
//
//   HOST: A.B.C.D, a name, A.B.C.D/N (N from 16 to 32: every address of the
//         block), A.B.C.D-E (last octet D to E), or a comma list of these.
//   PORT: a number, or a comma list of numbers and ranges P-Q (0 to 65535).
//
// A single plain port keeps the full 32-bit range of the bus field, so a
// lone target reaches the service exactly as it was written. Names are
// resolved while parsing, so a bad name is refused before anything is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Target {
    uint32_t address = 0;  // network order
    uint32_t port = 0;
};

class TargetList {
public:
    // False with a readable reason in *error. An empty portSpec with
    // withPorts false makes host-only targets (port stays 0).
    bool parse(const std::string& hostSpec, const std::string& portSpec, bool withPorts,
               std::string* error);

    // How many targets there are; the product of hosts and ports.
    uint64_t count() const;
    // The next target in order; false once all were given.
    bool next(Target* out);

private:
    struct Span {
        uint32_t first;  // host order
        uint32_t last;
    };
    bool parseHost(const std::string& item, std::string* error);
    bool parsePorts(const std::string& spec, std::string* error);

    std::vector<Span> hosts_;
    std::vector<Span> ports_;
    // The cursor: the span and the value within it, for hosts and ports.
    size_t hostSpan_ = 0;
    uint32_t host_ = 0;
    size_t portSpan_ = 0;
    uint32_t port_ = 0;
    bool started_ = false;
};

// A number: decimal or 0x-hex, 0 to 4294967295, nothing else around it.
bool parseNumber(const std::string& text, uint32_t* out);
// Dotted IPv4, or a name resolved to its first IPv4 address; network order.
bool resolveHost(const std::string& host, uint32_t* out, std::string* error);
