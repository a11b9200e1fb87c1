// Runs the real netprobed for a benchmark program, the way the test harness
// does (tests/harness/ServiceProcess): fork and exec with NETPROBE_BUS set
// to a private path, wait for the bus to answer, stop it by its process id.
// Header-only because every bench/*.cpp becomes a program of its own.
//
// The service is found in env NETPROBED, else beside the bench folder
// (<build>/bench/X -> <build>/netprobed). Its standard output goes to
// /dev/null, and its descriptor limit is raised so that tens of thousands
// of probes can hold sockets at once.
//
// Also here: what the benchmarks read of a running process from /proc
// (resident memory, CPU time, open descriptors).
#pragma once

#include "nv/BusClient.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>
#include <time.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

class BenchService {
public:
    static constexpr rlim_t kDescriptorLimit = 80000;

    BenchService() { ready_ = start(); }
    ~BenchService() {
        stop();
        if (!folder_.empty()) {
            unlink(busPath_.c_str());
            rmdir(folder_.c_str());
        }
    }
    BenchService(const BenchService&) = delete;
    BenchService& operator=(const BenchService&) = delete;

    bool ready() const { return ready_; }
    const std::string& busPath() const { return busPath_; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

    // SIGTERM, up to 10 s to end, then SIGKILL.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status;
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            poll(nullptr, 0, 10);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    static std::string programPath() {
        if (const char* path = std::getenv("NETPROBED")) return path;
        char self[PATH_MAX];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) return "netprobed";
        std::string path(self, static_cast<size_t>(length));
        path.resize(path.rfind('/'));  // <build>/bench
        path.resize(path.rfind('/'));  // <build>
        return path + "/netprobed";
    }

    // Lets this process hold as many descriptors as the service may.
    static void raiseOwnDescriptorLimit() {
        rlimit limit{kDescriptorLimit, kDescriptorLimit};
        setrlimit(RLIMIT_NOFILE, &limit);
    }

private:
    bool start() {
        char pattern[] = "/tmp/netprobe-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            error_ = "mkdtemp failed";
            return false;
        }
        folder_ = pattern;
        busPath_ = folder_ + "/bus.sock";
        const std::string program = programPath();
        if (access(program.c_str(), X_OK) != 0) {
            error_ = "no netprobed at " + program + " (set NETPROBED)";
            return false;
        }
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            setenv("NETPROBE_BUS", busPath_.c_str(), 1);
            int devNull = open("/dev/null", O_WRONLY);
            if (devNull >= 0) {
                dup2(devNull, STDOUT_FILENO);
                close(devNull);
            }
            rlimit limit{kDescriptorLimit, kDescriptorLimit};
            setrlimit(RLIMIT_NOFILE, &limit);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Up to 20 s for the bus to answer.
        for (int i = 0; i < 400; ++i) {
            nv::BusClient probe;
            std::string ignored;
            if (probe.connect(busPath_, &ignored)) return true;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                error_ = "netprobed exited at start";
                return false;
            }
            poll(nullptr, 0, 50);
        }
        error_ = "netprobed did not open its bus";
        return false;
    }

    std::string folder_;
    std::string busPath_;
    std::string error_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// VmRSS of a process in KiB, or -1.
// CPU time a thread of the bench process has used, in seconds.
inline double threadCpuSeconds(std::thread& thread) {
    clockid_t clock;
    timespec used{};
    if (!thread.joinable() || pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

inline long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// User plus system CPU time of a process, in seconds.
inline double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends at the last ')'; utime and
    // stime are fields 14 and 15, the 12th and 13th after it.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string word;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> word; ++i) {
        if (i == 14) utime = std::stoull(word);
        if (i == 15) stime = std::stoull(word);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline int openDescriptors(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return -1;
    int count = 0;
    while (readdir(dir)) ++count;
    closedir(dir);
    return count - 2;  // . and ..
}

// CPU time of this process (all its threads), in seconds.
inline double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Polls every 20 ms until `done` or timeoutMs has passed.
template <class Done>
bool waitFor(Done done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        poll(nullptr, 0, 20);
    }
    return done();
}

inline uint32_t ipv4(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// A port where nothing listens on `host` (bound, then closed).
inline uint16_t closedTcpPort(const char* host) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ipv4(host);
    socklen_t length = sizeof local;
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    close(fd);
    return ntohs(local.sin_port);
}
