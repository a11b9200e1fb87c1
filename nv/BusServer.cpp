#include "nv/BusServer.h"

#include "nv/Looper.h"
#include "nv/ThinRunner.h"
#include "nv/WireCodec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace nv {

namespace {

std::string failure(const std::string& path, const std::string& what) {
    return "bus " + path + ": " + what;
}

std::string failure(const std::string& path, const char* call, int err) {
    return failure(path, std::string(call) + ": " + std::strerror(err));
}

bool fillAddress(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

}  // namespace

BusServer::BusServer(ThinRunner& runner, Deliver deliver)
    : runner_(runner), deliver_(std::move(deliver)) {}

BusServer::~BusServer() { close(); }

// Decides what to do with a file already at `path`: a socket nobody answers
// on is the leftover of a dead service and is removed; a live one, or
// anything that is not a socket, is left alone and opening fails.
bool BusServer::checkExisting(const std::string& path, std::string* error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return true;  // nothing there (or bind will say why)
    if (!S_ISSOCK(st.st_mode)) {
        *error = failure(path, "exists and is not a socket");
        return false;
    }
    sockaddr_un addr;
    fillAddress(path, &addr);
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        *error = failure(path, "socket", errno);
        return false;
    }
    int rc = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = errno;
    ::close(probe);
    // A full backlog (EAGAIN) and a listener of another socket type
    // (EPROTOTYPE) both mean someone is alive there.
    if (rc == 0 || err == EAGAIN || err == EPROTOTYPE) {
        *error = failure(path, "another service is already answering there");
        return false;
    }
    if (err != ECONNREFUSED) {
        *error = failure(path, "connect", err);
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = failure(path, "unlink of stale socket", errno);
        return false;
    }
    return true;
}

bool BusServer::open(const std::string& path, std::string* error) {
    if (isOpen()) {
        *error = failure(path, "bus already open at " + path_);
        return false;
    }
    sockaddr_un addr;
    if (!fillAddress(path, &addr)) {
        *error = failure(path, path.empty() ? "empty path" : "path too long");
        return false;
    }
    if (!checkExisting(path, error)) return false;

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = failure(path, "socket", errno);
        return false;
    }
    // Created owner-only and widened by chmod, so the file is never more
    // open than 0660, whatever the process umask.
    mode_t oldMask = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = errno;
    umask(oldMask);
    if (rc != 0) {
        *error = failure(path, "bind", err);
        ::close(fd);
        return false;
    }
    struct stat st;
    const char* call = nullptr;
    if (chmod(path.c_str(), 0660) != 0) {
        call = "chmod";
    } else if (stat(path.c_str(), &st) != 0) {
        call = "stat";
    } else if (listen(fd, 128) != 0) {
        call = "listen";
    }
    if (call != nullptr) {
        *error = failure(path, call, errno);
        ::close(fd);
        unlink(path.c_str());
        return false;
    }
    listenFd_ = fd;
    path_ = path;
    boundDev_ = st.st_dev;
    boundIno_ = st.st_ino;
    if (!buffers_) buffers_.reset(new uint8_t[kReadBatch * (wire::kMaxPacket + 1)]);
    watchListener();
    return true;
}

void BusServer::close() {
    acceptRetry_.cancel();
    flushTimer_.cancel();
    flushDue_.clear();
    while (!connections_.empty()) disconnect(connections_.begin()->first);
    if (listenFd_ < 0) return;
    runner_.removeSocket(listenFd_);
    ::close(listenFd_);
    listenFd_ = -1;
    // Another service may have replaced a file it took for stale; only our
    // own file is removed.
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == boundDev_ && st.st_ino == boundIno_)
        unlink(path_.c_str());
}

void BusServer::watchListener() {
    runner_.addSocket(listenFd_, ThinRunner::kReadable, [this](int, unsigned) { onListenerReadable(); });
}

// With the descriptor table full the pending connection stays in the
// backlog and the listener stays readable: keep watching it and the loop
// spins. Look away for a while instead.
void BusServer::pauseAccepting() {
    runner_.removeSocket(listenFd_);
    acceptRetry_ = Timer(kAcceptRetryTicks, [this] {
        if (listenFd_ >= 0) watchListener();
    });
}

void BusServer::onListenerReadable() {
    for (unsigned i = 0; i < kAcceptBurst; ++i) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting();
            return;
        }
        ucred cred{};
        socklen_t length = sizeof cred;
        // Past the connection limit the client is closed at once: it sees
        // the end of its connection rather than waiting in the backlog.
        if (connections_.size() >= kMaxConnections ||
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
            ::close(fd);
            continue;
        }
        uint64_t id = nextId_++;
        auto c = std::make_unique<Connection>();
        c->id = id;
        c->fd = fd;
        c->peer = PeerCredentials{cred.pid, cred.uid, cred.gid};
        if (!runner_.addSocket(fd, ThinRunner::kReadable,
                               [this, id](int, unsigned events) { onConnectionEvent(id, events); })) {
            ::close(fd);
            continue;
        }
        connections_.emplace(id, std::move(c));
    }
}

BusServer::Connection* BusServer::find(uint64_t id) {
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.get();
}

void BusServer::disconnect(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    runner_.removeSocket(it->second->fd);
    ::close(it->second->fd);
    queuedTotal_ -= it->second->queuedCharge;
    connections_.erase(it);
}

void BusServer::disconnectLongestQueue() {
    const Connection* longest = nullptr;
    for (const auto& entry : connections_)
        if (longest == nullptr || entry.second->queuedCharge > longest->queuedCharge) longest = entry.second.get();
    if (longest != nullptr) disconnect(longest->id);
}

void BusServer::onConnectionEvent(uint64_t id, unsigned events) {
    if (events & ThinRunner::kWritable) {
        Connection* c = find(id);
        if (c == nullptr || !flush(*c)) return;
    }
    if (events & ThinRunner::kReadable) readPackets(id);
}

// Every request may end in handlers that disconnect this very client (a
// reply that cannot be sent), so the connection is looked up again by id
// before each packet; what was read after it goes with it.
void BusServer::readPackets(uint64_t id) {
    constexpr size_t kBufferSize = wire::kMaxPacket + 1;
    iovec pieces[kReadBatch];
    mmsghdr headers[kReadBatch];
    for (unsigned done = 0; done < kReadBurst;) {
        Connection* c = find(id);
        if (c == nullptr) return;
        unsigned count = std::min(kReadBatch, kReadBurst - done);
        for (unsigned i = 0; i < count; ++i) {
            pieces[i] = {buffers_.get() + i * kBufferSize, kBufferSize};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &pieces[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        // MSG_TRUNC: a packet's whole size, to notice one over the limit.
        int n = recvmmsg(c->fd, headers, count, MSG_TRUNC | MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) disconnect(id);
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (find(id) == nullptr) return;
            // 0 is the end of the connection (or an empty packet, which is
            // no message either).
            if (headers[i].msg_len == 0) {
                disconnect(id);
                return;
            }
            handlePacket(id, static_cast<const uint8_t*>(pieces[i].iov_base), headers[i].msg_len);
        }
        done += static_cast<unsigned>(n);
        if (static_cast<unsigned>(n) < count) return;  // nothing more waits
    }
}

void BusServer::handlePacket(uint64_t id, const uint8_t* data, size_t size) {
    wire::Packet packet;
    bool sequenceKnown = false;
    // With MSG_TRUNC, size may exceed the buffer; decode reads no further
    // than the header of a packet over kMaxPacket.
    wire::DecodeResult result = wire::decode(data, size, &packet, &sequenceKnown);
    if (result != wire::DecodeResult::ok || packet.kind != wire::Kind::request) {
        if (!sequenceKnown) {
            // Nothing to answer to: this peer does not speak the protocol.
            disconnect(id);
            return;
        }
        const char* reason = result != wire::DecodeResult::ok ? wire::describe(result) : "not a request";
        sendReply(id, packet.sequence, errorMsg(kErrBadMessage, std::string("bad message: ") + reason));
        return;
    }
    Route::set(packet.body, id, packet.sequence);
    PeerCredentials peer = find(id)->peer;  // copied: the handler may end the connection
    deliver_(packet.body, packet.arg, peer);
}

void BusServer::sendReply(uint64_t id, uint32_t sequence, const message& reply) {
    Connection* c = find(id);
    if (c == nullptr) return;
    std::string packet;
    if (wire::encodedSize(wire::Kind::reply, reply) > wire::kMaxPacket) {
        // The client could not receive it; tell it so rather than go silent.
        packet = wire::encode(wire::Kind::reply, sequence, 0,
                              errorMsg(kErrReplyTooLarge, "reply too large"));
    } else {
        packet = wire::encode(wire::Kind::reply, sequence, 0, reply);
    }
    enqueue(*c, std::move(packet));
}

void BusServer::enqueue(Connection& c, std::string packet) {
    size_t charge = std::max(packet.size(), kMinPacketCharge);
    if (charge > kMaxQueuedBytes - c.queuedCharge) {
        // It does not read its replies: cut it off before it costs more.
        disconnect(c.id);
        return;
    }
    c.queuedCharge += charge;
    queuedTotal_ += charge;
    c.queue.push_back(std::move(packet));
    if (!c.flushDue && !c.watchingWritable) {
        c.flushDue = true;
        flushDue_.push_back(c.id);
        if (!flushTimer_.pending()) flushTimer_ = Timer(0, [this] { flushDue(); });
    }
    // Many clients each just under their own bound still must not exhaust
    // the device's memory: the greediest goes first.
    while (queuedTotal_ > kMaxQueuedTotal) disconnectLongestQueue();
}

void BusServer::flushDue() {
    std::vector<uint64_t> due;
    due.swap(flushDue_);
    for (uint64_t id : due) {
        Connection* c = find(id);
        if (c == nullptr) continue;
        c->flushDue = false;
        flush(*c);
    }
}

// Sends queued replies in order, many to a call, while the socket takes
// them; a datagram-like socket takes each packet whole or not at all.
// Returns false when the connection has been closed.
bool BusServer::flush(Connection& c) {
    constexpr size_t kBatch = 64;
    iovec pieces[kBatch];
    mmsghdr headers[kBatch];
    while (!c.queue.empty()) {
        size_t count = std::min(kBatch, c.queue.size());
        for (size_t i = 0; i < count; ++i) {
            pieces[i] = {c.queue[i].data(), c.queue[i].size()};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &pieces[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(c.fd, headers, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
                disconnect(c.id);
                return false;
            }
            // Full: the rest goes when the socket has room.
            if (!c.watchingWritable) runner_.changeSocket(c.fd, ThinRunner::kReadable | ThinRunner::kWritable);
            c.watchingWritable = true;
            return true;
        }
        for (int i = 0; i < sent; ++i) {
            size_t charge = std::max(c.queue.front().size(), kMinPacketCharge);
            c.queuedCharge -= charge;
            queuedTotal_ -= charge;
            c.queue.pop_front();
        }
    }
    if (c.watchingWritable) runner_.changeSocket(c.fd, ThinRunner::kReadable);
    c.watchingWritable = false;
    return true;
}

}  // namespace nv
