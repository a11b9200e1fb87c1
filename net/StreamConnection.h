// StreamConnection: one outgoing IPv4 TCP connection driven by the loop.
//
// A non-blocking connect bounded by its own timer, a send buffer holding what
// the owner writes until the socket takes it, and reads handed to the owner
// as they arrive. Held through Ref by its one owner (a TCP probe); the last
// release destroys it, which stops the loop watching the descriptor, closes
// it and cancels both timers, so nothing is delivered afterwards.
//
// The owner hears of it only through callbacks, and each callback is the
// last step of the routine that makes it, because the owner may release the
// connection inside it:
// - data: (nullptr, 0) once when the connect completes (after any queued
//   bytes were offered to the socket), then (bytes, 1..8192) per read; the
//   bytes live in one receive area shared by all connections and are valid
//   only during the call;
// - error: at most once, with the first failure's text, always from a
//   zero-tick timer on a later pass, never from inside the call that met it.
#pragma once

#include "core/Ref.h"
#include "nv/Timer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class StreamConnection : public RefCounted {
public:
    using DataCallback = std::function<void(const uint8_t* data, uint32_t length)>;
    using ErrorCallback = std::function<void(std::string text)>;

    static constexpr uint32_t kConnectTicks = 1000;  // 10 s
    static constexpr uint32_t kReceiveSize = 8192;
    // How long closeWhenSent waits, at most, for the peer to close.
    static constexpr uint32_t kLingerTicks = 200;  // 2 s

    StreamConnection() = default;
    ~StreamConnection() override;
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;

    // Starts the connect, once per connection. `address` in network byte
    // order; the low 16 bits of `port` are the port. Every outcome, also a
    // failure met in here, reaches the owner after open has returned.
    void open(uint32_t address, uint32_t port);

    void setDataCallback(DataCallback callback);
    void setErrorCallback(ErrorCallback callback);

    // Queues the bytes (dropped once the connection has failed) and, with
    // `flush` and an established connection, tries to send them at once.
    void write(const void* data, uint32_t length, bool flush);

    // Lets the connection go without losing what the owner wrote: call it
    // just before releasing the last reference. The callbacks are dropped
    // at once. A connection that was written to stays on by itself until
    // its send buffer is empty, then half-closes and reads, discarding,
    // until the peer closes or kLingerTicks pass, and only then closes:
    // closing with the peer's bytes unread would reset the connection, and
    // a reset can destroy what the peer has not read yet. Any other
    // connection closes when released, as usual.
    void closeWhenSent();

    int fd() const { return fd_; }
    bool isConnected() const { return isConnected_; }
    // Empty while healthy; the first failure's text afterwards.
    const std::string& errorText() const { return errorText_; }
    // The interest last given to the loop: 1 readable, 4 writable.
    unsigned events() const { return events_; }
    size_t queuedBytes() const { return sendBuffer_.size(); }

private:
    // One attempt to send the whole send buffer; false when it failed.
    bool trySend();
    // The one failure path: closes the socket, keeps the first text, arms
    // the notification.
    void fail(const std::string& text);
    void onConnectTimeout();
    void onConnected(int descriptor, unsigned events);
    void onReady(int descriptor, unsigned events);
    void notifyError();
    // The end of closeWhenSent's wait: drops the connection's hold on
    // itself, which destroys it. Last step of its caller.
    void endLinger();
    // Watches the descriptor with `handler`; on refusal, fails the
    // connection (an unwatched socket would never report anything) and
    // returns false.
    bool watch(int descriptor, unsigned events, void (StreamConnection::*handler)(int, unsigned));

    int fd_ = -1;
    nv::Timer connectTimer_;
    nv::Timer notifyTimer_;
    std::string errorText_;
    bool isConnected_ = false;
    unsigned events_ = 0;
    std::vector<uint8_t> sendBuffer_;
    DataCallback dataCallback_;
    ErrorCallback errorCallback_;
    bool written_ = false;   // the owner has written bytes
    bool lingering_ = false; // closeWhenSent is seeing the bytes through
    Ref<StreamConnection> self_;  // held while lingering
};
