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
    // Not filled: pages past what packets write are never touched.
    if (!buffers_) buffers_.reset(new uint8_t[kBatch * kBufferSize]);
    return true;
}

void BusClient::close() {
    dropConnection();
    early_.clear();
}

void BusClient::dropConnection() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    queued_.clear();
}

uint32_t BusClient::queue(const message& request, unsigned arg, std::string* error) {
    if (!connected()) {
        *error = "not connected to the bus";
        return 0;
    }
    size_t size = wire::encodedSize(wire::Kind::request, request);
    if (size > wire::kMaxPacket) {
        *error = "request too large: " + std::to_string(size) + " bytes, at most " +
                 std::to_string(wire::kMaxPacket);
        return 0;
    }
    uint32_t sequence = nextSequence_++;
    if (nextSequence_ == 0) nextSequence_ = 1;  // 0 stands for "not sent"
    queued_.push_back(wire::encode(wire::Kind::request, sequence, arg, request));
    return sequence;
}

BusClient::SendResult BusClient::sendQueued(std::string* error) {
    while (!queued_.empty() && connected()) {
        iovec pieces[kBatch];
        mmsghdr headers[kBatch] = {};
        unsigned count = 0;
        for (; count < kBatch && count < queued_.size(); ++count) {
            pieces[count] = {queued_[count].data(), queued_[count].size()};
            headers[count].msg_hdr.msg_iov = &pieces[count];
            headers[count].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(fd_, headers, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return SendResult::full;
            *error = systemError("send");
            dropConnection();
            return SendResult::failed;
        }
        queued_.erase(queued_.begin(), queued_.begin() + sent);
    }
    if (!connected()) {
        *error = "not connected to the bus";
        return SendResult::failed;
    }
    return SendResult::sent;
}

uint32_t BusClient::send(const message& request, unsigned arg, std::string* error, int timeoutMs) {
    uint32_t sequence = queue(request, arg, error);
    if (sequence == 0) return 0;
    // A request the caller is told was not sent must never go later.
    auto notSent = [this] {
        if (!queued_.empty()) queued_.pop_back();
        return 0u;
    };
    Deadline deadline(timeoutMs);
    for (;;) {
        SendResult result = sendQueued(error);
        if (result == SendResult::sent) return sequence;
        if (result == SendResult::failed) return 0;
        // While the socket is full, take in replies: a service whose own
        // queue for us overflows would cut us off.
        pollfd p{fd_, POLLOUT | POLLIN, 0};
        int left = deadline.left();
        if (left == 0) {
            *error = "request not sent within " + std::to_string(timeoutMs) + " ms";
            return notSent();
        }
        if (poll(&p, 1, left) < 0 && errno != EINTR) {
            *error = systemError("poll");
            return notSent();
        }
        if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && readOne(0, error) == ReadResult::failed)
            return notSent();
    }
}

BusClient::ReadResult BusClient::readOne(int timeoutMs, std::string* error) {
    if (!connected()) {
        *error = "not connected to the bus";
        return ReadResult::failed;
    }
    Deadline deadline(timeoutMs);
    iovec pieces[kBatch];
    mmsghdr headers[kBatch] = {};
    for (size_t i = 0; i < kBatch; ++i) {
        pieces[i] = {buffers_.get() + i * kBufferSize, kBufferSize};
        headers[i].msg_hdr.msg_iov = &pieces[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    int count;
    // Try first, poll only when nothing is there: with many requests in
    // flight the next replies have usually arrived already, and one call
    // takes them all. MSG_TRUNC gives a packet's whole size, to notice one
    // over the limit.
    while ((count = recvmmsg(fd_, headers, kBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr)) < 0) {
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
    ReadResult result = ReadResult::got;
    for (int i = 0; i < count; ++i) {
        size_t size = headers[i].msg_len;
        if (size == 0) {
            *error = "the service closed the bus connection";
            dropConnection();
            return ReadResult::failed;
        }
        wire::Packet packet;
        bool sequenceKnown = false;
        wire::DecodeResult decoded = wire::decode(static_cast<uint8_t*>(pieces[i].iov_base), size, &packet, &sequenceKnown);
        if (decoded != wire::DecodeResult::ok || packet.kind != wire::Kind::reply) {
            // Told once the good replies of the batch are kept.
            *error = std::string("bad reply from the service: ") +
                     (decoded != wire::DecodeResult::ok ? wire::describe(decoded) : "not a reply");
            result = ReadResult::failed;
            continue;
        }
        early_.insert_or_assign(packet.sequence, std::move(packet.body));
    }
    return result;
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
