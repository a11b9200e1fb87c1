// The bus request for a NetBIOS node-status lookup (command 3) of one host.
#pragma once

#include "protocol/Fields.h"
#include "tests/kit/Sockets.h"

inline nv::message nodeStatusRequest(const char* host, uint32_t timeoutMs) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, CMD_NETBIOS_STATUS);
    request.insert<nv::be32_id>(field::address, ipv4(host));
    request.insert<nv::u32_id>(field::timeout, timeoutMs);
    return request;
}
