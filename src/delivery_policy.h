// When to send what: each payload's own retry back-off, and the receiver's circuit breaker.
//
// Back-off: after a payload's n-th failure its next attempt waits base * 2^(n-1), capped,
// shortened by a random tenth at most so that payloads failed together spread out.
//
// Breaker: an exchange that fails on the transport level (refused, timeout, connection
// lost), that the receiver as a whole answers with 5xx, or that any step gets 502, 503 or
// 504 for, counts against the receiver; kOpenAfter such failures in a row, with no answer
// in between, open the breaker. An answer is what the application message got (or an
// unusable CreateSequence answer): a receiver that opens sequences but fails every message
// is down for delivery. While it is open only one probe is in flight, on a back-off of its
// own (base doubling to the cap); the first answer closes it and everything waiting may go
// at once. A payload that fails while the receiver answers is a payload failure: only its
// own back-off applies.
//
// Pure bookkeeping on an injected clock: no timers, no sockets, no threads.
#ifndef WARDEX_SRC_DELIVERY_POLICY_H_
#define WARDEX_SRC_DELIVERY_POLICY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>

namespace kv {
namespace delivery {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Milliseconds = std::chrono::milliseconds;

// Failures against the receiver in a row that open the breaker: fewer would let one
// dropped connection silence the log; more would let a dead receiver cost a burst of
// attempts (and log lines) from every payload in flight before the breaker holds them.
constexpr int kOpenAfter = 3;

class DeliveryPolicy {
public:
    using ClockSource = std::function<TimePoint()>;

    enum class Transition { kNone, kOpened, kClosed };

    DeliveryPolicy(ClockSource now, uint32_t seed, Milliseconds base = Milliseconds(1000), Milliseconds cap = Milliseconds(60000));

    void SetBackoff(Milliseconds base, Milliseconds cap);
    TimePoint Now() const { return now_(); }
    Milliseconds base() const { return base_; }

    // The pause before the next attempt of a payload that has failed `failures` times.
    Milliseconds RetryDelay(int failures);
    TimePoint NextAttempt(int failures) { return now_() + RetryDelay(failures); }

    // Whether an exchange outcome speaks about the receiver as a whole: a transport
    // failure, 502/503/504 to any step, or other 5xx to a step that does not depend on
    // the payload.
    static bool IsReceiverFailure(bool transport_error, int status, bool payload_step);

    bool open() const { return open_; }
    // An exchange failed against the receiver. `probe`: it was the breaker's probe.
    Transition OnReceiverFailure(bool probe);
    // The receiver answered (any HTTP answer that is not a receiver failure).
    Transition OnReceiverAnswer();

    // While open: whether the probe may go now; ProbeSent marks it in flight.
    bool ProbeDue() const;
    void ProbeSent() { probe_in_flight_ = true; }
    // The receiver looks back (its port accepts connections): the probe may go now.
    void ProbeNow() {
        if (open_) next_probe_ = now_();
    }
    bool probe_in_flight() const { return probe_in_flight_; }
    TimePoint NextProbe() const { return next_probe_; }
    // How long the breaker has been (or, right after closing, was) open.
    Milliseconds OpenFor() const;

private:
    ClockSource now_;
    std::minstd_rand jitter_;
    Milliseconds base_;
    Milliseconds cap_;
    int failures_in_row_ = 0;
    bool open_ = false;
    bool probe_in_flight_ = false;
    int probe_failures_ = 0;
    TimePoint opened_at_{};
    TimePoint closed_at_{};
    TimePoint next_probe_{};
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_POLICY_H_
