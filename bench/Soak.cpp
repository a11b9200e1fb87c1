// netprobe_soak: the real netprobed under a long mixed load, thousands of
// requests in flight on one bus connection, of every kind and outcome:
// TCP probes refused, reset, closed, never answered, and banner dialogues;
// UDP probes answered and sent to closed ports; raw sends; NetBIOS lookups
// answered, unanswered, and answered from another address than the one
// asked. Junk bus packets (on connections of their own) and junk datagrams
// to the service's shared UDP port come in between.
//
// It counts the replies to each request (exactly one for commands 1 to 3,
// none for raw sends) and each kind's outcomes against the one expected,
// and reads the service's descriptors, resident memory and CPU time at the
// start, at their peak, and at the end, once lingering connections have
// had time to close. Exit status 0 only when no reply was lost, duplicated
// or unexpected and the service holds as many descriptors as it started
// with; 1 otherwise, with the reasons; 2 for a usage error. A progress
// line every tenth of the run shows trends; --only narrows the mix to some
// kinds, to chase one finding.
//
// The peers are threads of this process; the service is its own process,
// stopped by its process id. Traffic stays on 127.12.0.0/16. The NetBIOS
// peers bind port 137, which takes root; without it the lookups that need
// them are left out.
#include "nv/BusClient.h"
#include "nv/WireCodec.h"
#include "nv/message.h"
#include "protocol/Fields.h"
#include "bench/LoopbackTcpServer.h"
#include "tests/kit/NbstatBuilder.h"
#include "tests/kit/NodeStatusRequest.h"
#include "bench/ProcessReadings.h"
#include "tests/kit/ServiceProcess.h"
#include "tests/kit/Sockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// --- Where the peers are -------------------------------------------------

constexpr uint16_t kNetbiosPort = 137;

// The soak's hosts are 127.12.<block>.<n>. The block is the first one whose
// port 137 is free, so that soaks running side by side (the test runs of
// two builds) each have their own responders.
std::string gBlock = "127.12.0.";

std::string host(int n) {
    return gBlock + std::to_string(n);
}

std::vector<std::string> hostRange(int first, int count) {
    std::vector<std::string> hosts;
    for (int i = 0; i < count; ++i) hosts.push_back(host(first + i));
    return hosts;
}

constexpr int kRefusingHost = 3;
constexpr int kEchoHost = 5;
constexpr int kClosedUdpHost = 6;
constexpr int kSinkHost = 7;
constexpr int kAnsweringHost = 8;
constexpr int kUnansweredHost = 9;
// Lookups go to the asked host; its answers leave from the forger's
// address (same port 137), which the service must not take.
constexpr int kAskedHost = 10;
constexpr int kForgerHost = 11;
// Junk datagrams come from here: no lookup ever goes to it.
constexpr int kJunkHost = 12;
// Eight addresses per TCP server: the connections that end in TIME_WAIT
// spread over eight destinations instead of crowding one.
constexpr int kBannerHosts = 16, kSilentHosts = 24, kClosingHosts = 32, kResettingHosts = 40;

// Picks gBlock: false when port 137 cannot be bound at all (not root).
bool pickBlock() {
    for (int block = 0; block < 64; ++block) {
        const std::string candidate = "127.12." + std::to_string(block) + ".";
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        const bool bound = bindIpv4(fd, (candidate + std::to_string(kAnsweringHost)).c_str(), kNetbiosPort) != 0;
        const int error = errno;
        close(fd);
        if (bound) {
            gBlock = candidate;
            return true;
        }
        if (error != EADDRINUSE) return false;
    }
    return false;
}

constexpr size_t kNodeStatusQuerySize = 50;

// Requests that must end by their timeout get a short one; those that must
// be answered a long one, so that a slow (emulated, instrumented) service
// still answers them in time.
constexpr uint32_t kShortTimeoutMs = 200;
constexpr uint32_t kAnswerTimeoutMs = 15000;
// After the last request is sent, how long its replies may take.
constexpr int kGraceMs = kAnswerTimeoutMs + 15000;

constexpr uint32_t kBadMessageError = 0xff0003;
// One junk datagram to the service's UDP port per this many requests, and
// one connection with malformed bus packets per this many.
constexpr uint64_t kJunkDatagramEvery = 20;
constexpr uint64_t kJunkConnectionEvery = 250;
constexpr size_t kJunkConnectionsAtOnce = 4;
constexpr int kJunkConnectionPatienceMs = 30000;

constexpr int kSampleEveryMs = 100;
constexpr int kSettleMs = 5000;

// --- Options -------------------------------------------------------------

enum Kind : uint8_t {
    kTcpRefused,
    kTcpReset,
    kTcpClosed,
    kTcpSilent,
    kTcpBanner,
    kUdpAnswered,
    kUdpClosed,
    kRawSend,
    kNetbiosAnswered,
    kNetbiosUnanswered,
    kNetbiosForged,
    kKindCount
};

constexpr const char* kKindNames[kKindCount] = {
    "tcp-refused",  "tcp-reset",  "tcp-closed",       "tcp-silent",         "tcp-banner",    "udp-answered",
    "udp-closed",   "raw-send",   "netbios-answered", "netbios-unanswered", "netbios-forged"};

struct Options {
    uint64_t requests = 1000000;
    uint64_t inFlight = 2000;
    uint64_t maxSeconds = 1800;
    uint64_t seed = 20261206;
    bool only[kKindCount] = {};  // none set: every kind
};

// "udp-answered,tcp-reset" into options->only.
bool parseKinds(const char* text, Options* options) {
    if (text == nullptr) return false;
    std::string rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string name = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        const auto* found = std::find_if(std::begin(kKindNames), std::end(kKindNames),
                                         [&name](const char* known) { return name == known; });
        if (found == std::end(kKindNames)) return false;
        options->only[found - std::begin(kKindNames)] = true;
    }
    return true;
}

bool parseNumber(const char* text, uint64_t low, uint64_t high, uint64_t* out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || value < low || value > high) return false;
    *out = value;
    return true;
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = false;
        if (name == "--requests") ok = parseNumber(value, 1, 100000000, &options->requests);
        else if (name == "--in-flight") ok = parseNumber(value, 1, 60000, &options->inFlight);
        else if (name == "--max-seconds") ok = parseNumber(value, 1, 86400, &options->maxSeconds);
        else if (name == "--seed") ok = parseNumber(value, 0, UINT32_MAX, &options->seed);
        else if (name == "--only") ok = parseKinds(value, options);
        if (!ok) return false;
        ++i;
    }
    return true;
}

// --- UDP peers -----------------------------------------------------------

// A UDP socket bound to address:port with room for bursts; -1 on failure.
int openUdp(const std::string& address, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int size = 8 << 20;  // past rmem_max as root; the system's cap otherwise
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (bindIpv4(fd, address.c_str(), port) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t closedUdpPort(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    const uint16_t port = bindIpv4(fd, address.c_str(), 0);
    close(fd);
    return port;
}

sockaddr_in socketAddress(const char* address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ipv4(address);
    return to;
}

// The UDP peers, served by one thread: an echo for the UDP probes that are
// answered, a sink that counts raw sends, and (when port 137 can be bound)
// a node-status responder and the asked host whose answers the forger
// sends from its own address. Stopped through an eventfd.
class UdpPeers {
public:
    explicit UdpPeers(bool netbios)
        : answer_(nbstatResponse(0, {{"SOAKHOST", 0x00, false}, {"SOAKGROUP", 0x00, true}})) {
        wake_ = eventfd(0, EFD_CLOEXEC);
        echo_ = openUdp(host(kEchoHost), 0);
        sink_ = openUdp(host(kSinkHost), 0);
        if (netbios) {
            responder_ = openUdp(host(kAnsweringHost), kNetbiosPort);
            asked_ = openUdp(host(kAskedHost), kNetbiosPort);
            forger_ = openUdp(host(kForgerHost), kNetbiosPort);
            if (responder_ < 0 || asked_ < 0 || forger_ < 0) closeNetbios();
        }
        if (wake_ >= 0 && echo_ >= 0 && sink_ >= 0) thread_ = std::thread([this] { serve(); });
    }
    ~UdpPeers() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            ssize_t ignored = write(wake_, &one, sizeof one);
            (void)ignored;
            thread_.join();
        }
        closeNetbios();
        for (int fd : {wake_, echo_, sink_})
            if (fd >= 0) close(fd);
    }
    UdpPeers(const UdpPeers&) = delete;
    UdpPeers& operator=(const UdpPeers&) = delete;

    bool ok() const { return thread_.joinable(); }
    bool netbios() const { return responder_ >= 0; }
    uint16_t echoPort() const { return portOf(echo_); }
    uint16_t sinkPort() const { return portOf(sink_); }

    // The service's shared UDP port, the source of its raw sends and
    // lookups; waits up to timeoutMs for the first of them. 0: none came.
    uint16_t waitForServicePort(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        seen_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return servicePort_ != 0; });
        return servicePort_;
    }

    uint64_t echoed() const { return echoed_; }
    uint64_t sunk() const { return sunk_; }
    uint64_t answered() const { return answered_; }
    uint64_t forged() const { return forged_; }
    // Datagrams from the service on its shared port's peers that came from
    // another port than the first one seen.
    uint64_t strayPorts() const { return strayPorts_; }

private:
    enum class Role { echo, sink, responder, asked };

    static uint16_t portOf(int fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    void closeNetbios() {
        for (int* fd : {&responder_, &asked_, &forger_}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }

    void serve() {
        std::vector<pollfd> fds = {{wake_, POLLIN, 0}, {echo_, POLLIN, 0}, {sink_, POLLIN, 0}};
        std::vector<Role> roles = {Role::echo, Role::echo, Role::sink};
        if (netbios()) {
            fds.push_back({responder_, POLLIN, 0});
            fds.push_back({asked_, POLLIN, 0});
            roles.push_back(Role::responder);
            roles.push_back(Role::asked);
        }
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            for (size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents) drain(fds[i].fd, roles[i]);
        }
    }

    // Reads what is there, a bounded batch, and answers as the role says.
    void drain(int fd, Role role) {
        for (int i = 0; i < 256; ++i) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(fd, buffer_, sizeof buffer_, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 0) return;
            const auto size = static_cast<size_t>(got);
            const auto* to = reinterpret_cast<const sockaddr*>(&from);
            switch (role) {
            case Role::echo:
                if (sendto(echo_, buffer_, size, 0, to, sizeof from) >= 0) ++echoed_;
                break;
            case Role::sink:
                noteServicePort(from);
                ++sunk_;
                break;
            case Role::responder:
            case Role::asked:
                noteServicePort(from);
                if (size != kNodeStatusQuerySize) break;
                answer_[0] = buffer_[0];  // the transaction id
                answer_[1] = buffer_[1];
                if (role == Role::responder) {
                    if (sendto(responder_, answer_.data(), answer_.size(), 0, to, sizeof from) >= 0) ++answered_;
                } else {
                    if (sendto(forger_, answer_.data(), answer_.size(), 0, to, sizeof from) >= 0) ++forged_;
                }
                break;
            }
        }
    }

    void noteServicePort(const sockaddr_in& from) {
        const uint16_t port = ntohs(from.sin_port);
        if (port == knownPort_) return;
        if (knownPort_ != 0) {
            ++strayPorts_;
            return;
        }
        knownPort_ = port;
        std::lock_guard<std::mutex> lock(mutex_);
        servicePort_ = port;
        seen_.notify_all();
    }

    std::vector<uint8_t> answer_;
    uint8_t buffer_[2048];
    int wake_ = -1, echo_ = -1, sink_ = -1, responder_ = -1, asked_ = -1, forger_ = -1;
    uint16_t knownPort_ = 0;  // the serving thread's copy
    std::mutex mutex_;
    std::condition_variable seen_;
    uint16_t servicePort_ = 0;
    // Words, not 64 bits: 64-bit atomics need libatomic on the 32-bit device.
    std::atomic<unsigned long> echoed_{0}, sunk_{0}, answered_{0}, forged_{0}, strayPorts_{0};
    std::thread thread_;
};

// --- Requests, kinds and outcomes ----------------------------------------

nv::message probeRequest(uint32_t command, const std::string& host, uint16_t port, uint32_t timeoutMs) {
    nv::message request;
    request.insert<nv::u32_id>(field::command, command);
    request.insert<nv::be32_id>(field::address, ipv4(host.c_str()));
    request.insert<nv::u32_id>(field::port, port);
    request.insert<nv::u32_id>(field::timeout, timeoutMs);
    return request;
}

struct KindState {
    const char* name = "";
    const char* expectation = "";
    std::vector<nv::message> requests;  // taken in turn
    size_t next = 0;
    std::function<bool(const nv::message&)> expected;  // none for raw sends
    bool enabled = false;  // part of the mix
    uint64_t sent = 0;
    uint64_t unexpected = 0;
    std::map<std::string, uint64_t> outcomes;
};

bool isTimeout(const nv::message& reply) {
    return reply.status() == nv::ReplyStatus::error && reply.errorCode() == kTimeoutError;
}

bool failedWithErrno(const nv::message& reply, const char* call, int error) {
    const std::string& text = reply.statusText();
    const std::string tail = " (errno " + std::to_string(error) + ")";
    return reply.status() == nv::ReplyStatus::failed && (call == nullptr || text.rfind(call, 0) == 0) &&
           text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string outcomeOf(const nv::message& reply) {
    switch (reply.status()) {
    case nv::ReplyStatus::plain: return "success";
    case nv::ReplyStatus::failed: return "failed \"" + reply.statusText() + "\"";
    case nv::ReplyStatus::error: break;
    }
    if (isTimeout(reply)) return "timeout";
    return "error " + std::to_string(reply.errorCode()) + " \"" + reply.statusText() + "\"";
}

// --- Malformed bus packets -----------------------------------------------

void put32(std::string* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(value >> shift));
}

// A packet with the right magic and a whole header that is malformed in
// one of a dozen ways: the service answers it with "bad message".
std::string malformedPacket(uint32_t sequence, uint32_t variant) {
    uint8_t version = nv::wire::kVersion, kind = 1, status = 0, reserved = 0;
    uint32_t textLength = 0;
    std::string fields;
    auto field = [&fields](uint32_t key, uint8_t type) {
        put32(&fields, key);
        fields.push_back(static_cast<char>(type));
    };
    switch (variant % 12) {
    case 0: version = 2; break;
    case 1: kind = 3; break;
    case 2: reserved = 1; break;
    case 3: status = 1; break;
    case 4: textLength = 5; break;
    case 5:  // a string said to be 100 bytes long, with 3
        field(field::send_0, 4);
        put32(&fields, 100);
        fields += "abc";
        break;
    case 6: field(field::port, 9); put32(&fields, 1); break;
    case 7: field(field::skip_first_expect, 3); fields.push_back(2); break;
    case 8:
        for (int i = 0; i < 2; ++i) {
            field(field::port, 1);
            put32(&fields, 80);
        }
        break;
    case 9: kind = 2; break;  // a reply sent to the service
    case 10:
        for (uint32_t key = 1; key <= nv::wire::kMaxFields + 1; ++key) {
            field(key, 1);
            put32(&fields, key);
        }
        break;
    default:  // one byte past the packet limit
        field(field::payload, 4);
        put32(&fields, static_cast<uint32_t>(nv::wire::kMaxPacket));
        fields.append(nv::wire::kMaxPacket - nv::wire::kHeaderSize - 9 + 1, 'x');
        break;
    }
    std::string packet;
    put32(&packet, nv::wire::kMagic);
    packet += {static_cast<char>(version), static_cast<char>(kind), static_cast<char>(status),
               static_cast<char>(reserved)};
    put32(&packet, sequence);
    put32(&packet, 0);
    put32(&packet, textLength);
    return packet + fields;
}

// Bytes with no header the service can read (too short, or the wrong
// magic): the service closes the connection without a word.
std::string headerlessPacket(std::mt19937& random) {
    const bool shortOne = random() % 2 == 0;
    const size_t size = shortOne ? random() % nv::wire::kHeaderSize : nv::wire::kHeaderSize + random() % 64;
    std::string packet(size, '\0');
    for (char& c : packet) c = static_cast<char>(random());
    if (!packet.empty() && packet[0] == 'N') packet[0] = 'M';
    return packet;
}

// A connection that sends one malformed packet, waits for its "bad
// message" reply, then sends one without a header and waits to be closed.
struct JunkConnection {
    std::unique_ptr<nv::BusClient> client;
    uint32_t sequence = 0;
    bool awaitingClose = false;
    Clock::time_point deadline;
};

// A process's open descriptors, each with what it refers to
// ("socket:[123]", a path).
std::map<int, std::string> descriptorTargets(pid_t pid) {
    std::map<int, std::string> targets;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (!dir) return targets;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[256];
        const ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        targets[std::atoi(entry->d_name)] = length > 0 ? std::string(target, static_cast<size_t>(length)) : "?";
    }
    closedir(dir);
    return targets;
}

// --- The run -------------------------------------------------------------

class Soak {
public:
    Soak(const Options& options, ServiceProcess& service, UdpPeers& peers)
        : options_(options),
          service_(service),
          peers_(peers),
          readings_(service.pid()),
          random_(static_cast<uint32_t>(options.seed)) {
        kindOf_.assign(options.requests + 1, kKindCount);
        replies_.assign(options.requests + 1, 0);
        buffer_.resize(nv::wire::kMaxPacket + 1);
    }
    ~Soak() {
        if (junkUdp_ >= 0) close(junkUdp_);
    }
    Soak(const Soak&) = delete;
    Soak& operator=(const Soak&) = delete;

    // The peers' ports go into the requests here.
    void addKinds(const LoopbackTcpServer& banner, const LoopbackTcpServer& silent,
                  const LoopbackTcpServer& closing, const LoopbackTcpServer& resetting) {
        auto tcp = [](const std::vector<std::string>& hosts, const LoopbackTcpServer& server, uint32_t timeoutMs,
                      const std::function<void(nv::message&)>& dialogue) {
            std::vector<nv::message> requests;
            for (size_t i = 0; i < hosts.size(); ++i) {
                requests.push_back(probeRequest(CMD_TCP_PROBE, hosts[i], server.ports()[i], timeoutMs));
                dialogue(requests.back());
            }
            return requests;
        };
        auto awaitGreeting = [](nv::message& request) { request.insert<nv::string_id>(field::expect_0, "^220 "); };

        add(kTcpRefused, "failed \"connect: ... (errno ECONNREFUSED)\"",
            {probeRequest(CMD_TCP_PROBE, host(kRefusingHost), closedTcpPort(host(kRefusingHost).c_str()),
                          kAnswerTimeoutMs)},
            [](const nv::message& r) { return failedWithErrno(r, "connect: ", ECONNREFUSED); });
        add(kTcpReset, "failed \"...: ... (errno ECONNRESET)\"",
            tcp(hostRange(kResettingHosts, 8), resetting, kAnswerTimeoutMs, awaitGreeting),
            [](const nv::message& r) { return failedWithErrno(r, nullptr, ECONNRESET); });
        add(kTcpClosed, "failed \"connection closed\"",
            tcp(hostRange(kClosingHosts, 8), closing, kAnswerTimeoutMs, awaitGreeting), [](const nv::message& r) {
                return r.status() == nv::ReplyStatus::failed && r.statusText() == "connection closed";
            });
        add(kTcpSilent, "timeout",
            tcp(hostRange(kSilentHosts, 8), silent, kShortTimeoutMs, awaitGreeting), isTimeout);
        add(kTcpBanner, "success, connected",
            tcp(hostRange(kBannerHosts, 8), banner, kAnswerTimeoutMs,
                [](nv::message& request) {
                    request.insert<nv::string_id>(field::expect_0, "^220 ");
                    request.insert<nv::string_id>(field::send_1, "HELO soak\r\n");
                    request.insert<nv::string_id>(field::expect_1, "^250 ");
                }),
            [](const nv::message& r) {
                return r.status() == nv::ReplyStatus::plain && r.get<nv::bool_id>(field::connected);
            });

        nv::message echo = probeRequest(CMD_UDP_PROBE, host(kEchoHost), peers_.echoPort(), kAnswerTimeoutMs);
        echo.insert<nv::string_id>(field::send_0, "soak ping\n");
        echo.insert<nv::string_id>(field::expect_0, "^soak ping\n$");
        add(kUdpAnswered, "success", {echo},
            [](const nv::message& r) { return r.status() == nv::ReplyStatus::plain; });
        nv::message closedUdp = probeRequest(CMD_UDP_PROBE, host(kClosedUdpHost), closedUdpPort(host(kClosedUdpHost)),
                                             kShortTimeoutMs);
        closedUdp.insert<nv::string_id>(field::send_0, "anyone?\n");
        add(kUdpClosed, "timeout", {closedUdp}, isTimeout);

        nv::message raw = probeRequest(CMD_UDP_SEND, host(kSinkHost), peers_.sinkPort(), 0);
        raw.erase(field::timeout);
        raw.insert<nv::string_id>(field::payload, "soak raw datagram");
        add(kRawSend, "no reply", {raw}, nullptr);

        add(kNetbiosUnanswered, "timeout",
            {nodeStatusRequest(host(kUnansweredHost).c_str(), kShortTimeoutMs)}, isTimeout);
        if (peers_.netbios()) {
            add(kNetbiosAnswered, "success, SOAKHOST and SOAKGROUP",
                {nodeStatusRequest(host(kAnsweringHost).c_str(), kAnswerTimeoutMs)}, [](const nv::message& r) {
                    return r.status() == nv::ReplyStatus::plain &&
                           r.get<nv::string_id>(field::host_name) == "SOAKHOST" &&
                           r.get<nv::string_id>(field::group_name) == "SOAKGROUP";
                });
            add(kNetbiosForged, "timeout",
                {nodeStatusRequest(host(kAskedHost).c_str(), kShortTimeoutMs)}, isTimeout);
        }
    }

    // Everything up to the figures; false (with the reason printed) when
    // the run could not be made at all.
    bool run() {
        std::string error;
        if (!bus_.connect(service_.busPath(), &error)) return fatal("bus: " + error);
        junkUdp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (junkUdp_ < 0 || bindIpv4(junkUdp_, host(kJunkHost).c_str(), 0) == 0)
            return fatal("no junk datagram socket");

        if (enabled_.empty()) return fatal("no kind of request to send");
        if (!warmUp(&error)) return fatal("warm-up: " + error);
        fdsStart_ = fdsPeak_ = settledDescriptors();
        targetsStart_ = descriptorTargets(service_.pid());
        rssStart_ = rssPeak_ = readings_.residentKiB();
        cpuStart_ = readings_.cpuSeconds();
        start_ = Clock::now();
        const Clock::time_point endOfRun = start_ + std::chrono::seconds(options_.maxSeconds);
        Clock::time_point nextSample = start_;
        Clock::time_point graceEnd = Clock::time_point::max();
        uint64_t nextProgress = std::max<uint64_t>(options_.requests / 10, 1);

        while (!busLost_) {
            const Clock::time_point now = Clock::now();
            if (now >= endOfRun) {
                overran_ = true;
                break;
            }
            if (now >= nextSample) {
                sample();
                nextSample = now + std::chrono::milliseconds(kSampleEveryMs);
            }
            if (sent_ >= nextProgress) {
                progress();
                nextProgress += std::max<uint64_t>(options_.requests / 10, 1);
            }
            fill();
            if (sent_ == options_.requests && graceEnd == Clock::time_point::max())
                graceEnd = now + std::chrono::milliseconds(kGraceMs);
            if (sent_ == options_.requests && awaiting_ == 0 && junk_.empty()) break;
            if (now >= graceEnd) break;
            const auto untilSample =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextSample - now).count();
            waitAndRead(static_cast<int>(std::clamp<long long>(untilSample, 0, kSampleEveryMs)));
        }
        dropJunkConnections();
        settle();
        seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
        return true;
    }

    // The figures, the final line, and the verdict (the exit status).
    int report(int serviceStatus) {
        uint64_t lost = 0;
        for (uint64_t sequence = 1; sequence <= sent_; ++sequence)
            if (kindOf_[sequence] != kRawSend && replies_[sequence] == 0) ++lost;
        const double cpuUsPerRequest = sent_ ? (cpuEnd_ - cpuStart_) * 1e6 / static_cast<double>(sent_) : 0;

        std::printf("\nrequests sent: %llu (%llu expecting one reply each, %llu raw sends expecting none)\n",
                    ull(sent_), ull(sent_ - kinds_[kRawSend].sent), ull(kinds_[kRawSend].sent));
        std::printf("replies received: %llu\n", ull(repliesTotal_));
        std::printf("lost (no reply by the end of the grace wait): %llu\n", ull(lost));
        std::printf("duplicated (a further reply to one sequence): %llu\n", ull(duplicated_));
        std::printf("replies to raw sends: %llu\n", ull(rawReplies_));
        std::printf("replies with a sequence never sent, or that did not decode: %llu\n", ull(strayReplies_));
        for (const KindState& kind : kinds_) {
            if (!kind.enabled) continue;
            std::printf("%s: sent %llu, expected %s\n", kind.name, ull(kind.sent), kind.expectation);
            for (const auto& [outcome, count] : kind.outcomes)
                std::printf("    %s: %llu\n", outcome.c_str(), ull(count));
            if (kind.unexpected) std::printf("    UNEXPECTED: %llu\n", ull(kind.unexpected));
        }
        if (!peers_.netbios()) std::printf("netbios-answered and netbios-forged: left out (port 137 takes root)\n");
        std::printf("raw sends that reached the sink: %llu of %llu\n", ull(peers_.sunk()),
                    ull(kinds_[kRawSend].sent + 1));  // and the warm-up's
        std::printf("datagrams from the service on another port than its shared one: %llu\n",
                    ull(peers_.strayPorts()));
        std::printf("junk datagrams sent to the service's UDP port %u: %llu\n", servicePort_, ull(junkDatagrams_));
        std::printf("connections with malformed bus packets: %llu; answered \"bad message\": %llu; "
                    "closed after a packet without a header: %llu; failed: %llu\n",
                    ull(junkConnections_), ull(junkAnswered_), ull(junkClosed_), ull(junkFailures_));
        std::printf("peers: %llu echoed, %llu lookups answered, %llu answered from the forger's address\n",
                    ull(peers_.echoed()), ull(peers_.answered()), ull(peers_.forged()));
        std::printf("service descriptors: start %d, peak %d, end %d\n", fdsStart_, fdsPeak_, fdsEnd_);
        for (const auto& [fd, target] : targetsEnd_) {
            const auto before = targetsStart_.find(fd);
            if (before == targetsStart_.end() || before->second != target)
                std::printf("    open at the end, not at the start: descriptor %d, %s\n", fd, target.c_str());
        }
        for (const auto& [fd, target] : targetsStart_)
            if (!targetsEnd_.empty() && targetsEnd_.count(fd) == 0)
                std::printf("    open at the start, not at the end: descriptor %d, %s\n", fd, target.c_str());
        std::printf("service resident memory: start %ld KiB, peak %ld KiB, end %ld KiB\n", rssStart_, rssPeak_,
                    rssEnd_);
        std::printf("service CPU time per request: %.1f us\n", cpuUsPerRequest);
        std::printf("wall time: %.1f s (%.0f requests/s)\n", seconds_,
                    seconds_ > 0 ? static_cast<double>(sent_) / seconds_ : 0.0);

        const uint64_t unexpected = unexpected_ + rawReplies_ + strayReplies_ + junkFailures_;
        std::printf("soak: requests=%llu replies=%llu lost=%llu duplicated=%llu unexpected=%llu fds_start=%d "
                    "fds_peak=%d fds_end=%d rss_start_kb=%ld rss_peak_kb=%ld rss_end_kb=%ld "
                    "cpu_us_per_request=%.1f seconds=%.0f\n",
                    ull(sent_), ull(repliesTotal_), ull(lost), ull(duplicated_), ull(unexpected), fdsStart_,
                    fdsPeak_, fdsEnd_, rssStart_, rssPeak_, rssEnd_, cpuUsPerRequest, seconds_);

        std::vector<std::string> reasons;
        if (busLost_) reasons.push_back("the service closed the bus connection: " + busError_);
        if (overran_) reasons.push_back("not done within --max-seconds " + std::to_string(options_.maxSeconds));
        if (sent_ < options_.requests)
            reasons.push_back("only " + std::to_string(sent_) + " of " + std::to_string(options_.requests) +
                              " requests sent");
        if (lost) reasons.push_back(std::to_string(lost) + " replies lost");
        if (duplicated_) reasons.push_back(std::to_string(duplicated_) + " replies duplicated");
        if (unexpected) reasons.push_back(std::to_string(unexpected) + " unexpected replies or outcomes");
        if (!firstJunkFailure_.empty()) reasons.push_back("first junk connection failure: " + firstJunkFailure_);
        if (fdsEnd_ != fdsStart_)
            reasons.push_back("the service holds " + std::to_string(fdsEnd_) + " descriptors, " +
                              std::to_string(fdsStart_) + " at the start");
        if (serviceStatus != 0)
            reasons.push_back("the service did not end cleanly on SIGTERM (status " + std::to_string(serviceStatus) +
                              ")");
        for (const std::string& reason : reasons) std::printf("FAIL: %s\n", reason.c_str());
        if (reasons.empty()) std::printf("PASS\n");
        return reasons.empty() ? 0 : 1;
    }

    bool fatal(const std::string& reason) {
        std::fprintf(stderr, "netprobe_soak: %s\n", reason.c_str());
        return false;
    }

private:
    static unsigned long long ull(uint64_t value) { return value; }

    // A kind's requests and expected outcome; it joins the mix unless
    // --only leaves it out.
    void add(Kind kind, const char* expectation, std::vector<nv::message> requests,
             std::function<bool(const nv::message&)> expected) {
        KindState& state = kinds_[kind];
        state.name = kKindNames[kind];
        state.expectation = expectation;
        state.requests = std::move(requests);
        state.expected = std::move(expected);
        state.enabled = std::none_of(std::begin(options_.only), std::end(options_.only), [](bool on) { return on; }) ||
                        options_.only[kind];
        if (state.enabled) enabled_.push_back(kind);
    }

    // A few requests of every kind and a junk datagram on a connection of
    // their own, so that what the service sets up once (its diagnostic
    // log's own descriptor, at the first line) counts in the start. The
    // first is a raw send: its arrival at the sink names the service's
    // shared UDP port, the target of the junk datagrams.
    bool warmUp(std::string* error) {
        nv::BusClient client;
        if (!client.connect(service_.busPath(), error)) return false;
        if (client.send(kinds_[kRawSend].requests.front(), 0, error) == 0) return false;
        servicePort_ = peers_.waitForServicePort(20000);
        if (servicePort_ == 0) {
            *error = "the first raw send never reached the sink";
            return false;
        }
        junkTarget_ = socketAddress(host(kJunkHost).c_str(), servicePort_);
        sendJunkDatagram();
        int awaited = 0;
        for (Kind kind : enabled_) {
            if (kind == kRawSend) continue;
            for (const nv::message& request : kinds_[kind].requests) {
                if (client.send(request, 0, error) == 0) return false;
                ++awaited;
            }
        }
        uint32_t sequence;
        nv::message reply;
        for (int i = 0; i < awaited; ++i)
            if (!client.nextReply(&sequence, &reply, kGraceMs, error)) return false;
        return true;
    }

    // The service's descriptors once three readings in a row agree (a
    // connection closed by a client is closed in the service soon after),
    // 5 s at most.
    int settledDescriptors() {
        int last = readings_.openDescriptors();
        for (int same = 0, polls = 0; same < 3 && polls < 50; ++polls) {
            poll(nullptr, 0, kSampleEveryMs);
            const int now = readings_.openDescriptors();
            same = now == last ? same + 1 : 0;
            last = now;
        }
        return last;
    }

    // Sends while fewer than --in-flight replies are awaited; stops when
    // the socket is full (the packet waits in pending_) or every request
    // is out.
    void fill() {
        for (int burst = 0; burst < 1024 && sent_ < options_.requests && awaiting_ < options_.inFlight; ++burst) {
            if (pending_.empty()) {
                pendingKind_ = enabled_[random_() % enabled_.size()];
                KindState& kind = kinds_[pendingKind_];
                const nv::message& request = kind.requests[kind.next++ % kind.requests.size()];
                pending_ = nv::wire::encode(nv::wire::Kind::request, static_cast<uint32_t>(sent_ + 1), 0, request);
            }
            if (::send(bus_.fd(), pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS) return;
                busLost_ = true;
                busError_ = std::string("send: ") + std::strerror(errno);
                return;
            }
            pending_.clear();
            kindOf_[++sent_] = pendingKind_;
            ++kinds_[pendingKind_].sent;
            if (pendingKind_ != kRawSend) ++awaiting_;
            if (sent_ % kJunkDatagramEvery == 0) sendJunkDatagram();
            if (sent_ % kJunkConnectionEvery == 0 && junk_.size() < kJunkConnectionsAtOnce) openJunkConnection();
        }
    }

    // Polls the bus and the junk connections up to timeoutMs, then reads
    // what came.
    void waitAndRead(int timeoutMs) {
        std::vector<pollfd> fds;
        short busEvents = POLLIN;
        if (!pending_.empty()) busEvents |= POLLOUT;
        fds.push_back({bus_.fd(), busEvents, 0});
        for (const JunkConnection& junk : junk_) fds.push_back({junk.client->fd(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) return;
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) readReplies();
        const Clock::time_point now = Clock::now();
        for (size_t i = junk_.size(); i-- > 0;) {
            if (fds[i + 1].revents != 0) {
                if (!onJunkReadable(junk_[i])) junk_.erase(junk_.begin() + static_cast<long>(i));
            } else if (now >= junk_[i].deadline) {
                junkFailed(junk_[i].awaitingClose ? "not closed after a packet without a header"
                                                  : "no reply to a malformed packet");
                junk_.erase(junk_.begin() + static_cast<long>(i));
            }
        }
    }

    void readReplies() {
        for (int i = 0; i < 4096; ++i) {
            const ssize_t got = recv(bus_.fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
                busLost_ = true;
                busError_ = std::string("recv: ") + std::strerror(errno);
                return;
            }
            if (got == 0) {
                busLost_ = true;
                busError_ = "end of the connection";
                return;
            }
            nv::wire::Packet packet;
            bool sequenceKnown = false;
            if (nv::wire::decode(buffer_.data(), static_cast<size_t>(got), &packet, &sequenceKnown) !=
                    nv::wire::DecodeResult::ok ||
                packet.kind != nv::wire::Kind::reply) {
                ++strayReplies_;
                continue;
            }
            onReply(packet);
        }
    }

    void onReply(const nv::wire::Packet& packet) {
        ++repliesTotal_;
        const uint32_t sequence = packet.sequence;
        if (sequence >= 1 && sequence <= sent_ && kindOf_[sequence] == kRawSend) {
            ++rawReplies_;
            return;
        }
        if (sequence == 0 || sequence > sent_) {
            ++strayReplies_;
            return;
        }
        uint8_t& count = replies_[sequence];
        if (count != 0) {
            ++duplicated_;
            return;
        }
        count = 1;
        --awaiting_;
        KindState& kind = kinds_[kindOf_[sequence]];
        ++kind.outcomes[outcomeOf(packet.body)];
        if (!kind.expected(packet.body)) {
            ++kind.unexpected;
            ++unexpected_;
        }
    }

    // A line every tenth of the run: a leak shows as a trend.
    void progress() {
        std::printf("progress: sent=%llu replies=%llu awaiting=%llu fds=%d rss_kb=%ld seconds=%.0f\n", ull(sent_),
                    ull(repliesTotal_), ull(awaiting_), readings_.openDescriptors(), readings_.residentKiB(),
                    std::chrono::duration<double>(Clock::now() - start_).count());
    }

    void sample() {
        fdsPeak_ = std::max(fdsPeak_, readings_.openDescriptors());
        rssPeak_ = std::max(rssPeak_, readings_.residentKiB());
    }

    // Random bytes, or a node-status answer under a random id, whole,
    // cut short or with one byte spoiled; from an address never asked.
    void sendJunkDatagram() {
        std::vector<uint8_t> datagram;
        const uint32_t variant = random_() % 4;
        if (variant == 0) {
            datagram.resize(random_() % 80);
            for (uint8_t& byte : datagram) byte = static_cast<uint8_t>(random_());
        } else {
            datagram = nbstatResponse(static_cast<uint16_t>(random_()), {{"JUNK", 0x20, false}});
            if (variant == 2) datagram.resize(random_() % datagram.size());
            if (variant == 3) datagram[random_() % datagram.size()] ^= static_cast<uint8_t>(1 + random_() % 255);
        }
        if (sendto(junkUdp_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&junkTarget_),
                   sizeof junkTarget_) >= 0)
            ++junkDatagrams_;
    }

    void openJunkConnection() {
        JunkConnection junk;
        junk.client = std::make_unique<nv::BusClient>();
        std::string error;
        ++junkConnections_;
        if (!junk.client->connect(service_.busPath(), &error)) {
            junkFailed("connect: " + error);
            return;
        }
        junk.sequence = static_cast<uint32_t>(random_());
        const std::string packet = malformedPacket(junk.sequence, static_cast<uint32_t>(junkConnections_));
        if (::send(junk.client->fd(), packet.data(), packet.size(), MSG_NOSIGNAL) < 0) {
            junkFailed(std::string("send: ") + std::strerror(errno));
            return;
        }
        junk.deadline = Clock::now() + std::chrono::milliseconds(kJunkConnectionPatienceMs);
        junk_.push_back(std::move(junk));
    }

    // Whether the connection stays for its next step.
    bool onJunkReadable(JunkConnection& junk) {
        const ssize_t got = recv(junk.client->fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (junk.awaitingClose) {
            if (got == 0 || (got < 0 && errno == ECONNRESET)) {
                ++junkClosed_;
            } else {
                junkFailed("a packet without a header did not close the connection");
            }
            return false;
        }
        nv::wire::Packet packet;
        bool sequenceKnown = false;
        const bool badMessage =
            got > 0 &&
            nv::wire::decode(buffer_.data(), static_cast<size_t>(got), &packet, &sequenceKnown) ==
                nv::wire::DecodeResult::ok &&
            packet.kind == nv::wire::Kind::reply && packet.sequence == junk.sequence &&
            packet.body.status() == nv::ReplyStatus::error && packet.body.errorCode() == kBadMessageError &&
            packet.body.statusText().rfind("bad message: ", 0) == 0;
        if (!badMessage) {
            junkFailed(got <= 0 ? "closed on a malformed packet whose sequence is known"
                                : "a malformed packet got another reply than \"bad message\"");
            return false;
        }
        ++junkAnswered_;
        const std::string headerless = headerlessPacket(random_);
        if (::send(junk.client->fd(), headerless.data(), headerless.size(), MSG_NOSIGNAL) < 0) {
            junkFailed(std::string("send: ") + std::strerror(errno));
            return false;
        }
        junk.awaitingClose = true;
        return true;
    }

    void junkFailed(const std::string& what) {
        if (junkFailures_++ == 0) firstJunkFailure_ = what;
    }

    void dropJunkConnections() {
        for (JunkConnection& junk : junk_)
            junkFailed(junk.awaitingClose ? "not closed after a packet without a header (at the end)"
                                          : "no reply to a malformed packet (at the end)");
        junk_.clear();
    }

    // After the replies: until the service's descriptors are back at their
    // start (a dialogue's connection may linger up to 2 s after its reply),
    // kSettleMs at most, reading any late reply (a raw send's, say) meanwhile.
    void settle() {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kSettleMs);
        for (;;) {
            if (!busLost_) waitAndRead(kSampleEveryMs);
            fdsEnd_ = readings_.openDescriptors();
            fdsPeak_ = std::max(fdsPeak_, fdsEnd_);
            if (fdsEnd_ <= fdsStart_ || Clock::now() >= end) break;
        }
        if (fdsEnd_ != fdsStart_) targetsEnd_ = descriptorTargets(service_.pid());
        rssEnd_ = readings_.residentKiB();
        rssPeak_ = std::max(rssPeak_, rssEnd_);
        cpuEnd_ = readings_.cpuSeconds();
    }

    const Options& options_;
    ServiceProcess& service_;
    UdpPeers& peers_;
    ProcessReadings readings_;
    std::mt19937 random_;

    KindState kinds_[kKindCount];
    std::vector<Kind> enabled_;

    nv::BusClient bus_;  // connects; packets are sent and read here, below it
    std::vector<uint8_t> buffer_;
    std::string pending_;  // encoded, not yet taken by the socket
    Kind pendingKind_ = kKindCount;
    std::vector<Kind> kindOf_;      // by sequence
    std::vector<uint8_t> replies_;  // by sequence: 0 or 1 (further ones count as duplicated)
    uint64_t sent_ = 0, awaiting_ = 0, repliesTotal_ = 0, duplicated_ = 0, unexpected_ = 0;
    uint64_t rawReplies_ = 0, strayReplies_ = 0;
    bool busLost_ = false, overran_ = false;
    std::string busError_;

    int junkUdp_ = -1;
    uint16_t servicePort_ = 0;
    sockaddr_in junkTarget_{};
    uint64_t junkDatagrams_ = 0;
    std::vector<JunkConnection> junk_;
    uint64_t junkConnections_ = 0, junkAnswered_ = 0, junkClosed_ = 0, junkFailures_ = 0;
    std::string firstJunkFailure_;

    Clock::time_point start_;
    double seconds_ = 0, cpuStart_ = 0, cpuEnd_ = 0;
    int fdsStart_ = 0, fdsPeak_ = 0, fdsEnd_ = 0;
    std::map<int, std::string> targetsStart_, targetsEnd_;  // the end's only when the counts differ
    long rssStart_ = 0, rssPeak_ = 0, rssEnd_ = 0;
};

// Room for both ends of every connection in flight: the service inherits
// this process's limit. Returns the limit in force.
rlim_t raiseDescriptorLimit() {
    if (!setDescriptorLimit(65536)) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: netprobe_soak [--requests N] [--in-flight M] [--max-seconds S] [--seed X]\n"
                     "                     [--only KIND,...]\n"
                     "  defaults: --requests 1000000 --in-flight 2000 --max-seconds 1800 --seed 20261206,\n"
                     "  every kind: tcp-refused tcp-reset tcp-closed tcp-silent tcp-banner udp-answered\n"
                     "  udp-closed raw-send netbios-answered netbios-unanswered netbios-forged\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);

    const rlim_t limit = raiseDescriptorLimit();
    const uint64_t room = limit > 512 ? (limit - 256) / 2 : 1;
    if (options.inFlight > room) {
        std::printf("descriptor limit %llu: in flight cut from %llu to %llu\n",
                    static_cast<unsigned long long>(limit), static_cast<unsigned long long>(options.inFlight),
                    static_cast<unsigned long long>(room));
        options.inFlight = room;
    }
    std::printf("soak of %s: %llu requests, %llu in flight, seed %llu, at most %llu s\n",
                ServiceProcess::programPath().c_str(), static_cast<unsigned long long>(options.requests),
                static_cast<unsigned long long>(options.inFlight), static_cast<unsigned long long>(options.seed),
                static_cast<unsigned long long>(options.maxSeconds));

    const bool netbios = pickBlock();
    std::printf("hosts: %s0/24%s\n", gBlock.c_str(),
                netbios ? "" : "; port 137 cannot be bound (it takes root): "
                               "NetBIOS answered and forged lookups left out");
    UdpPeers peers(netbios);
    LoopbackTcpServer banner(hostRange(kBannerHosts, 8), LoopbackTcpServer::Mode::banner);
    LoopbackTcpServer silent(hostRange(kSilentHosts, 8), LoopbackTcpServer::Mode::silent);
    LoopbackTcpServer closing(hostRange(kClosingHosts, 8), LoopbackTcpServer::Mode::closing);
    LoopbackTcpServer resetting(hostRange(kResettingHosts, 8), LoopbackTcpServer::Mode::resetting);
    if (!peers.ok() || !banner.ok() || !silent.ok() || !closing.ok() || !resetting.ok()) {
        std::fprintf(stderr, "netprobe_soak: a peer could not be set up on %s0/24\n", gBlock.c_str());
        return 1;
    }
    if (netbios && !peers.netbios()) {
        std::fprintf(stderr, "netprobe_soak: port 137 on %s0/24 was taken meanwhile\n", gBlock.c_str());
        return 1;
    }

    ServiceProcess::Options serviceOptions;
    serviceOptions.keepOutput = false;  // a line per junk datagram and failed probe
    ServiceProcess service(serviceOptions);
    if (!service.ready()) {
        std::fprintf(stderr, "netprobe_soak: %s\n", service.error().c_str());
        return 1;
    }
    Soak soak(options, service, peers);
    soak.addKinds(banner, silent, closing, resetting);
    if (!soak.run()) return 1;
    return soak.report(service.stop());
}
