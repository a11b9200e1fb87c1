// The send/expect sequence shared by the TCP and UDP service probes: up to
// three expectations, the stage the probe is in, and the stage step that
// runs on every notification from the transport.
//
// Owned by value by its probe. The probe builds it at its start, then calls
// step() with every chunk its transport delivers (the TCP probe's connected
// notification included, as an empty chunk). The step sends the next string
// when a stage is met and says when the last expectation is met or there is
// none; the probe then finishes once the step has returned, so nothing is
// deleted while the step runs.
//
// The bytes of a stage are not kept: the step feeds each chunk to a
// resumable scan of the current stage's pattern, which answers exactly as a
// search of all the bytes received in the stage would, in fixed memory and
// in time linear in the bytes. A peer that keeps talking can neither grow
// the probe nor make the matching cost grow faster than the traffic.
#pragma once

#include "core/Ref.h"
#include "nv/message.h"
#include "probes/Expectation.h"
#include "probes/StageTransport.h"
#include "support/PatternScan.h"

#include <cstdint>

class StageSequence {
public:
    static constexpr uint32_t kStages = 3;

    // Builds the expectations from expect_0, expect_1 and expect_2 of the
    // request (an empty pattern leaves its slot empty). With
    // honourSkipFirstExpect (the TCP probe), skip_first_expect true makes
    // stage 0 met without testing expect_0.
    void build(const nv::message& request, bool honourSkipFirstExpect);

    // One notification carrying [data, data + length) (length may be 0).
    // Tests the current stage; when it is met, sends send_1 or send_2 (if
    // non-empty) and moves on, or finishes. At most one stage is met and at
    // most one string sent per call; bytes of the meeting chunk never count
    // towards the next stage. Returns true when the sequence has ended: the
    // probe then finishes. Nothing happens once the sequence has finished.
    bool step(const nv::message& request, const uint8_t* data, uint32_t length, StageTransport& transport);

    uint32_t stage() const { return stage_; }
    bool finished() const { return finished_; }
    const Ref<Expectation>& expectation(uint32_t index) const { return expectations_[index]; }

private:
    void enterStage(uint32_t stage);

    // Released 2, 1, 0 at destruction (members of an array die last first).
    Ref<Expectation> expectations_[kStages];
    // The scan of the current stage's bytes, over that stage's expectation.
    PatternScan scan_;
    uint32_t stage_ = 0;
    bool skipFirstExpect_ = false;
    bool finished_ = false;
};
