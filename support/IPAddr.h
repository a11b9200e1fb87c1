// IPv4 addresses: as text for diagnostic lines, and as socket addresses.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

class IPAddr {
public:
    // Dotted decimal of an address held in network byte order (the form the
    // `address` message field and sockaddr_in carry): the first octet is the
    // one that goes first on the wire, whatever the host's byte order.
    static std::string str(uint32_t networkOrderAddress);

    // The socket address of an `address` field value (network byte order,
    // used unchanged) and a `port` field value, whose low 16 bits are the
    // port.
    static sockaddr_in socketAddress(uint32_t networkOrderAddress, uint32_t port);
};
