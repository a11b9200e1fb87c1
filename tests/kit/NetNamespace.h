// NetNamespace: a private network of two hosts for one test, deleted with the
// object: namespaces "near" (10.213.0.1/24), where the code under test runs,
// and "far" (10.213.0.2/24), the probed host, joined by a veth pair and by
// nothing else, named for this process and object alone. Needs root and
// iproute2 (`ip`); without them ok() is false and error() says why.
#pragma once

#include "tests/kit/Sockets.h"

#include <cstdint>
#include <cstdlib>
#include <string>

class NetNamespace {
public:
    static constexpr const char* kNearAddress = "10.213.0.1";
    static constexpr const char* kFarAddress = "10.213.0.2";

    NetNamespace();
    ~NetNamespace();  // takes the thread back where it started, then deletes both
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& nearName() const { return nearName_; }
    const std::string& farName() const { return farName_; }
    // In network byte order, as the `address` field has it.
    static uint32_t farAddress() { return ipv4(kFarAddress); }

    bool enterNear();  // moves the calling thread, and the sockets it makes, into near
    // Far goes on receiving but answers nothing, not even with an ICMP error
    // or a reset: its way back to near is a blackhole route.
    bool silenceFar() const;
    // Runs a shell command line; whether it exited with 0.
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

private:
    std::string nearName_, farName_, error_;
    int homeFd_ = -1;  // the namespace the thread started in
};
