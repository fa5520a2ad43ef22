// When to send what: each payload's own retry back-off, and the receiver's circuit breaker.
//
// Back-off: after a payload's n-th failure its next attempt waits base * 2^(n-1), capped,
// shortened by a random tenth at most so that payloads failed together spread out.
//
// Breaker: the receiver counts as down when exchanges of kOpenAfter distinct payloads
// have failed in a row with no usable answer in between, whatever the failure: a refused
// connection, a timeout, a redirect, a 500 from a receiver whose back end is down. A
// usable answer is an application message answered with a result, or a well-formed
// refusal; an opened sequence is not one (a receiver that opens sequences but fails every
// message takes no alarm). One payload failing again and again while others get through
// is that payload's own fault (a "poison" payload): it never opens the breaker, and only
// its own back-off applies. While open, only one probe is in flight, on a back-off of its
// own (base doubling to the cap); its first usable answer closes the breaker and
// everything waiting may go at once.
//
// Pure bookkeeping on an injected clock: no timers, no sockets, no threads.
#ifndef WARDEX_SRC_DELIVERY_POLICY_H_
#define WARDEX_SRC_DELIVERY_POLICY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace kv {
namespace delivery {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Milliseconds = std::chrono::milliseconds;

// Distinct payloads failed in a row that open the breaker: fewer would let one dropped
// connection silence the log; more would let a dead receiver cost a burst of attempts
// (and log lines) from every payload in flight before the breaker holds them.
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

    bool open() const { return open_; }
    // An exchange of the payload known as `payload_key` failed. `probe`: it was the
    // breaker's probe.
    Transition OnFailure(uint64_t payload_key, bool probe);
    // The receiver gave a usable answer.
    Transition OnAnswer();

    // While open: whether the probe may go now; ProbeSent marks it in flight.
    bool ProbeDue() const;
    void ProbeSent() { probe_in_flight_ = true; }
    // The receiver looks back (its port accepts connections): the probe may go now.
    void ProbeNow() {
        if (open_) next_probe_ = now_();
    }
    // While open: the probe was answered, yet the breaker stays open (the answer is not
    // trusted yet); the next probe goes at `next`.
    void ProbeHeld(TimePoint next) {
        probe_in_flight_ = false;
        next_probe_ = next;
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
    std::vector<uint64_t> failed_in_row_;  // distinct payloads, at most kOpenAfter
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
