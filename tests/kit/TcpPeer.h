// A scripted TCP server for tests: listens on a loopback address and runs
// a script on each accepted connection, on a thread of its own (tests may
// use threads; the service never does). Stops and joins on destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TcpPeer {
public:
    using Script = std::function<void(int fd)>;

    // Accepts up to `connections` connections, one at a time.
    TcpPeer(const std::string& address, Script script, int connections = 1);
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    bool ok() const { return listener_ >= 0; }
    uint16_t port() const { return port_; }
    int accepted() const { return accepted_; }

    // Script helpers.
    static bool sendAll(int fd, const std::string& bytes);
    // Reads until `text` has arrived (true) or the peer closed or timeoutMs
    // passed (false); everything read is appended to *seen.
    static bool readUntil(int fd, const std::string& text, int timeoutMs, std::string* seen);
    // Reads until the peer closes or timeoutMs passes; returns what came.
    static std::string readToClose(int fd, int timeoutMs);

private:
    void serve(Script script, int connections);

    int listener_ = -1;
    int wake_ = -1;  // tells the thread to stop
    uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
