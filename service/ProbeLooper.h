// The service object: the looper whose handleCmd starts one command per
// request. It keeps no per-request state; every request in flight is an
// object of its own (ProbeRequest).
#pragma once

#include "nv/Looper.h"

class ProbeLooper : public nv::Looper {
public:
    ProbeLooper();
    ~ProbeLooper() override;

    void handleCmd(const nv::message& request, unsigned arg) override;
};
