// Diagnostic lines never hold up the loop: a pipe that nobody reads, and a
// flood of one kind, cost dropped lines (counted, then reported), never a
// blocked write; at a low rate every line appears at once, in order.
#include "core/DiagnosticLog.h"
#include "nv/ThinRunner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner.setClockForTesting([this] { return now; });
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        // A small pipe, as a console or a stalled logger may be.
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
    }
    void TearDown() override {
        close(fds[0]);
        close(fds[1]);
    }
    // Everything the pipe holds now.
    std::string drain() {
        std::string out;
        int flags = fcntl(fds[0], F_GETFL);
        fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
        char buffer[65536];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
        fcntl(fds[0], F_SETFL, flags);
        return out;
    }
    // Moves the clock and runs the loop passes that are due.
    void advance(uint64_t ms) {
        now += ms;
        for (int i = 0; i < 5; ++i) runner.runOnce(0);
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    uint64_t now = 5000000;
    nv::ThinRunner runner;
    int fds[2] = {-1, -1};
};

TEST_F(DiagnosticLogTest, FloodOfOneKindIsCappedPerSecondAndReportedOnce) {
    DiagnosticLog log(fds[1], [this] { return now; });
    log.write("UDP: send: 9");
    EXPECT_EQ(drain(), "UDP: send: 9\n") << "at a low rate a line appears at once";
    for (int i = 0; i < 250; ++i) log.write("Netbios: unknown id " + std::to_string(i));
    log.write("NETBIOS: too small");  // another kind still gets through
    std::string out = drain();
    EXPECT_EQ(count(out, "Netbios: unknown id "), DiagnosticLog::kLinesPerSecond);
    EXPECT_NE(out.find("Netbios: unknown id 99\nNETBIOS: too small\n"), std::string::npos) << out;
    advance(1000);
    EXPECT_EQ(drain(), "LOG: dropped 150 of \"Netbios: unknown id\"\n");
    log.write("Netbios: unknown id 1");
    EXPECT_EQ(drain(), "Netbios: unknown id 1\n") << "a new second, a new allowance";
    advance(1000);
    EXPECT_EQ(drain(), "") << "what was reported is not reported again";
}

TEST_F(DiagnosticLogTest, OutputNobodyReadsNeverBlocksAndLinesResumeInOrder) {
    DiagnosticLog log(fds[1], [this] { return now; });
    // Many kinds, so that the rate cap is not what stops them: the pipe and
    // the queue fill, and every write still returns.
    const std::string padding(200, '.');
    for (int i = 0; i < 60000; ++i)
        log.write("kind " + std::string(1, static_cast<char>('a' + i % 26)) + padding + " line " + std::to_string(i));
    EXPECT_GT(log.droppedLines(), 0u);
    EXPECT_GT(log.queuedBytes(), 0u) << "the pipe is full: lines wait";
    EXPECT_LE(log.queuedBytes(), DiagnosticLog::kQueueLimit);
    // The reader wakes up: what was queued follows what the pipe held, then
    // the report of what was dropped.
    std::string out;
    for (int pass = 0; pass < 100 && out.find("LOG: dropped") == std::string::npos; ++pass) {
        out += drain();
        advance(100);
    }
    out += drain();
    ASSERT_NE(out.find("LOG: dropped"), std::string::npos);
    EXPECT_EQ(out.rfind("kind a" + padding + " line 0\n", 0), 0u);
    // Lines that made it are whole and in rising order.
    long last = -1;
    size_t lines = 0;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "a cut line";
        std::string line = out.substr(at, end - at);
        at = end + 1;
        if (line.rfind("LOG: ", 0) == 0) continue;
        long number = std::stol(line.substr(line.rfind(' ') + 1));
        EXPECT_GT(number, last);
        last = number;
        ++lines;
    }
    EXPECT_EQ(lines + log.droppedLines(), 60000u);
}

}  // namespace
