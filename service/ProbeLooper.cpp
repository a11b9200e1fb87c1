#include "service/ProbeLooper.h"

#include "protocol/Fields.h"
#include "core/ProbeRequest.h"
#include "netbios/NetbiosEndpoint.h"
#include "netbios/NetbiosQuery.h"
#include "probes/TcpProbe.h"
#include "probes/UdpProbe.h"

// Every one of the framework's thirteen tuning values at its default.
ProbeLooper::ProbeLooper() : nv::Looper() {}

ProbeLooper::~ProbeLooper() = default;

void ProbeLooper::handleCmd(const nv::message& request, unsigned arg) {
    switch (request.get<nv::u32_id>(field::command)) {
    case CMD_TCP_PROBE:
        startRequest<TcpProbe>(request);
        return;
    case CMD_UDP_PROBE:
        startRequest<UdpProbe>(request);
        return;
    case CMD_NETBIOS_STATUS:
        startRequest<NetbiosQuery>(request);
        return;
    case CMD_UDP_SEND:
        NetbiosEndpoint::published->sendRaw(request);
        return;
    default:
        nv::Looper::handleCmd(request, arg);
        return;
    }
}
