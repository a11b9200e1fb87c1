// What the benchmarks and the soak read of a running process from /proc: its
// resident memory, the CPU time it has used, its open descriptors and the
// sockets among them. Each reading is taken when asked for.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <thread>

class ProcessReadings {
public:
    explicit ProcessReadings(pid_t pid);
    // This process.
    static ProcessReadings self();

    // VmRSS in KiB, or -1.
    long residentKiB() const;
    // User plus system time of all its threads, in seconds (clock ticks).
    double cpuSeconds() const;
    // Open descriptors, or -1.
    int openDescriptors() const;
    // The inode numbers of its sockets.
    std::set<unsigned long> socketInodes() const;

    // CPU time one thread of this process has used, in seconds; 0 for a
    // thread that is not running.
    static double threadCpuSeconds(std::thread& thread);

private:
    pid_t pid_;
    std::string folder_;  // /proc/<pid>
};
