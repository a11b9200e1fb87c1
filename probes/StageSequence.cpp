#include "probes/StageSequence.h"

#include "protocol/Fields.h"

#include <string>

namespace {

const uint32_t kExpectFields[StageSequence::kStages] = {field::expect_0, field::expect_1, field::expect_2};

const uint8_t* bytesOf(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

}  // namespace

void StageSequence::build(const nv::message& request, bool honourSkipFirstExpect) {
    std::string patterns[kStages];
    for (uint32_t i = 0; i < kStages; ++i) patterns[i] = request.get<nv::string_id>(kExpectFields[i]);
    for (uint32_t i = 0; i < kStages; ++i) {
        if (!patterns[i].empty())
            expectations_[i] = new Expectation(bytesOf(patterns[i]), bytesOf(patterns[i]) + patterns[i].size());
    }
    skipFirstExpect_ = honourSkipFirstExpect && request.get<nv::bool_id>(field::skip_first_expect);
    enterStage(0);
}

void StageSequence::enterStage(uint32_t stage) {
    stage_ = stage;
    const Expectation* expectation = expectations_[stage].get();
    scan_.reset(expectation ? expectation->area() : nullptr);
}

bool StageSequence::step(const nv::message& request, const uint8_t* data, uint32_t length,
                         StageTransport& transport) {
    if (finished_) return false;
    bool met = !expectations_[stage_] || (stage_ == 0 && skipFirstExpect_);
    if (!met) {
        scan_.feed(data, data + length);
        met = scan_.matches();
    }
    if (!met) return false;
    if (stage_ + 1 == kStages) {
        finished_ = true;
        return true;
    }
    std::string next = request.get<nv::string_id>(stage_ == 0 ? field::send_1 : field::send_2);
    if (!next.empty()) transport.send(bytesOf(next), static_cast<uint32_t>(next.size()));
    // The new stage starts on an empty text: none of this chunk carries over.
    enterStage(stage_ + 1);
    finished_ = !expectations_[stage_];
    return finished_;
}
