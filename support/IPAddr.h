// IPv4 addresses as text, for diagnostic lines.
#pragma once

#include <cstdint>
#include <string>

class IPAddr {
public:
    // Dotted decimal of an address held in network byte order (the form the
    // `address` message field and sockaddr_in carry): the first octet is the
    // one that goes first on the wire, whatever the host's byte order.
    static std::string str(uint32_t networkOrderAddress);
};
