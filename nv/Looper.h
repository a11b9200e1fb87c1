// The looper: a Handler that owns the event loop (it is a ThinRunner) and
// the bus that requests arrive on.
//
// run() opens the bus (unless openBus was called), then runs the loop until
// shutdown. For each request that decodes and passes the access policy, the
// loop calls handleCmd(request, arg). The base handleCmd answers commands
// that the subclass does not handle with the error reply
// kErrUnknownCommand, "unknown command".
//
// Exactly one looper exists at a time; nv::getLooper() returns it.
#pragma once

#include "nv/Handler.h"
#include "nv/ThinRunner.h"
#include "nv/message.h"
#include "nv/policies.h"

#include <functional>
#include <memory>
#include <string>

namespace nv {

// Error numbers of the framework's own replies.
constexpr uint32_t kErrUnknownCommand = 0xff0001;  // "unknown command"
constexpr uint32_t kErrNotAllowed = 0xff0002;      // "not allowed"
constexpr uint32_t kErrBadMessage = 0xff0003;      // "bad message: <reason>"
// A handler's reply that would not fit in one packet (wire::kMaxPacket).
constexpr uint32_t kErrReplyTooLarge = 0xff0004;   // "reply too large"

class Looper : public Handler, public ThinRunner {
public:
    using LocalReply = std::function<void(const message& reply)>;

    // A tuning value at its default; the stand-in takes no other value into
    // account.
    static constexpr unsigned kDefaultTuning = 0;

    // The thirteen arguments are the framework's tuning knobs.
    Looper(unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
           unsigned, unsigned, unsigned, unsigned, unsigned, unsigned);
    // Every tuning knob at its default.
    Looper();
    ~Looper() override;

    void handleCmd(const message& request, unsigned arg) override;

    policies& policyTable();

    // Binds the bus socket at `path` (mode 0660). A stale socket file left by
    // a dead service is replaced; a live one is not. On failure returns false
    // with one readable line in *error.
    bool openBus(const std::string& path, std::string* error);
    // Where run() opens the bus; the framework has no path of its own.
    void setBusPath(std::string path);
    // Opens the bus at the path given to setBusPath, if one was given and the
    // bus is not open yet; on failure prints the line on standard error and
    // exits with status 1. Then runs the loop until shutdown.
    void run() override;
    void shutdown() override;

    // A request from inside the process (tests, tools): passes the policy as
    // the service's own user and calls handleCmd now; the reply goes to
    // onReply, inside replyMessage. Only the first reply counts; a request
    // that is never answered keeps its callback until the looper goes.
    void dispatchLocal(const message& request, unsigned arg, LocalReply onReply);

    // Routes a reply (used by Handler::replyMessage).
    void route(const message& request, const message& reply);

private:
    // Checks the policy for `peer`, then calls handleCmd or refuses.
    void deliver(const message& request, unsigned arg, const PeerCredentials& peer);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

Looper* getLooper();

}  // namespace nv
