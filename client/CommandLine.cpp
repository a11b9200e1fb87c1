#include "client/CommandLine.h"

#include "client/Escapes.h"
#include "client/PatternCheck.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"

#include <arpa/inet.h>
#include <netinet/in.h>


namespace {

// A field key: a catalogue name or a number.
bool parseKey(const std::string& text, uint32_t* key) {
    if (const FieldInfo* info = findField(text)) {
        *key = info->key;
        return true;
    }
    return parseNumber(text, key);
}

class Parser {
public:
    Parser(const std::vector<std::string>& args, Invocation* out, std::string* error)
        : args_(args), out_(out), error_(error) {}

    bool run();
    bool batchLine(const Invocation& global);

private:
    bool fail(const std::string& text) {
        *error_ = text;
        return false;
    }
    bool more() const { return next_ < args_.size(); }
    const std::string& take() { return args_[next_++]; }
    bool value(const std::string& option, std::string* out) {
        if (!more()) return fail(option + " needs a value");
        *out = take();
        return true;
    }
    bool numberOption(const std::string& option, uint32_t* out) {
        std::string text;
        if (!value(option, &text)) return false;
        if (!parseNumber(text, out)) return fail(option + ": not a number from 0 to 4294967295: " + text);
        return true;
    }
    bool positiveOption(const std::string& option, uint32_t max, uint32_t* out) {
        if (!numberOption(option, out)) return false;
        if (*out == 0 || *out > max) return fail(option + ": from 1 to " + std::to_string(max));
        return true;
    }
    bool globalOption(const std::string& option);
    bool subcommand(bool inBatch);
    bool hostAndPort(bool withPort);
    bool probe(uint32_t command, bool tcp);
    bool netbios();
    bool send();
    bool rawRequest();

    const std::vector<std::string>& args_;
    Invocation* out_;
    std::string* error_;
    size_t next_ = 0;
};

bool Parser::hostAndPort(bool withPort) {
    if (!more()) return fail("missing HOST");
    std::string hosts = take();
    if (withPort && !more()) return fail("missing PORT");
    std::string ports = withPort ? take() : std::string();
    if (!out_->targets.parse(hosts, ports, withPort, error_)) return false;
    out_->targeted = true;
    out_->withPort = withPort;
    if (out_->targets.count() == 1) {
        TargetList one = out_->targets;
        Target target;
        one.next(&target);
        out_->request.insert<nv::be32_id>(field::address, target.address);
        if (withPort) out_->request.insert<nv::u32_id>(field::port, target.port);
    }
    return true;
}

bool Parser::probe(uint32_t command, bool tcp) {
    out_->request.insert<nv::u32_id>(field::command, command);
    if (!hostAndPort(true)) return false;
    static const struct { const char* option; uint32_t key; bool pattern; } dialogue[] = {
        {"--send0", field::send_0, false},   {"--expect0", field::expect_0, true},
        {"--send1", field::send_1, false},   {"--expect1", field::expect_1, true},
        {"--send2", field::send_2, false},   {"--expect2", field::expect_2, true},
    };
    while (more()) {
        std::string option = take();
        if (option == "--timeout") {
            uint32_t ms;
            if (!numberOption(option, &ms)) return false;
            out_->request.insert<nv::u32_id>(field::timeout, ms);
            continue;
        }
        if (tcp && option == "--skip-first-expect") {
            out_->request.insert<nv::bool_id>(field::skip_first_expect, true);
            continue;
        }
        if (tcp && option == "--hold-first-send") {
            out_->request.insert<nv::bool_id>(field::hold_first_send, true);
            continue;
        }
        bool known = false;
        for (const auto& entry : dialogue) {
            if (option != entry.option) continue;
            known = true;
            std::string text;
            if (!value(option, &text)) return false;
            if (entry.pattern) {
                std::string why = patternError(text);
                if (!why.empty()) return fail(option + ": bad pattern: " + why);
                out_->request.insert<nv::string_id>(entry.key, text);
            } else {
                std::string bytes, why;
                if (!decodeEscapes(text, &bytes, &why)) return fail(option + ": " + why);
                out_->request.insert<nv::string_id>(entry.key, bytes);
            }
        }
        if (!known) return fail("unknown option " + option);
    }
    return true;
}

bool Parser::netbios() {
    out_->request.insert<nv::u32_id>(field::command, CMD_NETBIOS_STATUS);
    if (!hostAndPort(false)) return false;
    while (more()) {
        std::string option = take();
        if (option == "--all-names") {
            out_->request.insert<nv::bool_id>(field::all_names, true);
            continue;
        }
        if (option != "--timeout") return fail("unknown option " + option);
        uint32_t ms;
        if (!numberOption(option, &ms)) return false;
        out_->request.insert<nv::u32_id>(field::timeout, ms);
    }
    return true;
}

bool Parser::send() {
    out_->request.insert<nv::u32_id>(field::command, CMD_UDP_SEND);
    out_->expectsReply = false;
    if (!hostAndPort(true)) return false;
    while (more()) {
        std::string option = take();
        if (option != "--payload") return fail("unknown option " + option);
        std::string text, bytes, why;
        if (!value(option, &text)) return false;
        if (!decodeEscapes(text, &bytes, &why)) return fail(option + ": " + why);
        out_->request.insert<nv::string_id>(field::payload, bytes);
    }
    return true;
}

bool Parser::rawRequest() {
    bool commandGiven = false;
    while (more()) {
        std::string option = take();
        std::string text;
        if (!value(option, &text)) return false;
        if (option == "--command") {
            uint32_t command;
            if (!parseNumber(text, &command)) return fail("--command: not a number from 0 to 4294967295: " + text);
            out_->request.insert<nv::u32_id>(field::command, command);
            commandGiven = true;
            continue;
        }
        size_t equals = text.find('=');
        if (equals == std::string::npos) return fail(option + " needs K=V: " + text);
        uint32_t key;
        std::string keyText = text.substr(0, equals), valueText = text.substr(equals + 1);
        if (!parseKey(keyText, &key)) return fail(option + ": unknown field " + keyText);
        if (option == "--u32") {
            uint32_t number;
            if (!parseNumber(valueText, &number)) return fail("--u32: not a number from 0 to 4294967295: " + valueText);
            out_->request.insert<nv::u32_id>(key, number);
        } else if (option == "--be32") {
            in_addr address{};
            if (inet_pton(AF_INET, valueText.c_str(), &address) != 1) return fail("--be32: not an IPv4 address: " + valueText);
            out_->request.insert<nv::be32_id>(key, address.s_addr);
        } else if (option == "--bool") {
            if (valueText != "true" && valueText != "false") return fail("--bool: true or false, not " + valueText);
            out_->request.insert<nv::bool_id>(key, valueText == "true");
        } else if (option == "--string") {
            std::string bytes, why;
            if (!decodeEscapes(valueText, &bytes, &why)) return fail("--string: " + why);
            out_->request.insert<nv::string_id>(key, bytes);
        } else {
            return fail("unknown option " + option);
        }
    }
    // A later --string or --bool of the command key would retype it.
    if (!commandGiven || out_->request.find(field::command)->type != nv::FieldType::u32)
        return fail("request needs --command N");
    return true;
}

bool Parser::globalOption(const std::string& option) {
    if (option == "--bus") return value(option, &out_->busPath);
    if (option == "--json") {
        out_->json = true;
    } else if (option == "--wait") {
        if (!numberOption(option, &out_->waitMs)) return false;
        out_->waitGiven = true;
    } else if (option == "--concurrency") {
        return positiveOption(option, kMaxConcurrency, &out_->concurrency);
    } else if (option == "--rate") {
        return positiveOption(option, UINT32_MAX, &out_->rate);
    } else if (option == "--only") {
        if (!value(option, &out_->only)) return false;
        if (out_->only != "success" && out_->only != "failure" && out_->only != "error")
            return fail("--only: success, failure or error, not " + out_->only);
    } else {
        return fail("unknown option " + option);
    }
    return true;
}

bool Parser::subcommand(bool inBatch) {
    if (!more()) return fail("missing SUBCOMMAND");
    std::string name = take();
    bool ok;
    if (name == "tcp") ok = probe(CMD_TCP_PROBE, true);
    else if (name == "udp") ok = probe(CMD_UDP_PROBE, false);
    else if (name == "netbios") ok = netbios();
    else if (name == "send") ok = send();
    else if (name == "request") ok = rawRequest();
    else if (name == "batch" && inBatch) return fail("batch: not inside a batch");
    else if (name == "batch") {
        out_->batch = true;
        if (more()) out_->batchFile = take();
        if (more()) return fail("batch takes one FILE");
        return true;
    } else return fail("unknown subcommand " + name);
    if (!ok) return false;
    if (!out_->waitGiven) {
        uint64_t wait = uint64_t{out_->request.get<nv::u32_id>(field::timeout, kDefaultTimeoutMs)} + 5000;
        out_->waitMs = wait > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wait);
    }
    return true;
}

bool Parser::run() {
    out_->busPath = busPathFromEnvironment();
    while (more() && args_[next_].rfind("--", 0) == 0)
        if (!globalOption(take())) return false;
    return subcommand(false);
}

bool Parser::batchLine(const Invocation& global) {
    out_->busPath = global.busPath;
    out_->json = global.json;
    out_->waitGiven = global.waitGiven;
    out_->waitMs = global.waitMs;
    out_->concurrency = global.concurrency;
    out_->rate = global.rate;
    out_->only = global.only;
    return subcommand(true);
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, Invocation* out, std::string* error) {
    return Parser(args, out, error).run();
}

bool parseBatchLine(const std::vector<std::string>& words, const Invocation& global, Invocation* out,
                    std::string* error) {
    return Parser(words, out, error).batchLine(global);
}

bool isSingleRequest(const Invocation& invocation) {
    return !invocation.batch && (!invocation.targeted || invocation.targets.count() == 1);
}

const char* usageText() {
    return "usage: netprobe [OPTION]... SUBCOMMAND ...\n"
           "  tcp HOST PORT [--timeout MS] [--send0 T] [--expect0 RE] [--send1 T] [--expect1 RE]\n"
           "                [--send2 T] [--expect2 RE] [--skip-first-expect] [--hold-first-send]\n"
           "  udp HOST PORT [--timeout MS] [--send0 T] [--expect0 RE] [--send1 T] [--expect1 RE]\n"
           "                [--send2 T] [--expect2 RE]\n"
           "  netbios HOST [--timeout MS] [--all-names]\n"
           "  send HOST PORT [--payload T]\n"
           "  request --command N [--u32 K=V]... [--be32 K=IPV4]... [--bool K=true|false]... [--string K=T]...\n"
           "  batch [FILE]      one subcommand per line of FILE (or standard input), quoted as in sh\n"
           "HOST: A.B.C.D, a name, A.B.C.D/N (N 16 to 32), A.B.C.D-E, or a comma list of these\n"
           "PORT: a number, or a comma list of ports and ranges (22,80,8000-8100)\n"
           "options:\n"
           "  --bus PATH         the service's socket ($NETPROBE_BUS, else /run/netprobe.sock)\n"
           "  --json             one JSON object per reply\n"
           "  --wait MS          how long to wait for each reply (default: its timeout and 5 s)\n"
           "  --concurrency N    requests in flight at once, 1 to 60000 (default 512)\n"
           "  --rate N           start at most N requests per second\n"
           "  --only RESULT      print only replies of RESULT: success, failure or error\n"
           "exit status: 0 success, or every reply of a sweep taken; 1 a failure or error reply of a\n"
           "single request; 2 usage error, bus not reachable, or replies missing; 130 interrupted\n";
}
