#include "src/login_backoff.h"

#include <algorithm>

namespace kv {

constexpr std::chrono::milliseconds LoginBackoff::kFirstWait;
constexpr std::chrono::milliseconds LoginBackoff::kMaxWait;

void LoginBackoff::Refused(Clock::time_point now) {
    next_attempt_ = now + next_wait_;
    next_wait_ = std::min(next_wait_ * 2, kMaxWait);
}

void LoginBackoff::Accepted() {
    next_wait_ = kFirstWait;
    next_attempt_ = Clock::time_point{};
}

}  // namespace kv
