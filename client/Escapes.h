// Byte strings on the command line and in output.
#pragma once

#include <string>
#include <string_view>

// Decodes the C escapes \\ \r \n \t \0 \xHH; any other backslash sequence,
// or a \x without two hex digits, is an error (false, with *error).
bool decodeEscapes(std::string_view text, std::string* out, std::string* error);

// A JSON string literal: bytes 0x20..0x7e stand as themselves (with \" and
// \\ escaped), every other byte as \u00XX.
std::string jsonString(std::string_view bytes);
