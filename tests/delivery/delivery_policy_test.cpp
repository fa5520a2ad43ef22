// The retry back-off and the receiver's circuit breaker on a fake clock.
#include <chrono>

#include <gtest/gtest.h>

#include "src/delivery/delivery_policy.h"
#include "tests/delivery/delivery_test_support.h"

namespace {

// A payload key never used before: every failure below is another payload's.
uint64_t NextPayload() {
    static uint64_t key = 1000;
    return ++key;
}

using kv::delivery::DeliveryPolicy;
using kv::delivery::Milliseconds;
using kv::delivery::TimePoint;
using Transition = DeliveryPolicy::Transition;

using kv::test::FakeClock;

TEST(DeliveryPolicy, BackoffDoublesFromOneSecondToTheMinuteAndJitterOnlyShortensByATenth) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 7);
    const long long nominal[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000};
    for (int round = 0; round < 200; ++round) {
        for (int failures = 1; failures <= 9; ++failures) {
            const long long delay = policy.RetryDelay(failures).count();
            const long long expected = nominal[failures - 1];
            ASSERT_LE(delay, expected) << failures;
            ASSERT_GE(delay, expected - expected / 10) << failures;
        }
    }
    EXPECT_LE(policy.RetryDelay(1000).count(), 60000);
    EXPECT_GE(policy.RetryDelay(1000).count(), 54000);
}

TEST(DeliveryPolicy, JitterSpreadsPayloadsThatFailedTogether) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 11);
    long long low = 1 << 30, high = 0;
    for (int i = 0; i < 200; ++i) {
        const long long delay = policy.RetryDelay(6).count();
        low = std::min(low, delay);
        high = std::max(high, delay);
    }
    EXPECT_GT(high - low, 1000) << "delays of 32 s spread over about 3 s";
}

TEST(DeliveryPolicy, NextAttemptIsMeasuredFromTheClock) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 3, Milliseconds(100), Milliseconds(400));
    const TimePoint next = policy.NextAttempt(2);
    EXPECT_LE(next, clock.now + Milliseconds(200));
    EXPECT_GE(next, clock.now + Milliseconds(180));
}

// Whatever the status: a receiver whose back end is down answers every payload with 500,
// and three payloads failing in a row say so. One payload failing again and again does not.
TEST(DeliveryPolicy, OnlyDistinctPayloadsFailingInARowOpenTheBreaker) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 3);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Transition::kNone, policy.OnFailure(7, false)) << "a poison payload";
    EXPECT_EQ(Transition::kNone, policy.OnFailure(8, false));
    EXPECT_FALSE(policy.open());
    EXPECT_EQ(Transition::kOpened, policy.OnFailure(9, false));
    EXPECT_TRUE(policy.open());
}

TEST(DeliveryPolicy, APoisonPayloadBetweenDeliveriesNeverOpensTheBreaker) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 3);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Transition::kNone, policy.OnFailure(7, false));
        EXPECT_EQ(Transition::kNone, policy.OnFailure(100 + static_cast<uint64_t>(i), false));
        EXPECT_EQ(Transition::kNone, policy.OnAnswer()) << "another payload was delivered";
    }
    EXPECT_FALSE(policy.open());
}

TEST(DeliveryPolicy, BreakerOpensAfterThreeFailuresInARowNotWhenAnAnswerComesBetween) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 1);
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_EQ(Transition::kNone, policy.OnAnswer());
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_FALSE(policy.open());
    EXPECT_EQ(Transition::kOpened, policy.OnFailure(NextPayload(), false));
    EXPECT_TRUE(policy.open());
    // Exchanges that were in flight fail too: no second opening, no probe back-off.
    const TimePoint first_probe = policy.NextProbe();
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_EQ(first_probe, policy.NextProbe());
}

TEST(DeliveryPolicy, WhileOpenOneProbeAtATimeOnItsOwnBackoffAndTheFirstAnswerCloses) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 5);
    for (int i = 0; i < 3; ++i) policy.OnFailure(NextPayload(), false);
    ASSERT_TRUE(policy.open());
    const TimePoint opened = clock.now;

    EXPECT_FALSE(policy.ProbeDue());
    clock.now = policy.NextProbe();
    EXPECT_LE(clock.now - opened, Milliseconds(1000));
    EXPECT_TRUE(policy.ProbeDue());
    policy.ProbeSent();
    EXPECT_FALSE(policy.ProbeDue()) << "one probe in flight";

    // Probe failures: the pause doubles to the minute.
    const long long nominal[] = {2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (long long expected : nominal) {
        const TimePoint failed = clock.now;
        EXPECT_EQ(Transition::kNone, policy.OnFailure(0, true));
        const long long pause = std::chrono::duration_cast<Milliseconds>(policy.NextProbe() - failed).count();
        EXPECT_LE(pause, expected);
        EXPECT_GE(pause, expected - expected / 10);
        EXPECT_FALSE(policy.ProbeDue());
        clock.now = policy.NextProbe();
        EXPECT_TRUE(policy.ProbeDue());
        policy.ProbeSent();
    }
    clock.now += Milliseconds(500);
    const Milliseconds away = std::chrono::duration_cast<Milliseconds>(clock.now - opened);
    EXPECT_EQ(Transition::kClosed, policy.OnAnswer());
    EXPECT_FALSE(policy.open());
    EXPECT_FALSE(policy.ProbeDue());
    EXPECT_EQ(away, policy.OpenFor());
    EXPECT_EQ(Transition::kNone, policy.OnAnswer());
}

TEST(DeliveryPolicy, ProbeNowBringsThePausedProbeForward) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 5);
    for (int i = 0; i < 3; ++i) policy.OnFailure(NextPayload(), false);
    for (int i = 0; i < 6; ++i) {
        clock.now = policy.NextProbe();
        policy.ProbeSent();
        policy.OnFailure(0, true);
    }
    EXPECT_FALSE(policy.ProbeDue());
    policy.ProbeNow();
    EXPECT_TRUE(policy.ProbeDue());
}

TEST(DeliveryPolicy, AfterClosingItTakesThreeNewFailuresToOpenAgain) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 9);
    for (int i = 0; i < 3; ++i) policy.OnFailure(NextPayload(), false);
    policy.OnAnswer();
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_EQ(Transition::kNone, policy.OnFailure(NextPayload(), false));
    EXPECT_EQ(Transition::kOpened, policy.OnFailure(NextPayload(), false));
    // The probe back-off starts at a second again.
    EXPECT_LE(policy.NextProbe() - clock.now, Milliseconds(1000));
}

}  // namespace
