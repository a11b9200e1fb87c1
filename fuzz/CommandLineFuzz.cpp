// libFuzzer target for the client's command line.
//
// Input: the words, separated by zero bytes (an empty input is no words at
// all; a trailing zero byte is an empty last word). Traps when
// - a refusal gives no reason;
// - an accepted command line has no known subcommand, leaves the request
//   without a u32 command field (the subcommand's own, if it has one), a
//   probe, lookup or send of one target without its address (and port), a
//   sweep whose targets do not come to its count, or gives a request the
//   bus codec does not carry whole.
//
// Host names never reach a resolver (fuzz/FakeResolver.h).
#include "client/CommandLine.h"
#include "FakeResolver.h"
#include "nv/WireCodec.h"
#include "protocol/Fields.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> splitWords(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    if (size == 0) return words;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\0') {
            words.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }
    return words;
}

// The subcommand word, past the options that come before it.
std::string subcommandOf(const std::vector<std::string>& words) {
    size_t i = 0;
    while (i < words.size() && words[i].rfind("--", 0) == 0)
        i += words[i] == "--json" ? 1 : 2;
    return i < words.size() ? words[i] : std::string();
}

// The targets of a sweep come to its count, none in the request itself.
void checkSweep(const Invocation& invocation) {
    if (invocation.targets.count() < 2 || invocation.request.contains(field::address)) __builtin_trap();
    TargetList targets = invocation.targets;
    uint64_t given = 0;
    for (Target target; given <= 4096 && targets.next(&target);) {
        if (!invocation.withPort && target.port != 0) __builtin_trap();
        ++given;
    }
    if (given != std::min<uint64_t>(invocation.targets.count(), 4097)) __builtin_trap();
}

void checkAccepted(const std::vector<std::string>& words, const Invocation& invocation) {
    if (invocation.batch) {
        if (subcommandOf(words) != "batch") __builtin_trap();
        return;
    }
    const nv::message& request = invocation.request;
    const nv::message::Field* command = request.find(field::command);
    if (command == nullptr || command->type != nv::FieldType::u32) __builtin_trap();

    static const struct { const char* name; uint32_t command; bool port; } subcommands[] = {
        {"tcp", CMD_TCP_PROBE, true},
        {"udp", CMD_UDP_PROBE, true},
        {"netbios", CMD_NETBIOS_STATUS, false},
        {"send", CMD_UDP_SEND, true},
    };
    std::string subcommand = subcommandOf(words);
    bool known = subcommand == "request";
    for (const auto& entry : subcommands) {
        if (subcommand != entry.name) continue;
        known = true;
        if (command->number != entry.command) __builtin_trap();
        if (invocation.targets.count() != 1) {
            checkSweep(invocation);
            continue;
        }
        const nv::message::Field* address = request.find(field::address);
        if (address == nullptr || address->type != nv::FieldType::be32) __builtin_trap();
        const nv::message::Field* port = request.find(field::port);
        if (entry.port && (port == nullptr || port->type != nv::FieldType::u32)) __builtin_trap();
        if (invocation.expectsReply != (entry.command != CMD_UDP_SEND)) __builtin_trap();
    }
    if (!known) __builtin_trap();

    std::string packet = nv::wire::encode(nv::wire::Kind::request, 1, invocation.arg, request);
    nv::wire::Packet decoded;
    bool sequenceKnown = false;
    if (nv::wire::decode(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), &decoded,
                         &sequenceKnown) != nv::wire::DecodeResult::ok ||
        !(decoded.body == request))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words = splitWords(data, size);
    Invocation invocation;
    std::string error;
    if (parseCommandLine(words, &invocation, &error)) checkAccepted(words, invocation);
    else if (error.empty()) __builtin_trap();
    return 0;
}
