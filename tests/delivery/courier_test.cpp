// The delivery's decisions through their transitions: canned events against the courier,
// on a clock the test moves, with the real outbox where disk matters. Most cases are rows
// of one table (each answer, each fault, each route change); the rest are sequences too
// long for a row.
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "src/delivery/backoff.h"
#include "src/delivery/courier.h"
#include "tests/delivery/courier_harness.h"
#include "tests/foundation/test_dir.h"
#include "tests/support/fault_vfs.h"

namespace kv {
namespace delivery {
// A note prints as its number in a failure's message.
void PrintTo(NoteKind kind, std::ostream* os) { *os << static_cast<int>(kind); }
}  // namespace delivery
}  // namespace kv

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
using kv::http::ErrorCode;
using kv::soap::Outcome;
using kv::soap::Step;
using kv::testing::FaultVfs;
using std::chrono::milliseconds;
using std::chrono::seconds;

using kv::test::Answer;
using kv::test::Code;
using kv::test::Harness;
using kv::test::kBackup;
using kv::test::kPrimary;
using kv::test::Small;
using kv::test::Takes;

// --- The table ---------------------------------------------------------------------------

// One canned event of a row, applied by Play.
struct Event {
    std::function<void(Harness&, FaultVfs&)> apply;
};

Event Raise(int count, PayloadKind kind = PayloadKind::kAlarm) {
    return {[=](Harness& h, FaultVfs&) { h.Raise(count, "a", kind); }};
}
Event Reply(const Answer& answer, int times = 1) {
    return {[=](Harness& h, FaultVfs&) {
        for (int i = 0; i < times; ++i) h.Reply(answer);
    }};
}
Event Next(int times = 1) { return Reply(Answer{Outcome::kNextStep}, times); }
Event Delivered(int times = 1) { return Reply(Answer{Outcome::kDelivered}, times); }
Event Close(int times = 1) { return Reply(Answer{Outcome::kClosed}, times); }
Event Fails(int status, int error = 0, int times = 1) { return Reply(Answer{Outcome::kReceiverFailure, status, error}, times); }
Event Refuses(int status = 200) { return Reply(Answer{Outcome::kRefused, status}); }
Event Settle(milliseconds span = milliseconds(0)) {
    return {[=](Harness& h, FaultVfs&) { h.Settle(span); }};
}
// A receiver answering as `judge` says within a tenth of a second, for `span`.
Event Serve(std::function<Outcome(const Send&)> judge, milliseconds span = milliseconds(0)) {
    return {[=](Harness& h, FaultVfs&) {
        const milliseconds tick(100);
        for (milliseconds passed(0); passed < span; passed += tick) {
            h.AnswerAll(judge);
            h.Settle(tick);
        }
        h.AnswerAll(judge);
    }};
}
Event Deliver() { return Serve(Takes); }
Event Beat(const std::string& payload = "hb") {
    return {[=](Harness& h, FaultVfs&) { h.Heartbeat(payload); }};
}
Event StopBeat() {
    return {[](Harness& h, FaultVfs&) { h.Event([&](Commands& out) { h.courier().StopHeartbeat(h.now, out); }); }};
}
Event WithBackup() {
    return {[](Harness& h, FaultVfs&) { h.Endpoint(PathId::kBackup, kBackup); }};
}
Event Endpoint(const std::string& url = kPrimary) {
    return {[=](Harness& h, FaultVfs&) { h.Endpoint(PathId::kPrimary, url); }};
}
Event LooksBack(PathId path) {
    return {[=](Harness& h, FaultVfs&) { h.Event([&](Commands& out) { h.courier().OnPathLooksBack(h.now, path, out); }); }};
}
Event DiskFull() {
    return {[](Harness&, FaultVfs& vfs) { vfs.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_FULL); }};
}
Event DiskFreed() {
    return {[](Harness&, FaultVfs& vfs) { vfs.Disarm(); }};
}
Event Restart() {
    return {[](Harness& h, FaultVfs&) { h.Restart(); }};
}

// A look at the state part way through a row.
Event Check(std::function<void(Harness&)> check) {
    return {[=](Harness& h, FaultVfs&) { check(h); }};
}

using Notes = std::vector<NoteKind>;

// `notes` `times` over, then `then`.
Notes Times(int times, const Notes& notes, const Notes& then = {}) {
    Notes all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), notes.begin(), notes.end());
    all.insert(all.end(), then.begin(), then.end());
    return all;
}

// What the row leaves behind.
struct Expect {
    Expect(std::string pending_in, std::vector<NoteKind> notes_in, uint64_t delivered_in, size_t waiting_in,
           size_t refused_in = 0, bool primary_reachable_in = true)
        : pending(std::move(pending_in)), notes(std::move(notes_in)), delivered(delivered_in), waiting(waiting_in),
          refused(refused_in), primary_reachable(primary_reachable_in) {}

    std::string pending;          // Harness::Pending
    std::vector<NoteKind> notes;  // every note of the row, in order (no VERBOSE ones)
    uint64_t delivered;
    size_t waiting;
    size_t refused;
    bool primary_reachable;  // the primary's breaker is closed
};

enum class Disk { kNone, kOutbox, kOutboxNoEndpoint, kMissingFolder };

struct Row {
    Row(const char* name_in, std::vector<Event> events_in, Expect expect_in, Disk disk_in = Disk::kNone,
        std::function<void(Harness&)> also_in = nullptr, std::function<void(CourierOptions&)> tune_in = nullptr,
        size_t cap_in = kv::kOutboxCap)
        : name(name_in), events(std::move(events_in)), expect(std::move(expect_in)), disk(disk_in),
          also(std::move(also_in)), tune(std::move(tune_in)), cap(cap_in) {}

    const char* name;
    std::vector<Event> events;
    Expect expect;
    Disk disk;
    std::function<void(Harness&)> also;  // checks beyond Expect
    std::function<void(CourierOptions&)> tune;
    size_t cap;  // of the outbox
};

void Play(const Row& row) {
    SCOPED_TRACE(row.name);
    CourierOptions options = Small();
    if (row.tune) row.tune(options);
    FaultVfs& vfs = FaultVfs::Install();
    vfs.Disarm();
    kv::testing::TestDir dir;
    Harness h(options);
    if (row.disk != Disk::kNone) {
        h.UseOutbox(dir.Join(row.disk == Disk::kMissingFolder ? "missing/outbox.db" : "outbox.db"), row.cap);
    }
    if (row.disk != Disk::kOutboxNoEndpoint) h.Endpoint(PathId::kPrimary, kPrimary);
    for (const Event& event : row.events) event.apply(h, vfs);
    vfs.Disarm();

    EXPECT_EQ(row.expect.pending, h.Pending());
    std::vector<NoteKind> notes;
    for (const Note& note : h.notes) notes.push_back(note.kind);
    EXPECT_EQ(row.expect.notes, notes);
    const kv::delivery::CourierStats stats = h.courier().Stats();
    EXPECT_EQ(row.expect.delivered, stats.delivered);
    EXPECT_EQ(row.expect.waiting, stats.waiting);
    EXPECT_EQ(row.expect.refused, stats.refused);
    EXPECT_EQ(row.expect.primary_reachable, stats.primary_reachable);
    // Every attempt is a sequence of its own, under a guid of its own.
    std::set<std::string> guids;
    for (const Send& send : h.history) {
        if (send.step == Step::kCreateSequence) {
            EXPECT_TRUE(guids.insert(send.guid).second) << send.guid;
        }
    }
    if (row.also) row.also(h);
}

using N = NoteKind;
constexpr int kRefused = static_cast<int>(ErrorCode::CouldntConnect);
constexpr int kTimedOut = static_cast<int>(ErrorCode::OperationTimedout);
constexpr int kRecv = static_cast<int>(ErrorCode::RecvError);

// The answers to one alarm's steps, each with its one consequence.
TEST(CourierTable, EachAnswerHasItsOneConsequence) {
    const milliseconds retry = Small().retry_base;
    const Row rows[] = {
        {"delivered: closed, counted, gone", {Raise(1), Next(), Delivered()}, {"L", {}, 1, 0}},
        {"500 to the message: closed, and a new sequence after the back-off",
         {Raise(1), Next(), Fails(500), Settle(retry)},
         {"LC", {N::kPostFailed, N::kAbandoning}, 0, 1}},
        {"not before the back-off, which jitter shortens by a tenth at most",
         {Raise(1), Next(), Fails(500), Settle(retry * 9 / 10 - milliseconds(1))},
         {"L", {N::kPostFailed, N::kAbandoning}, 0, 1}},
        {"202 to the message (the payload's failure) is tried again the same way",
         {Raise(1), Next(), Reply(Answer{Outcome::kPayloadFailure, 202}), Settle(retry)},
         {"LC", {N::kPostFailed, N::kNotSoap, N::kAbandoning}, 0, 1}},
        {"a redirect is a failure that names its Location",
         {Raise(1), Next(), Reply(Answer{Outcome::kReceiverFailure, 302, 0, false, false, "http://elsewhere/"}),
          Settle(retry)},
         {"LC", {N::kPostFailed, N::kRedirected, N::kAbandoning}, 0, 1},
         Disk::kNone,
         [](Harness& h) { EXPECT_EQ("http://elsewhere/", h.Last(N::kRedirected)->text); }},
        {"an HTML page with 200 is no answer", {Raise(1), Next(), Fails(200), Settle(retry)},
         {"LC", {N::kPostFailed, N::kNotSoap, N::kAbandoning}, 0, 1}},
        {"an answer past the cap is no answer",
         {Raise(1), Next(), Reply(Answer{Outcome::kReceiverFailure, 200, 0, false, true}), Settle(retry)},
         {"LC", {N::kPostFailed, N::kAnswerTooLarge, N::kAbandoning}, 0, 1}},
        {"a trickle cut by the deadline",
         {Raise(1), Next(), Reply(Answer{Outcome::kReceiverFailure, 200, kTimedOut, true}), Settle(retry)},
         {"LC", {N::kPostFailed, N::kAbandoning}, 0, 1}},
        {"a connection closed without an answer", {Raise(1), Next(), Fails(0, kRecv), Settle(retry)},
         {"LC", {N::kPostFailed, N::kAbandoning}, 0, 1}},
        {"a refused connection at the first step: no LastMessage", {Raise(1), Fails(0, kRefused), Settle(retry)},
         {"C", {N::kCreateSequenceFailed, N::kAbandoning}, 0, 1},
         Disk::kNone,
         [](Harness& h) { EXPECT_EQ(kPrimary, h.Last(N::kCreateSequenceFailed)->url); }},
        {"a 503 at the first step", {Raise(1), Fails(503), Settle(retry)},
         {"C", {N::kCreateSequenceFailed, N::kAbandoning}, 0, 1}},
        {"a fault in a 200 to the message, no outbox: given up, no LastMessage, no retry",
         {Raise(1), Next(), Refuses(), Settle(seconds(60))}, {"", {N::kInvalidAnswer}, 0, 0}},
        {"no sequence identifier (a refusal of the first step), no outbox: given up",
         {Raise(1), Refuses(), Settle(seconds(60))}, {"", {N::kInvalidAnswer, N::kAbandoningRefused}, 0, 0}},
        {"a fault in a 200, stored: kept and marked, not sent before its refusal wait",
         {Raise(1), Next(), Refuses(), Settle(Small().refusal_base - seconds(61))},
         {"", {N::kInvalidAnswer, N::kRefusalKept}, 0, 1, 1},
         Disk::kOutbox,
         [](Harness& h) {
             EXPECT_EQ(1u, h.courier().outbox()->Count());
             EXPECT_EQ(Small().refusal_base.count(), h.Last(N::kRefusalKept)->number);
         }},
        {"a fault in a 400, stored: kept; after its wait it goes again and is delivered",
         {Raise(1), Next(), Refuses(400), Settle(Small().refusal_base + seconds(61)), Deliver()},
         {"", {N::kInvalidAnswer, N::kRefusalKept}, 1, 0, 0},
         Disk::kOutbox,
         [](Harness& h) { EXPECT_EQ(0u, h.courier().outbox()->Count()); }},
        {"refused for the whole keep period: dropped with its note, the message never sent",
         {Raise(1), Refuses(), Settle(seconds(3600)), Refuses(), Settle(seconds(3600)), Refuses(), Settle()},
         {"", {N::kInvalidAnswer, N::kAbandoningRefused, N::kRefusalKept, N::kInvalidAnswer, N::kAbandoningRefused,
               N::kRefusalKept, N::kInvalidAnswer, N::kAbandoningRefused, N::kRefusalDropped}, 0, 0},
         Disk::kOutbox,
         [](Harness& h) {
             EXPECT_EQ(0u, h.courier().outbox()->Count());
             EXPECT_EQ("a0", *h.Last(N::kRefusalDropped)->payload);
             EXPECT_TRUE(h.Messages().empty());
         },
         [](CourierOptions& options) {
             options.refusal_base = options.refusal_cap = seconds(3600);
             options.refusal_keep = seconds(2 * 3600);
         }},
    };
    for (const Row& row : rows) Play(row);
}

// The failing receiver, the window, the engine, the outbox and the heartbeat.
TEST(CourierTable, FaultsOfTheReceiverAndTheDiskHaveTheirOneConsequence) {
    const CourierOptions small = Small();
    const auto poison = [](const Send& send) {
        if (send.step == Step::kApplicationMessage && send.kind == PayloadKind::kRecorderInfo) return Outcome::kReceiverFailure;
        return Takes(send);
    };
    const auto refuses = [](const Send& send) {
        return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kRefused;
    };
    const auto refuses_first = [refused = std::make_shared<bool>(false)](const Send& send) {
        if (send.step == Step::kCreateSequence || *refused) return Takes(send);
        *refused = true;
        return Outcome::kRefused;
    };
    const auto app_fails = [](const Send& send) {
        return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kReceiverFailure;
    };
    const Row rows[] = {
        {"three payloads failing in a row open the breaker: one line, then quiet; one probe at a time",
         {Raise(5), Next(5), Fails(503, 0, 5), Close(5), Settle(small.retry_cap * 3)},
         {"C", Times(3, {N::kPostFailed, N::kAbandoning}, {N::kReceiverDown}), 0, 5, 0, false}},
        {"the probe's delivery brings every waiting alarm back",
         {Raise(5), Next(5), Fails(503, 0, 5), Close(5), Serve(app_fails, small.retry_cap * 3), Settle(small.retry_cap),
          Deliver()},
         {"", Times(3, {N::kPostFailed, N::kAbandoning}, {N::kReceiverDown, N::kReceiverBack}), 5, 0}},
        {"a poison payload fails at 0, 1, 3 and 7 s while the others are delivered: no breaker",
         {Raise(1, PayloadKind::kRecorderInfo), Raise(6), Serve(poison, seconds(13))},
         {"", Times(4, {N::kPostFailed, N::kAbandoning}), 6, 1}},
        {"refused connections: a new sequence at 0, 1, 3 and 7 s, none more by 13 s",
         {Raise(1), Serve([](const Send&) { return Outcome::kReceiverFailure; }, seconds(13))},
         {"", Times(4, {N::kCreateSequenceFailed, N::kAbandoning}), 0, 1},
         Disk::kNone,
         [](Harness& h) { EXPECT_EQ(4u, h.history.size()); }},
        {"without an outbox a full window refuses the next, and admits again once one is done",
         {Raise(small.window + 1), Next(), Delivered(), Settle(), Raise(1)},
         {"CCCCCCCLC", {N::kWindowFull}, 1, small.window}},
        {"the engine takes at most its share; each freed place is taken by the next",
         {Raise(small.window), Next(), Delivered(), Settle(), Close(), Settle()},
         {"CCCC", {}, 1, small.window - 1},
         Disk::kNone,
         nullptr,
         [](CourierOptions& options) { options.max_in_engine = 4; }},
        {"without an endpoint alarms are stored and nothing is sent; then they go oldest first",
         {Raise(20), Settle(seconds(5)), Endpoint(), Deliver()},
         {"", {}, 20, 0},
         Disk::kOutboxNoEndpoint,
         [](Harness& h) {
             ASSERT_EQ(20u, h.Messages().size());
             for (int i = 0; i < 20; ++i) EXPECT_EQ("a" + std::to_string(i) + "@0", h.Messages()[i]);
             EXPECT_EQ(0u, h.courier().outbox()->Count());
         }},
        {"a full outbox refuses the newest, once noted with the cap; delivered ones free places",
         {Raise(8), Deliver(), Raise(1), Deliver()},
         {"", {N::kRefusedByCap}, 6, 0},
         Disk::kOutbox,
         [](Harness& h) {
             EXPECT_EQ(3u, h.Last(N::kRefusedByCap)->count);
             EXPECT_EQ(5, h.Last(N::kRefusedByCap)->number);
         },
         nullptr,
         5},
        {"an outbox that cannot be created: one note, alarms still go from memory",
         {Raise(2), Deliver(), Settle(seconds(600))},
         {"", {N::kOutboxUnusable}, 2, 0},
         Disk::kMissingFolder},
        {"a full disk: one note, quiet reopening; once freed, what memory held is stored in order",
         {Raise(1), DiskFull(), Raise(5), Settle(seconds(10)), DiskFreed(), Settle(small.reopen_cap)},
         {"", {N::kOutboxUnusable, N::kOutboxBack}, 0, 6},
         Disk::kOutboxNoEndpoint,
         [](Harness& h) {
             EXPECT_EQ(5u, h.Last(N::kOutboxBack)->count);
             EXPECT_EQ(6, h.Last(N::kOutboxBack)->number);
             FaultVfs::Install().Disarm();
             Harness reader;
             reader.UseOutbox(h.courier().outbox()->path());
             reader.Endpoint(PathId::kPrimary, kPrimary);
             reader.AnswerAll(Takes);
             ASSERT_EQ(6u, reader.Messages().size());
             for (int i = 0; i < 6; ++i) EXPECT_EQ((i == 0 ? "a0" : "a" + std::to_string(i - 1)) + "@0", reader.Messages()[i]);
         }},
        {"what a stop leaves is delivered first at the next start, oldest first; the rest is not stored",
         {Raise(1, PayloadKind::kRecorderInfo), Raise(3), Serve(app_fails), Restart(), Endpoint(), Deliver()},
         {"", Times(3, {N::kPostFailed, N::kAbandoning}, {N::kReceiverDown, N::kOutboxLeft, N::kOutboxResumed}), 3, 0},
         Disk::kOutbox,
         [](Harness& h) {
             EXPECT_EQ(3u, h.Last(N::kOutboxLeft)->count);
             EXPECT_EQ(3u, h.Last(N::kOutboxResumed)->count);
             const std::vector<std::string> messages = h.Messages();
             EXPECT_EQ((std::vector<std::string>{"a0@0", "a1@0", "a2@0"}),
                       std::vector<std::string>(messages.end() - 3, messages.end()));
         }},
        {"a refused alarm due while the window is full waits for a place without spinning",
         {Raise(1), Next(), Refuses(), Settle(), Raise(small.window), Settle(small.refusal_base + seconds(60))},
         {"CCCCCCCC", {N::kInvalidAnswer, N::kRefusalKept}, 0, small.window + 1, 1},
         Disk::kOutbox,
         [](Harness& h) {
             EXPECT_LE(h.timer_events, 10) << "woken for nothing";
             h.AnswerAll(Takes);
             EXPECT_EQ(9u, h.courier().Stats().delivered) << "the refused one went once a place was free";
         }},
        {"a refusal while the outbox is down waits its refusal time in memory too, not a second",
         {DiskFull(), Raise(1), Serve(refuses, seconds(30)), DiskFreed()},
         {"", {N::kOutboxUnusable, N::kInvalidAnswer}, 0, 1},
         Disk::kOutbox,
         [](Harness& h) { EXPECT_EQ(1u, h.Messages().size()); }},
        {"alarms held while the outbox failed, past the window, all leave the disk after its reopening",
         {DiskFull(), Raise(13), Check([](Harness& h) { EXPECT_EQ(13u, h.courier().Stats().unstored); }), DiskFreed(),
          Settle(seconds(2)), Check([](Harness& h) { EXPECT_EQ(13u, h.courier().outbox()->Count()); }), Endpoint(),
          Deliver()},
         {"", {N::kOutboxUnusable, N::kOutboxBack}, 13, 0},
         Disk::kOutboxNoEndpoint,
         [](Harness& h) {
             EXPECT_EQ(0u, h.courier().outbox()->Count()) << "stranded on disk";
             EXPECT_EQ(0u, h.courier().Stats().on_disk_only);
         }},
        {"the first of them refused after the reopening: the refill does not lose the rows behind it",
         {DiskFull(), Raise(10), DiskFreed(), Settle(seconds(2)), Endpoint(), Serve(refuses_first)},
         {"", {N::kOutboxUnusable, N::kOutboxBack, N::kInvalidAnswer, N::kRefusalKept}, 9, 1, 1},
         Disk::kOutboxNoEndpoint,
         [](Harness& h) {
             EXPECT_EQ(1u, h.courier().outbox()->Count()) << "only the refused one is left";
             EXPECT_EQ(0u, h.courier().Stats().on_disk_only);
         }},
        {"heartbeats: one at once and one every period, a failed one never retried",
         {Beat(), Fails(503), Settle(small.heartbeat_period - milliseconds(1))},
         {"", {N::kCreateSequenceFailed, N::kAbandoning}, 0, 0},
         Disk::kNone,
         [](Harness& h) {
             EXPECT_FALSE(h.Last(N::kAbandoning)->flag) << "no retry";
             h.Settle(milliseconds(1));
             EXPECT_EQ("C", h.Pending());
         }},
        {"a second start replaces the chain and its payload; a stop ends it",
         {Beat("first"), Beat("second"), Deliver(), Settle(small.heartbeat_period), Deliver(), StopBeat(),
          Settle(small.heartbeat_period * 3)},
         {"", {}, 0, 0},
         Disk::kNone,
         [](Harness& h) {
             EXPECT_EQ((std::vector<std::string>{"first@0", "second@0", "second@0"}), h.Messages());
         }},
    };
    for (const Row& row : rows) Play(row);
}

// With a backup receiver: where alarms, heartbeats and the recorder information go.
TEST(CourierTable, TheRouteFollowsTheBreakers) {
    const CourierOptions small = Small();
    const auto primary_fails = [](const Send& send) {
        return send.path == PathId::kPrimary ? Outcome::kReceiverFailure : Takes(send);
    };
    // The primary takes each message and closes the connection without an answer.
    const auto primary_drops = [](const Send& send) {
        if (send.path == PathId::kPrimary && send.step == Step::kApplicationMessage && send.kind == PayloadKind::kAlarm) {
            return Outcome::kReceiverFailure;
        }
        return Takes(send);
    };
    const auto backup_fails = [](const Send& send) {
        return send.path == PathId::kBackup ? Outcome::kReceiverFailure : Takes(send);
    };
    const Notes connect = {N::kCreateSequenceFailed, N::kAbandoning};  // a failed first step
    const Notes down = Times(3, connect, {N::kPrimaryDown});
    const Row rows[] = {
        {"the primary up: alarms and the recorder information go to it alone, heartbeats to both",
         {WithBackup(), Beat(), Raise(3), Raise(1, PayloadKind::kRecorderInfo)},
         {"CcCCCC", {}, 0, 4}},
        {"the primary down: the waiting alarms go to the backup at the end of the turn, and new ones",
         {WithBackup(), Raise(3), Fails(0, kRefused, 3), Settle(), Raise(2), Raise(1, PayloadKind::kRecorderInfo)},
         {"cccccc", down, 0, 6, 0, false},
         Disk::kNone,
         [](Harness& h) { EXPECT_EQ(kBackup, h.Last(N::kPrimaryDown)->url); }},
        {"alarms refused on the backup while the outbox is down: neither the primary's probe nor its return "
         "sends them before their refusal wait",
         {WithBackup(), DiskFull(), Raise(3), Fails(0, kRefused, 3), Settle(), Next(3), Refuses(), Refuses(), Refuses(),
          Settle(seconds(60)), LooksBack(PathId::kPrimary), Settle(seconds(60))},
         {"", Times(1, {N::kOutboxUnusable}, Times(1, down, Times(3, {N::kInvalidAnswer}))), 0, 3, 0, false},
         Disk::kOutbox},
        {"both down: alarms wait, one probe a path; a stop leaves them on disk",
         {WithBackup(), Raise(3), Fails(0, kRefused, 3), Settle(), Fails(0, kRefused, 3), Restart()},
         {"", Times(1, down, Times(3, connect, {N::kBothDown, N::kOutboxLeft, N::kOutboxResumed})), 0, 3},
         Disk::kOutbox,
         [](Harness& h) { EXPECT_EQ(3u, h.Last(N::kOutboxLeft)->count); }},
        {"the primary back on its port while both were down: alarms go to it",
         {WithBackup(), Raise(3), Fails(0, kRefused, 3), Settle(), Fails(0, kRefused, 3), LooksBack(PathId::kPrimary),
          Deliver()},
         {"", Times(1, down, Times(3, connect, {N::kBothDown, N::kPrimaryBack})), 3, 0},
         Disk::kNone,
         [](Harness& h) {
             for (const std::string& message : h.Messages()) EXPECT_EQ("@0", message.substr(message.size() - 2));
         }},
        {"the primary answers its probe: alarms return to it; the line counts those on the backup",
         {WithBackup(), Beat(), Deliver(), Raise(3), Serve(primary_fails), Settle(small.heartbeat_period), Deliver(),
          Raise(2), Deliver()},
         {"", Times(1, down, {N::kPrimaryBack}), 5, 0},
         Disk::kNone,
         [](Harness& h) {
             EXPECT_EQ(3, h.Last(N::kPrimaryBack)->number);
             EXPECT_EQ(0, h.Last(N::kPrimaryBack)->id) << "none of them reached the primary";
             const std::vector<std::string> messages = h.Messages();
             EXPECT_EQ((std::vector<std::string>{"a0@0", "a1@0"}), std::vector<std::string>(messages.end() - 2, messages.end()));
         }},
        {"alarms whose message the primary took unanswered may have reached both: counted",
         {WithBackup(), Beat(), Deliver(), Raise(3), Serve(primary_drops), Settle(small.heartbeat_period), Deliver()},
         {"", Times(3, {N::kPostFailed, N::kAbandoning}, {N::kPrimaryDown, N::kPrimaryBack}), 3, 0},
         Disk::kNone,
         [](Harness& h) { EXPECT_EQ(3, h.Last(N::kPrimaryBack)->id); }},
        {"failed heartbeats open the backup's breaker; alarms stay on the primary; its return is noticed",
         {WithBackup(), Beat(), Serve(backup_fails, small.heartbeat_period), Serve(backup_fails, small.heartbeat_period),
          Serve(backup_fails), Raise(2), Deliver(), LooksBack(PathId::kBackup), Deliver()},
         {"", Times(3, connect, {N::kBackupDown, N::kBackupBack}), 2, 0},
         Disk::kNone,
         [](Harness& h) {
             EXPECT_EQ((std::vector<std::string>{"hb@0", "hb@0", "hb@0", "a0@0", "a1@0", "hb@1"}), h.Messages());
             EXPECT_TRUE(h.courier().Stats().backup_reachable);
         }},
    };
    for (const Row& row : rows) Play(row);
}

// --- Sequences too long for a row ---------------------------------------------------------

// A primary that answers heartbeats and fails every alarm with a 500: the route does not
// return to it on each heartbeat, only a few times a minute, and every alarm is delivered.
TEST(Courier, AHalfDownPrimaryDoesNotMakeTheRouteFlap) {
    Harness h;
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Endpoint(PathId::kBackup, kBackup);
    h.Heartbeat();
    const auto half_down = [](const Send& send) {
        if (send.step == Step::kCreateSequence) return Outcome::kNextStep;
        if (send.path == PathId::kPrimary && send.kind == PayloadKind::kAlarm) return Outcome::kReceiverFailure;
        return Outcome::kDelivered;
    };
    uint64_t first_minute = 0;
    for (int second = 0; second < 120; ++second) {
        if (second == 60) first_minute = h.courier().Stats().route_changes;
        h.Raise(1, "s" + std::to_string(second) + "-");
        h.AnswerAll(half_down);
        h.Settle(seconds(1));
    }
    h.AnswerAll(half_down);
    EXPECT_EQ(120u, h.courier().Stats().delivered);
    EXPECT_LE(first_minute, 8u) << "a few changes a minute at most";
    EXPECT_LE(h.courier().Stats().route_changes - first_minute, 2u) << "fewer while it keeps failing alarms";
}

// A receiver that answers every step after the quick give-up but within the deadline: a
// payload's first attempt is cut as before and its next ones are patient; once a patient
// attempt is answered the path is known slow, its sends are patient (the LastMessage too)
// and its late answers do not open the breaker; once that knowledge is old, first
// attempts are quick again and a stall opens the breaker as before.
TEST(Courier, ASlowReceiverDoesNotMakeTheBreakerFlap) {
    const CourierOptions options = Small();
    Harness h(options);
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.Raise(1, "first");
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
        h.Answer(row.outcome, row.overdue ? kTimedOut : 0, row.overdue ? 0 : 200, row.overdue);
    }
    EXPECT_EQ(1u, h.courier().Stats().delivered);

    // Known slow: new payloads are patient from their first step, and overdue answers
    // (a step beyond even the deadline) leave the breaker closed.
    for (int round = 0; round < 4; ++round) {
        h.Raise(1, "slow" + std::to_string(round));
        ASSERT_FALSE(h.sends.empty());
        EXPECT_TRUE(h.sends.front().patient);
        h.Answer(Outcome::kReceiverFailure, kTimedOut, 0, /*overdue=*/true);
        EXPECT_TRUE(h.courier().Stats().primary_reachable) << round;
        h.sends.clear();
    }

    // Later the path is judged afresh: a stall is noticed by quick first attempts.
    h.Settle(options.slow_path_for);
    h.sends.clear();
    for (int round = 0; round < 3; ++round) {
        h.Raise(1, "stall" + std::to_string(round));
        ASSERT_FALSE(h.sends.empty());
        EXPECT_FALSE(h.sends.back().patient);
        h.sends.erase(h.sends.begin(), h.sends.end() - 1);
        h.Answer(Outcome::kReceiverFailure, kTimedOut, 0, /*overdue=*/true);
    }
    EXPECT_FALSE(h.courier().Stats().primary_reachable);
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
