// kv::LoginBackoff: the pause before the next login after the recording server refused one.
//
// A refused login is not retried at the connection loop's pace (which suits a server that
// cannot be reached): each refusal in a row doubles the wait, from kFirstWait up to
// kMaxWait, so a wrong password neither locks the account nor floods the server's audit
// log. An accepted login starts the count afresh. Time is passed in, so the rule is
// testable without waiting; a plain value used by the client-library thread only.
#ifndef WARDEX_SRC_LOGIN_BACKOFF_H_
#define WARDEX_SRC_LOGIN_BACKOFF_H_

#include <chrono>

#include "src/delivery/backoff.h"

namespace kv {

class LoginBackoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstWait{1000};
    static constexpr std::chrono::milliseconds kMaxWait{60 * 1000};

    // The server refused a login at `now`: no new attempt before now + the current wait.
    void Refused(Clock::time_point now);
    // A login was accepted: the next refusal waits kFirstWait again.
    void Accepted();
    // Whether a login attempt may start at `now`.
    bool Due(Clock::time_point now) const { return now >= next_attempt_; }
    // The wait the next refusal will impose.
    std::chrono::milliseconds next_wait() const { return kBackoff.Delay(refusals_ + 1); }

private:
    static constexpr delivery::Backoff kBackoff{kFirstWait, kMaxWait};

    int refusals_ = 0;  // in a row
    Clock::time_point next_attempt_{};
};

}  // namespace kv

#endif  // WARDEX_SRC_LOGIN_BACKOFF_H_
