// A TCP server that holds thousands of connections at once: one epoll loop
// on a thread of its own serves every connection, so that it is not what
// limits a rate being measured (cpuSeconds() shows what it used).
//
// banner: greets with "220 ready\r\n", answers the first line it reads
//         with "250 ok\r\n", closes when the client closes.
// silent: accepts and holds every connection, says nothing, closes when
//         the client closes; for probes that must stay in flight.
// closing: accepts and closes at once (the client reads the end of the
//         connection).
// resetting: accepts and resets at once (SO_LINGER of 0, then close).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class LoopbackTcpServer {
public:
    enum class Mode { banner, silent, closing, resetting };

    // One listener on each address, each on a port the system chooses.
    // Several addresses give the clients' ephemeral ports room: closed
    // connections linger in TIME_WAIT per (source, destination) pair.
    LoopbackTcpServer(const std::vector<std::string>& addresses, Mode mode);
    ~LoopbackTcpServer();
    LoopbackTcpServer(const LoopbackTcpServer&) = delete;
    LoopbackTcpServer& operator=(const LoopbackTcpServer&) = delete;

    bool ok() const { return thread_.joinable(); }
    // The port of each address, in the order given.
    const std::vector<uint16_t>& ports() const { return ports_; }
    // Connections accepted so far, and those still open.
    uint64_t accepted() const { return accepted_; }
    int open() const { return open_; }

    // CPU time the serving thread has used, in seconds.
    double cpuSeconds();

private:
    void serve();
    bool isListener(int fd) const;
    void acceptAll(int listener);

    Mode mode_;
    std::vector<int> listeners_;
    std::vector<uint16_t> ports_;
    int epoll_ = -1;
    int wake_ = -1;  // an eventfd: readable when the server is to stop
    // Per descriptor: unused, or whether its line was answered yet; touched
    // by the serving thread only.
    std::vector<uint8_t> answered_;
    // A word, not 64 bits: 64-bit atomics need libatomic on the 32-bit device.
    std::atomic<unsigned long> accepted_{0};
    std::atomic<int> open_{0};
    std::thread thread_;
};
