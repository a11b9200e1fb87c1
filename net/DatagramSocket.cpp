#include "net/DatagramSocket.h"

#include "core/DiagnosticLog.h"
#include "nv/ThinRunner.h"
#include "support/IPAddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every line of this class: the prefix, then the parts.
template <class... Parts>
void diagnostic(const Parts&... parts)
{
    std::ostringstream line;
    line << "UDP: ";
    (line << ... << parts);
    DiagnosticLog::standardOutput().write(line.str());
}

}  // namespace

DatagramSocket::~DatagramSocket()
{
    if (destroyed_) *destroyed_ = true;
    if (fd_ >= 0) {
        if (nv::ThinRunner* runner = nv::getRunner()) runner->removeSocket(fd_);
        ::close(fd_);
    }
}

bool DatagramSocket::open()
{
    // Non-blocking, so that neither a read after a readiness report whose
    // datagram the kernel then dropped (a bad checksum) nor the endpoint's
    // sendto into a full buffer can hold up the loop.
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        const int err = errno;  // before the stream can touch it
        diagnostic("socket: ", err);
        return false;
    }
    nv::ThinRunner* runner = nv::getRunner();
    const bool watched = runner != nullptr &&
        runner->addSocket(fd_, nv::ThinRunner::kReadable,
                          [this](int descriptor, unsigned events) { onReadable(descriptor, events); });
    if (!watched) {
        // An unwatched socket would never deliver anything: report it as the
        // failure it is rather than as an open socket.
        const int err = runner != nullptr ? errno : EBADF;
        diagnostic("epoll_ctl: ", err);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool DatagramSocket::bind()
{
    const int on = 1, off = 0;
    if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        diagnostic("can't set SO_REUSEADDR");
    }
    // The option is off for the bind itself: with it on, Linux gives a port
    // it chooses to several such sockets at once, and the newest then takes
    // the datagrams of all (one probe gets another's answer, the other
    // times out). Off, the port is this socket's alone; on again after.
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    const sockaddr_in any = IPAddr::socketAddress(INADDR_ANY, 0);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any) < 0) {
        const int err = errno;
        diagnostic("bind: ", err);
        closeDescriptor();
        return false;
    }
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return true;
}

void DatagramSocket::connect(uint32_t address, uint32_t port)
{
    const sockaddr_in peer = IPAddr::socketAddress(address, port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
        const int err = errno;
        diagnostic("connect ", IPAddr::str(address), ":", port, ": ", err);
        closeDescriptor();
    }
}

bool DatagramSocket::send(const void* data, uint32_t length)
{
    // MSG_NOSIGNAL: no send of the service may raise SIGPIPE.
    const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
    if (sent < 0 || static_cast<uint32_t>(sent) < length) {
        // A short datagram send leaves errno as it was; 0 then says "none".
        const int err = sent < 0 ? errno : 0;
        diagnostic("send: ", err);
        return false;
    }
    return true;
}

void DatagramSocket::setReceiveCallback(ReceiveCallback callback)
{
    receiveCallback_ = std::move(callback);
}

void DatagramSocket::onReadable(int descriptor, unsigned /*events*/)
{
    for (uint32_t read = 0; read < readsPerReport_; ++read) {
        uint8_t buffer[kReceiveSize];
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        const ssize_t received = ::recvfrom(descriptor, buffer, sizeof buffer, 0,
                                            reinterpret_cast<sockaddr*>(&source), &sourceLength);
        const int err = received < 0 ? errno : 0;
        // After the first read, an empty queue just ends the report.
        if (read > 0 && received < 0 && err == EAGAIN) return;
        if (!receiveCallback_) {
            if (received < 0) return;
            continue;  // consumed and dropped
        }

        DatagramRecord record;
        if (received > 0) {
            record.failed = false;
            record.length = static_cast<int32_t>(received);
            record.data = buffer;
            record.sourceAddress = source.sin_addr.s_addr;
            record.sourcePort = ntohs(source.sin_port);
        } else {
            record.error = err;  // 0 for a datagram of length 0
        }
        if (readsPerReport_ == 1) {
            // Last step: the callback may release this socket and so destroy
            // it, the callback object included; nothing of *this is touched
            // afterwards.
            receiveCallback_(record);
            return;
        }
        bool destroyed = false;
        destroyed_ = &destroyed;
        receiveCallback_(record);
        if (destroyed) return;
        destroyed_ = nullptr;
        if (received < 0) return;  // an error: the next report will tell more
    }
}

void DatagramSocket::absorbBursts(int bufferBytes, uint32_t reads)
{
    if (fd_ >= 0 &&
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    }
    readsPerReport_ = reads > 0 ? reads : 1;
}

void DatagramSocket::closeDescriptor()
{
    if (fd_ < 0) return;  // never had one: nothing to stop watching or close
    if (nv::ThinRunner* runner = nv::getRunner()) runner->removeSocket(fd_);
    ::close(fd_);
    fd_ = -1;
}
