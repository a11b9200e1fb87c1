#include "client/RateLimit.h"

#include <algorithm>
#include <cmath>

double RateLimit::allowanceAt(int64_t nowUs) const {
    const double most = std::max(1.0, perSecond_ / 100.0);
    return std::min(most, allowance_ + static_cast<double>(nowUs - atUs_) * perSecond_ / 1e6);
}

bool RateLimit::take(int64_t nowUs) {
    if (perSecond_ == 0) return true;
    allowance_ = allowanceAt(nowUs);
    atUs_ = nowUs;
    if (allowance_ < 1) return false;
    allowance_ -= 1;
    return true;
}

int64_t RateLimit::waitUs(int64_t nowUs) const {
    if (perSecond_ == 0) return 0;
    const double missing = 1 - allowanceAt(nowUs);
    return missing <= 0 ? 0 : static_cast<int64_t>(std::ceil(missing * 1e6 / perSecond_));
}
