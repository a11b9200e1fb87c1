// The requests of a run, made one at a time as the run asks for them: the
// targets of the command line, or the lines of a batch read from a
// descriptor. A batch is read only when the run's poll says there is
// input, so a slow pipe never holds up the replies.
#pragma once

#include "client/CommandLine.h"
#include "client/ReplyPrinter.h"

#include <cstdint>
#include <string>

struct Job {
    const nv::message* request = nullptr;  // valid until the next call of next()
    unsigned arg = 0;
    bool expectsReply = true;
    uint32_t waitMs = 0;
    TargetLabel label;
    std::string usage;  // why a batch line was refused
};

class JobSource {
public:
    // Longest batch line taken, without its newline.
    static constexpr size_t kMaxLine = 64 * 1024;

    // The targets of a command line.
    explicit JobSource(const Invocation& invocation);
    // The lines of a batch read from `fd`, under the options of `global`.
    JobSource(const Invocation& global, int fd);

    enum class Next { job, usage, needInput, end };
    // usage: job->label.line and job->usage say which line and why.
    // needInput: call readInput() once inputFd() is readable.
    Next next(Job* job);
    // One read of the batch; false with *error when it fails.
    bool readInput(std::string* error);
    int inputFd() const { return fd_; }

    // How many targets there are, when known before the run.
    bool totalKnown() const { return fd_ < 0; }
    uint64_t total() const { return current_.targeted ? current_.targets.count() : 1; }

private:
    enum class LineResult { line, needInput, end };
    LineResult nextLine(std::string* line, bool* tooLong);
    // False, with job->usage, for a line that does not parse.
    bool startLine(const std::string& text, bool tooLong, Job* job);

    Invocation global_;
    Invocation current_;  // the command line, or the batch line being expanded
    bool currentActive_ = false;
    int fd_ = -1;
    std::string buffer_;
    size_t pos_ = 0;
    bool eof_ = false;
    bool discarding_ = false;  // inside a line longer than kMaxLine
    uint32_t lineNumber_ = 0;
};
