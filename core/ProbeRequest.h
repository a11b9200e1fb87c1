// One request of commands 1 to 3, from its arrival to its one reply.
//
// Nobody owns a request object: handleCmd creates it on the heap, copies the
// request into it and arms its timeout; then exactly one of the three
// endings runs (replySuccess, replyFailure, onTimeout), which sends the one
// reply and deletes the object. Deletion cancels the timer, so no second
// reply can follow. When the service stops, the requests still in flight
// are deleted unanswered (abandonAll): their clients see the bus close.
#pragma once

#include "nv/Timer.h"
#include "nv/message.h"

#include <cstdint>
#include <string>

class ProbeRequest {
public:
    ProbeRequest();
    virtual ~ProbeRequest();
    ProbeRequest(const ProbeRequest&) = delete;
    ProbeRequest& operator=(const ProbeRequest&) = delete;

    // Arms timeoutTimer from the request's `timeout` (ms, default 10000),
    // in 10 ms ticks rounded down.
    void armTimeout();
    // Sends `reply` plus `elapsed`, then deletes this object.
    void replySuccess();
    // Sends nv::failedMsg(text) plus `elapsed` (dropping whatever `reply`
    // held), then deletes this object.
    void replyFailure(const std::string& text);
    // Sends nv::errorMsg(0xfe000d, "timeout"), then deletes this object.
    void onTimeout();

    // Deletes every request still in flight, unanswered: for a service
    // that stops with requests pending, while its loop still exists.
    static void abandonAll();

    uint32_t startTime;
    nv::Timer timeoutTimer;
    nv::message request;
    nv::message reply;

private:
    void send(nv::message& answer);

    // Every live request, newest first, for abandonAll.
    static inline ProbeRequest* newest_ = nullptr;
    ProbeRequest* older_ = nullptr;
    ProbeRequest* newer_ = nullptr;
};

// Creation of a request object: construct (which takes the start time),
// copy the request, arm the timeout before any socket exists, then run the
// command's own start. The object lives on until its one reply.
template <class Probe>
void startRequest(const nv::message& request) {
    Probe* probe = new Probe;
    probe->request = request;
    probe->armTimeout();
    probe->start();
}
