// nv::Timer: a handle on one entry of the current runner's timer heap. The
// heap holds a pointer to the handle and the handle holds its heap index, so
// moving a pending timer re-points its entry.
#include "nv/Timer.h"

#include "nv/ThinRunner.h"

#include <utility>

namespace nv {

Timer::Timer(uint32_t ticks, Handler handler) {
    ThinRunner* runner = getRunner();
    // Without a loop the timer could never fire: it stays empty.
    if (!runner) return;
    handler_ = std::move(handler);
    runner->armTimer(*this, ticks);
}

Timer::~Timer() {
    cancel();
}

Timer::Timer(Timer&& other) noexcept : index_(other.index_), handler_(std::move(other.handler_)) {
    other.handler_ = nullptr;
    other.index_ = kNone;
    if (pending()) getRunner()->timerMoved(*this);
}

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this == &other) return *this;
    cancel();
    index_ = other.index_;
    handler_ = std::move(other.handler_);
    other.handler_ = nullptr;
    other.index_ = kNone;
    if (pending()) getRunner()->timerMoved(*this);
    return *this;
}

void Timer::cancel() {
    // A pending timer always belongs to the current runner: a runner empties
    // its timers when it is destroyed.
    if (pending()) getRunner()->cancelTimer(*this);
    // Whatever the handler holds is released now, not when the handle dies.
    Handler dropped = std::move(handler_);
    handler_ = nullptr;
}

}  // namespace nv
