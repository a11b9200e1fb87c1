// nv::sysctlErrorStr: "<call>: <the system's wording> (errno <n>)".
#include "nv/sysctlErrorStr.h"

#include <cstring>

namespace nv {

namespace {

// strerror_r comes in two shapes: GNU returns the text, POSIX fills the
// buffer and returns 0. Overloads pick whichever the C library declares.
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* errorText(const char* result, const char*) {
    return result;
}

}  // namespace

std::string sysctlErrorStr(const std::string& call, int err) {
    char buffer[128] = {};
    const char* text = errorText(strerror_r(err, buffer, sizeof buffer), buffer);
    std::string result = call;
    result += ": ";
    result += text;
    result += " (errno ";
    result += std::to_string(err);
    result += ")";
    return result;
}

}  // namespace nv
