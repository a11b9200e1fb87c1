// IPv4 socket set-up for the tests and benchmarks: addresses as the
// `address` field has them, binding, listening, a port where nothing listens.
#pragma once

#include <cstdint>

// Dotted text ("127.0.0.1") in network byte order; 0 when it is no address.
uint32_t ipv4(const char* text);

// Binds `fd` to address:port (port 0: one the system chooses); the port it
// got, or 0 on failure.
uint16_t bindIpv4(int fd, const char* address, uint16_t port);

// A listening TCP socket on `address`, on a port the system chooses, with
// SO_REUSEADDR; `flags` go to socket() beside SOCK_STREAM (SOCK_NONBLOCK,
// SOCK_CLOEXEC). The descriptor, or -1; *port gets the port.
int openTcpListener(const char* address, int backlog, int flags, uint16_t* port);

// A TCP port on `address` where nothing listens (bound, then closed).
uint16_t closedTcpPort(const char* address = "127.0.0.1");
