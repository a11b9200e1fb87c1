#include "tests/kit/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

NetNamespace::NetNamespace(bool silentFar) {
    static unsigned instances = 0;
    // Short names: interface names are at most 15 characters.
    const std::string base = "np" + std::to_string(getpid()) + "x" + std::to_string(instances++);
    nearName_ = base + "n";
    farName_ = base + "f";
    homeFd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (homeFd_ < 0 || !run("set -e; n=" + nearName_ + " f=" + farName_ + " a=" + base + "a b=" + base + "b" + R"(
            ip netns add $n; ip netns add $f; ip -n $n link add $a type veth peer name $b netns $f
            ip -n $n addr add 10.213.0.1/24 dev $a; ip -n $f addr add 10.213.0.2/24 dev $b
            ip -n $n link set $a up; ip -n $f link set $b up; ip -n $n link set lo up; ip -n $f link set lo up
            )" + (silentFar ? "ip -n $f route add blackhole 10.213.0.1/32" : "")))
        error_ = "network set-up failed: it needs root, iproute2 and namespaces";
}

NetNamespace::~NetNamespace() {
    if (homeFd_ < 0) return;  // nothing was made
    ::setns(homeFd_, CLONE_NEWNET);
    ::close(homeFd_);
    run("{ ip netns del " + nearName_ + "; ip netns del " + farName_ + "; } 2>/dev/null");
}

bool NetNamespace::enterNear() {
    const int fd = ok() ? ::open(("/run/netns/" + nearName_).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    return entered;
}
