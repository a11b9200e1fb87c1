// Patterns are checked before they are sent, so that a typo is a usage
// error here rather than a probe that can never succeed.
#pragma once

#include <string>

// Empty when the pattern compiles; otherwise why it does not.
std::string patternError(const std::string& pattern);
