#include "client/JobSource.h"

#include "client/ShellWords.h"
#include "protocol/Fields.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

JobSource::JobSource(const Invocation& invocation) : current_(invocation), currentActive_(true) {}

JobSource::JobSource(const Invocation& global, int fd) : global_(global), fd_(fd) {}

bool JobSource::readInput(std::string* error) {
    buffer_.erase(0, pos_);
    pos_ = 0;
    size_t had = buffer_.size();
    buffer_.resize(had + 65536);
    ssize_t n;
    do n = read(fd_, buffer_.data() + had, 65536);
    while (n < 0 && errno == EINTR);
    buffer_.resize(had + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n < 0) {
        *error = std::string("batch: read: ") + std::strerror(errno);
        return false;
    }
    if (n == 0) eof_ = true;
    return true;
}

JobSource::LineResult JobSource::nextLine(std::string* line, bool* tooLong) {
    size_t newline = buffer_.find('\n', pos_);
    if (newline != std::string::npos) {
        *tooLong = discarding_ || newline - pos_ > kMaxLine;
        if (!*tooLong) line->assign(buffer_, pos_, newline - pos_);
        discarding_ = false;
        pos_ = newline + 1;
        return LineResult::line;
    }
    // Past the limit the line is dropped as it comes, so memory stays bounded.
    if (discarding_ || buffer_.size() - pos_ > kMaxLine) {
        discarding_ = true;
        buffer_.clear();
        pos_ = 0;
    }
    if (!eof_) return LineResult::needInput;
    if (pos_ == buffer_.size() && !discarding_) return LineResult::end;
    *tooLong = discarding_ || buffer_.size() - pos_ > kMaxLine;
    if (!*tooLong) line->assign(buffer_, pos_);
    discarding_ = false;
    pos_ = buffer_.size();
    return LineResult::line;
}

bool JobSource::startLine(const std::string& text, bool tooLong, Job* job) {
    std::vector<std::string> words;
    std::string error;
    bool ok = !tooLong && text.find('\0') == std::string::npos;
    if (tooLong) error = "the line is longer than " + std::to_string(kMaxLine) + " bytes";
    else if (!ok) error = "a zero byte in the line";
    else ok = splitShellWords(text, &words, &error);
    if (ok && words.empty()) return true;  // blank, or a comment
    if (ok) {
        current_ = Invocation();
        ok = parseBatchLine(words, global_, &current_, &error);
        currentActive_ = ok;
    }
    if (!ok) {
        job->label = TargetLabel();
        job->label.line = lineNumber_;
        job->usage = error;
    }
    return ok;
}

JobSource::Next JobSource::next(Job* job) {
    for (;;) {
        if (currentActive_) {
            job->request = &current_.request;
            job->arg = current_.arg;
            job->expectsReply = current_.expectsReply;
            job->waitMs = current_.waitMs;
            job->label = TargetLabel();
            job->label.line = fd_ >= 0 ? lineNumber_ : 0;
            if (!current_.targeted) {
                currentActive_ = false;  // a raw request names its own target
                return Next::job;
            }
            Target target;
            if (current_.targets.next(&target)) {
                current_.request.insert<nv::be32_id>(field::address, target.address);
                if (current_.withPort) current_.request.insert<nv::u32_id>(field::port, target.port);
                job->label.withHost = true;
                job->label.address = target.address;
                job->label.withPort = current_.withPort;
                job->label.port = target.port;
                return Next::job;
            }
            currentActive_ = false;
        }
        if (fd_ < 0) return Next::end;
        std::string text;
        bool tooLong = false;
        LineResult got = nextLine(&text, &tooLong);
        if (got == LineResult::needInput) return Next::needInput;
        if (got == LineResult::end) return Next::end;
        ++lineNumber_;
        if (!text.empty() && text.back() == '\r') text.pop_back();  // a line from another system
        if (!startLine(text, tooLong, job)) return Next::usage;
    }
}
