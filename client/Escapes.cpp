#include "client/Escapes.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool decodeEscapes(std::string_view text, std::string* out, std::string* error) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i == text.size()) {
            *error = "a lone backslash ends the text";
            return false;
        }
        switch (text[i]) {
        case '\\': out->push_back('\\'); break;
        case 'r': out->push_back('\r'); break;
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case '0': out->push_back('\0'); break;
        case 'x': {
            int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                *error = "\\x needs two hex digits";
                return false;
            }
            out->push_back(static_cast<char>(high * 16 + low));
            i += 2;
            break;
        }
        default:
            *error = std::string("unknown escape \\") + text[i];
            return false;
        }
    }
    return true;
}

std::string jsonString(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte <= 0x7e) {
            out += c;
        } else {
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 0xf];
        }
    }
    out += '"';
    return out;
}
