// The delivery's decisions through their transitions: canned events against the courier,
// on a clock the test moves, with the real outbox where disk matters.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "src/delivery/backoff.h"
#include "src/delivery/courier.h"
#include "tests/delivery/courier_harness.h"

namespace {

using kv::delivery::Backoff;
using kv::delivery::Commands;
using kv::delivery::Courier;
using kv::delivery::CourierOptions;
using kv::delivery::Incoming;
using kv::delivery::Instant;
using kv::delivery::Note;
using kv::delivery::NoteKind;
using kv::delivery::PathId;
using kv::delivery::PayloadKind;
using kv::delivery::Reply;
using kv::delivery::Send;
using kv::delivery::TimePoint;
using kv::soap::Outcome;
using kv::soap::Step;
using std::chrono::milliseconds;
using std::chrono::seconds;

using kv::test::CourierOnDisk;
using kv::test::Harness;
using kv::test::kBackup;
using kv::test::kPrimary;
using kv::test::Small;
using kv::test::Takes;

// What each answer to the application message does to one alarm, without an outbox.
TEST(Courier, EachAnswerToTheApplicationMessageHasItsOneConsequence) {
    struct Row {
        Outcome answer;
        bool delivered;
        bool last_message;  // the sequence is closed
        bool sent_again;    // a new sequence after the back-off
    };
    const Row rows[] = {
        {Outcome::kDelivered, true, true, false},
        {Outcome::kReceiverFailure, false, true, true},
        {Outcome::kPayloadFailure, false, true, true},
        {Outcome::kRefused, false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.answer));
        Harness h;
        h.Endpoint(PathId::kPrimary, kPrimary);
        h.Alarms(1);
        h.Answer(Outcome::kNextStep);
        ASSERT_EQ(1, h.Pending(Step::kApplicationMessage));
        EXPECT_EQ("a0", *h.sends.front().payload);
        EXPECT_EQ("seq", h.sends.front().sequence_id);
        const bool failed = row.answer == Outcome::kReceiverFailure || row.answer == Outcome::kPayloadFailure;
        h.Answer(row.answer, 0, failed ? 500 : 200);
        EXPECT_EQ(row.last_message ? 1 : 0, h.Pending(Step::kLastMessage));
        h.Settle(seconds(2));
        EXPECT_EQ(row.sent_again ? 1 : 0, h.Pending(Step::kCreateSequence));
        EXPECT_EQ(row.delivered ? 1u : 0u, h.courier().Stats().delivered);
        EXPECT_EQ(row.sent_again ? 1u : 0u, h.courier().Stats().waiting);
    }
}

// The first step: a failure tries again without a LastMessage; a refusal gives up.
TEST(Courier, EachAnswerToTheCreateSequenceHasItsOneConsequence) {
    for (const Outcome answer : {Outcome::kReceiverFailure, Outcome::kRefused}) {
        Harness h;
        h.Endpoint(PathId::kPrimary, kPrimary);
        h.Alarms(1);
        h.Answer(answer, 0, answer == Outcome::kRefused ? 200 : 502);
        EXPECT_EQ(0, h.Pending(Step::kLastMessage));
        EXPECT_EQ(answer == Outcome::kRefused ? 1 : 0, h.Count(NoteKind::kAbandoningRefused));
        h.Settle(seconds(2));
        EXPECT_EQ(answer == Outcome::kRefused ? 0 : 1, h.Pending(Step::kCreateSequence));
    }
}

// Three distinct payloads failing in a row open the breaker: one line, then one probe at
// a time; the probe's delivery closes it and everything waiting goes.
TEST(Courier, TheBreakerOpensAfterThreePayloadsFailAndOneProbeBringsEverythingBack) {
    Harness h;
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Alarms(5);
    for (int i = 0; i < 5; ++i) h.Answer(Outcome::kReceiverFailure, 7, 0);
    EXPECT_EQ(1, h.Count(NoteKind::kReceiverDown));
    EXPECT_FALSE(h.courier().Stats().primary_reachable);
    EXPECT_EQ(3, h.Count(NoteKind::kAbandoning)) << "quiet once the receiver counts as down";
    for (int round = 0; round < 5; ++round) {
        h.Settle(seconds(61));
        EXPECT_LE(h.sends.size(), 1u) << "one probe at a time";
        if (!h.sends.empty()) h.Answer(Outcome::kReceiverFailure, 7, 0);
    }
    h.Settle(seconds(61));
    ASSERT_EQ(1u, h.sends.size());
    h.AnswerAll(Takes);
    EXPECT_EQ(1, h.Count(NoteKind::kReceiverBack));
    EXPECT_EQ(5u, h.courier().Stats().delivered);
    EXPECT_EQ(0u, h.courier().Stats().waiting);
}

// A heartbeat goes at once and every period after; a failed one is not tried again.
TEST(Courier, HeartbeatsGoEveryPeriodAndAreNeverRetried) {
    Harness h;
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Event([&](Commands& out) { h.courier().StartHeartbeat(h.now, "hb", out); });
    ASSERT_EQ(1u, h.sends.size());
    EXPECT_EQ(PayloadKind::kHeartbeat, h.sends.front().kind);
    h.Answer(Outcome::kReceiverFailure, 7, 0);
    h.Settle(seconds(299));
    EXPECT_TRUE(h.sends.empty());
    h.Settle(seconds(1));
    EXPECT_EQ(1u, h.sends.size());
    h.Event([&](Commands& out) { h.courier().StopHeartbeat(h.now, out); });
    h.sends.clear();
    h.Settle(seconds(600));
    EXPECT_TRUE(h.sends.empty());
}

// Without an outbox a full window refuses the payload with its WARNING.
TEST(Courier, WithoutAnOutboxAFullWindowRefusesTheNext) {
    Harness h;
    h.Alarms(9);
    EXPECT_EQ(1, h.Count(NoteKind::kWindowFull));
    EXPECT_EQ(8u, h.courier().Stats().waiting);
    EXPECT_TRUE(h.sends.empty()) << "no endpoint, nothing sent";
}

// Stored alarms leave the outbox only once delivered; past the window they wait on disk
// and enter, oldest first, as places free.
TEST_F(CourierOnDisk, StoredAlarmsPastTheWindowEnterOldestFirstAndLeaveOnlyWhenDelivered) {
    h.Alarms(20);
    EXPECT_EQ(20u, h.courier().outbox()->Count());
    EXPECT_EQ(20u, h.courier().Stats().waiting);
    h.Endpoint(PathId::kPrimary, kPrimary);
    std::vector<std::string> order;
    h.AnswerAll([&](const Send& send) {
        if (send.step == Step::kApplicationMessage) order.push_back(*send.payload);
        return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kDelivered;
    });
    ASSERT_EQ(20u, order.size());
    for (int i = 0; i < 20; ++i) EXPECT_EQ("a" + std::to_string(i), order[i]);
    EXPECT_EQ(0u, h.courier().outbox()->Count());
    EXPECT_EQ(0u, h.courier().Stats().waiting);
}

// A refused alarm stays stored, marked, and goes again only after its own wait.
TEST_F(CourierOnDisk, ARefusedStoredAlarmWaitsItsOwnTimeAndGoesAgain) {
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Alarms(1);
    h.Answer(Outcome::kNextStep);
    h.Answer(Outcome::kRefused);
    h.Settle();
    EXPECT_EQ(1, h.Count(NoteKind::kRefusalKept));
    EXPECT_EQ(1u, h.courier().Stats().refused);
    EXPECT_EQ(1u, h.courier().outbox()->Count());
    h.Settle(seconds(14 * 60));
    EXPECT_EQ(0, h.Pending(Step::kCreateSequence));
    h.Settle(seconds(61));
    EXPECT_EQ(1, h.Pending(Step::kCreateSequence));
    h.AnswerAll(Takes);
    EXPECT_EQ(0u, h.courier().outbox()->Count());
    EXPECT_EQ(0u, h.courier().Stats().refused);
}

// With a backup, the primary's breaker opening moves alarms to the backup; the primary's
// answer to its probe brings them back.
TEST(Courier, AlarmsGoToTheBackupWhileThePrimaryIsDownAndReturn) {
    Harness h;
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Endpoint(PathId::kBackup, kBackup);
    h.Event([&](Commands& out) { h.courier().StartHeartbeat(h.now, "hb", out); });
    h.AnswerAll(Takes);
    h.Alarms(3);
    for (int i = 0; i < 3; ++i) h.Answer(Outcome::kReceiverFailure, 7, 0);
    EXPECT_EQ(1, h.Count(NoteKind::kPrimaryDown));
    h.Settle();
    int on_backup = 0;
    h.AnswerAll([&](const Send& send) {
        if (send.path == PathId::kPrimary) return Outcome::kReceiverFailure;
        if (send.step == Step::kApplicationMessage) ++on_backup;
        return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kDelivered;
    });
    EXPECT_EQ(3, on_backup);
    EXPECT_EQ(3u, h.courier().Stats().delivered);
}

// A refused alarm falls due while the window is full: nothing can take it until a place
// frees, and the courier does not ask to be woken again and again meanwhile.
TEST_F(CourierOnDisk, ARefusedAlarmDueWithAFullWindowWaitsForAPlaceWithoutSpinning) {
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Alarms(1, "refused");
    h.Answer(Outcome::kNextStep);
    h.Answer(Outcome::kRefused);
    h.Settle();
    h.Alarms(8);  // the whole window, in flight and unanswered
    ASSERT_EQ(8, h.Pending(Step::kCreateSequence));
    h.Settle(seconds(16 * 60));
    EXPECT_LE(h.timer_events, 10) << "woken for nothing";
    h.AnswerAll(Takes);
    EXPECT_EQ(9u, h.courier().Stats().delivered) << "the refused one went once a place was free";
}

// The outbox cannot be written and the receiver refuses the alarm held in memory: it
// waits its refusal time there too, not a second.
TEST_F(CourierOnDisk, ARefusalWhileTheOutboxIsDownWaitsItsRefusalTime) {
    h.Endpoint(PathId::kPrimary, kPrimary);
    DiskFull();
    h.Alarms(1);
    EXPECT_TRUE(h.courier().Stats().outbox_down);
    int attempts = 0;
    for (int second = 0; second < 30; ++second) {
        h.AnswerAll([&](const Send& send) {
            if (send.step == Step::kCreateSequence) return Outcome::kNextStep;
            ++attempts;
            return Outcome::kRefused;
        });
        h.Settle(seconds(1));
    }
    DiskFreed();
    EXPECT_EQ(1, attempts);
    EXPECT_EQ(1u, h.courier().Stats().waiting) << "kept, in memory, then on disk";
}

// Alarms held in memory while the outbox failed (a full window and more, parked) are
// stored when it works again, and every one of them leaves the disk in this run.
TEST_F(CourierOnDisk, AlarmsHeldWhileTheOutboxFailedAreAllDeliveredAfterItsReopening) {
    DiskFull();
    h.Alarms(13);
    EXPECT_EQ(13u, h.courier().Stats().unstored);
    DiskFreed();
    h.Settle(seconds(2));
    ASSERT_FALSE(h.courier().Stats().outbox_down);
    EXPECT_EQ(13u, h.courier().outbox()->Count());
    EXPECT_EQ(13u, h.courier().Stats().waiting);
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.AnswerAll(Takes);
    EXPECT_EQ(13u, h.courier().Stats().delivered);
    EXPECT_EQ(0u, h.courier().outbox()->Count()) << "stranded on disk";
    EXPECT_EQ(0u, h.courier().Stats().on_disk_only);
}

// The same with the first of them refused after the reopening: the refill walks over its
// row, refused and waiting, without losing count of the rows behind it.
TEST_F(CourierOnDisk, AnAlarmRefusedAfterTheReopeningDoesNotStrandTheRowsBehindIt) {
    DiskFull();
    h.Alarms(10);
    DiskFreed();
    h.Settle(seconds(2));
    h.Endpoint(PathId::kPrimary, kPrimary);
    bool refused = false;
    h.AnswerAll([&](const Send& send) {
        if (send.step == Step::kCreateSequence) return Outcome::kNextStep;
        if (!refused) {
            refused = true;
            return Outcome::kRefused;
        }
        return Outcome::kDelivered;
    });
    EXPECT_EQ(9u, h.courier().Stats().delivered);
    EXPECT_EQ(1u, h.courier().outbox()->Count()) << "only the refused one is left";
    EXPECT_EQ(1u, h.courier().Stats().refused);
    EXPECT_EQ(0u, h.courier().Stats().on_disk_only);
}

// A receiver slower than the engine's quick give-up: the first attempt is cut as before,
// the next ones wait for the answer up to the exchange deadline.
TEST(Courier, APayloadWhoseAnswerWasOverdueIsWaitedOnLongerNextTime) {
    Harness h;
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Alarms(1);
    ASSERT_EQ(1u, h.sends.size());
    EXPECT_FALSE(h.sends.front().patient);
    h.Answer(Outcome::kNextStep);
    EXPECT_FALSE(h.sends.front().patient);
    h.Answer(Outcome::kReceiverFailure, 12, 0, /*overdue=*/true);
    h.sends.clear();  // its LastMessage
    h.Settle(seconds(2));
    ASSERT_EQ(1u, h.sends.size());
    EXPECT_TRUE(h.sends.front().patient);
    h.Answer(Outcome::kNextStep);
    EXPECT_TRUE(h.sends.front().patient);
}

// A primary that answers heartbeats and fails every alarm with a 500: the route does not
// return to it on each heartbeat, only a few times a minute, and every alarm is delivered.
TEST(Courier, AHalfDownPrimaryDoesNotMakeTheRouteFlap) {
    Harness h;
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Endpoint(PathId::kBackup, kBackup);
    h.Event([&](Commands& out) { h.courier().StartHeartbeat(h.now, "hb", out); });
    const auto half_down = [](const Send& send) {
        if (send.step == Step::kCreateSequence) return Outcome::kNextStep;
        if (send.path == PathId::kPrimary && send.kind == PayloadKind::kAlarm) return Outcome::kReceiverFailure;
        return Outcome::kDelivered;
    };
    uint64_t first_minute = 0;
    for (int second = 0; second < 120; ++second) {
        if (second == 60) first_minute = h.courier().Stats().route_changes;
        h.Alarms(1, "s" + std::to_string(second) + "-");
        h.AnswerAll(half_down);
        h.Settle(seconds(1));
    }
    h.AnswerAll(half_down);
    EXPECT_EQ(120u, h.courier().Stats().delivered);
    EXPECT_LE(first_minute, 8u) << "a few changes a minute at most";
    EXPECT_LE(h.courier().Stats().route_changes - first_minute, 2u) << "fewer while it keeps failing alarms";
}

TEST(Backoff, DoublesFromTheBaseToTheCapAndJitterOnlyShortens) {
    const Backoff backoff(milliseconds(1000), milliseconds(60000));
    EXPECT_EQ(milliseconds(1000), backoff.Delay(1));
    EXPECT_EQ(milliseconds(2000), backoff.Delay(2));
    EXPECT_EQ(milliseconds(32000), backoff.Delay(6));
    EXPECT_EQ(milliseconds(60000), backoff.Delay(7));
    EXPECT_EQ(milliseconds(60000), backoff.Delay(1000));
    std::minstd_rand random(3);
    for (int i = 1; i < 10; ++i) {
        const milliseconds delay = backoff.Delay(i, random);
        EXPECT_LE(delay, backoff.Delay(i));
        EXPECT_GE(delay, backoff.Delay(i) - backoff.Delay(i) / 10);
    }
}

}  // namespace

// A receiver that answers every step after the quick give-up but within the deadline:
// once a patient attempt is answered the path is known slow, its sends are patient (the
// LastMessage too) and its late answers do not open the breaker; once that knowledge is
// old, first attempts are quick again and a stall opens the breaker as before.
TEST(Courier, ASlowReceiverDoesNotMakeTheBreakerFlap) {
    const CourierOptions options = Small();
    Harness h(options);
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Alarms(1, "first");
    const struct {
        Step step;        // of the oldest send
        bool patient;     // that send's
        Outcome outcome;  // its answer
        bool overdue;
    } first[] = {
        {Step::kCreateSequence, false, Outcome::kNextStep, false},
        {Step::kApplicationMessage, false, Outcome::kReceiverFailure, true},
        {Step::kLastMessage, true, Outcome::kClosed, false},
        {Step::kCreateSequence, true, Outcome::kNextStep, false},
        {Step::kApplicationMessage, true, Outcome::kDelivered, false},
        {Step::kLastMessage, true, Outcome::kClosed, false},
    };
    for (const auto& row : first) {
        h.Settle(seconds(2));
        ASSERT_FALSE(h.sends.empty());
        EXPECT_EQ(row.step, h.sends.front().step);
        EXPECT_EQ(row.patient, h.sends.front().patient) << static_cast<int>(row.step);
        h.Answer(row.outcome, row.overdue ? 28 : 0, row.overdue ? 0 : 200, row.overdue);
    }
    EXPECT_EQ(1u, h.courier().Stats().delivered);

    // Known slow: new payloads are patient from their first step, and overdue answers
    // (a step beyond even the deadline) leave the breaker closed.
    for (int round = 0; round < 4; ++round) {
        h.Alarms(1, "slow" + std::to_string(round));
        ASSERT_FALSE(h.sends.empty());
        EXPECT_TRUE(h.sends.front().patient);
        h.Answer(Outcome::kReceiverFailure, 28, 0, /*overdue=*/true);
        EXPECT_TRUE(h.courier().Stats().primary_reachable) << round;
        h.sends.clear();
    }

    // Later the path is judged afresh: a stall is noticed by quick first attempts.
    h.Settle(options.slow_path_for);
    h.sends.clear();
    for (int round = 0; round < 3; ++round) {
        h.Alarms(1, "stall" + std::to_string(round));
        ASSERT_FALSE(h.sends.empty());
        EXPECT_FALSE(h.sends.back().patient);
        h.sends.erase(h.sends.begin(), h.sends.end() - 1);
        h.Answer(Outcome::kReceiverFailure, 28, 0, /*overdue=*/true);
    }
    EXPECT_FALSE(h.courier().Stats().primary_reachable);
}
