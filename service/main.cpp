// netprobed: the network-probe service. It reads no arguments and no files;
// requests arrive over the bus, whose path $NETPROBE_BUS may move.
#include "netbios/NetbiosEndpoint.h"
#include "nv/policies.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"
#include "service/ProbeLooper.h"

#include <fcntl.h>
#include <unistd.h>

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
        looper.setBusPath(busPathFromEnvironment());
        looper.run();
    }
    return 0;
}
