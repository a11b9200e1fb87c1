// A blocking bus client. The socket itself is non-blocking: every wait is a
// poll with what is left of the caller's time limit.
#include "nv/BusClient.h"

#include "nv/WireCodec.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace nv {

namespace {

using Clock = std::chrono::steady_clock;

// How long connect keeps retrying while the service's backlog is full.
constexpr int kConnectPatienceMs = 5000;

// A deadline from a time limit in ms; -1 means none.
struct Deadline {
    explicit Deadline(int timeoutMs)
        : forever(timeoutMs < 0), end(Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs)) {}
    // Milliseconds left for poll: -1 for ever, 0 when past.
    int left() const {
        if (forever) return -1;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        return ms > 0 ? static_cast<int>(ms) : 0;
    }
    bool forever;
    Clock::time_point end;
};

std::string systemError(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

}  // namespace

BusClient::~BusClient() { close(); }

bool BusClient::connect(const std::string& path, std::string* error) {
    close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        *error = "bus " + path + ": bad path";
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "bus " + path + ": " + systemError("socket");
        return false;
    }
    Deadline deadline(kConnectPatienceMs);
    while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // A Unix socket with a full backlog refuses with EAGAIN instead of
        // waiting; the service drains it soon.
        if ((errno == EAGAIN || errno == EINTR) && deadline.left() > 0) {
            poll(nullptr, 0, 10);
            continue;
        }
        *error = "bus " + path + ": cannot connect: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    buffer_.resize(wire::kMaxPacket + 1);
    return true;
}

void BusClient::close() {
    dropConnection();
    early_.clear();
}

void BusClient::dropConnection() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

BusClient::SendResult BusClient::trySend(const message& request, unsigned arg, uint32_t* sequence,
                                         std::string* error) {
    if (!connected()) {
        *error = "not connected to the bus";
        return SendResult::failed;
    }
    size_t size = wire::encodedSize(wire::Kind::request, request);
    if (size > wire::kMaxPacket) {
        *error = "request too large: " + std::to_string(size) + " bytes, at most " +
                 std::to_string(wire::kMaxPacket);
        return SendResult::failed;
    }
    std::string packet = wire::encode(wire::Kind::request, nextSequence_, arg, request);
    for (;;) {
        if (::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return SendResult::full;
        *error = systemError("send");
        dropConnection();
        return SendResult::failed;
    }
    *sequence = nextSequence_++;
    if (nextSequence_ == 0) nextSequence_ = 1;  // 0 stands for "not sent"
    return SendResult::sent;
}

uint32_t BusClient::send(const message& request, unsigned arg, std::string* error, int timeoutMs) {
    Deadline deadline(timeoutMs);
    for (;;) {
        uint32_t sequence = 0;
        SendResult result = trySend(request, arg, &sequence, error);
        if (result == SendResult::sent) return sequence;
        if (result == SendResult::failed) return 0;
        // While the socket is full, take in replies: a service whose own
        // queue for us overflows would cut us off.
        pollfd p{fd_, POLLOUT | POLLIN, 0};
        int left = deadline.left();
        if (left == 0) {
            *error = "request not sent within " + std::to_string(timeoutMs) + " ms";
            return 0;
        }
        if (poll(&p, 1, left) < 0 && errno != EINTR) {
            *error = systemError("poll");
            return 0;
        }
        if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && readOne(0, error) == ReadResult::failed)
            return 0;
    }
}

BusClient::ReadResult BusClient::readOne(int timeoutMs, std::string* error) {
    if (!connected()) {
        *error = "not connected to the bus";
        return ReadResult::failed;
    }
    Deadline deadline(timeoutMs);
    ssize_t n;
    // Try first, poll only when nothing is there: with many requests in
    // flight the next reply has usually arrived already.
    while ((n = recv(fd_, buffer_.data(), buffer_.size(), MSG_TRUNC | MSG_DONTWAIT)) < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = systemError("recv");
            dropConnection();
            return ReadResult::failed;
        }
        if (timeoutMs == 0) return ReadResult::timedOut;
        pollfd p{fd_, POLLIN, 0};
        int rc = poll(&p, 1, deadline.left());
        if (rc < 0 && errno != EINTR) {
            *error = systemError("poll");
            return ReadResult::failed;
        }
        if (rc == 0) return ReadResult::timedOut;
    }
    if (n == 0) {
        *error = "the service closed the bus connection";
        dropConnection();
        return ReadResult::failed;
    }
    wire::Packet packet;
    bool sequenceKnown = false;
    wire::DecodeResult result = wire::decode(buffer_.data(), static_cast<size_t>(n), &packet, &sequenceKnown);
    if (result != wire::DecodeResult::ok || packet.kind != wire::Kind::reply) {
        *error = std::string("bad reply from the service: ") +
                 (result != wire::DecodeResult::ok ? wire::describe(result) : "not a reply");
        return ReadResult::failed;
    }
    early_.insert_or_assign(packet.sequence, std::move(packet.body));
    return ReadResult::got;
}

bool BusClient::waitReply(uint32_t sequence, message* reply, int timeoutMs, std::string* error) {
    Deadline deadline(timeoutMs);
    for (;;) {
        auto it = early_.find(sequence);
        if (it != early_.end()) {
            *reply = std::move(it->second);
            early_.erase(it);
            return true;
        }
        ReadResult r = readOne(deadline.left(), error);
        if (r == ReadResult::failed) return false;
        if (r == ReadResult::timedOut && deadline.left() == 0) {
            *error = "no reply within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
    }
}

bool BusClient::nextReply(uint32_t* sequence, message* reply, int timeoutMs, std::string* error) {
    Deadline deadline(timeoutMs);
    while (early_.empty()) {
        ReadResult r = readOne(deadline.left(), error);
        if (r == ReadResult::failed) return false;
        if (r == ReadResult::timedOut && deadline.left() == 0) {
            *error = "no reply within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
    }
    auto it = early_.begin();
    *sequence = it->first;
    *reply = std::move(it->second);
    early_.erase(it);
    return true;
}

BusClient::ReceiveResult BusClient::takeReply(uint32_t* sequence, message* reply, std::string* error) {
    if (early_.empty()) {
        ReadResult r = readOne(0, error);
        if (r == ReadResult::failed) return ReceiveResult::failed;
        if (r == ReadResult::timedOut) return ReceiveResult::none;
    }
    auto it = early_.begin();
    *sequence = it->first;
    *reply = std::move(it->second);
    early_.erase(it);
    return ReceiveResult::reply;
}

bool BusClient::call(const message& request, unsigned arg, message* reply, int timeoutMs,
                     std::string* error) {
    uint32_t sequence = send(request, arg, error, timeoutMs);
    return sequence != 0 && waitReply(sequence, reply, timeoutMs, error);
}

}  // namespace nv
