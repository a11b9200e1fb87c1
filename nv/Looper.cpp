// The looper: the event loop plus the bus, the policy table and the routes
// of replies. A route is a 64-bit id in the request message: ids of bus
// connections count up from 1; ids with the top bit set belong to requests
// made inside the process (dispatchLocal), whose callbacks wait in a map.
#include "nv/Looper.h"

#include "nv/BusServer.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace nv {

namespace {

Looper* currentLooper = nullptr;

constexpr uint64_t kLocalRoute = uint64_t{1} << 63;

}  // namespace

Looper* getLooper() { return currentLooper; }

struct Looper::Impl {
    Impl(Looper& looper)
        : bus(looper, [&looper](const message& request, unsigned arg, const PeerCredentials& peer) {
              looper.deliver(request, arg, peer);
          }) {}

    policies table;
    BusServer bus;
    std::unordered_map<uint64_t, LocalReply> localReplies;
    uint64_t nextLocalRoute = kLocalRoute | 1;
    std::string busPath;
};

Looper::Looper(unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
               unsigned, unsigned, unsigned, unsigned, unsigned)
    : impl_(std::make_unique<Impl>(*this)) {
    currentLooper = this;
}

Looper::Looper()
    : Looper(kDefaultTuning, kDefaultTuning, kDefaultTuning, kDefaultTuning, kDefaultTuning, kDefaultTuning,
             kDefaultTuning, kDefaultTuning, kDefaultTuning, kDefaultTuning, kDefaultTuning, kDefaultTuning,
             kDefaultTuning) {}

Looper::~Looper() {
    impl_->bus.close();
    if (currentLooper == this) currentLooper = nullptr;
}

void Looper::handleCmd(const message& request, unsigned) {
    replyMessage(request, errorMsg(kErrUnknownCommand, "unknown command"));
}

policies& Looper::policyTable() { return impl_->table; }

bool Looper::openBus(const std::string& path, std::string* error) { return impl_->bus.open(path, error); }

void Looper::setBusPath(std::string path) { impl_->busPath = std::move(path); }

void Looper::run() {
    if (!impl_->bus.isOpen() && !impl_->busPath.empty()) {
        std::string error;
        if (!openBus(impl_->busPath, &error)) {
            // Running deaf helps nobody: say why and stop.
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
    }
    ThinRunner::run();
}

void Looper::shutdown() { ThinRunner::shutdown(); }

void Looper::deliver(const message& request, unsigned arg, const PeerCredentials& peer) {
    if (!impl_->table.is_allowed(request, peer)) {
        route(request, errorMsg(kErrNotAllowed, "not allowed"));
        return;
    }
    handleCmd(request, arg);
}

void Looper::dispatchLocal(const message& request, unsigned arg, LocalReply onReply) {
    uint64_t id = impl_->nextLocalRoute++;
    impl_->localReplies.emplace(id, std::move(onReply));
    message routed = request;
    Route::set(routed, id, 0);
    deliver(routed, arg, PeerCredentials{getpid(), geteuid(), getegid()});
}

void Looper::route(const message& request, const message& reply) {
    uint64_t id = Route::connection(request);
    if (id == 0) return;  // built in the process, not received: nobody to answer
    if ((id & kLocalRoute) == 0) {
        impl_->bus.sendReply(id, Route::sequence(request), reply);
        return;
    }
    auto it = impl_->localReplies.find(id);
    if (it == impl_->localReplies.end()) return;  // answered already
    // Taken out first: the callback may dispatch again or reply again.
    LocalReply callback = std::move(it->second);
    impl_->localReplies.erase(it);
    if (callback) callback(reply);
}

}  // namespace nv
