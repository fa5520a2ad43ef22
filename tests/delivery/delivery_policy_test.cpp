// The retry back-off and the receiver's circuit breaker on a fake clock.
#include <chrono>

#include <gtest/gtest.h>

#include "src/delivery_policy.h"

namespace {

using kv::delivery::DeliveryPolicy;
using kv::delivery::Milliseconds;
using kv::delivery::TimePoint;
using Transition = DeliveryPolicy::Transition;

struct FakeClock {
    TimePoint now{std::chrono::hours(1)};
    DeliveryPolicy::ClockSource Source() {
        return [this] { return now; };
    }
};

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

TEST(DeliveryPolicy, OnlyTransportFailuresAndWholeReceiver5xxCountAgainstTheReceiver) {
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(true, 0, false));
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(true, 0, true));
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(false, 503, false));
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(false, 500, false));
    EXPECT_FALSE(DeliveryPolicy::IsReceiverFailure(false, 500, true)) << "the payload's own message";
    // Bad gateway, unavailable and gateway timeout speak about the server, on any step.
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(false, 502, true));
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(false, 503, true));
    EXPECT_TRUE(DeliveryPolicy::IsReceiverFailure(false, 504, true));
    EXPECT_FALSE(DeliveryPolicy::IsReceiverFailure(false, 501, true));
    EXPECT_FALSE(DeliveryPolicy::IsReceiverFailure(false, 202, false));
    EXPECT_FALSE(DeliveryPolicy::IsReceiverFailure(false, 404, false));
}

TEST(DeliveryPolicy, BreakerOpensAfterThreeFailuresInARowNotWhenAnAnswerComesBetween) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 1);
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_EQ(Transition::kNone, policy.OnReceiverAnswer());
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_FALSE(policy.open());
    EXPECT_EQ(Transition::kOpened, policy.OnReceiverFailure(false));
    EXPECT_TRUE(policy.open());
    // Exchanges that were in flight fail too: no second opening, no probe back-off.
    const TimePoint first_probe = policy.NextProbe();
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_EQ(first_probe, policy.NextProbe());
}

TEST(DeliveryPolicy, WhileOpenOneProbeAtATimeOnItsOwnBackoffAndTheFirstAnswerCloses) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 5);
    for (int i = 0; i < 3; ++i) policy.OnReceiverFailure(false);
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
        EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(true));
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
    EXPECT_EQ(Transition::kClosed, policy.OnReceiverAnswer());
    EXPECT_FALSE(policy.open());
    EXPECT_FALSE(policy.ProbeDue());
    EXPECT_EQ(away, policy.OpenFor());
    EXPECT_EQ(Transition::kNone, policy.OnReceiverAnswer());
}

TEST(DeliveryPolicy, ProbeNowBringsThePausedProbeForward) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 5);
    for (int i = 0; i < 3; ++i) policy.OnReceiverFailure(false);
    for (int i = 0; i < 6; ++i) {
        clock.now = policy.NextProbe();
        policy.ProbeSent();
        policy.OnReceiverFailure(true);
    }
    EXPECT_FALSE(policy.ProbeDue());
    policy.ProbeNow();
    EXPECT_TRUE(policy.ProbeDue());
}

TEST(DeliveryPolicy, AfterClosingItTakesThreeNewFailuresToOpenAgain) {
    FakeClock clock;
    DeliveryPolicy policy(clock.Source(), 9);
    for (int i = 0; i < 3; ++i) policy.OnReceiverFailure(false);
    policy.OnReceiverAnswer();
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_EQ(Transition::kNone, policy.OnReceiverFailure(false));
    EXPECT_EQ(Transition::kOpened, policy.OnReceiverFailure(false));
    // The probe back-off starts at a second again.
    EXPECT_LE(policy.NextProbe() - clock.now, Milliseconds(1000));
}

}  // namespace
