// One reply as one line: readable text, or one JSON object.
#pragma once

#include "nv/message.h"

#include <string>

// success: {"result":"success","elapsed":N, ...other fields by name...}
// failure: {"result":"failure","text":"...","elapsed":N}
// error:   {"result":"error","code":N,"text":"..."}
std::string formatReply(const nv::message& reply, bool json);
