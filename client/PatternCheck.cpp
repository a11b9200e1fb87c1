#include "client/PatternCheck.h"

std::string patternError(const std::string&) {
    return {};
}
