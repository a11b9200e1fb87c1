// libFuzzer target for the client's byte strings: the escapes of the
// command line and the JSON strings of its output.
//
// Input: the text (libFuzzer hands it over in a heap block of its exact
// size, so AddressSanitizer reports any read past it). Traps when
// - decoding yields more bytes than the text had, changes a text without a
//   backslash, or fails without saying why;
// - what decodes does not come back the same through either way of writing
//   it as escapes (every byte as \xHH, or the short escapes);
// - a JSON string holds anything but printable ASCII, is not one quoted
//   string with valid escapes, or does not read back as the bytes written.
#include "client/Escapes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

const char kHex[] = "0123456789abcdef";

std::string everyByteEscaped(const std::string& bytes) {
    std::string text;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        text += "\\x";
        text += kHex[byte >> 4];
        text += kHex[byte & 0xf];
    }
    return text;
}

std::string shortEscaped(const std::string& bytes) {
    std::string text;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': text += "\\\\"; break;
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\0': text += "\\0"; break;
        default:
            if (byte >= 0x20 && byte <= 0x7e) {
                text += c;
            } else {
                text += "\\x";
                text += kHex[byte >> 4];
                text += kHex[byte & 0xf];
            }
        }
    }
    return text;
}

void checkDecodesBack(const std::string& text, const std::string& expected) {
    std::string out, error;
    if (!decodeEscapes(text, &out, &error) || out != expected) __builtin_trap();
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a JSON string literal that must stand for bytes (no code point
// above 0xff), as a JSON reader would; traps on anything invalid.
std::string readJsonString(const std::string& json) {
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') __builtin_trap();
    std::string bytes;
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        auto c = static_cast<unsigned char>(json[i]);
        if (c < 0x20 || c > 0x7e || c == '"') __builtin_trap();
        if (c != '\\') {
            bytes += static_cast<char>(c);
            continue;
        }
        if (++i + 1 >= json.size()) __builtin_trap();  // the closing quote escaped
        switch (json[i]) {
        case '"': bytes += '"'; break;
        case '\\': bytes += '\\'; break;
        case '/': bytes += '/'; break;
        case 'b': bytes += '\b'; break;
        case 'f': bytes += '\f'; break;
        case 'n': bytes += '\n'; break;
        case 'r': bytes += '\r'; break;
        case 't': bytes += '\t'; break;
        case 'u': {
            if (i + 5 >= json.size()) __builtin_trap();
            unsigned value = 0;
            for (size_t k = 1; k <= 4; ++k) {
                int digit = hexDigit(json[i + k]);
                if (digit < 0) __builtin_trap();
                value = value * 16 + static_cast<unsigned>(digit);
            }
            if (value > 0xff) __builtin_trap();
            bytes += static_cast<char>(value);
            i += 4;
            break;
        }
        default:
            __builtin_trap();
        }
    }
    return bytes;
}

void checkJson(const std::string& bytes) {
    if (readJsonString(jsonString(bytes)) != bytes) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string out, error;
    if (decodeEscapes(text, &out, &error)) {
        if (out.size() > text.size()) __builtin_trap();
        if (text.find('\\') == std::string_view::npos && out != text) __builtin_trap();
        checkDecodesBack(everyByteEscaped(out), out);
        checkDecodesBack(shortEscaped(out), out);
        checkJson(out);
    } else if (error.empty()) {
        __builtin_trap();
    }
    checkJson(std::string(text));
    return 0;
}
