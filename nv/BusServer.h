// The service end of the bus (docs/bus-protocol.md): the listening socket
// and the connections of the clients. Private to the framework; the Looper
// owns one and everything runs on the loop thread.
//
// Each accepted connection gets a 64-bit id that is never reused. A request
// carries its connection's id in its route, and replies are sent by id, so a
// reply can never reach a later connection that happens to get the same
// descriptor number; the reply of a connection that has gone is dropped.
//
// Nothing a client does can stall the loop or grow memory without bound:
// replies that do not fit the socket wait in a queue of at most
// kMaxQueuedBytes per connection (past that the client is disconnected) and
// kMaxQueuedTotal over all of them (past that the client with the longest
// queue is disconnected), at
// most kReadBurst packets are read per connection per readiness report, at
// most kMaxConnections clients are served at once, and an exhausted
// descriptor table pauses accepting instead of spinning on the listener.
//
// System calls are the bulk of the bus's cost, so requests are read up to
// kReadBatch to a call, and the replies of one loop pass wait in their
// connection's queue for a zero-tick timer that sends them together, many
// to a call, at the start of the next pass.
#pragma once

#include "nv/Timer.h"
#include "nv/message.h"
#include "nv/policies.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace nv {

class ThinRunner;

class BusServer {
public:
    // Queued reply bytes per connection before it is cut off; every packet
    // counts at least kMinPacketCharge, so many tiny replies are bounded too.
    static constexpr size_t kMaxQueuedBytes = 8u << 20;
    static constexpr size_t kMinPacketCharge = 64;
    static constexpr size_t kMaxQueuedTotal = 32u << 20;
    static constexpr unsigned kReadBurst = 64;
    // Read buffers of kMaxPacket + 1 bytes each, to notice one over the
    // limit; left unfilled, so a small packet touches only its first page.
    static constexpr unsigned kReadBatch = 8;
    static constexpr unsigned kAcceptBurst = 64;
    static constexpr size_t kMaxConnections = 256;
    static constexpr uint32_t kAcceptRetryTicks = 10;  // 100 ms

    // Called for each request that decodes; the request's route is set.
    using Deliver = std::function<void(const message& request, unsigned arg, const PeerCredentials& peer)>;

    BusServer(ThinRunner& runner, Deliver deliver);
    ~BusServer();
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;

    // Binds and listens at `path`; see Looper::openBus.
    bool open(const std::string& path, std::string* error);
    bool isOpen() const { return listenFd_ >= 0; }
    // Disconnects every client, closes the listener and removes the socket
    // file if it is still the one this server bound.
    void close();

    // Sends a reply on connection `id` under `sequence`; dropped when the
    // connection has gone.
    void sendReply(uint64_t id, uint32_t sequence, const message& reply);

    size_t connectionCount() const { return connections_.size(); }

private:
    struct Connection {
        uint64_t id;
        int fd;
        PeerCredentials peer;
        std::deque<std::string> queue;  // encoded replies waiting to be sent
        size_t queuedCharge = 0;        // sum of max(size, kMinPacketCharge)
        bool flushDue = false;          // in flushDue_: sent at the next flush
        bool watchingWritable = false;  // the socket was full: sent when it has room
    };

    bool checkExisting(const std::string& path, std::string* error);
    void watchListener();
    void onListenerReadable();
    void pauseAccepting();
    void onConnectionEvent(uint64_t id, unsigned events);
    void readPackets(uint64_t id);
    void handlePacket(uint64_t id, const uint8_t* data, size_t size);
    void flushDue();
    bool flush(Connection& c);
    void enqueue(Connection& c, std::string packet);
    void disconnect(uint64_t id);
    void disconnectLongestQueue();
    Connection* find(uint64_t id);

    ThinRunner& runner_;
    Deliver deliver_;
    int listenFd_ = -1;
    std::string path_;
    dev_t boundDev_ = 0;  // identity of the socket file we created
    ino_t boundIno_ = 0;
    uint64_t nextId_ = 1;  // 0 is "no route"
    std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
    size_t queuedTotal_ = 0;  // sum of the connections' queuedCharge
    std::unique_ptr<uint8_t[]> buffers_;  // kReadBatch packets
    std::vector<uint64_t> flushDue_;      // connections with replies of this pass
    Timer flushTimer_;
    Timer acceptRetry_;
};

}  // namespace nv
