// The courier with everything it asked for kept in view, on a clock the test moves: the
// harness the courier's table tests share.
#ifndef WARDEX_TESTS_DELIVERY_COURIER_HARNESS_H_
#define WARDEX_TESTS_DELIVERY_COURIER_HARNESS_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "src/delivery/courier.h"
#include "tests/foundation/test_dir.h"
#include "tests/support/fault_vfs.h"

namespace kv {
namespace test {

using delivery::Commands;
using delivery::Courier;
using delivery::CourierOptions;
using delivery::Incoming;
using delivery::Instant;
using delivery::Note;
using delivery::NoteKind;
using delivery::PathId;
using delivery::PayloadKind;
using delivery::Reply;
using delivery::Send;
using delivery::TimePoint;
using soap::Outcome;
using soap::Step;
using std::chrono::milliseconds;
using std::chrono::seconds;

inline constexpr char kPrimary[] = "http://127.0.0.1:1/primary";
inline constexpr char kBackup[] = "http://127.0.0.2:1/backup";

inline CourierOptions Small() {
    CourierOptions options;
    options.window = 8;
    options.max_in_engine = 100;
    return options;
}

// The courier with everything it asked for kept in view: the sends not yet answered, the
// notes, the wake-up, and whether a tidy is due.
class Harness {
public:
    explicit Harness(const CourierOptions& options = Small()) : courier_(options) {}

    Instant now{TimePoint(std::chrono::hours(1)), 1700000000};
    std::vector<Send> sends;
    std::vector<Note> notes;
    std::optional<TimePoint> wake;
    bool tidy = false;
    int timer_events = 0;

    Courier& courier() { return courier_; }

    template <typename Call>
    void Event(Call call) {
        Commands out;
        out.verbose = false;
        call(out);
        for (delivery::Command& command : out.list) {
            if (auto* send = std::get_if<Send>(&command)) sends.push_back(*send);
            if (auto* note = std::get_if<Note>(&command)) notes.push_back(*note);
        }
        if (out.wake) wake = out.wake;
        tidy = tidy || out.tidy;
    }

    void Endpoint(PathId path, const std::string& url) {
        Event([&](Commands& out) { courier_.SetEndpoint(now, path, url, out); });
    }
    void UseOutbox(const std::string& path) {
        Event([&](Commands& out) { courier_.UseOutbox(now, std::make_unique<Outbox>(path), out); });
    }
    void Alarms(int count, const std::string& prefix = "a") {
        std::vector<Incoming> incoming;
        for (int i = 0; i < count; ++i) incoming.push_back(Incoming{PayloadKind::kAlarm, prefix + std::to_string(i)});
        Event([&](Commands& out) { courier_.Intake(now, std::move(incoming), out); });
    }

    // Answers the oldest send with `outcome`.
    void Answer(Outcome outcome, int error = 0, int status = 200, bool overdue = false) {
        ASSERT_FALSE(sends.empty());
        const Send send = sends.front();
        sends.erase(sends.begin());
        Reply reply;
        reply.guid = send.guid;
        reply.step = send.step;
        reply.path = send.path;
        reply.answer.outcome = outcome;
        reply.answer.relates_to = "urn:uuid:" + send.guid;
        reply.answer.text = outcome == Outcome::kNextStep ? "seq" : "ok";
        if (outcome == Outcome::kRefused) reply.answer.reason = "SOAP fault";
        reply.error = error;
        reply.status = status;
        reply.answer_overdue = overdue;
        Event([&](Commands& out) { courier_.OnReply(now, reply, out); });
    }

    // Answers every send, and those that follow, as `judge` says, oldest first; LastMessages
    // are closed.
    void AnswerAll(const std::function<Outcome(const Send&)>& judge) {
        for (int guard = 0; !sends.empty() && guard < 100000; ++guard) {
            const Send& send = sends.front();
            const Outcome outcome = send.step == Step::kLastMessage ? Outcome::kClosed : judge(send);
            const bool failed = outcome == Outcome::kReceiverFailure || outcome == Outcome::kPayloadFailure;
            Answer(outcome, failed ? 7 : 0, failed ? 0 : 200);
            Settle();  // each answer is a turn of its own, as on the io_service
        }
    }

    // Runs the tidy and every timer due by now + `span`, as the owner would; the clock
    // moves to each wake-up.
    void Settle(milliseconds span = milliseconds(0)) {
        const TimePoint end = now.steady + span;
        for (int guard = 0; guard < 100000; ++guard) {
            if (tidy) {
                tidy = false;
                Event([&](Commands& out) { courier_.OnTidy(now, out); });
            } else if (wake && *wake <= end) {
                if (*wake > now.steady) Move(*wake - now.steady);
                wake.reset();
                ++timer_events;
                Event([&](Commands& out) { courier_.OnTimer(now, out); });
            } else {
                break;
            }
        }
        if (end > now.steady) Move(end - now.steady);
    }

    int Count(NoteKind kind) const {
        int count = 0;
        for (const Note& note : notes) count += note.kind == kind ? 1 : 0;
        return count;
    }
    int Pending(Step step) const {
        int count = 0;
        for (const Send& send : sends) count += send.step == step ? 1 : 0;
        return count;
    }

private:
    void Move(TimePoint::duration by) {
        now.steady += by;
        now.wall = 1700000000 + std::chrono::duration_cast<seconds>(now.steady.time_since_epoch()).count() - 3600;
    }

    Courier courier_;
};

// The receiver that takes everything.
inline Outcome Takes(const Send& send) { return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kDelivered; }

// The courier with an outbox on the fault VFS, nothing armed.
class CourierOnDisk : public ::testing::Test {
protected:
    CourierOnDisk() : vfs_(testing::FaultVfs::Install()) {
        vfs_.Disarm();
        h.UseOutbox(dir_.Join("outbox.db"));
    }
    ~CourierOnDisk() override { vfs_.Disarm(); }

    // Every write fails from now on, as on a full disk, until DiskFreed.
    void DiskFull() { vfs_.ArmSticky(testing::FaultVfs::Op::kWrite, 1, SQLITE_FULL); }
    void DiskFreed() { vfs_.Disarm(); }

    testing::FaultVfs& vfs_;
    testing::TestDir dir_;
    Harness h;
};

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_DELIVERY_COURIER_HARNESS_H_
