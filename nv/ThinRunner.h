// The event loop: descriptor readiness on epoll and one-shot timers, on one
// thread.
//
// Readiness: a descriptor is watched with addSocket(fd, events, handler);
// events are kReadable (1) and kWritable (4). The handler gets the
// descriptor and the events that are ready (errors and hang-ups are reported
// as both readable and writable, so the handler meets them on its normal
// path). A handler may remove its own descriptor, remove others, and destroy
// the object that registered it. An event for a descriptor removed earlier in
// the same pass is never delivered, even when the number has meanwhile been
// registered again.
//
// Time: the clock is read once per pass. Timers (nv::Timer) count in ticks of
// 10 ms from that reading; due timers are collected before any runs, so a
// timer armed by a handler (0 ticks included) waits for a later pass. Timers
// due together fire in deadline order, ties in arming order.
//
// Exactly one runner exists at a time; nv::getRunner() returns it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace nv {

class Timer;

class ThinRunner {
public:
    static constexpr unsigned kReadable = 1;
    static constexpr unsigned kWritable = 4;
    static constexpr unsigned kTickMs = 10;

    using SocketHandler = std::function<void(int fd, unsigned events)>;
    // Milliseconds on a monotonic clock.
    using Clock = std::function<uint64_t()>;

    // Raises the soft descriptor limit to the hard one and ignores SIGPIPE.
    ThinRunner();
    virtual ~ThinRunner();
    ThinRunner(const ThinRunner&) = delete;
    ThinRunner& operator=(const ThinRunner&) = delete;

    // False (with errno set) when epoll refuses the descriptor, fd < 0, the
    // handler is empty (EINVAL) or fd is already watched (EEXIST). Events 0
    // keep the registration but watch nothing (not even hang-ups).
    bool addSocket(int fd, unsigned events, SocketHandler handler);
    bool changeSocket(int fd, unsigned events);
    // Removing a descriptor that is not watched does nothing.
    void removeSocket(int fd);
    bool isWatched(int fd) const;

    // Runs passes until shutdown() is called (by a handler, or by SIGTERM
    // or SIGINT, which the runner turns into shutdown while it runs).
    virtual void run();
    virtual void shutdown();
    // Milliseconds until the next timer is due (-1: none pending).
    virtual int sleepTime();

    // One pass: wait up to maxWaitMs (bounded by the next timer; -1 waits
    // for ever) for readiness, deliver it, then fire the due timers.
    void runOnce(int maxWaitMs);
    bool stopping() const;

    // For tests: a clock the test drives. With one set, passes never sleep.
    // An empty clock puts the monotonic clock back.
    void setClockForTesting(Clock clock);
    // This pass's clock reading, in ms (between passes: the latest reading;
    // arming a timer between passes reads the clock afresh).
    uint64_t now() const;
    size_t pendingTimers() const;

private:
    friend class Timer;
    struct Impl;

    // The timer heap, for nv::Timer: arm `timer` (not pending) to fire after
    // `ticks`; take a pending one out; point its heap entry at a new address
    // after a move.
    void armTimer(Timer& timer, uint32_t ticks);
    void cancelTimer(Timer& timer);
    void timerMoved(Timer& timer);
    static uint32_t& heapIndex(Timer& timer);

    std::unique_ptr<Impl> impl_;
};

// The loop's runner; null when none exists.
ThinRunner* getRunner();

}  // namespace nv
