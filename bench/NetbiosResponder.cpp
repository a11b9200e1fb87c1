// netprobe_nbresponder: a NetBIOS node-status responder for sweep
// benchmarks. One UDP socket on 0.0.0.0:137 answers every node-status query
// that reaches any local address, so one process stands in for a whole
// block of hosts such as 127.0.20.0/22. Each answer leaves FROM the address
// the query was sent TO (IP_PKTINFO): a prober that matches answers by
// their source, as the service does, accepts it.
//
// The answer names BENCHHOST<00> (unique) and BENCHGROUP<00> (group), then
// a statistics block whose unit id is 02:00 and the last four bytes of the
// address asked, so a sweep's output tells the hosts apart.
//
// Usage: netprobe_nbresponder [A.B.C.D/N]. With a block, only queries sent
// to an address in it are answered: the socket takes port 137 of every
// local address, and lookups that other programs on the machine expect to
// go unanswered must stay so.
//
// Prints "ready" on standard output once bound; on SIGTERM or SIGINT it
// stops and prints "answered N" on standard error. Needs root (port 137).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kPort = 137;
constexpr unsigned kBatch = 64;
// The unit id and counters: 46 bytes in the classic layout, 50 here, as
// some scanners read 50 and call a shorter block incomplete.
constexpr size_t kStatisticsSize = 50;

// A node-status query: not a response, opcode 0 (query), one question, and
// the question's type NBSTAT (0x21) after the 34-byte encoded name.
bool isStatusQuery(const uint8_t* d, size_t size) {
    return size >= 50 && !(d[2] & 0x80) && ((d[2] >> 3) & 0x0f) == 0 && d[4] == 0 && d[5] == 1 && d[46] == 0 &&
           d[47] == 0x21;
}

// The answer less its id and unit id, which change per query: an
// authoritative response with one answer record for the wildcard name,
// type NBSTAT, class IN, then the names and the statistics. (Built here, not
// with the test kit's builder, which GCC 12 at -O3 flags with a false
// array-bounds warning.)
std::vector<uint8_t> answerTemplate() {
    static constexpr struct {
        char name[16];
        uint8_t flags;
    } kNames[] = {{"BENCHHOST", 0x00}, {"BENCHGROUP", 0x80}};
    constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];
    constexpr size_t rdLength = 1 + 18 * kNameCount + kStatisticsSize;
    std::vector<uint8_t> d = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x20, 'C', 'K'};
    d.insert(d.end(), 30, 'A');  // the 15 zero bytes of the name, encoded
    d.insert(d.end(), {0, 0, 0x21, 0, 1, 0, 0, 0, 0, 0, rdLength, kNameCount});
    for (const auto& entry : kNames) {
        for (size_t i = 0; i < 15; ++i) d.push_back(entry.name[i] ? static_cast<uint8_t>(entry.name[i]) : ' ');
        d.insert(d.end(), {0x00, entry.flags, 0});  // suffix <00>, flags
    }
    d.push_back(0x02);  // a locally administered unit id
    d.insert(d.end(), kStatisticsSize - 1, 0);
    return d;
}

// One receive and one send slot of the batch: the query, where it came from,
// the address it went to (control message in), and the answer sent back
// from that address (control message out).
struct Slot {
    uint8_t query[576];
    sockaddr_in sender;
    alignas(cmsghdr) uint8_t controlIn[CMSG_SPACE(sizeof(in_pktinfo))];
    alignas(cmsghdr) uint8_t controlOut[CMSG_SPACE(sizeof(in_pktinfo))];
    iovec queryPart;
    iovec answerPart;
    std::vector<uint8_t> answer;
};

// The local address a query was sent to, from its IP_PKTINFO; false when
// the control message is missing.
bool destinationOf(msghdr& header, in_addr* to) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        *to = info.ipi_addr;
        return true;
    }
    return false;
}

int openSocket() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    // Lets a test's peer bind port 137 of one address beside this socket;
    // the kernel hands that address's datagrams to the more specific bind.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    // A sweep sends its queries in bursts of hundreds; root may go past
    // rmem_max and wmem_max.
    const int size = 16 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The addresses answered for, in host order: those whose bits under the
// mask equal the network's.
struct Block {
    uint32_t network = 0;
    uint32_t mask = 0;  // the whole of IPv4 when no block is given
    bool contains(in_addr address) const { return (ntohl(address.s_addr) & mask) == network; }
};

bool parseBlock(const std::string& text, Block* block) {
    const size_t slash = text.find('/');
    in_addr address{};
    if (slash == std::string::npos || inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) return false;
    char* end = nullptr;
    const long bits = std::strtol(text.c_str() + slash + 1, &end, 10);
    if (*end != '\0' || end == text.c_str() + slash + 1 || bits < 0 || bits > 32) return false;
    block->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    block->network = ntohl(address.s_addr) & block->mask;
    return true;
}

// Reads every query waiting on the socket and answers each node-status
// query; returns how many were answered.
unsigned long answerWaiting(int fd, std::vector<Slot>& slots, const std::vector<uint8_t>& answer, const Block& block) {
    mmsghdr in[kBatch], out[kBatch];
    unsigned long answered = 0;
    for (;;) {
        for (unsigned i = 0; i < kBatch; ++i) {
            Slot& s = slots[i];
            s.queryPart = {s.query, sizeof s.query};
            in[i] = {};
            in[i].msg_hdr.msg_iov = &s.queryPart;
            in[i].msg_hdr.msg_iovlen = 1;
            in[i].msg_hdr.msg_name = &s.sender;
            in[i].msg_hdr.msg_namelen = sizeof s.sender;
            in[i].msg_hdr.msg_control = s.controlIn;
            in[i].msg_hdr.msg_controllen = sizeof s.controlIn;
        }
        const int got = recvmmsg(fd, in, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) return answered;  // EAGAIN: all read
        unsigned count = 0;
        for (int i = 0; i < got; ++i) {
            Slot& s = slots[i];
            in_addr to{};
            if (!isStatusQuery(s.query, in[i].msg_len) || !destinationOf(in[i].msg_hdr, &to) || !block.contains(to))
                continue;
            s.answer = answer;
            s.answer[0] = s.query[0];  // the transaction id
            s.answer[1] = s.query[1];
            std::memcpy(&s.answer[s.answer.size() - kStatisticsSize + 2], &to, 4);  // network order already
            s.answerPart = {s.answer.data(), s.answer.size()};
            std::memset(s.controlOut, 0, sizeof s.controlOut);
            mmsghdr& m = out[count++];
            m = {};
            m.msg_hdr.msg_iov = &s.answerPart;
            m.msg_hdr.msg_iovlen = 1;
            m.msg_hdr.msg_name = &s.sender;
            m.msg_hdr.msg_namelen = sizeof s.sender;
            m.msg_hdr.msg_control = s.controlOut;
            m.msg_hdr.msg_controllen = sizeof s.controlOut;
            cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst = to;  // the source address of the answer
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
        // A full send buffer drops the rest of the batch, as a busy host
        // would; the send buffer is large enough that a sweep never sees it.
        for (unsigned sent = 0; sent < count;) {
            const int n = sendmmsg(fd, out + sent, count - sent, MSG_DONTWAIT);
            if (n <= 0) break;
            sent += static_cast<unsigned>(n);
            answered += static_cast<unsigned>(n);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Block block;
    if (argc > 2 || (argc == 2 && !parseBlock(argv[1], &block))) {
        std::fprintf(stderr, "usage: netprobe_nbresponder [A.B.C.D/N]\n");
        return 2;
    }
    // The stop signals arrive as a readable descriptor, so a signal between
    // two waits is never lost.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    const int fd = openSocket();
    if (signals < 0 || fd < 0) {
        std::fprintf(stderr, "netprobe_nbresponder: cannot bind 0.0.0.0:%u: %s\n", kPort, std::strerror(errno));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const std::vector<uint8_t> answer = answerTemplate();
    std::vector<Slot> slots(kBatch);
    unsigned long answered = 0;
    pollfd waits[2] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0 && errno != EINTR) break;
        if (waits[1].revents) break;
        if (waits[0].revents) answered += answerWaiting(fd, slots, answer, block);
    }
    std::fprintf(stderr, "answered %lu\n", answered);
    close(fd);
    close(signals);
    return 0;
}
