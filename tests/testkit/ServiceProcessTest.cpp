// Starting and stopping processes: the service as tests and benchmarks run
// it, and any child stopped by its process id.
#include "tests/kit/ChildProcess.h"
#include "tests/kit/ServiceProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A child with SIGTERM set to `action`, running once the parent hears so.
pid_t childWith(void (*action)(int)) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGTERM, action);
        if (write(ready[1], "r", 1) != 1) _exit(2);
        for (;;) pause();
    }
    char byte;
    if (read(ready[0], &byte, 1) != 1) return -1;
    close(ready[0]);
    close(ready[1]);
    return pid;
}

void exitThree(int) {
    _exit(3);
}

TEST(ChildProcessTest, StopTakesTheExitStatusOrKillsAfterTheGrace) {
    const pid_t polite = childWith(exitThree);
    ASSERT_GT(polite, 0);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(stopChild(polite, 10000), 3);
    EXPECT_LT(msSince(start), 2000);

    const pid_t deaf = childWith(SIG_IGN);
    ASSERT_GT(deaf, 0);
    start = Clock::now();
    EXPECT_EQ(stopChild(deaf, 300), -1);
    EXPECT_GE(msSince(start), 300);
    EXPECT_NE(kill(deaf, 0), 0) << "not reaped";

    const pid_t quick = fork();
    if (quick == 0) _exit(7);
    EXPECT_EQ(reapChild(quick, 10000), 7);
}

std::string limitsLine(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name, 0) == 0) return line;
    return "";
}

TEST(ServiceProcessTest, OptionsForLongRunsDropTheOutputAndSetTheDescriptorLimit) {
    ServiceProcess::Options options;
    options.keepOutput = false;
    options.descriptorLimit = 321;
    ServiceProcess service(options);
    ASSERT_TRUE(service.ready()) << service.error();
    EXPECT_NE(access((service.folder() + "/stdout.txt").c_str(), F_OK), 0);
    const std::string limit = limitsLine(service.pid(), "Max open files");
    EXPECT_NE(limit.find(" 321 "), std::string::npos) << limit;
    EXPECT_NE(limit.find(" 321 ", limit.find(" 321 ") + 4), std::string::npos) << "hard limit: " << limit;
    EXPECT_EQ(service.stop(), 0);
}

TEST(ServiceProcessTest, ProgramComesFromNetprobedWhenSet) {
    setenv("NETPROBED", "/nonexistent/netprobed", 1);
    ServiceProcess service;
    unsetenv("NETPROBED");
    EXPECT_FALSE(service.ready());
    EXPECT_NE(service.error().find("/nonexistent/netprobed"), std::string::npos) << service.error();
}

}  // namespace
