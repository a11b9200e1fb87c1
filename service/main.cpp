// netprobed: the network-probe service. It reads no arguments and no files;
// requests arrive over the bus, whose path $NETPROBE_BUS may move.
#include "core/ProbeRequest.h"
#include "netbios/NetbiosEndpoint.h"
#include "nv/policies.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"
#include "service/ProbeLooper.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Root and the service's own user may run the service's commands.
constexpr uint32_t kCommandPolicy = nv::policies::grant(nv::policies::kRun, nv::policies::kRoot) |
                                    nv::policies::grant(nv::policies::kRun, nv::policies::kOwnUser);
static_assert(kCommandPolicy == 0x20200);

// Started with standard input, output or error closed, the service's first
// sockets would take their numbers, and diagnostic lines would go into a
// probe's connection: each missing one is /dev/null instead.
void holdStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// A service manager that asks for it ($NOTIFY_SOCKET, an absolute path or
// "@" for the abstract namespace) is told once the bus is open, so that
// whoever starts the service waits for that instead of polling the socket.
void notifyReady() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    const size_t length = path ? std::strlen(path) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    static constexpr char kReady[] = "READY=1";
    sendto(fd, kReady, sizeof kReady - 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    close(fd);
}

}  // namespace

int main() {
    holdStandardDescriptors();
    {
        ProbeLooper looper;
        for (uint32_t command : {CMD_TCP_PROBE, CMD_UDP_PROBE, CMD_NETBIOS_STATUS, CMD_UDP_SEND})
            looper.policyTable().set_policy(command, kCommandPolicy);
        // Lives until the process ends: lookups may be pending when the loop
        // stops, and nothing after the loop needs it.
        NetbiosEndpoint::published = NetbiosEndpoint::create();
        // Running deaf helps nobody: without its bus the service says why
        // and stops.
        std::string error;
        if (!looper.openBus(busPathFromEnvironment(), &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        notifyReady();
        looper.run();
        // Stopped with requests in flight: their sockets and timers go
        // while the loop they are registered with still exists.
        ProbeRequest::abandonAll();
    }
    return 0;
}
