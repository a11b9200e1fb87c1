#include "net/StreamConnection.h"

#include "nv/ThinRunner.h"
#include "nv/sysctlErrorStr.h"
#include "support/IPAddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr unsigned kReadable = nv::ThinRunner::kReadable;
constexpr unsigned kWritable = nv::ThinRunner::kWritable;

// Shared by every connection: safe because one thread fills it and hands it
// to one callback at a time.
uint8_t receiveArea[StreamConnection::kReceiveSize];

void unwatch(int descriptor)
{
    if (nv::ThinRunner* runner = nv::getRunner()) runner->removeSocket(descriptor);
}

}  // namespace

StreamConnection::~StreamConnection()
{
    if (fd_ >= 0) {
        unwatch(fd_);
        ::close(fd_);
    }
    // The members then go in reverse order of declaration: the callbacks,
    // the buffer, the text, and the timers last, which cancels a pending
    // notification without delivering it.
}

void StreamConnection::open(uint32_t address, uint32_t port)
{
    connectTimer_ = nv::Timer(kConnectTicks, [this] { onConnectTimeout(); });

    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        const int err = errno;  // taken before anything else can change it
        fail(nv::sysctlErrorStr("socket", err));
        return;
    }
    const sockaddr_in peer = IPAddr::socketAddress(address, port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
        int err = errno;
        if (err == EINPROGRESS) {
            // A refusal from this host, loopback above all, is often in
            // before connect returns: taking it now spares the loop a
            // watch and an unwatch, the bulk of a sweep of closed ports.
            socklen_t length = sizeof err;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &length) < 0) err = 0;
        }
        if (err != 0) {
            fail(nv::sysctlErrorStr("connect", err));
            return;
        }
        events_ = kWritable;
        watch(fd_, events_, &StreamConnection::onConnected);
        return;
    }
    // Connected at once. The owner is still setting up (its callbacks are
    // not even installed yet), so the completion is taken up from the loop:
    // a zero-tick timer in place of the connect timer, or the writability
    // report, whichever comes first; onConnected stops the other.
    events_ = kWritable;
    if (!watch(fd_, events_, &StreamConnection::onConnected)) return;
    connectTimer_ = nv::Timer(0, [this] { onConnected(fd_, kWritable); });
}

void StreamConnection::setDataCallback(DataCallback callback)
{
    dataCallback_ = std::move(callback);
}

void StreamConnection::setErrorCallback(ErrorCallback callback)
{
    errorCallback_ = std::move(callback);
}

void StreamConnection::write(const void* data, uint32_t length, bool flush)
{
    if (!errorText_.empty()) return;  // failed: the bytes are dropped
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (length > 0) {
        sendBuffer_.insert(sendBuffer_.end(), bytes, bytes + length);
        written_ = true;
    }
    if (!isConnected_ || !flush) return;  // onConnected sends them
    if (events_ & kWritable) return;      // onReady sends them
    // An empty block leaves nothing to send; sending 0 bytes would read as
    // a closed connection.
    if (sendBuffer_.empty()) return;
    if (!trySend()) return;
    if (!sendBuffer_.empty()) {
        events_ |= kWritable;
        nv::getRunner()->changeSocket(fd_, events_);
    }
}

bool StreamConnection::trySend()
{
    // MSG_NOSIGNAL: a peer that has reset must not kill the process.
    const ssize_t sent = ::send(fd_, sendBuffer_.data(), sendBuffer_.size(), MSG_NOSIGNAL);
    if (sent < 0) {
        const int err = errno;
        if (err == EAGAIN) return true;  // the bytes stay
        fail(nv::sysctlErrorStr("send", err));
        return false;
    }
    if (sent == 0) {
        fail("connection closed");
        return false;
    }
    sendBuffer_.erase(sendBuffer_.begin(), sendBuffer_.begin() + sent);
    if ((events_ & kWritable) && sendBuffer_.empty()) {
        events_ &= ~kWritable;
        nv::getRunner()->changeSocket(fd_, events_);
    }
    // All sent: the peer gets our end after the last byte.
    if (lingering_ && sendBuffer_.empty()) ::shutdown(fd_, SHUT_WR);
    return true;
}

void StreamConnection::closeWhenSent()
{
    dataCallback_ = nullptr;
    errorCallback_ = nullptr;
    if (!written_ || !isConnected_ || fd_ < 0 || lingering_) return;
    lingering_ = true;
    self_ = this;
    connectTimer_ = nv::Timer(kLingerTicks, [this] { endLinger(); });
    if (sendBuffer_.empty()) ::shutdown(fd_, SHUT_WR);
}

void StreamConnection::endLinger()
{
    Ref<StreamConnection> last = std::move(self_);
    // `last` goes here, and the connection with it: nothing after this.
}

void StreamConnection::fail(const std::string& text)
{
    connectTimer_ = nv::Timer();
    if (fd_ >= 0) {
        unwatch(fd_);
        ::close(fd_);
        fd_ = -1;
    }
    if (!errorText_.empty()) return;  // the first failure's text stands
    errorText_ = text;
    notifyTimer_ = nv::Timer(0, [this] { notifyError(); });
}

void StreamConnection::onConnectTimeout()
{
    fail("connection timeout");
}

void StreamConnection::onConnected(int descriptor, unsigned /*events*/)
{
    unwatch(descriptor);
    connectTimer_ = nv::Timer();

    int result = 0;
    socklen_t resultLength = sizeof result;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &result, &resultLength) < 0) {
        const int err = errno;
        fail(nv::sysctlErrorStr("getsockopt", err));
        return;
    }
    if (result != 0) {
        fail(nv::sysctlErrorStr("connect", result));
        return;
    }

    isConnected_ = true;
    events_ = kReadable;
    if (!sendBuffer_.empty() && !trySend()) return;
    if (!sendBuffer_.empty()) events_ |= kWritable;
    // The handler changes, so the descriptor is added afresh, not changed.
    if (!watch(descriptor, events_, &StreamConnection::onReady)) return;

    if (dataCallback_) dataCallback_(nullptr, 0);  // last step
}

void StreamConnection::onReady(int /*descriptor*/, unsigned events)
{
    // Writability is watched only while bytes wait; a hang-up is reported
    // as both readable and writable, so the buffer is checked as well.
    if ((events & kWritable) && !sendBuffer_.empty()) {
        if (!trySend()) return;  // the socket is closed: nothing to read
    }
    if (!(events & kReadable)) return;

    const ssize_t received = ::recv(fd_, receiveArea, sizeof receiveArea, 0);
    const int err = errno;
    if (lingering_) {
        // Read only to be let go cleanly: the bytes are dropped, and the
        // peer's close (or its failure) ends the wait.
        if (received == 0 || (received < 0 && err != EAGAIN)) endLinger();  // last step
        return;
    }
    if (received > 0) {
        if (dataCallback_) dataCallback_(receiveArea, static_cast<uint32_t>(received));  // last step
    } else if (received == 0) {
        fail("connection closed");
    } else if (err != EAGAIN) {
        fail(nv::sysctlErrorStr("recv", err));
    }
}

void StreamConnection::notifyError()
{
    if (lingering_) {
        endLinger();  // a failure while lingering ends the wait; last step
        return;
    }
    if (!errorCallback_) return;
    // The text goes by value, copied before the call: the owner releases
    // the connection, and with it errorText_, inside it. Last step.
    errorCallback_(errorText_);
}

bool StreamConnection::watch(int descriptor, unsigned events,
                             void (StreamConnection::*handler)(int, unsigned))
{
    nv::ThinRunner* runner = nv::getRunner();
    if (runner != nullptr &&
        runner->addSocket(descriptor, events,
                          [this, handler](int ready, unsigned readyEvents) { (this->*handler)(ready, readyEvents); })) {
        return true;
    }
    const int err = runner != nullptr ? errno : EBADF;
    fail(nv::sysctlErrorStr("epoll_ctl", err));
    return false;
}
