#include "src/delivery/delivery_policy.h"

#include "src/delivery/backoff.h"

#include <algorithm>
#include <utility>

namespace kv {
namespace delivery {

DeliveryPolicy::DeliveryPolicy(ClockSource now, uint32_t seed, Milliseconds base, Milliseconds cap)
    : now_(std::move(now)), jitter_(seed == 0 ? 1 : seed), base_(base), cap_(cap) {}

void DeliveryPolicy::SetBackoff(Milliseconds base, Milliseconds cap) {
    base_ = base;
    cap_ = std::max(base, cap);
}

Milliseconds DeliveryPolicy::RetryDelay(int failures) { return Backoff(base_, cap_).Delay(failures, jitter_); }

DeliveryPolicy::Transition DeliveryPolicy::OnFailure(uint64_t payload_key, bool probe) {
    if (open_) {
        // Failures of exchanges that were in flight before the breaker opened say nothing new.
        if (!probe) return Transition::kNone;
        probe_in_flight_ = false;
        if (probe_failures_ < 64) ++probe_failures_;
        next_probe_ = now_() + RetryDelay(probe_failures_);
        return Transition::kNone;
    }
    if (std::find(failed_in_row_.begin(), failed_in_row_.end(), payload_key) == failed_in_row_.end()) {
        failed_in_row_.push_back(payload_key);
    }
    if (failed_in_row_.size() < static_cast<size_t>(kOpenAfter)) return Transition::kNone;
    failed_in_row_.clear();
    open_ = true;
    opened_at_ = now_();
    probe_in_flight_ = false;
    probe_failures_ = 1;
    next_probe_ = opened_at_ + RetryDelay(probe_failures_);
    return Transition::kOpened;
}

DeliveryPolicy::Transition DeliveryPolicy::OnAnswer() {
    failed_in_row_.clear();
    if (!open_) return Transition::kNone;
    open_ = false;
    probe_in_flight_ = false;
    probe_failures_ = 0;
    closed_at_ = now_();
    return Transition::kClosed;
}

bool DeliveryPolicy::ProbeDue() const { return open_ && !probe_in_flight_ && now_() >= next_probe_; }

Milliseconds DeliveryPolicy::OpenFor() const {
    const TimePoint end = open_ ? now_() : closed_at_;
    return std::chrono::duration_cast<Milliseconds>(end - opened_at_);
}

}  // namespace delivery
}  // namespace kv
