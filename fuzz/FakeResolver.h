// Included by one file of a fuzz target that parses host names: it
// replaces getaddrinfo, so that a run depends on nothing outside the
// process. Names ending in ".test" resolve to 192.0.2.7, "localhost" to
// 127.0.0.1, others to nothing.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace fake_resolver {

struct Resolved {
    addrinfo info;
    sockaddr_in address;
};

inline bool endsWith(const char* text, const char* suffix) {
    size_t length = std::strlen(text), suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::strcmp(text + length - suffixLength, suffix) == 0;
}

}  // namespace fake_resolver

extern "C" int getaddrinfo(const char* node, const char*, const addrinfo*, addrinfo** result) {
    *result = nullptr;
    in_addr_t address;
    if (node != nullptr && fake_resolver::endsWith(node, ".test")) address = htonl(0xc0000207);
    else if (node != nullptr && std::strcmp(node, "localhost") == 0) address = htonl(INADDR_LOOPBACK);
    else return EAI_NONAME;
    auto* resolved = new fake_resolver::Resolved{};
    resolved->address.sin_family = AF_INET;
    resolved->address.sin_addr.s_addr = address;
    resolved->info.ai_family = AF_INET;
    resolved->info.ai_addrlen = sizeof resolved->address;
    resolved->info.ai_addr = reinterpret_cast<sockaddr*>(&resolved->address);
    *result = &resolved->info;
    return 0;
}

extern "C" void freeaddrinfo(addrinfo* info) noexcept {
    delete reinterpret_cast<fake_resolver::Resolved*>(info);
}
