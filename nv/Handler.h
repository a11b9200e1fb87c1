// A message handler: receives command requests and answers each through
// replyMessage, which routes the reply to the sender of the request (over
// the bus, or to a local sender's callback). A reply to a request whose
// sender has gone is dropped.
#pragma once

#include "nv/Base.h"

namespace nv {

class message;

class Handler : public Base {
public:
    virtual void handleCmd(const message& request, unsigned arg) = 0;
    void replyMessage(const message& request, const message& reply);
};

}  // namespace nv
