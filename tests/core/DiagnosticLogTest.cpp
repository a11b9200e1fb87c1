// Diagnostic lines never hold up the loop: a pipe that nobody reads, and a
// flood of one kind, cost dropped lines (counted, then reported once),
// never a blocked write; at a low rate every line appears at once, in order.
#include "core/DiagnosticLog.h"
#include "nv/ThinRunner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string>

namespace {

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner.setClockForTesting([this] { return now; });
        ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        fcntl(fds[1], F_SETPIPE_SZ, 4096);  // as small as a stalled console's
    }
    void TearDown() override { for (int fd : fds) close(fd); }
    // Everything the pipe holds, after `ms` more on the clock.
    std::string drainAfter(uint64_t ms) {
        now += ms;
        runner.runOnce(0);
        std::string out;
        char buffer[65536];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
        return out;
    }

    uint64_t now = 5000000;
    nv::ThinRunner runner;
    int fds[2] = {-1, -1};
};

TEST_F(DiagnosticLogTest, FloodOfOneKindIsCappedPerSecondAndReportedOnce) {
    DiagnosticLog log(fds[1], [this] { return now; });
    std::string expected;
    for (int i = 0; i < 250; ++i) {
        log.write("Netbios: unknown id " + std::to_string(i));
        if (i < 100) expected += "Netbios: unknown id " + std::to_string(i) + "\n";
    }
    log.write("NETBIOS: too small");  // another kind still gets through
    EXPECT_EQ(drainAfter(0), expected + "NETBIOS: too small\n");
    EXPECT_EQ(drainAfter(1000), "LOG: dropped 150 of \"Netbios: unknown id\"\n");
    for (int i = 0; i < 101; ++i) log.write("Netbios: unknown id 1");
    EXPECT_EQ(drainAfter(0).size(), 100 * 22u) << "a new second, a new allowance";
    EXPECT_EQ(drainAfter(1000), "LOG: dropped 1 of \"Netbios: unknown id\"\n") << "what was reported is not again";
}

TEST_F(DiagnosticLogTest, OutputNobodyReadsNeverBlocksAndLinesResumeInOrder) {
    DiagnosticLog log(fds[1], [this] { return now; });
    // Many kinds, so that the rate cap is not what stops them: the pipe and
    // the queue fill, and every write still returns.
    const std::string padding(200, '.');
    for (int i = 0; i < 60000; ++i)
        log.write("kind " + std::string(1, char('a' + i % 26)) + padding + " line " + std::to_string(i));
    EXPECT_GT(log.queuedBytes(), 0u) << "the pipe is full: lines wait";
    EXPECT_LE(log.queuedBytes(), DiagnosticLog::kQueueLimit);
    // The reader wakes up: what waited follows what the pipe held, whole
    // and in rising order, then the report of what was dropped.
    std::string out;
    for (int pass = 0; pass < 100 && out.find("LOG: dropped") == std::string::npos; ++pass) out += drainAfter(100);
    out += drainAfter(100);
    std::istringstream lines(out);
    long last = -1, count = 0;
    for (std::string line; std::getline(lines, line) && line.rfind("LOG: ", 0) != 0; ++count) {
        const long number = std::stol(line.substr(line.rfind(' ') + 1));
        EXPECT_GT(number, last);
        last = number;
    }
    EXPECT_EQ(static_cast<uint64_t>(count) + log.droppedLines(), 60000u);
    EXPECT_EQ(out.back(), '\n');
}

}  // namespace
