// A run of many requests on one bus connection: up to --concurrency in
// flight, started at most --rate a second, one output line per reply in the
// order replies come, progress on a terminal, a summary line at the end.
//
// SIGINT or SIGTERM stops starting requests; the replies in flight are
// still taken until their --wait runs out (a second signal stops waiting).
#pragma once

#include "client/CommandLine.h"
#include "client/JobSource.h"
#include "client/RateLimit.h"
#include "nv/BusClient.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

class Sweep {
public:
    Sweep(const Invocation& options, JobSource* source, nv::BusClient* client);
    // The exit status: 0 when every request got its reply; 2 when replies
    // are missing, a batch line was refused, or the run could not finish;
    // 130 when interrupted.
    int run();

private:
    struct Pending {
        TargetLabel label;
        int64_t deadlineUs;
    };

    void startJobs(int64_t nowUs);
    void queueJobs(int64_t nowUs);
    bool queuePending(int64_t nowUs);
    bool sendQueued();
    void takeReplies();
    void expire(int64_t nowUs, bool all);
    void print(const std::string& line);
    void drawProgress(int64_t nowUs, bool last);
    std::string counts(int64_t nowUs) const;
    int pollTimeoutMs(int64_t nowUs) const;

    const Invocation& options_;
    JobSource* source_;
    nv::BusClient* client_;
    bool progress_;  // standard error is a terminal

    Job job_;
    bool havePending_ = false;  // job_ is taken from the source but not queued
    bool wantInput_ = false;
    bool sourceDone_ = false;
    bool busFull_ = false;
    bool stopped_ = false;  // the run cannot go on (bus gone, send or read failed)
    int signals_ = 0;

    std::map<uint32_t, Pending> inFlight_;
    std::set<std::pair<int64_t, uint32_t>> deadlines_;

    RateLimit rate_;
    bool rateBlocked_ = false;

    int64_t startUs_ = 0;
    int64_t nextDrawUs_ = 0;
    uint64_t requests_ = 0, success_ = 0, failure_ = 0, error_ = 0, sent_ = 0, missing_ = 0, usage_ = 0;
};
