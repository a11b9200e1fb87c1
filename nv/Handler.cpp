#include "nv/Handler.h"

#include "nv/Looper.h"

namespace nv {

// Every route ends at the one looper; without one there is nobody to send to.
void Handler::replyMessage(const message& request, const message& reply) {
    if (Looper* looper = getLooper()) looper->route(request, reply);
}

}  // namespace nv
