#include "client/Sweep.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the pipe that tells the loop of SIGINT and SIGTERM: one
// byte per signal. A pipe rather than a signalfd, which emulators of other
// processors do not all carry.
int stopSignalPipe = -1;

void onStopSignal(int) {
    const int saved = errno;
    char byte = 0;
    if (write(stopSignalPipe, &byte, 1) < 0) {}  // a full pipe has told enough
    errno = saved;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t kDrawEveryUs = 200000;
constexpr size_t kSendBatch = 32;

const char* resultName(const nv::message& reply) {
    switch (reply.status()) {
    case nv::ReplyStatus::plain: return "success";
    case nv::ReplyStatus::failed: return "failure";
    case nv::ReplyStatus::error: break;
    }
    return "error";
}

}  // namespace

Sweep::Sweep(const Invocation& options, JobSource* source, nv::BusClient* client)
    : options_(options), source_(source), client_(client), progress_(isatty(STDERR_FILENO) == 1),
      rate_(options.rate, 0) {}

void Sweep::print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

bool Sweep::queuePending(int64_t now) {
    std::string error;
    uint32_t sequence = client_->queue(*job_.request, job_.arg, &error);
    if (sequence == 0) {
        std::fprintf(stderr, "netprobe: %s\n", error.c_str());
        stopped_ = true;
        return false;
    }
    havePending_ = false;
    ++requests_;
    if (!job_.expectsReply) {
        ++sent_;
        if (options_.only.empty()) print(formatSent(options_.json, job_.label));
        return true;
    }
    int64_t deadline = now + int64_t{job_.waitMs} * 1000;
    inFlight_.emplace(sequence, Pending{job_.label, deadline});
    deadlines_.emplace(deadline, sequence);
    return true;
}

bool Sweep::sendQueued() {
    std::string error;
    switch (client_->sendQueued(&error)) {
    case nv::BusClient::SendResult::sent:
        busFull_ = false;
        return true;
    case nv::BusClient::SendResult::full:
        busFull_ = true;
        return false;
    case nv::BusClient::SendResult::failed:
        break;
    }
    std::fprintf(stderr, "netprobe: %s\n", error.c_str());
    stopped_ = true;
    return false;
}

void Sweep::startJobs(int64_t now) {
    rateBlocked_ = false;
    queueJobs(now);
    sendQueued();
}

void Sweep::queueJobs(int64_t now) {
    while (!stopped_ && signals_ == 0 && !sourceDone_ && inFlight_.size() < options_.concurrency) {
        // Requests go many to a system call, and no more wait here than
        // one call takes while the socket is full.
        if (client_->queuedCount() >= kSendBatch && !sendQueued()) return;
        if (!havePending_) {
            switch (source_->next(&job_)) {
            case JobSource::Next::usage:
                ++usage_;
                print(formatUsage(options_.json, job_.label.line, job_.usage));
                continue;
            case JobSource::Next::needInput:
                wantInput_ = true;
                return;
            case JobSource::Next::end:
                sourceDone_ = true;
                return;
            case JobSource::Next::job:
                havePending_ = true;
                wantInput_ = false;
                break;
            }
        }
        if (!rate_.take(now)) {
            rateBlocked_ = true;
            return;
        }
        if (!queuePending(now)) return;
    }
}

void Sweep::takeReplies() {
    for (;;) {
        uint32_t sequence = 0;
        nv::message reply;
        std::string error;
        nv::BusClient::ReceiveResult got = client_->takeReply(&sequence, &reply, &error);
        if (got == nv::BusClient::ReceiveResult::none) return;
        if (got == nv::BusClient::ReceiveResult::failed) {
            std::fprintf(stderr, "netprobe: %s\n", error.c_str());
            if (client_->connected()) continue;  // one bad packet; the rest may be fine
            stopped_ = true;
            return;
        }
        auto it = inFlight_.find(sequence);
        if (it == inFlight_.end()) continue;  // its wait ran out before
        const char* result = resultName(reply);
        ++(reply.status() == nv::ReplyStatus::plain    ? success_
           : reply.status() == nv::ReplyStatus::failed ? failure_
                                                       : error_);
        if (options_.only.empty() || options_.only == result)
            print(formatReply(reply, options_.json, it->second.label));
        deadlines_.erase({it->second.deadlineUs, sequence});
        inFlight_.erase(it);
    }
}

void Sweep::expire(int64_t now, bool all) {
    while (!deadlines_.empty() && (all || deadlines_.begin()->first <= now)) {
        auto it = inFlight_.find(deadlines_.begin()->second);
        std::fprintf(stderr, "netprobe: %sno reply within the wait\n", formatLabel(it->second.label).c_str());
        ++missing_;
        inFlight_.erase(it);
        deadlines_.erase(deadlines_.begin());
    }
}

std::string Sweep::counts(int64_t now) const {
    double seconds = std::max(1e-6, (now - startUs_) / 1e6);
    char text[256];
    std::snprintf(text, sizeof text, "%llu requests in %.2f s (%.0f/s): %llu success, %llu failure, %llu error",
                  static_cast<unsigned long long>(requests_), seconds, requests_ / seconds,
                  static_cast<unsigned long long>(success_), static_cast<unsigned long long>(failure_),
                  static_cast<unsigned long long>(error_));
    std::string out = text;
    if (sent_ != 0) out += ", " + std::to_string(sent_) + " sent";
    if (missing_ != 0) out += ", " + std::to_string(missing_) + " without reply";
    if (usage_ != 0) out += ", " + std::to_string(usage_) + " bad lines";
    return out;
}

void Sweep::drawProgress(int64_t now, bool last) {
    if (!progress_ || (!last && now < nextDrawUs_)) return;
    nextDrawUs_ = now + kDrawEveryUs;
    std::fflush(stdout);
    if (last) {
        std::fputs("\r\x1b[K", stderr);
        return;
    }
    uint64_t done = success_ + failure_ + error_ + sent_ + missing_;
    char total[32] = "";
    if (source_->totalKnown())
        std::snprintf(total, sizeof total, "/%llu", static_cast<unsigned long long>(source_->total()));
    std::fprintf(stderr, "\r%llu%s done, %zu in flight; %s\x1b[K", static_cast<unsigned long long>(done), total,
                 inFlight_.size(), counts(now).c_str());
}

int Sweep::pollTimeoutMs(int64_t now) const {
    int64_t wake = INT64_MAX;
    if (!deadlines_.empty()) wake = deadlines_.begin()->first;
    if (rateBlocked_) wake = std::min(wake, now + rate_.waitUs(now));
    if (progress_) wake = std::min(wake, nextDrawUs_);
    if (wake == INT64_MAX) return -1;
    return static_cast<int>(std::clamp<int64_t>((wake - now + 999) / 1000, 0, INT_MAX));
}

int Sweep::run() {
    int signalPipe[2];
    if (pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("netprobe: pipe");
        return 2;
    }
    stopSignalPipe = signalPipe[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const int signalFd = signalPipe[0];
    startUs_ = nowUs();
    rate_ = RateLimit(options_.rate, startUs_);
    for (;;) {
        int64_t now = nowUs();
        startJobs(now);
        drawProgress(now, false);
        bool finished = stopped_ || signals_ != 0 || (sourceDone_ && !havePending_ && client_->queuedCount() == 0);
        if (finished && inFlight_.empty()) break;
        pollfd fds[3] = {{client_->fd(), static_cast<short>(POLLIN | (busFull_ ? POLLOUT : 0)), 0},
                         {signalFd, POLLIN, 0},
                         {wantInput_ ? source_->inputFd() : -1, POLLIN, 0}};
        std::fflush(stdout);
        if (poll(fds, 3, pollTimeoutMs(now)) < 0 && errno != EINTR) {
            std::perror("netprobe: poll");
            stopped_ = true;
        }
        char told[16];
        for (ssize_t n; (n = read(signalFd, told, sizeof told)) > 0;) signals_ += static_cast<int>(n);
        if (fds[2].revents != 0) {
            std::string error;
            if (!source_->readInput(&error)) {
                std::fprintf(stderr, "netprobe: %s\n", error.c_str());
                stopped_ = true;
            }
        }
        takeReplies();
        now = nowUs();
        expire(now, stopped_ || signals_ > 1);
    }
    std::fflush(stdout);
    int64_t end = nowUs();
    drawProgress(end, true);
    std::fprintf(stderr, "netprobe: %s%s\n", signals_ != 0 ? "interrupted: " : "", counts(end).c_str());
    // The handler stays, and so does its pipe: a signal that comes now
    // must not end the process before it reports.
    if (signals_ != 0) return 130;
    bool unfinished = !sourceDone_ || havePending_ || client_->queuedCount() != 0;
    return missing_ != 0 || usage_ != 0 || unfinished ? 2 : 0;
}
