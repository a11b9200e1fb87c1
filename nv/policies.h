// Per-command access policy, consulted for every request that arrives.
//
// A policy value is four permission bytes, one per class of peer, judged on
// the peer's credentials (SO_PEERCRED) at connection time:
//   bits  0-7   anyone
//   bits  8-15  root (uid 0)
//   bits 16-23  the service's own user (same uid as the service)
//   bits 24-31  the service's own group (same gid as the service)
// In each byte, bit 1 (0x02) allows running the command; the other bits are
// reserved and grant nothing. grant(kRun, kRoot) | grant(kRun, kOwnUser),
// 0x20200, thus admits root and the service's own user. A command without a
// policy is open to every peer that can reach the bus socket (whose file
// mode is 0660).
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <unordered_map>

namespace nv {

class message;

// The field that names a request's command; the policy is looked up by it.
constexpr uint32_t kCommandField = 0xff0007;

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

class policies {
public:
    static constexpr uint32_t kRun = 0x02;
    static constexpr uint32_t kAnyone = 0;
    static constexpr uint32_t kRoot = 8;
    static constexpr uint32_t kOwnUser = 16;
    static constexpr uint32_t kOwnGroup = 24;

    // A policy value granting `permission` to one class of peer; policies for
    // several classes are or-ed together.
    static constexpr uint32_t grant(uint32_t permission, uint32_t peerClass) { return permission << peerClass; }

    void set_policy(uint32_t command, uint32_t policy);
    bool has_policy(uint32_t command) const;
    // Whether `peer` may run the command that `request` names in its command
    // field (nv::kCommandField).
    bool is_allowed(const message& request, const PeerCredentials& peer) const;
    bool is_allowed(uint32_t command, const PeerCredentials& peer) const;

private:
    std::unordered_map<uint32_t, uint32_t> table_;
};

}  // namespace nv
