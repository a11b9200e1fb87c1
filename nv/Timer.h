// A one-shot timer on the loop thread.
//
// Timer(ticks, handler) arms at once: the handler runs once, on a later pass
// of the loop, after `ticks` ticks of 10 ms (0 ticks: the next pass, never
// inside the call that arms it). The handle is move-only; assigning another
// timer (an empty one too) or destroying it cancels what it held. The
// handler may destroy the timer and its owner: it is moved out of the timer
// before it is called. Arm and cancel cost O(log n) in the pending timers.
#pragma once

#include <cstdint>
#include <functional>

namespace nv {

class Timer {
public:
    using Handler = std::function<void()>;

    Timer() = default;
    Timer(uint32_t ticks, Handler handler);
    ~Timer();
    Timer(Timer&& other) noexcept;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool pending() const { return index_ != kNone; }
    void cancel();

private:
    friend class ThinRunner;
    static constexpr uint32_t kNone = UINT32_MAX;
    uint32_t index_ = kNone;  // position in the runner's heap
    Handler handler_;
};

}  // namespace nv
