#include "client/CommandLine.h"

#include "client/Escapes.h"
#include "client/PatternCheck.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>


namespace {

// Numbers: decimal or 0x-hex, 0 to 4294967295.
bool parseNumber(const std::string& text, uint32_t* out) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value * base + digit;
        if (value > UINT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

// Dotted IPv4, or a name resolved to its first IPv4 address; network order.
bool resolveHost(const std::string& host, uint32_t* out, std::string* error) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        *out = address.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        *error = "cannot resolve host " + host + ": " + gai_strerror(rc);
        return false;
    }
    *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

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
    bool hostAndPort(bool withPort);
    bool probe(uint32_t command, bool tcp);
    bool netbios();
    bool send();
    bool rawRequest();

    const std::vector<std::string>& args_;
    Invocation* out_;
    std::string* error_;
    size_t next_ = 0;
    bool waitGiven_ = false;
};

bool Parser::hostAndPort(bool withPort) {
    if (!more()) return fail("missing HOST");
    uint32_t address;
    if (!resolveHost(take(), &address, error_)) return false;
    out_->request.insert<nv::be32_id>(field::address, address);
    if (withPort) {
        if (!more()) return fail("missing PORT");
        const std::string& text = take();
        uint32_t port;
        if (!parseNumber(text, &port)) return fail("PORT: not a number from 0 to 4294967295: " + text);
        out_->request.insert<nv::u32_id>(field::port, port);
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

bool Parser::run() {
    out_->busPath = busPathFromEnvironment();
    while (more() && args_[next_].rfind("--", 0) == 0) {
        std::string option = take();
        if (option == "--bus") {
            if (!value(option, &out_->busPath)) return false;
        } else if (option == "--json") {
            out_->json = true;
        } else if (option == "--wait") {
            if (!numberOption(option, &out_->waitMs)) return false;
            waitGiven_ = true;
        } else {
            return fail("unknown option " + option);
        }
    }
    if (!more()) return fail("missing SUBCOMMAND");
    std::string subcommand = take();
    bool ok;
    if (subcommand == "tcp") ok = probe(CMD_TCP_PROBE, true);
    else if (subcommand == "udp") ok = probe(CMD_UDP_PROBE, false);
    else if (subcommand == "netbios") ok = netbios();
    else if (subcommand == "send") ok = send();
    else if (subcommand == "request") ok = rawRequest();
    else return fail("unknown subcommand " + subcommand);
    if (!ok) return false;
    if (!waitGiven_) {
        uint64_t wait = uint64_t{out_->request.get<nv::u32_id>(field::timeout, kDefaultTimeoutMs)} + 5000;
        out_->waitMs = wait > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wait);
    }
    return true;
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, Invocation* out, std::string* error) {
    return Parser(args, out, error).run();
}

const char* usageText() {
    return "usage: netprobe [--bus PATH] [--json] [--wait MS] SUBCOMMAND ...\n"
           "  tcp HOST PORT [--timeout MS] [--send0 T] [--expect0 RE] [--send1 T] [--expect1 RE]\n"
           "                [--send2 T] [--expect2 RE] [--skip-first-expect] [--hold-first-send]\n"
           "  udp HOST PORT [--timeout MS] [--send0 T] [--expect0 RE] [--send1 T] [--expect1 RE]\n"
           "                [--send2 T] [--expect2 RE]\n"
           "  netbios HOST [--timeout MS] [--all-names]\n"
           "  send HOST PORT [--payload T]\n"
           "  request --command N [--u32 K=V]... [--be32 K=IPV4]... [--bool K=true|false]... [--string K=T]...\n";
}
