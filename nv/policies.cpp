// Access policy: one permission byte per class of peer (see policies.h).
#include "nv/policies.h"

#include "nv/message.h"

#include <unistd.h>

namespace nv {

void policies::set_policy(uint32_t command, uint32_t policy) { table_[command] = policy; }

bool policies::has_policy(uint32_t command) const { return table_.count(command) != 0; }

bool policies::is_allowed(const message& request, const PeerCredentials& peer) const {
    return is_allowed(request.get<u32_id>(kCommandField), peer);
}

bool policies::is_allowed(uint32_t command, const PeerCredentials& peer) const {
    auto it = table_.find(command);
    if (it == table_.end()) return true;
    uint32_t policy = it->second;
    auto grants = [policy](uint32_t shift) { return ((policy >> shift) & kRun) != 0; };
    // A peer belongs to every class it matches; any one granting suffices.
    return grants(kAnyone) || (peer.uid == 0 && grants(kRoot)) ||
           (peer.uid == geteuid() && grants(kOwnUser)) ||
           (peer.gid == getegid() && grants(kOwnGroup));
}

}  // namespace nv
