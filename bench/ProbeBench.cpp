// TCP and UDP probes through the bus against the real netprobed, on
// loopback addresses of their own (127.0.9.x):
// - probes per second with many in flight on one bus connection, refilled
//   as replies arrive: to a refused port, and to a banner service with a
//   two-stage send/expect dialogue;
// - the service's resident memory per in-flight probe, with N probes held
//   open (TCP against a server that accepts and says nothing, UDP against
//   a socket that never answers).
// Counters: service_cpu and peer_cpu are the fraction of one core that the
// service and the bench's own server used during the timed loop; a
// service near 1.0 is what limits the rate. service_us_per_probe is the
// service's CPU time per probe, steadier than the rate on a busy machine.
// unexpected counts replies of another kind than the benchmark expects
// (there should be none).
#include "nv/BusClient.h"
#include "protocol/Fields.h"
#include "bench/LoopbackTcpServer.h"
#include "bench/ProcessReadings.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

// The banner service listens on eight addresses and the probes take them in
// turn: the service closes each connection first, and its TIME_WAIT ports
// would otherwise crowd one destination's ephemeral range (real probes are
// spread over many hosts).
const std::vector<std::string> kBannerHosts = {"127.0.9.16", "127.0.9.17", "127.0.9.18", "127.0.9.19",
                                               "127.0.9.20", "127.0.9.21", "127.0.9.22", "127.0.9.23"};
constexpr const char* kSilentHost = "127.0.9.2";
constexpr const char* kRefusingHost = "127.0.9.3";

// Tens of thousands of probes may hold a socket each, and the bench process
// the other ends of their connections.
constexpr rlim_t kDescriptorLimit = 80000;

// The service as the benchmarks run it: room for every probe's socket, and
// its standard output, a line per failed probe, not kept.
ServiceProcess::Options benchService() {
    ServiceProcess::Options options;
    options.keepOutput = false;
    options.descriptorLimit = kDescriptorLimit;
    return options;
}

nv::message probeRequest(uint32_t command, const char* host, uint16_t port, uint32_t timeoutMs) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, command);
    request.insert<nv::be32_id>(field::address, ipv4(host));
    request.insert<nv::u32_id>(field::port, port);
    request.insert<nv::u32_id>(field::timeout, timeoutMs);
    return request;
}

bool isRefused(const nv::message& reply) {
    return reply.status() == nv::ReplyStatus::failed && reply.statusText().rfind("connect: ", 0) == 0;
}

bool isConnectedSuccess(const nv::message& reply) {
    return reply.status() == nv::ReplyStatus::plain && reply.get<nv::bool_id>(field::connected);
}

bool isTimeout(const nv::message& reply) {
    return reply.status() == nv::ReplyStatus::error && reply.errorCode() == kTimeoutError;
}

// Keeps state.range(0) requests outstanding on one connection, taking the
// `requests` in turn: each iteration takes one reply and sends the next.
void runInFlight(benchmark::State& state, const ServiceProcess& service, const std::vector<nv::message>& requests,
                 const std::function<bool(const nv::message&)>& expected,
                 const std::function<double()>& peerCpuSeconds) {
    const auto inFlight = static_cast<uint32_t>(state.range(0));
    nv::BusClient client;
    std::string error;
    if (!client.connect(service.busPath(), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t next = 0;
    auto sendNext = [&] {
        const nv::message& request = requests[next];
        next = (next + 1) % requests.size();
        return client.send(request, 0, &error) != 0;
    };
    for (uint32_t i = 0; i < inFlight; ++i) {
        if (!sendNext()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    uint64_t unexpected = 0;
    std::string firstUnexpected;
    uint32_t sequence;
    nv::message reply;
    const ProcessReadings readings(service.pid());
    const ProcessReadings own = ProcessReadings::self();
    const double serviceStart = readings.cpuSeconds();
    const double peerStart = peerCpuSeconds();
    const double ownStart = own.cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!client.nextReply(&sequence, &reply, 30000, &error) || !sendNext()) {
            state.SkipWithError(error.c_str());
            return;
        }
        if (!expected(reply) && unexpected++ == 0) firstUnexpected = reply.statusText();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double serviceUsed = readings.cpuSeconds() - serviceStart;
    state.counters["service_cpu"] = serviceUsed / wall;
    state.counters["service_us_per_probe"] = serviceUsed * 1e6 / static_cast<double>(state.iterations());
    state.counters["peer_cpu"] = (peerCpuSeconds() - peerStart) / wall;
    // The bench process: bus client plus the server thread.
    state.counters["bench_cpu"] = (own.cpuSeconds() - ownStart) / wall;
    for (uint32_t i = 0; i < inFlight; ++i) {
        if (!client.nextReply(&sequence, &reply, 30000, &error)) break;
        if (!expected(reply) && unexpected++ == 0) firstUnexpected = reply.statusText();
    }
    state.counters["unexpected"] = static_cast<double>(unexpected);
    if (unexpected) state.SetLabel("first unexpected: " + firstUnexpected);
    state.SetItemsProcessed(state.iterations());
}

void BM_TcpProbeRefused(benchmark::State& state) {
    ServiceProcess service(benchService());
    if (!service.ready()) {
        state.SkipWithError(service.error().c_str());
        return;
    }
    nv::message request = probeRequest(CMD_TCP_PROBE, kRefusingHost, closedTcpPort(kRefusingHost), 10000);
    runInFlight(state, service, {request}, isRefused, [] { return 0.0; });
}
BENCHMARK(BM_TcpProbeRefused)->Arg(256)->Arg(1024)->Iterations(200000)->UseRealTime()->Unit(benchmark::kMillisecond);

// expect_0 the greeting, send_1 a line, expect_1 the answer to it.
void BM_TcpProbeBannerDialogue(benchmark::State& state) {
    setDescriptorLimit(kDescriptorLimit);
    ServiceProcess service(benchService());
    LoopbackTcpServer server(kBannerHosts, LoopbackTcpServer::Mode::banner);
    if (!service.ready() || !server.ok()) {
        state.SkipWithError(service.ready() ? "no banner server" : service.error().c_str());
        return;
    }
    std::vector<nv::message> requests;
    for (size_t i = 0; i < kBannerHosts.size(); ++i) {
        nv::message request = probeRequest(CMD_TCP_PROBE, kBannerHosts[i].c_str(), server.ports()[i], 10000);
        request.insert<nv::string_id>(field::expect_0, "^220 ");
        request.insert<nv::string_id>(field::send_1, "HELO x\r\n");
        request.insert<nv::string_id>(field::expect_1, "^250 ");
        requests.push_back(request);
    }
    runInFlight(state, service, requests, isConnectedSuccess, [&server] { return server.cpuSeconds(); });
}
BENCHMARK(BM_TcpProbeBannerDialogue)->Arg(256)->Arg(1024)->Iterations(100000)->UseRealTime()->Unit(benchmark::kMillisecond);

// Sends `count` copies of `request` and waits for their replies.
bool runAll(nv::BusClient& client, const nv::message& request, uint32_t count, std::string* error) {
    for (uint32_t i = 0; i < count; ++i)
        if (client.send(request, 0, error) == 0) return false;
    uint32_t sequence;
    nv::message reply;
    for (uint32_t i = 0; i < count; ++i)
        if (!client.nextReply(&sequence, &reply, 30000, error)) return false;
    return true;
}

// Polls every 20 ms until `done` or timeoutMs has passed: what is awaited
// is a reading of the service, which sends no word of it.
template <class Done>
bool waitFor(Done done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        poll(nullptr, 0, 20);
    }
    return done();
}

// The descriptor count once it has settled: a request object closes its
// socket just after sending its reply, so a count taken the moment the
// last reply arrives may still include it.
int settledDescriptors(const ProcessReadings& readings) {
    int last = readings.openDescriptors();
    for (int same = 0, polls = 0; same < 3 && polls < 100; ++polls) {
        poll(nullptr, 0, 20);
        int now = readings.openDescriptors();
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

struct HeldRound {
    long residentKiB = 0;
    int descriptors = 0;
    bool allOpen = false;
    uint64_t timeouts = 0;
};

// Sends `count` copies of `request`, then a refused probe that answers once
// all of them have started; waits until their sockets are open (and the
// peer has them all), reads the memory, then waits for their timeouts.
bool holdRound(nv::BusClient& client, const ProcessReadings& readings, const nv::message& request, uint32_t count,
               int idleDescriptors, const std::function<int()>& peerConnections, HeldRound* round,
               std::string* error) {
    for (uint32_t i = 0; i < count; ++i)
        if (client.send(request, 0, error) == 0) return false;
    nv::message reply;
    uint32_t refused = client.send(probeRequest(CMD_TCP_PROBE, kRefusingHost, closedTcpPort(kRefusingHost), 10000),
                                   0, error);
    if (refused == 0 || !client.waitReply(refused, &reply, 30000, error) || !isRefused(reply)) {
        *error = "the probe after the held ones: " + *error;
        return false;
    }
    round->allOpen = waitFor(
        [&] {
            return readings.openDescriptors() >= idleDescriptors + static_cast<int>(count) &&
                   peerConnections() >= static_cast<int>(count);
        },
        20000);
    round->residentKiB = readings.residentKiB();
    round->descriptors = readings.openDescriptors() - idleDescriptors;
    uint32_t sequence;
    for (uint32_t i = 0; i < count; ++i) {
        if (!client.nextReply(&sequence, &reply, 60000, error)) return false;
        if (isTimeout(reply)) ++round->timeouts;
    }
    return true;
}

// Resident memory of the service with state.range(0) probes of `request`
// held open (each one socket), against its memory once idle; bytes_per_probe
// is the difference over the count. After they have timed out the memory is
// read again (rss_after_kib), and a second round of as many is held
// (rss_held_again_kib): about rss_held_kib again means the memory of the
// first round was reused, not lost.
void measureHeldProbes(benchmark::State& state, const nv::message& request,
                       const std::function<int()>& peerConnections) {
    const auto count = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        ServiceProcess service(benchService());
        const ProcessReadings readings(service.pid());
        nv::BusClient client;
        std::string error;
        if (!service.ready() || !client.connect(service.busPath(), &error)) {
            state.SkipWithError(service.ready() ? error.c_str() : service.error().c_str());
            return;
        }
        // A few of the same kind first, so that idle means warmed up.
        nv::message warmUp = request;
        warmUp.insert<nv::u32_id>(field::timeout, 100);
        if (!runAll(client, warmUp, 64, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const int idleDescriptors = settledDescriptors(readings);
        const long idleKiB = readings.residentKiB();

        HeldRound first, second;
        if (!holdRound(client, readings, request, count, idleDescriptors, peerConnections, &first, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const int descriptorsLeft = settledDescriptors(readings) - idleDescriptors;
        const long afterKiB = readings.residentKiB();
        if (!holdRound(client, readings, request, count, idleDescriptors, peerConnections, &second, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.counters["rss_idle_kib"] = static_cast<double>(idleKiB);
        state.counters["rss_held_kib"] = static_cast<double>(first.residentKiB);
        state.counters["rss_after_kib"] = static_cast<double>(afterKiB);
        state.counters["rss_held_again_kib"] = static_cast<double>(second.residentKiB);
        state.counters["bytes_per_probe"] = static_cast<double>(first.residentKiB - idleKiB) * 1024.0 / count;
        state.counters["held_fds"] = first.descriptors;
        state.counters["fds_left"] = descriptorsLeft;
        state.counters["timeouts"] = static_cast<double>(first.timeouts + second.timeouts);
        if (!first.allOpen || !second.allOpen) state.SetLabel("not all probes were open when measured");
    }
}

// Connected and waiting for a greeting that never comes.
void BM_TcpProbeHeldMemory(benchmark::State& state) {
    setDescriptorLimit(kDescriptorLimit);
    LoopbackTcpServer server({kSilentHost}, LoopbackTcpServer::Mode::silent);
    if (!server.ok()) {
        state.SkipWithError("no silent server");
        return;
    }
    nv::message request = probeRequest(CMD_TCP_PROBE, kSilentHost, server.ports()[0], 8000);
    request.insert<nv::string_id>(field::expect_0, "^220 ");
    measureHeldProbes(state, request, [&server] { return server.open(); });
}
BENCHMARK(BM_TcpProbeHeldMemory)->Arg(1000)->Arg(5000)->Arg(10000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Each probe's connected socket waits for a datagram that never comes; the
// target socket is bound (so no port-unreachable comes back) and never read.
// The second argument: 1 with an expectation, 0 without (a UDP probe waits
// for a datagram either way), which shows what a compiled pattern costs.
void BM_UdpProbeHeldMemory(benchmark::State& state) {
    setDescriptorLimit(kDescriptorLimit);
    int target = socket(AF_INET, SOCK_DGRAM, 0);
    const uint16_t port = target < 0 ? 0 : bindIpv4(target, kSilentHost, 0);
    if (port == 0) {
        state.SkipWithError("no silent UDP socket");
        if (target >= 0) close(target);
        return;
    }
    nv::message request = probeRequest(CMD_UDP_PROBE, kSilentHost, port, 8000);
    if (state.range(1)) request.insert<nv::string_id>(field::expect_0, "^never");
    measureHeldProbes(state, request, [] { return INT32_MAX; });
    close(target);
}
BENCHMARK(BM_UdpProbeHeldMemory)
    ->Args({1000, 1})
    ->Args({5000, 1})
    ->Args({10000, 1})
    ->Args({10000, 0})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
