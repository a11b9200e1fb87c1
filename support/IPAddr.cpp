#include "support/IPAddr.h"

#include <arpa/inet.h>

std::string IPAddr::str(uint32_t networkOrderAddress)
{
    // ntohl turns the wire order into a value; the octets then come out by
    // shifts, so the host's own layout never matters.
    const uint32_t value = ntohl(networkOrderAddress);
    std::string text;
    text.reserve(15);
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (shift != 24) text += '.';
        text += std::to_string((value >> shift) & 0xffu);
    }
    return text;
}

sockaddr_in IPAddr::socketAddress(uint32_t networkOrderAddress, uint32_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port & 0xffffu));
    address.sin_addr.s_addr = networkOrderAddress;
    return address;
}
