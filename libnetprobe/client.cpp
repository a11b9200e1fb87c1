// The C client library over the bus's own codec and the service's field
// catalogue, so that the numbers and the bytes cannot drift from the
// service's. One packet per np_receive: nothing is read ahead, so the
// descriptor is readable exactly when a reply waits.
#include "netprobe/client.h"

#include "nv/WireCodec.h"
#include "protocol/BusPath.h"
#include "protocol/Fields.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define NP_API extern "C" __attribute__((visibility("default")))

static_assert(NP_CMD_TCP_PROBE == CMD_TCP_PROBE && NP_CMD_UDP_PROBE == CMD_UDP_PROBE &&
              NP_CMD_NETBIOS_STATUS == CMD_NETBIOS_STATUS && NP_CMD_UDP_SEND == CMD_UDP_SEND);
static_assert(NP_FIELD_COMMAND == field::command && NP_FIELD_TIMEOUT == field::timeout &&
              NP_FIELD_ELAPSED == field::elapsed && NP_FIELD_ADDRESS == field::address &&
              NP_FIELD_PORT == field::port && NP_FIELD_SKIP_FIRST_EXPECT == field::skip_first_expect &&
              NP_FIELD_HOLD_FIRST_SEND == field::hold_first_send && NP_FIELD_SEND_0 == field::send_0 &&
              NP_FIELD_EXPECT_0 == field::expect_0 && NP_FIELD_SEND_1 == field::send_1 &&
              NP_FIELD_EXPECT_1 == field::expect_1 && NP_FIELD_SEND_2 == field::send_2 &&
              NP_FIELD_EXPECT_2 == field::expect_2 && NP_FIELD_CONNECTED == field::connected &&
              NP_FIELD_GROUP_NAME == field::group_name && NP_FIELD_PAYLOAD == field::payload &&
              NP_FIELD_ALL_NAMES == field::all_names && NP_FIELD_NAMES == field::names &&
              NP_FIELD_UNIT_ID == field::unit_id && NP_FIELD_HOST_NAME == field::host_name);
static_assert(NP_ERROR_TIMEOUT == kTimeoutError);

struct np_message {
    nv::message body;
};

struct np_client {
    int fd = -1;
    uint32_t nextSequence = 1;
    std::unique_ptr<uint8_t[]> buffer;  // one packet and a byte, to notice one over the limit
};

namespace {

constexpr size_t kBufferSize = nv::wire::kMaxPacket + 1;

template <class T>
T fail(int error, T result) {
    errno = error;
    return result;
}

template <class Id>
int setField(np_message* message, uint32_t key, const typename Id::value_type& value) {
    if (message == nullptr) return fail(EINVAL, -1);
    message->body.insert<Id>(key, value);
    return 0;
}

template <class Id>
int getField(const np_message* message, uint32_t key, typename Id::value_type* value) {
    if (message == nullptr || value == nullptr) return fail(EINVAL, -1);
    const nv::message::Field* f = message->body.find(key);
    if (f == nullptr || f->type != Id::type) return fail(ENOENT, -1);
    *value = message->body.get<Id>(key);
    return 0;
}

// Waits for the descriptor to be readable; 1, 0 on timeout, -1 on error.
int waitReadable(int fd, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int left = -1;
        if (timeoutMs >= 0) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
            left = ms > 0 ? static_cast<int>(ms) : 0;
        }
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, left);
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

void dropConnection(np_client* client) {
    if (client->fd >= 0) close(client->fd);
    client->fd = -1;
}

}  // namespace

NP_API np_client* np_open(const char* bus_path) {
    std::string path = bus_path != nullptr ? bus_path : busPathFromEnvironment();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return fail<np_client*>(EINVAL, nullptr);
    std::memcpy(address.sun_path, path.data(), path.size());
    std::unique_ptr<np_client> client(new (std::nothrow) np_client);
    if (!client) return fail<np_client*>(ENOMEM, nullptr);
    client->buffer.reset(new (std::nothrow) uint8_t[kBufferSize]);
    if (!client->buffer) return fail<np_client*>(ENOMEM, nullptr);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // A Unix socket connects at once or refuses; a full backlog (EAGAIN) is
    // reported rather than waited for.
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        close(fd);
        return fail<np_client*>(error, nullptr);
    }
    client->fd = fd;
    return client.release();
}

NP_API void np_close(np_client* client) {
    if (client == nullptr) return;
    dropConnection(client);
    delete client;
}

NP_API int np_fd(const np_client* client) {
    if (client == nullptr) return fail(EINVAL, -1);
    if (client->fd < 0) return fail(ENOTCONN, -1);
    return client->fd;
}

NP_API np_message* np_message_new(uint32_t command) {
    np_message* message = new (std::nothrow) np_message;
    if (message == nullptr) return fail<np_message*>(ENOMEM, nullptr);
    message->body.insert<nv::u32_id>(field::command, command);
    return message;
}

NP_API void np_message_free(np_message* message) { delete message; }

NP_API int np_set_u32(np_message* message, uint32_t key, uint32_t value) {
    return setField<nv::u32_id>(message, key, value);
}

NP_API int np_set_be32(np_message* message, uint32_t key, uint32_t network_order_value) {
    return setField<nv::be32_id>(message, key, network_order_value);
}

NP_API int np_set_bool(np_message* message, uint32_t key, int value) {
    return setField<nv::bool_id>(message, key, value != 0);
}

NP_API int np_set_string(np_message* message, uint32_t key, const void* bytes, size_t length) {
    if (bytes == nullptr && length != 0) return fail(EINVAL, -1);
    if (length > nv::wire::kMaxPacket) return fail(EMSGSIZE, -1);
    return setField<nv::string_id>(message, key,
                                   length == 0 ? std::string() : std::string(static_cast<const char*>(bytes), length));
}

NP_API int np_send(np_client* client, const np_message* request, uint32_t* sequence) {
    if (client == nullptr || request == nullptr) return fail(EINVAL, -1);
    if (client->fd < 0) return fail(ENOTCONN, -1);
    if (nv::wire::encodedSize(nv::wire::Kind::request, request->body) > nv::wire::kMaxPacket)
        return fail(EMSGSIZE, -1);
    std::string packet = nv::wire::encode(nv::wire::Kind::request, client->nextSequence, 0, request->body);
    ssize_t sent;
    do sent = send(client->fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        int error = errno == EWOULDBLOCK || errno == ENOBUFS ? EAGAIN : errno;
        if (error != EAGAIN) {
            dropConnection(client);
            error = ENOTCONN;
        }
        return fail(error, -1);
    }
    if (sequence != nullptr) *sequence = client->nextSequence;
    if (++client->nextSequence == 0) client->nextSequence = 1;
    return 0;
}

NP_API np_message* np_receive(np_client* client, int timeout_ms, uint32_t* sequence) {
    if (client == nullptr) return fail<np_message*>(EINVAL, nullptr);
    for (;;) {
        if (client->fd < 0) return fail<np_message*>(ENOTCONN, nullptr);
        ssize_t n = recv(client->fd, client->buffer.get(), kBufferSize, MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            dropConnection(client);
            return fail<np_message*>(ENOTCONN, nullptr);
        }
        if (n < 0) {
            int ready = timeout_ms == 0 ? 0 : waitReadable(client->fd, timeout_ms);
            if (ready < 0) return nullptr;
            if (ready == 0) return fail<np_message*>(ETIMEDOUT, nullptr);
            continue;
        }
        if (n == 0) {  // the service closed the connection
            dropConnection(client);
            return fail<np_message*>(ENOTCONN, nullptr);
        }
        nv::wire::Packet packet;
        bool sequenceKnown = false;
        nv::wire::DecodeResult result =
            nv::wire::decode(client->buffer.get(), static_cast<size_t>(n), &packet, &sequenceKnown);
        if (sequence != nullptr) *sequence = sequenceKnown ? packet.sequence : 0;
        if (static_cast<size_t>(n) > nv::wire::kMaxPacket) return fail<np_message*>(EMSGSIZE, nullptr);
        if (result != nv::wire::DecodeResult::ok || packet.kind != nv::wire::Kind::reply)
            return fail<np_message*>(EBADMSG, nullptr);
        np_message* reply = new (std::nothrow) np_message{std::move(packet.body)};
        if (reply == nullptr) return fail<np_message*>(ENOMEM, nullptr);
        return reply;
    }
}

NP_API int np_status(const np_message* reply) {
    if (reply == nullptr) return fail(EINVAL, -1);
    switch (reply->body.status()) {
    case nv::ReplyStatus::plain: return NP_SUCCESS;
    case nv::ReplyStatus::failed: return NP_FAILED;
    case nv::ReplyStatus::error: break;
    }
    return NP_ERROR;
}

NP_API uint32_t np_error_code(const np_message* reply) {
    if (reply == nullptr) return fail(EINVAL, 0u);
    return reply->body.status() == nv::ReplyStatus::error ? reply->body.errorCode() : 0;
}

NP_API const char* np_text(const np_message* reply, size_t* length) {
    if (reply == nullptr || length == nullptr) return fail<const char*>(EINVAL, nullptr);
    *length = reply->body.statusText().size();
    return reply->body.statusText().data();
}

NP_API int np_get_u32(const np_message* message, uint32_t key, uint32_t* value) {
    return getField<nv::u32_id>(message, key, value);
}

NP_API int np_get_be32(const np_message* message, uint32_t key, uint32_t* network_order_value) {
    return getField<nv::be32_id>(message, key, network_order_value);
}

NP_API int np_get_bool(const np_message* message, uint32_t key, int* value) {
    bool flag = false;
    if (value == nullptr) return fail(EINVAL, -1);
    if (getField<nv::bool_id>(message, key, &flag) != 0) return -1;
    *value = flag ? 1 : 0;
    return 0;
}

NP_API const void* np_get_string(const np_message* message, uint32_t key, size_t* length) {
    if (message == nullptr || length == nullptr) return fail<const void*>(EINVAL, nullptr);
    const nv::message::Field* f = message->body.find(key);
    if (f == nullptr || f->type != nv::FieldType::string) return fail<const void*>(ENOENT, nullptr);
    *length = f->bytes.size();
    return f->bytes.data();
}
