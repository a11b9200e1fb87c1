#include "tests/kit/ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Whether the child ends within timeoutMs (it is left to be reaped), woken
// by a pidfd (Linux 5.3; qemu-user has it too).
bool endsWithin(pid_t pid, int timeoutMs) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && poll(&p, 1, timeoutMs) == 1;
    if (pidfd >= 0) close(pidfd);
    return ended;
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
