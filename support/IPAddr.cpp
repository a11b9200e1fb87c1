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
