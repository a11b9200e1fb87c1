#include "tests/kit/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

uint32_t ipv4(const char* text) {
    in_addr address{};
    return inet_pton(AF_INET, text, &address) == 1 ? address.s_addr : 0;
}

uint16_t bindIpv4(int fd, const char* address, uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = ipv4(address);
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

int openTcpListener(const char* address, int backlog, int flags, uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | flags, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    *port = bindIpv4(fd, address, 0);
    if (*port == 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t closedTcpPort(const char* address) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    const uint16_t port = bindIpv4(fd, address, 0);
    close(fd);
    return port;
}
