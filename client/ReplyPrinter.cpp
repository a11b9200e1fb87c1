#include "client/ReplyPrinter.h"

#include "client/Escapes.h"
#include "protocol/Fields.h"

#include <arpa/inet.h>

#include <string_view>

namespace {

std::string fieldName(uint32_t key) {
    if (const FieldInfo* info = findField(key)) return std::string(info->name);
    return "field_" + std::to_string(key);
}

std::string addressText(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

std::string fieldValue(const nv::message::Field& f) {
    switch (f.type) {
    case nv::FieldType::u32:
        return std::to_string(f.number);
    case nv::FieldType::be32:
        return jsonString(addressText(f.number));
    case nv::FieldType::boolean:
        return f.number ? "true" : "false";
    case nv::FieldType::string:
        return jsonString(f.bytes);
    }
    return "null";
}

std::string elapsedText(const nv::message& reply) {
    const nv::message::Field* elapsed = reply.find(field::elapsed);
    return elapsed ? fieldValue(*elapsed) : "null";
}

// The members that follow "result" on a line of a sweep.
std::string jsonLabel(const TargetLabel& label) {
    std::string out;
    if (label.line != 0) out += ",\"line\":" + std::to_string(label.line);
    if (label.withHost) out += ",\"host\":\"" + addressText(label.address) + '"';
    if (label.withPort) out += ",\"port\":" + std::to_string(label.port);
    return out;
}

std::string json(const nv::message& reply, const std::string& label) {
    switch (reply.status()) {
    case nv::ReplyStatus::error:
        return "{\"result\":\"error\"" + label + ",\"code\":" + std::to_string(reply.errorCode()) +
               ",\"text\":" + jsonString(reply.statusText()) + "}";
    case nv::ReplyStatus::failed:
        return "{\"result\":\"failure\"" + label + ",\"text\":" + jsonString(reply.statusText()) +
               ",\"elapsed\":" + elapsedText(reply) + "}";
    case nv::ReplyStatus::plain:
        break;
    }
    std::string out = "{\"result\":\"success\"" + label + ",\"elapsed\":" + elapsedText(reply);
    for (const auto& f : reply.fields()) {
        if (f.key == field::elapsed) continue;
        out += ',';
        out += jsonString(fieldName(f.key));
        out += ':';
        out += fieldValue(f);
    }
    return out + "}";
}

std::string text(const nv::message& reply) {
    switch (reply.status()) {
    case nv::ReplyStatus::error:
        return "error " + std::to_string(reply.errorCode()) + ": " + jsonString(reply.statusText());
    case nv::ReplyStatus::failed:
        return "failure: " + jsonString(reply.statusText()) + " elapsed=" + elapsedText(reply) + "ms";
    case nv::ReplyStatus::plain:
        break;
    }
    std::string out = "success elapsed=" + elapsedText(reply) + "ms";
    for (const auto& f : reply.fields()) {
        if (f.key == field::elapsed) continue;
        out += ' ';
        out += fieldName(f.key);
        out += '=';
        out += fieldValue(f);
    }
    return out;
}

}  // namespace

std::string formatLabel(const TargetLabel& label) {
    std::string out;
    if (label.line != 0) out += "line " + std::to_string(label.line) + ": ";
    if (label.withHost) out += addressText(label.address);
    if (label.withPort) out += ':' + std::to_string(label.port);
    if (label.withHost) out += ' ';
    return out;
}

std::string formatReply(const nv::message& reply, bool asJson) {
    return asJson ? json(reply, std::string()) : text(reply);
}

std::string formatReply(const nv::message& reply, bool asJson, const TargetLabel& label) {
    return asJson ? json(reply, jsonLabel(label)) : formatLabel(label) + text(reply);
}

std::string formatSent(bool asJson, const TargetLabel& label) {
    return asJson ? "{\"result\":\"sent\"" + jsonLabel(label) + "}" : formatLabel(label) + "sent";
}

std::string formatUsage(bool asJson, uint32_t line, const std::string& text) {
    if (asJson) return "{\"result\":\"usage\",\"line\":" + std::to_string(line) + ",\"text\":" + jsonString(text) + "}";
    return "line " + std::to_string(line) + ": " + text;
}
