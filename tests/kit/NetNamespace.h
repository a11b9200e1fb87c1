// NetNamespace: a private network of two hosts for one test, deleted with the
// object: "near" (10.213.0.1/24), where the code under test runs, and "far"
// (10.213.0.2/24), the probed host, joined by a veth pair alone and named for
// this process and object. Needs root and iproute2; else error() says why.
#pragma once

#include "tests/kit/Sockets.h"

#include <cstdint>
#include <cstdlib>
#include <string>

class NetNamespace {
public:
    static constexpr const char* kFarAddress = "10.213.0.2";

    // A silent far goes on receiving but answers nothing, not even with an
    // ICMP error or a reset: its way back to near is a blackhole route.
    explicit NetNamespace(bool silentFar = false);
    ~NetNamespace();  // takes the thread back where it started, then deletes both
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& nearName() const { return nearName_; }
    const std::string& farName() const { return farName_; }
    static uint32_t farAddress() { return ipv4(kFarAddress); }  // network byte order, as `address` has it

    bool enterNear();  // moves the calling thread, and the sockets it makes, into near
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }  // exit 0?

private:
    std::string nearName_, farName_, error_;
    int homeFd_ = -1;  // the namespace the thread started in
};
