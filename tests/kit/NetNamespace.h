// NetNamespace: a private network of two hosts for one test.
//
// Two network namespaces that the test creates and deletes, joined by a veth
// pair: "near" (10.213.0.1/24), where the code under test runs, and "far"
// (10.213.0.2/24), the probed host. Nothing outside the two namespaces is
// reachable from either, and every instance has its own names, so tests
// running at the same time never meet, whatever addresses they use.
//
// A thread that enters a namespace creates its sockets there, and a socket
// stays in the namespace it was created in: a test can enter far to open a
// listener, then near to probe it, all on its one thread.
//
// Needs root and iproute2 (`ip`); without them ok() is false and error()
// says why, and the test skips.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class NetNamespace {
public:
    static constexpr const char* kNearAddress = "10.213.0.1";
    static constexpr const char* kFarAddress = "10.213.0.2";

    NetNamespace();
    // Returns the thread to the namespace it started in and deletes both
    // namespaces (which takes the veth pair with them).
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& nearName() const { return nearName_; }
    const std::string& farName() const { return farName_; }

    // The addresses in network byte order, as the `address` field has them.
    static uint32_t nearAddress();
    static uint32_t farAddress();

    // Moves the calling thread into a namespace; leave() moves it back.
    bool enterNear() { return enter(nearName_); }
    bool enterFar() { return enter(farName_); }
    void leave();

    // Runs `ip netns exec <far> <argv...>`; returns the exit status.
    int runInFar(const std::vector<std::string>& argv) const;
    // The far host goes on receiving but answers nothing: its way back to
    // the near host is a blackhole route, so connects to it stay unanswered
    // and datagrams to it get no reply and no ICMP error.
    bool silenceFar() const;

    // Runs a program with arguments and waits for it; the exit status, or
    // -1 when it could not be run.
    static int run(const std::vector<std::string>& argv);

private:
    bool enter(const std::string& name);

    std::string nearName_;
    std::string farName_;
    std::string error_;
    int homeFd_ = -1;  // the namespace the thread started in
    bool nearMade_ = false;
    bool farMade_ = false;
};
