// netprobed: the network-probe service. It reads no arguments, no
// environment and no files; requests arrive over the bus.
#include "core/Fields.h"
#include "core/ProbeLooper.h"
#include "netbios/NetbiosEndpoint.h"

int main() {
    {
        ProbeLooper looper;
        for (uint32_t command : {CMD_TCP_PROBE, CMD_UDP_PROBE, CMD_NETBIOS_STATUS, CMD_UDP_SEND})
            looper.policyTable().set_policy(command, 0x20200);
        // Lives until the process ends: lookups may be pending when the loop
        // stops, and nothing after the loop needs it.
        NetbiosEndpoint::published = NetbiosEndpoint::create();
        looper.run();
    }
    return 0;
}
