// The netprobe command line, turned into one bus request.
//
//   netprobe [--bus PATH] [--json] [--wait MS] SUBCOMMAND ...
//     tcp HOST PORT [--timeout MS] [--sendN T] [--expectN RE]... [--skip-first-expect] [--hold-first-send]
//     udp HOST PORT [--timeout MS] [--sendN T] [--expectN RE]...
//     netbios HOST [--timeout MS]
//     send HOST PORT [--payload T]
//     request --command N [--u32 K=V]... [--be32 K=IPV4]... [--bool K=true|false]... [--string K=T]...
//
// Options not given are not sent, so the service's defaults apply.
#pragma once

#include "nv/message.h"

#include <cstdint>
#include <string>
#include <vector>

struct Invocation {
    std::string busPath;
    bool json = false;
    uint32_t waitMs = 0;    // how long to wait for the reply
    bool expectsReply = true;  // false for `send`: the service never answers it
    unsigned arg = 0;
    nv::message request;
};

// False with a usage message in *error (a bad pattern included).
bool parseCommandLine(const std::vector<std::string>& args, Invocation* out, std::string* error);

const char* usageText();
