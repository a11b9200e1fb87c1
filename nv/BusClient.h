// A client of the bus: one connection, many requests in flight. Blocking,
// with time limits; for command-line tools and tests, not for the loop.
//
// send() stamps each request with a sequence number of the client's and
// returns it; replies are matched by that number. waitReply() returns the
// reply of one request, keeping replies of others for later; nextReply()
// returns whichever reply comes first (replies already received first,
// lowest sequence first). A connection the service closes becomes
// unconnected; replies received before that can still be collected.
#pragma once

#include "nv/WireCodec.h"
#include "nv/message.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nv {

class BusClient {
public:
    BusClient() = default;
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // False with a readable line in *error when the bus cannot be reached.
    bool connect(const std::string& path, std::string* error);
    void close();
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Sends one request; returns its sequence number, or 0 (with *error)
    // when the request could not be sent within timeoutMs.
    uint32_t send(const message& request, unsigned arg, std::string* error,
                  int timeoutMs = 10000);
    // Waits up to timeoutMs (-1: for ever) for the reply to `sequence`.
    bool waitReply(uint32_t sequence, message* reply, int timeoutMs, std::string* error);
    // Waits up to timeoutMs (-1: for ever) for any reply.
    bool nextReply(uint32_t* sequence, message* reply, int timeoutMs, std::string* error);
    // The same without waiting, for a caller's own poll loop, many requests
    // to one system call: queue() numbers and keeps one (0 with *error when
    // it is too large); sendQueued() sends what is kept, in order, as far
    // as the socket takes it (`full`: wait until it is writable).
    // takeReply() gives a reply already in, or `none`.
    enum class SendResult { sent, full, failed };
    uint32_t queue(const message& request, unsigned arg, std::string* error);
    SendResult sendQueued(std::string* error);
    size_t queuedCount() const { return queued_.size(); }
    enum class ReceiveResult { reply, none, failed };
    ReceiveResult takeReply(uint32_t* sequence, message* reply, std::string* error);
    // Sends and waits for the reply.
    bool call(const message& request, unsigned arg, message* reply, int timeoutMs,
              std::string* error);

private:
    enum class ReadResult { got, timedOut, failed };
    // Receives at most one reply into early_.
    ReadResult readOne(int timeoutMs, std::string* error);
    void dropConnection();

    int fd_ = -1;
    // Packets go many to a system call; replies each into a buffer of
    // kMaxPacket + 1 bytes, to notice one over the limit.
    static constexpr unsigned kBatch = 32;
    static constexpr size_t kBufferSize = wire::kMaxPacket + 1;
    std::unique_ptr<uint8_t[]> buffers_;
    std::deque<std::string> queued_;  // encoded requests not yet sent
    uint32_t nextSequence_ = 1;
    std::map<uint32_t, message> early_;  // replies that arrived before they were asked for
};

}  // namespace nv
