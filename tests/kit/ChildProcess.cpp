#include "tests/kit/ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

// Whether the child has ended within timeoutMs; it is left to be reaped.
// Waits on a pidfd, which becomes readable when the child ends; without
// one (an older kernel, or an emulator that lacks the call) it asks every
// 10 ms.
bool endsWithin(pid_t pid, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&] {  // whole milliseconds, rounded up: never short of the deadline
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        return us > 0 ? static_cast<int>((us + 999) / 1000) : 0;
    };
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do ready = poll(&p, 1, left());
        while (ready < 0 && errno == EINTR);
        close(pidfd);
        return ready == 1;
    }
#endif
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
        if (info.si_pid == pid) return true;
        if (left() == 0) return false;
        poll(nullptr, 0, 10);
    }
}

}  // namespace

int reapChild(pid_t pid, int timeoutMs) {
    if (pid <= 0) return -1;
    if (!endsWithin(pid, timeoutMs)) kill(pid, SIGKILL);
    int status = 0;
    pid_t got;
    do got = waitpid(pid, &status, 0);
    while (got < 0 && errno == EINTR);
    return got == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int stopChild(pid_t pid, int graceMs) {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    return reapChild(pid, graceMs);
}
