// kv::delivery::Backoff: the one rule for "wait longer after each failure in a row".
//
// The n-th wait (n counted from 1) is base * 2^(n-1), capped at `cap`, and shortened by at
// most a tenth when a random source is given, so that waits begun together spread out;
// the cap stays a promise, a wait is never longer. Used by the payload retries, the
// receiver's probe, the outbox's reopening and the recorder's login. Pure: the caller
// keeps the count and the clock.
#ifndef WARDEX_SRC_DELIVERY_BACKOFF_H_
#define WARDEX_SRC_DELIVERY_BACKOFF_H_

#include <chrono>
#include <random>

namespace kv {
namespace delivery {

class Backoff {
public:
    using Milliseconds = std::chrono::milliseconds;

    constexpr Backoff(Milliseconds base, Milliseconds cap) : base_(base), cap_(cap < base ? base : cap) {}

    // The wait after `failures` failures in a row (0 or 1: the base), without jitter.
    Milliseconds Delay(int failures) const {
        const int shift = failures > 1 ? failures - 1 : 0;
        if (shift < 31 && base_.count() <= (cap_.count() >> shift)) return base_ * (1LL << shift);
        return cap_;
    }

    // The same, shortened by a random tenth at most.
    template <typename Random>
    Milliseconds Delay(int failures, Random& random) const {
        Milliseconds delay = Delay(failures);
        const long long spread = delay.count() / 10;
        if (spread > 0) delay -= Milliseconds(std::uniform_int_distribution<long long>(0, spread)(random));
        return delay;
    }

    Milliseconds base() const { return base_; }
    Milliseconds cap() const { return cap_; }

private:
    Milliseconds base_;
    Milliseconds cap_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_BACKOFF_H_
