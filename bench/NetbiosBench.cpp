// NetBIOS node-status lookups (command 3) through the bus against the real
// netprobed, on loopback addresses of their own (127.0.9.x):
// - lookups per second with many in flight (up to all 65000 query ids),
//   refilled as replies arrive, against a responder in the bench process
//   that answers every query at once;
// - the service's resident memory with N lookups pending at a host that
//   never answers, per pending lookup.
// Counters: service_cpu and peer_cpu are the fraction of one core used by
// the service and by the responder thread during the timed loop;
// service_us_per_lookup is the service's CPU time per reply, steadier than
// the rate on a busy machine. answered_per_second leaves out the replies
// that were timeouts; timeouts are lookups whose query or answer was lost
// (service_drops and responder_drops: datagrams the kernel dropped during
// the loop for a full receive buffer on the service's sockets and on the
// responder's); unexpected is any other reply.
#include "netbios/NetbiosEndpoint.h"
#include "netbios/NetbiosPacket.h"
#include "nv/BusClient.h"
#include "protocol/Fields.h"
#include "tests/kit/NbstatBuilder.h"
#include "tests/kit/NodeStatusRequest.h"
#include "bench/ProcessReadings.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

constexpr const char* kAnsweringHost = "127.0.9.8";
constexpr const char* kSilentHost = "127.0.9.9";
constexpr const char* kRefusingHost = "127.0.9.3";

// Answers every 50-byte query on host:137 with a fixed two-name response
// under the query's transaction id, in batches of up to 64 datagrams.
class NbstatResponder {
public:
    explicit NbstatResponder(const char* host)
        : response_(nbstatResponse(0, {{"BENCHHOST", 0x00, false}, {"BENCHGROUP", 0x00, true}})) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        // Root may go past rmem_max: room for a whole burst of queries.
        int size = 16 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        timeval wait{0, 50000};  // so that the thread sees stopping_
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (bindIpv4(fd_, host, NetbiosPacket::kPort) == 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~NbstatResponder() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    NbstatResponder(const NbstatResponder&) = delete;
    NbstatResponder& operator=(const NbstatResponder&) = delete;

    bool ok() const { return fd_ >= 0; }
    unsigned long inode() const {
        struct stat status {};
        return fstat(fd_, &status) == 0 ? status.st_ino : 0;
    }

    double cpuSeconds() { return ProcessReadings::threadCpuSeconds(thread_); }

private:
    static constexpr unsigned kBatch = 64;

    void serve() {
        uint8_t queries[kBatch][64];
        std::vector<uint8_t> answers[kBatch];
        sockaddr_in senders[kBatch];
        iovec queryParts[kBatch], answerParts[kBatch];
        mmsghdr in[kBatch], out[kBatch];
        while (!stopping_) {
            for (unsigned i = 0; i < kBatch; ++i) {
                queryParts[i] = {queries[i], sizeof queries[i]};
                in[i] = {};
                in[i].msg_hdr.msg_iov = &queryParts[i];
                in[i].msg_hdr.msg_iovlen = 1;
                in[i].msg_hdr.msg_name = &senders[i];
                in[i].msg_hdr.msg_namelen = sizeof senders[i];
            }
            int got = recvmmsg(fd_, in, kBatch, MSG_WAITFORONE, nullptr);
            if (got <= 0) continue;
            unsigned count = 0;
            for (int i = 0; i < got; ++i) {
                if (in[i].msg_len != NetbiosPacket::kRequestSize) continue;
                answers[count] = response_;
                answers[count][0] = queries[i][0];  // the transaction id
                answers[count][1] = queries[i][1];
                answerParts[count] = {answers[count].data(), answers[count].size()};
                out[count] = {};
                out[count].msg_hdr.msg_iov = &answerParts[count];
                out[count].msg_hdr.msg_iovlen = 1;
                out[count].msg_hdr.msg_name = &senders[i];
                out[count].msg_hdr.msg_namelen = sizeof senders[i];
                ++count;
            }
            for (unsigned sent = 0; sent < count;) {
                int n = sendmmsg(fd_, out + sent, count - sent, 0);
                if (n <= 0) break;
                sent += static_cast<unsigned>(n);
            }
        }
    }

    std::vector<uint8_t> response_;
    int fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

bool isTimeout(const nv::message& reply) {
    return reply.status() == nv::ReplyStatus::error && reply.errorCode() == kTimeoutError;
}

// The service as the benchmarks run it: its standard output, a line per
// failed lookup, would fill the disk over a long run.
ServiceProcess::Options quietService() {
    ServiceProcess::Options options;
    options.keepOutput = false;
    return options;
}

// Datagrams the kernel dropped, for a full receive buffer, on these UDP
// sockets (the last column of /proc/net/udp).
unsigned long udpDrops(const std::set<unsigned long>& inodes) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // the column names
    unsigned long total = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        std::vector<std::string> columns;
        while (words >> word) columns.push_back(word);
        if (columns.size() < 13) continue;
        if (inodes.count(std::stoul(columns[9]))) total += std::stoul(columns.back());
    }
    return total;
}

// Keeps state.range(0) lookups outstanding on one connection: each
// iteration takes one reply and sends the next lookup.
void BM_NetbiosLookup(benchmark::State& state) {
    const auto inFlight = static_cast<uint32_t>(state.range(0));
    ServiceProcess service(quietService());
    NbstatResponder responder(kAnsweringHost);
    nv::BusClient client;
    std::string error;
    if (!service.ready() || !responder.ok() || !client.connect(service.busPath(), &error)) {
        state.SkipWithError(!service.ready() ? service.error().c_str()
                            : !responder.ok() ? "no responder on port 137"
                                              : error.c_str());
        return;
    }
    // Long enough never to end a lookup that is merely queued behind 65000
    // others; short enough that a lost answer does not hold up the run.
    const nv::message request = nodeStatusRequest(kAnsweringHost, 5000);
    for (uint32_t i = 0; i < inFlight; ++i) {
        if (client.send(request, 0, &error) == 0) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    uint64_t timeouts = 0, unexpected = 0;
    std::string firstUnexpected;
    auto tally = [&](const nv::message& reply) {
        if (isTimeout(reply)) {
            ++timeouts;
        } else if (reply.status() != nv::ReplyStatus::plain ||
                   reply.get<nv::string_id>(field::host_name) != "BENCHHOST") {
            if (unexpected++ == 0) firstUnexpected = reply.statusText();
        }
    };
    uint32_t sequence;
    nv::message reply;
    const ProcessReadings readings(service.pid());
    const std::set<unsigned long> serviceSockets = readings.socketInodes();
    const unsigned long serviceDropsStart = udpDrops(serviceSockets);
    const unsigned long responderDropsStart = udpDrops({responder.inode()});
    const double serviceStart = readings.cpuSeconds();
    const double peerStart = responder.cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!client.nextReply(&sequence, &reply, 30000, &error) || client.send(request, 0, &error) == 0) {
            state.SkipWithError(error.c_str());
            return;
        }
        tally(reply);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double serviceUsed = readings.cpuSeconds() - serviceStart;
    state.counters["service_cpu"] = serviceUsed / wall;
    state.counters["peer_cpu"] = (responder.cpuSeconds() - peerStart) / wall;
    state.counters["service_drops"] = static_cast<double>(udpDrops(serviceSockets) - serviceDropsStart);
    state.counters["responder_drops"] = static_cast<double>(udpDrops({responder.inode()}) - responderDropsStart);
    state.counters["service_us_per_lookup"] = serviceUsed * 1e6 / static_cast<double>(state.iterations());
    // Replies per second count the timeouts too; these are the answers.
    state.counters["answered_per_second"] =
        static_cast<double>(state.iterations() - timeouts) / wall;
    for (uint32_t i = 0; i < inFlight; ++i) {
        if (!client.nextReply(&sequence, &reply, 30000, &error)) break;
        tally(reply);
    }
    state.counters["timeouts"] = static_cast<double>(timeouts);
    state.counters["unexpected"] = static_cast<double>(unexpected);
    if (unexpected) state.SetLabel("first unexpected: " + firstUnexpected);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NetbiosLookup)
    ->Arg(256)
    ->Arg(4096)
    ->Arg(NetbiosEndpoint::kQueryIds)
    ->Iterations(300000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Resident memory with state.range(0) lookups pending at a host whose port
// 137 is bound (so no port-unreachable) and never read. A refused TCP probe
// sent after them answers once every lookup has started; with all 65000
// ids taken, one more lookup must be refused with "too many requests".
// The pending lookups end by their timeout; the memory is read again then.
void BM_NetbiosPendingMemory(benchmark::State& state) {
    const auto count = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (silent < 0 || bindIpv4(silent, kSilentHost, NetbiosPacket::kPort) == 0) {
            state.SkipWithError("no silent socket on port 137");
            if (silent >= 0) close(silent);
            return;
        }
        ServiceProcess service(quietService());
        const ProcessReadings readings(service.pid());
        nv::BusClient client;
        std::string error;
        if (!service.ready() || !client.connect(service.busPath(), &error)) {
            state.SkipWithError(service.ready() ? error.c_str() : service.error().c_str());
            close(silent);
            return;
        }
        uint32_t sequence;
        nv::message reply;
        // A few first, so that idle means warmed up.
        for (int i = 0; i < 64; ++i) client.send(nodeStatusRequest(kSilentHost, 100), 0, &error);
        for (int i = 0; i < 64; ++i) client.nextReply(&sequence, &reply, 30000, &error);
        const long idleKiB = readings.residentKiB();

        const nv::message request = nodeStatusRequest(kSilentHost, 8000);
        for (uint32_t i = 0; i < count; ++i) client.send(request, 0, &error);
        uint32_t overflow = count == NetbiosEndpoint::kQueryIds ? client.send(request, 0, &error) : 0;
        nv::message refusedProbe;
        refusedProbe.insert<nv::u32_id>(field::command, CMD_TCP_PROBE);
        refusedProbe.insert<nv::be32_id>(field::address, ipv4(kRefusingHost));
        refusedProbe.insert<nv::u32_id>(field::port, closedTcpPort(kRefusingHost));
        uint32_t last = client.send(refusedProbe, 0, &error);
        if (last == 0 || !client.waitReply(last, &reply, 30000, &error)) {
            state.SkipWithError(("the probe after the lookups: " + error).c_str());
            close(silent);
            return;
        }
        const long heldKiB = readings.residentKiB();
        if (overflow) {
            bool refused = client.waitReply(overflow, &reply, 30000, &error) &&
                           reply.status() == nv::ReplyStatus::failed && reply.statusText() == "too many requests";
            state.counters["too_many_requests"] = refused ? 1 : 0;
        }
        uint64_t timeouts = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (!client.nextReply(&sequence, &reply, 60000, &error)) break;
            if (isTimeout(reply)) ++timeouts;
        }
        state.counters["rss_idle_kib"] = static_cast<double>(idleKiB);
        state.counters["rss_held_kib"] = static_cast<double>(heldKiB);
        state.counters["rss_after_kib"] = static_cast<double>(readings.residentKiB());
        state.counters["bytes_per_lookup"] = static_cast<double>(heldKiB - idleKiB) * 1024.0 / count;
        state.counters["timeouts"] = static_cast<double>(timeouts);
        close(silent);
    }
}
BENCHMARK(BM_NetbiosPendingMemory)
    ->Arg(10000)
    ->Arg(NetbiosEndpoint::kQueryIds)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
