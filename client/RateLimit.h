// --rate: at most N starts a second, on times the caller gives (in µs), so
// that it can be driven in tests. The allowance saved up while idle is at
// most a hundredth of a second's worth, so a pause is not made up for with
// a burst.
#pragma once

#include <cstdint>

class RateLimit {
public:
    // 0: no limit.
    RateLimit(uint32_t perSecond, int64_t nowUs) : perSecond_(perSecond), atUs_(nowUs) {}

    // Whether one more may start now; if so, it is counted.
    bool take(int64_t nowUs);
    // How long until the next may start (0: now).
    int64_t waitUs(int64_t nowUs) const;

private:
    double allowanceAt(int64_t nowUs) const;

    uint32_t perSecond_;
    double allowance_ = 1;  // starts that may happen at atUs_
    int64_t atUs_;
};
