// The switching rule between the primary and the backup receiver, on a fake clock: each
// path's breaker driven by failures and answers, and the route, the line to log and the
// probes that follow.
#include <chrono>

#include <gtest/gtest.h>

#include "src/delivery/delivery_policy.h"
#include "src/delivery/delivery_route.h"
#include "tests/delivery/delivery_test_support.h"

namespace {

using kv::delivery::DeliveryPolicy;
using kv::delivery::DeliveryRoute;
using Material = kv::delivery::DeliveryRoute::ProbeMaterial;
using kv::delivery::kOpenAfter;
using kv::delivery::Milliseconds;
using kv::delivery::PathId;
using kv::delivery::ProbeWith;
using kv::delivery::Route;
using kv::delivery::RouteEvent;
using kv::delivery::TimePoint;
using Transition = DeliveryPolicy::Transition;

using kv::test::FakeClock;

const Material kHeartbeatAndAlarms{true, true};
const Material kAlarmsOnly{false, true};
const Material kHeartbeatOnly{true, false};
const Material kNoMaterial{false, false};

// Two breakers on one clock and the route over them; every change of a breaker goes
// through Fail or Answer, which return what the sequencer would log.
class TwoPaths {
public:
    explicit TwoPaths(bool with_backup)
        : primary_(clock_.Source(), 5), backup_(clock_.Source(), 6),
          route_(primary_, with_backup ? &backup_ : nullptr) {}

    RouteEvent FailUntilOpen(PathId path) {
        RouteEvent event = RouteEvent::kNone;
        for (int i = 0; i < kOpenAfter; ++i) event = Fail(path, false);
        return event;
    }
    RouteEvent Fail(PathId path, bool probe) {
        const Route before = route_.Current();
        const Transition transition = Policy(path).OnFailure(++key_, probe);
        return route_.Describe(path, transition, before, route_.Current());
    }
    RouteEvent Answer(PathId path) {
        const Route before = route_.Current();
        const Transition transition = Policy(path).OnAnswer();
        return route_.Describe(path, transition, before, route_.Current());
    }
    void Advance(Milliseconds by) { clock_.now += by; }
    DeliveryPolicy& Policy(PathId path) { return path == PathId::kPrimary ? primary_ : backup_; }
    const DeliveryRoute& route() const { return route_; }

private:
    FakeClock clock_;
    DeliveryPolicy primary_;
    DeliveryPolicy backup_;
    DeliveryRoute route_;
    uint64_t key_ = 0;
};

TEST(DeliveryRoute, WithoutABackupTheRouteIsThePrimaryOrNothingAsWithOneReceiver) {
    TwoPaths paths(false);
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
    EXPECT_EQ(RouteEvent::kReceiverDown, paths.FailUntilOpen(PathId::kPrimary));
    EXPECT_EQ(Route::kHold, paths.route().Current());
    // The probe is always a waiting payload, never a heartbeat of its own.
    paths.Advance(Milliseconds(1000));
    EXPECT_EQ(ProbeWith::kWaitingPayload, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
    EXPECT_EQ(ProbeWith::kNothing, paths.route().ProbeNow(PathId::kBackup, kHeartbeatAndAlarms));
    EXPECT_FALSE(paths.route().NextProbe(PathId::kBackup, kHeartbeatAndAlarms));
    EXPECT_EQ(RouteEvent::kReceiverBack, paths.Answer(PathId::kPrimary));
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
}

TEST(DeliveryRoute, AlarmsGoToThePrimaryWhileItsBreakerIsClosed) {
    TwoPaths paths(true);
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
    // Failures short of opening the breaker do not switch.
    for (int i = 0; i + 1 < kOpenAfter; ++i) EXPECT_EQ(RouteEvent::kNone, paths.Fail(PathId::kPrimary, false));
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
    EXPECT_EQ(ProbeWith::kNothing, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
}

TEST(DeliveryRoute, TheSwitchToTheBackupComesWithThePrimarysBreakerOpening) {
    TwoPaths paths(true);
    EXPECT_EQ(RouteEvent::kPrimaryDown, paths.FailUntilOpen(PathId::kPrimary));
    EXPECT_EQ(Route::kBackup, paths.route().Current());
    // Late failures of exchanges that were in flight change nothing.
    EXPECT_EQ(RouteEvent::kNone, paths.Fail(PathId::kPrimary, false));
    EXPECT_EQ(Route::kBackup, paths.route().Current());
}

TEST(DeliveryRoute, ThePrimaryIsProbedWithAHeartbeatWhileTheBackupCarriesTheAlarms) {
    TwoPaths paths(true);
    paths.FailUntilOpen(PathId::kPrimary);
    // Not before the probe's back-off.
    EXPECT_EQ(ProbeWith::kNothing, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
    ASSERT_TRUE(paths.route().NextProbe(PathId::kPrimary, kHeartbeatAndAlarms));
    paths.Advance(Milliseconds(1000));
    EXPECT_EQ(ProbeWith::kHeartbeat, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
    // Without a heartbeat yet, a waiting alarm probes it: the primary is never left unprobed.
    EXPECT_EQ(ProbeWith::kWaitingPayload, paths.route().ProbeNow(PathId::kPrimary, kAlarmsOnly));
    paths.Policy(PathId::kPrimary).ProbeSent();
    EXPECT_EQ(ProbeWith::kNothing, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
    EXPECT_FALSE(paths.route().NextProbe(PathId::kPrimary, kHeartbeatAndAlarms)) << "one probe at a time";
    // A failed probe keeps the alarms on the backup and the probe on its back-off.
    EXPECT_EQ(RouteEvent::kNone, paths.Fail(PathId::kPrimary, true));
    EXPECT_EQ(Route::kBackup, paths.route().Current());
    EXPECT_EQ(ProbeWith::kNothing, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
    paths.Advance(Milliseconds(2000));
    EXPECT_EQ(ProbeWith::kHeartbeat, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
}

TEST(DeliveryRoute, ThePrimarysFirstAnswerBringsTheAlarmsBack) {
    TwoPaths paths(true);
    paths.FailUntilOpen(PathId::kPrimary);
    paths.Advance(Milliseconds(1000));
    paths.Policy(PathId::kPrimary).ProbeSent();
    EXPECT_EQ(RouteEvent::kPrimaryBack, paths.Answer(PathId::kPrimary));
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
    // Answers of the backup while it is up change nothing.
    EXPECT_EQ(RouteEvent::kNone, paths.Answer(PathId::kBackup));
}

TEST(DeliveryRoute, BothDownHoldsEverythingAndProbesEachPathWithWaitingAlarms) {
    TwoPaths paths(true);
    paths.FailUntilOpen(PathId::kPrimary);
    EXPECT_EQ(RouteEvent::kBothDown, paths.FailUntilOpen(PathId::kBackup));
    EXPECT_EQ(Route::kHold, paths.route().Current());
    paths.Advance(Milliseconds(1000));
    EXPECT_EQ(ProbeWith::kWaitingPayload, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));
    EXPECT_EQ(ProbeWith::kWaitingPayload, paths.route().ProbeNow(PathId::kBackup, kHeartbeatAndAlarms));

    // The backup answers first: alarms go to it, and the primary's probe goes on.
    paths.Policy(PathId::kBackup).ProbeSent();
    EXPECT_EQ(RouteEvent::kBackupBackCarrying, paths.Answer(PathId::kBackup));
    EXPECT_EQ(Route::kBackup, paths.route().Current());
    EXPECT_EQ(ProbeWith::kHeartbeat, paths.route().ProbeNow(PathId::kPrimary, kHeartbeatAndAlarms));

    // Then the primary: alarms return.
    paths.Policy(PathId::kPrimary).ProbeSent();
    EXPECT_EQ(RouteEvent::kPrimaryBack, paths.Answer(PathId::kPrimary));
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
}

TEST(DeliveryRoute, ThePrimaryFailingWhileTheBackupIsDownHoldsTheAlarms) {
    TwoPaths paths(true);
    EXPECT_EQ(RouteEvent::kBackupDown, paths.FailUntilOpen(PathId::kBackup));
    EXPECT_EQ(Route::kPrimary, paths.route().Current()) << "a dead backup does not touch the primary";
    // The backup is probed with heartbeats only: no alarm goes to it while the primary takes them.
    paths.Advance(Milliseconds(1000));
    EXPECT_EQ(ProbeWith::kHeartbeat, paths.route().ProbeNow(PathId::kBackup, kHeartbeatAndAlarms));
    EXPECT_EQ(ProbeWith::kNothing, paths.route().ProbeNow(PathId::kBackup, kAlarmsOnly));
    EXPECT_FALSE(paths.route().NextProbe(PathId::kBackup, kAlarmsOnly));

    EXPECT_EQ(RouteEvent::kBothDown, paths.FailUntilOpen(PathId::kPrimary));
    EXPECT_EQ(Route::kHold, paths.route().Current());
    EXPECT_EQ(RouteEvent::kPrimaryBack, paths.Answer(PathId::kPrimary));
    EXPECT_EQ(RouteEvent::kBackupBack, paths.Answer(PathId::kBackup));
    EXPECT_EQ(Route::kPrimary, paths.route().Current());
}

TEST(DeliveryRoute, WithNothingToProbeWithNoProbeFallsDue) {
    // One receiver, nothing waiting: no probe and no timer (a timer due in the past with
    // nothing to send would fire again and again).
    TwoPaths alone(false);
    alone.FailUntilOpen(PathId::kPrimary);
    alone.Advance(Milliseconds(1000));
    EXPECT_EQ(ProbeWith::kNothing, alone.route().ProbeNow(PathId::kPrimary, kHeartbeatOnly));
    EXPECT_FALSE(alone.route().NextProbe(PathId::kPrimary, kHeartbeatOnly));
    EXPECT_TRUE(alone.route().NextProbe(PathId::kPrimary, kAlarmsOnly));

    // Two receivers, both down, nothing waiting: each is probed with a heartbeat.
    TwoPaths both(true);
    both.FailUntilOpen(PathId::kPrimary);
    both.FailUntilOpen(PathId::kBackup);
    both.Advance(Milliseconds(1000));
    EXPECT_EQ(ProbeWith::kHeartbeat, both.route().ProbeNow(PathId::kPrimary, kHeartbeatOnly));
    EXPECT_EQ(ProbeWith::kHeartbeat, both.route().ProbeNow(PathId::kBackup, kHeartbeatOnly));
    EXPECT_EQ(ProbeWith::kNothing, both.route().ProbeNow(PathId::kBackup, kNoMaterial));
    EXPECT_FALSE(both.route().NextProbe(PathId::kPrimary, kNoMaterial));
}

TEST(DeliveryRoute, TheChoiceForEveryPairOfBreakerStates) {
    TwoPaths with_backup(true);
    EXPECT_EQ(Route::kPrimary, with_backup.route().Choose(false, false));
    EXPECT_EQ(Route::kPrimary, with_backup.route().Choose(false, true));
    EXPECT_EQ(Route::kBackup, with_backup.route().Choose(true, false));
    EXPECT_EQ(Route::kHold, with_backup.route().Choose(true, true));
    TwoPaths alone(false);
    EXPECT_EQ(Route::kPrimary, alone.route().Choose(false, false));
    EXPECT_EQ(Route::kHold, alone.route().Choose(true, false));
}

}  // namespace
