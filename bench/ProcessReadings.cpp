#include "bench/ProcessReadings.h"

#include <dirent.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

ProcessReadings::ProcessReadings(pid_t pid) : pid_(pid), folder_("/proc/" + std::to_string(pid)) {}

ProcessReadings ProcessReadings::self() {
    return ProcessReadings(getpid());
}

long ProcessReadings::residentKiB() const {
    std::ifstream in(folder_ + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

double ProcessReadings::cpuSeconds() const {
    std::ifstream in(folder_ + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name, field 2, may hold spaces and ')': the fields after
    // it start past the last ')'. utime and stime are fields 14 and 15.
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) return 0;
    std::istringstream rest(text.substr(nameEnd + 1));
    std::string word;
    unsigned long long utime = 0, stime = 0;
    for (int field = 3; field <= 15 && rest >> word; ++field) {
        if (field == 14) utime = std::stoull(word);
        if (field == 15) stime = std::stoull(word);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int ProcessReadings::openDescriptors() const {
    DIR* dir = opendir((folder_ + "/fd").c_str());
    if (!dir) return -1;
    // Read from within, the listing would count its own descriptor.
    const std::string listing = pid_ == getpid() ? std::to_string(dirfd(dir)) : "";
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.' && entry->d_name != listing) ++count;
    closedir(dir);
    return count;
}

std::set<unsigned long> ProcessReadings::socketInodes() const {
    std::set<unsigned long> inodes;
    const std::string folder = folder_ + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (!dir) return inodes;
    while (dirent* entry = readdir(dir)) {
        char target[64];
        const ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = 0;
        unsigned long inode;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes.insert(inode);
    }
    closedir(dir);
    return inodes;
}

double ProcessReadings::threadCpuSeconds(std::thread& thread) {
    clockid_t clock;
    timespec used{};
    if (!thread.joinable() || pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}
