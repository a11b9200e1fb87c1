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

std::string fieldValue(const nv::message::Field& f) {
    switch (f.type) {
    case nv::FieldType::u32:
        return std::to_string(f.number);
    case nv::FieldType::be32: {
        char text[INET_ADDRSTRLEN] = {};
        in_addr address{};
        address.s_addr = f.number;
        inet_ntop(AF_INET, &address, text, sizeof text);
        return jsonString(text);
    }
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

std::string json(const nv::message& reply) {
    switch (reply.status()) {
    case nv::ReplyStatus::error:
        return "{\"result\":\"error\",\"code\":" + std::to_string(reply.errorCode()) +
               ",\"text\":" + jsonString(reply.statusText()) + "}";
    case nv::ReplyStatus::failed:
        return "{\"result\":\"failure\",\"text\":" + jsonString(reply.statusText()) +
               ",\"elapsed\":" + elapsedText(reply) + "}";
    case nv::ReplyStatus::plain:
        break;
    }
    std::string out = "{\"result\":\"success\",\"elapsed\":" + elapsedText(reply);
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

std::string formatReply(const nv::message& reply, bool asJson) {
    return asJson ? json(reply) : text(reply);
}
