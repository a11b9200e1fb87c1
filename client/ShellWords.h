// A line split into words as a POSIX shell splits them: blanks separate,
// single quotes keep everything, double quotes keep everything but the
// backslash before $ ` " and \, a backslash outside quotes keeps the next
// character, and a word that starts with # begins a comment. Nothing is
// expanded: $, ` and globs stay as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// False with a reason in *error (an unclosed quote, a trailing backslash).
bool splitShellWords(std::string_view line, std::vector<std::string>* words, std::string* error);
