// Diagnostic lines on standard output that can never hold up the loop.
//
// The service's one thread must not wait on its log: a reader that drains a
// pipe slowly, or not at all, would otherwise stop every probe, timer and
// the bus, and a flood of junk datagrams, one line each, would flood the
// log as well. So:
// - a line is written at once, in order, when the output takes it; while it
//   does not, lines wait in a bounded queue, flushed when the loop reports
//   the output writable;
// - at most kLinesPerSecond lines of one kind are written each second;
// - lines beyond either bound are dropped and counted by kind, and once the
//   output takes lines again one line tells how many of which kind went:
//     LOG: dropped 2600 of "NETBIOS: too small", 50 of "Netbios: unknown id"
// A line's kind is its text before its first digit: the fixed words that
// name the event, without the error numbers, ids or addresses after them.
//
// Writes never block: a regular file is written directly (it never makes a
// writer wait for a reader), a socket with MSG_DONTWAIT, anything else (a
// pipe, a terminal) through a non-blocking descriptor of its own, opened
// anew so that the mode of the description shared with other processes is
// left alone.
#pragma once

#include "nv/Timer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

class DiagnosticLog {
public:
    static constexpr uint32_t kLinesPerSecond = 100;
    static constexpr size_t kQueueLimit = 64 * 1024;
    static constexpr size_t kMaxKinds = 64;

    // Milliseconds on a monotonic clock.
    using Clock = std::function<uint64_t()>;

    // The log of the process: standard output, timed by the loop's clock.
    static DiagnosticLog& standardOutput();

    DiagnosticLog(int fd, Clock clock);
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    // One line, without its line end.
    void write(std::string_view line);

    // For tests: write to `fd` from now on (what waits is dropped).
    void redirectForTesting(int fd);

    // Lines dropped so far, all kinds together.
    uint64_t droppedLines() const { return droppedTotal_; }
    size_t queuedBytes() const { return queue_.size() - sent_; }

private:
    struct Kind {
        uint64_t second = 0;   // the second its count is for
        uint32_t written = 0;  // lines written (or queued) in that second
        uint64_t dropped = 0;  // not yet reported
    };
    enum class Mode { unknown, file, socket, descriptor, closed };

    void drop(Kind& kind);
    void append(std::string_view line);
    // Writes what the queue holds as far as the output takes it; watches
    // the output for writability while bytes remain.
    void flush();
    // The report of dropped lines, once the queue is empty.
    void reportDrops();
    void openOutput();
    long writeSome(const char* data, size_t length);
    void watch(bool writable);

    int fd_;
    Clock clock_;
    Mode mode_ = Mode::unknown;
    int outputFd_ = -1;  // what writes go to (ours when reopened)
    bool ownOutput_ = false;
    bool watching_ = false;
    std::string queue_;
    size_t sent_ = 0;  // bytes of queue_ already written
    std::map<std::string, Kind, std::less<>> kinds_;
    uint64_t droppedTotal_ = 0;
    bool dropsPending_ = false;
    nv::Timer reportTimer_;
};
