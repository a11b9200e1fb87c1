// One node-status lookup (command 3): takes a query id, sends the request
// to UDP port 137 of the host through the shared endpoint, and waits in the
// endpoint's pending table until the answer with its id arrives or the
// request times out. Its destructor gives the id back and unlinks it.
#pragma once

#include "core/ProbeRequest.h"
#include "nv/Allocator.h"

#include <boost/intrusive/set_hook.hpp>

#include <cstdint>

class NetbiosQuery : public ProbeRequest {
public:
    static constexpr uint32_t kNoId = UINT32_MAX;

    ~NetbiosQuery() override;

    void start();

    nv::Allocator* allocator = nullptr;
    uint32_t queryId = kNoId;
    // Unlinks itself when destroyed; unlinking a query never inserted does
    // nothing.
    boost::intrusive::set_member_hook<boost::intrusive::link_mode<boost::intrusive::auto_unlink>> link;
};
