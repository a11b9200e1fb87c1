#include "protocol/BusPath.h"

#include <cstdlib>

std::string busPathFromEnvironment() {
    const char* path = std::getenv(kBusPathVariable);
    return path != nullptr && *path != '\0' ? path : kDefaultBusPath;
}
