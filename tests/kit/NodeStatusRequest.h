// The bus request for a NetBIOS node-status lookup (command 3) of one host.
#pragma once

#include "nv/message.h"
#include "protocol/Fields.h"
#include "tests/kit/Sockets.h"

#include <cstdint>

// `address` in network byte order, as the address field has it.
inline nv::message nodeStatusRequest(uint32_t address, uint32_t timeoutMs) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, CMD_NETBIOS_STATUS);
    request.insert<nv::be32_id>(field::address, address);
    request.insert<nv::u32_id>(field::timeout, timeoutMs);
    return request;
}

inline nv::message nodeStatusRequest(const char* host, uint32_t timeoutMs) {
    return nodeStatusRequest(ipv4(host), timeoutMs);
}
