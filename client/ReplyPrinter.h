// One reply as one line: readable text, or one JSON object.
#pragma once

#include "nv/message.h"

#include <string>

// success: {"result":"success","elapsed":N, ...other fields by name...}
// failure: {"result":"failure","text":"...","elapsed":N}
// error:   {"result":"error","code":N,"text":"..."}
std::string formatReply(const nv::message& reply, bool json);

// What a line of a sweep or batch says of its request.
struct TargetLabel {
    uint32_t line = 0;  // the batch line, from 1; 0 outside a batch
    bool withHost = false;
    uint32_t address = 0;  // network order
    bool withPort = false;
    uint32_t port = 0;
};

// JSON: the object above with "line", "host" and "port" after "result".
// Text: "line N: " and "HOST:PORT " before the line above.
std::string formatReply(const nv::message& reply, bool json, const TargetLabel& label);
// The readable start of a sweep's line: "line N: " and "HOST:PORT ".
std::string formatLabel(const TargetLabel& label);
// A request without reply (send): {"result":"sent",...} or "HOST:PORT sent".
std::string formatSent(bool json, const TargetLabel& label);
// A batch line that does not parse: {"result":"usage","line":N,"text":"..."}
// or "line N: text".
std::string formatUsage(bool json, uint32_t line, const std::string& text);
