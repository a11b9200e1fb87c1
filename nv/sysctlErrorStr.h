// The text of a failed system call, handed on to requesters:
// "<call>: <the system's wording> (errno <n>)", for example
// "connect: Connection refused (errno 111)". Stable for a given call and
// number.
#pragma once

#include <string>

namespace nv {

std::string sysctlErrorStr(const std::string& call, int err);

}  // namespace nv
