// kv::LogThrottle: lets one log line through per period and counts the ones it held
// back, so that the next line can say how many there were. A flood of one kind of event
// thus stays visible without filling the log. Not thread-safe: one owner thread.
#ifndef WARDEX_SRC_LOG_THROTTLE_H_
#define WARDEX_SRC_LOG_THROTTLE_H_

#include <chrono>
#include <cstdint>

namespace kv {

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration period) : period_(period) {}

    // True when a line may be written at `now`; `held_back` then receives the number of
    // lines refused since the last one let through. False counts one more refused line.
    bool Allow(Clock::time_point now, uint64_t& held_back) {
        if (!Due(now)) {
            ++held_back_;
            return false;
        }
        Wrote(now);
        held_back = held_back_;
        held_back_ = 0;
        return true;
    }

    // For callers that hold back a sum instead of lines: whether one may be written now,
    // and the note that it was.
    bool Due(Clock::time_point now) const { return !written_ || now - last_ >= period_; }
    void Wrote(Clock::time_point now) {
        written_ = true;
        last_ = now;
    }

private:
    Clock::duration period_;
    bool written_ = false;
    Clock::time_point last_{};
    uint64_t held_back_ = 0;
};

}  // namespace kv

#endif  // WARDEX_SRC_LOG_THROTTLE_H_
