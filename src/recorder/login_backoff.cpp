#include "src/recorder/login_backoff.h"

namespace kv {

constexpr std::chrono::milliseconds LoginBackoff::kFirstWait;
constexpr std::chrono::milliseconds LoginBackoff::kMaxWait;

constexpr delivery::Backoff LoginBackoff::kBackoff;

void LoginBackoff::Refused(Clock::time_point now) {
    next_attempt_ = now + next_wait();
    if (refusals_ < 64) ++refusals_;
}

void LoginBackoff::Accepted() {
    refusals_ = 0;
    next_attempt_ = Clock::time_point{};
}

}  // namespace kv
