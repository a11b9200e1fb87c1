#include "tests/kit/NetNamespace.h"

#include "tests/kit/Sockets.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<unsigned> instanceCount{0};

}  // namespace

NetNamespace::NetNamespace()
{
    if (geteuid() != 0) {
        error_ = "network namespaces need root";
        return;
    }
    // Short names: interface names are at most 15 characters.
    const std::string base = "np" + std::to_string(getpid()) + "x" + std::to_string(instanceCount++);
    nearName_ = base + "n";
    farName_ = base + "f";
    homeFd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (homeFd_ < 0) {
        error_ = "cannot open this thread's network namespace";
        return;
    }
    nearMade_ = run({"ip", "netns", "add", nearName_}) == 0;
    farMade_ = nearMade_ && run({"ip", "netns", "add", farName_}) == 0;
    if (!farMade_) {
        error_ = "ip netns add failed (no iproute2, or no namespace support)";
        return;
    }
    const std::string nearLink = base + "a";
    const std::string farLink = base + "b";
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "-n", nearName_, "link", "add", nearLink, "type", "veth", "peer", "name", farLink, "netns", farName_},
        {"ip", "-n", nearName_, "addr", "add", std::string(kNearAddress) + "/24", "dev", nearLink},
        {"ip", "-n", farName_, "addr", "add", std::string(kFarAddress) + "/24", "dev", farLink},
        {"ip", "-n", nearName_, "link", "set", nearLink, "up"},
        {"ip", "-n", farName_, "link", "set", farLink, "up"},
        {"ip", "-n", nearName_, "link", "set", "lo", "up"},
        {"ip", "-n", farName_, "link", "set", "lo", "up"},
    };
    for (const auto& step : steps) {
        if (run(step) != 0) {
            error_ = "network set-up failed at: ip " + step[3] + " " + step[4];
            return;
        }
    }
}

NetNamespace::~NetNamespace()
{
    leave();
    if (homeFd_ >= 0) ::close(homeFd_);
    if (nearMade_) run({"ip", "netns", "del", nearName_});
    if (farMade_) run({"ip", "netns", "del", farName_});
}

uint32_t NetNamespace::nearAddress()
{
    return ipv4(kNearAddress);
}

uint32_t NetNamespace::farAddress()
{
    return ipv4(kFarAddress);
}

bool NetNamespace::enter(const std::string& name)
{
    if (!ok()) return false;
    const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

void NetNamespace::leave()
{
    if (homeFd_ >= 0) ::setns(homeFd_, CLONE_NEWNET);
}

int NetNamespace::runInFar(const std::vector<std::string>& argv) const
{
    std::vector<std::string> full = {"ip", "netns", "exec", farName_};
    full.insert(full.end(), argv.begin(), argv.end());
    return run(full);
}

bool NetNamespace::silenceFar() const
{
    return run({"ip", "-n", farName_, "route", "add", "blackhole", std::string(kNearAddress) + "/32"}) == 0;
}

int NetNamespace::run(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
