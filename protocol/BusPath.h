// Where the service's bus socket lies: $NETPROBE_BUS, else the default. The
// service hands the path to the framework, and every client looks it up
// here, so both ends agree.
#pragma once

#include <string>

constexpr const char* kBusPathVariable = "NETPROBE_BUS";
constexpr const char* kDefaultBusPath = "/run/netprobe.sock";

// $NETPROBE_BUS when it is set and not empty, else kDefaultBusPath.
std::string busPathFromEnvironment();
