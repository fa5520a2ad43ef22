// The pause before a new login after refusals: 1 s doubling to 60 s, reset by an
// accepted login. Time is handed in, so nothing here waits.
#include <chrono>

#include <gtest/gtest.h>

#include "src/recorder/login_backoff.h"

namespace {

using kv::LoginBackoff;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(LoginBackoff, NothingToWaitForBeforeAnyRefusal) {
    LoginBackoff backoff;
    EXPECT_TRUE(backoff.Due(LoginBackoff::Clock::now()));
}

TEST(LoginBackoff, EachRefusalInARowDoublesTheWaitUpToTheCap) {
    LoginBackoff backoff;
    const LoginBackoff::Clock::time_point start = LoginBackoff::Clock::now();
    LoginBackoff::Clock::time_point now = start;
    const long long expected[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
    for (long long wait : expected) {
        backoff.Refused(now);
        EXPECT_FALSE(backoff.Due(now));
        EXPECT_FALSE(backoff.Due(now + seconds(wait) - milliseconds(1))) << "wait " << wait;
        EXPECT_TRUE(backoff.Due(now + seconds(wait))) << "wait " << wait;
        now += seconds(wait);
    }
}

TEST(LoginBackoff, AnAcceptedLoginStartsAfresh) {
    LoginBackoff backoff;
    LoginBackoff::Clock::time_point now = LoginBackoff::Clock::now();
    for (int i = 0; i < 5; ++i) {
        backoff.Refused(now);
        now += seconds(60);
    }
    EXPECT_EQ(backoff.next_wait(), seconds(32));
    backoff.Accepted();
    EXPECT_TRUE(backoff.Due(now));
    EXPECT_EQ(backoff.next_wait(), seconds(1));
    backoff.Refused(now);
    EXPECT_TRUE(backoff.Due(now + seconds(1)));
}

}  // namespace
