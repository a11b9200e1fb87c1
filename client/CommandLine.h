// The netprobe command line, turned into one bus request.
//
//   netprobe [--bus PATH] [--json] [--wait MS] [--concurrency N] [--rate N]
//            [--only RESULT] SUBCOMMAND ...
//     tcp HOST PORT [--timeout MS] [--sendN T] [--expectN RE]... [--skip-first-expect] [--hold-first-send]
//     udp HOST PORT [--timeout MS] [--sendN T] [--expectN RE]...
//     netbios HOST [--timeout MS]
//     send HOST PORT [--payload T]
//     request --command N [--u32 K=V]... [--be32 K=IPV4]... [--bool K=true|false]... [--string K=T]...
//     batch [FILE]
//
// Options not given are not sent, so the service's defaults apply. HOST and
// PORT may name many targets (client/TargetList.h); one target is sent as
// it always was, with its address and port in the request.
#pragma once

#include "client/TargetList.h"
#include "nv/message.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kDefaultConcurrency = 512;
constexpr uint32_t kMaxConcurrency = 60000;

struct Invocation {
    // The options before the subcommand, shared by every line of a batch.
    std::string busPath;
    bool json = false;
    bool waitGiven = false;
    uint32_t concurrency = kDefaultConcurrency;
    uint32_t rate = 0;  // requests started per second; 0: no limit
    std::string only;   // print only replies of this result; empty: all
    bool batch = false;
    std::string batchFile;  // empty or "-": standard input

    // The subcommand.
    uint32_t waitMs = 0;    // how long to wait for each reply
    bool expectsReply = true;  // false for `send`: the service never answers it
    unsigned arg = 0;
    nv::message request;    // with address and port only when there is one target
    bool targeted = false;  // false for `request`: the request names its own target
    bool withPort = false;  // false for `netbios`
    TargetList targets;
};

// False with a usage message in *error (a bad pattern included).
bool parseCommandLine(const std::vector<std::string>& args, Invocation* out, std::string* error);
// One line of a batch: a subcommand and its arguments, under the options
// of the batch's own command line.
bool parseBatchLine(const std::vector<std::string>& words, const Invocation& global, Invocation* out,
                    std::string* error);
// True when the invocation is one request, sent and answered as always.
bool isSingleRequest(const Invocation& invocation);

const char* usageText();
