// The courier with everything it asked for kept in view, on a clock the test moves: the
// harness the courier's table tests share.
#ifndef WARDEX_TESTS_DELIVERY_COURIER_HARNESS_H_
#define WARDEX_TESTS_DELIVERY_COURIER_HARNESS_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "src/delivery/courier.h"
#include "src/http_work_queue.h"
#include "src/outbox/outbox.h"

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
using delivery::Send;
using delivery::TimePoint;
using http::ErrorCode;
using soap::Outcome;
using soap::Step;
using std::chrono::milliseconds;
using std::chrono::seconds;

inline constexpr char kPrimary[] = "http://127.0.0.1:1/primary";
inline constexpr char kBackup[] = "http://127.0.0.2:1/backup";

inline int Code(ErrorCode code) { return static_cast<int>(code); }

inline CourierOptions Small() {
    CourierOptions options;
    options.window = 8;
    options.max_in_engine = 100;
    return options;
}

// How the owner read one answer.
struct Answer {
    Answer(Outcome outcome_in, int status_in = 200, int error_in = 0, bool overdue_in = false, bool over_limit_in = false,
           std::string location_in = std::string())
        : outcome(outcome_in), status(status_in), error(error_in), overdue(overdue_in), over_limit(over_limit_in),
          location(std::move(location_in)) {}

    Outcome outcome;
    int status;
    int error;
    bool overdue;
    bool over_limit;
    std::string location;
};

// The courier with everything it asked for kept in view: the sends not yet answered (and
// all ever made), the notes, the wake-up, and whether a tidy is due.
class Harness {
public:
    explicit Harness(const CourierOptions& options = Small())
        : options_(options), courier_(std::make_unique<Courier>(options)) {}

    Instant now{TimePoint(std::chrono::hours(1)), 1700000000};
    std::vector<Send> sends;
    std::vector<Send> history;
    std::vector<Note> notes;
    std::optional<TimePoint> wake;
    bool tidy = false;
    int timer_events = 0;

    Courier& courier() { return *courier_; }
    const CourierOptions& options() const { return options_; }

    template <typename Call>
    void Event(Call call) {
        Commands out;
        out.verbose = false;
        call(out);
        for (delivery::Command& command : out.list) {
            if (auto* send = std::get_if<Send>(&command)) {
                sends.push_back(*send);
                history.push_back(*send);
            }
            if (auto* note = std::get_if<Note>(&command)) notes.push_back(*note);
        }
        if (out.wake) wake = out.wake;
        tidy = tidy || out.tidy;
    }

    void Endpoint(PathId path, const std::string& url) {
        Event([&](Commands& out) { courier_->SetEndpoint(now, path, url, out); });
    }
    void UseOutbox(const std::string& path, size_t cap = kOutboxCap) {
        outbox_ = path;
        cap_ = cap;
        Event([&](Commands& out) { courier_->UseOutbox(now, std::make_unique<Outbox>(path, cap), out); });
    }
    void Raise(int count, const std::string& prefix = "a", PayloadKind kind = PayloadKind::kAlarm) {
        std::vector<Incoming> incoming;
        for (int i = 0; i < count; ++i) incoming.push_back(Incoming{kind, prefix + std::to_string(i)});
        Event([&](Commands& out) { courier_->Intake(now, std::move(incoming), out); });
    }
    void Heartbeat(const std::string& payload = "hb") {
        Event([&](Commands& out) { courier_->StartHeartbeat(now, payload, out); });
    }
    // The service stops, and starts again on the same outbox.
    void Restart() {
        Event([&](Commands& out) { courier_->Abandon(now, {}, out); });
        ++options_.seed;  // as each start of the service draws its own
        courier_ = std::make_unique<Courier>(options_);
        sends.clear();
        wake.reset();
        tidy = false;
        UseOutbox(outbox_, cap_);
    }

    // Answers the oldest send the answer fits: a LastMessage for kClosed, an application
    // message for kDelivered, any other step else.
    void Reply(const Answer& answer) {
        const auto fits = [&](const Send& send) {
            if (answer.outcome == Outcome::kClosed) return send.step == Step::kLastMessage;
            if (answer.outcome == Outcome::kDelivered) return send.step == Step::kApplicationMessage;
            return send.step != Step::kLastMessage;
        };
        auto it = sends.begin();
        while (it != sends.end() && !fits(*it)) ++it;
        ASSERT_NE(sends.end(), it) << "nothing to answer";
        const Send send = *it;
        sends.erase(it);
        delivery::Reply reply;
        reply.guid = send.guid;
        reply.step = send.step;
        reply.path = send.path;
        reply.answer.outcome = answer.outcome;
        reply.answer.relates_to = "urn:uuid:" + send.guid;
        reply.answer.text = answer.outcome == Outcome::kNextStep ? "seq" : "ok";
        if (answer.outcome == Outcome::kRefused) reply.answer.reason = "SOAP fault";
        reply.error = answer.error;
        reply.status = answer.status;
        reply.answer_overdue = answer.overdue;
        reply.location = answer.location;
        reply.body_over_limit = answer.over_limit;
        const size_t before = notes.size();
        Event([&](Commands& out) { courier_->OnReply(now, reply, out); });
        // A refusal's line names the message it refuses, as the answer related it.
        for (size_t i = before; i < notes.size(); ++i) {
            if (notes[i].kind == NoteKind::kInvalidAnswer && notes[i].flag) {
                EXPECT_EQ(reply.answer.relates_to, notes[i].text);
            }
        }
    }
    void Answer(Outcome outcome, int error = 0, int status = 200, bool overdue = false) {
        Reply(test::Answer{outcome, status, error, overdue});
    }

    // Answers every send, and those that follow, as `judge` says, oldest first; LastMessages
    // are closed.
    void AnswerAll(const std::function<Outcome(const Send&)>& judge) {
        for (int guard = 0; !sends.empty() && guard < 100000; ++guard) {
            const Send& send = sends.front();
            const Outcome outcome = send.step == Step::kLastMessage ? Outcome::kClosed : judge(send);
            const bool failed = outcome == Outcome::kReceiverFailure || outcome == Outcome::kPayloadFailure;
            Answer(outcome, failed ? Code(ErrorCode::CouldntConnect) : 0, failed ? 0 : 200);
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
                Event([&](Commands& out) { courier_->OnTidy(now, out); });
            } else if (wake && *wake <= end) {
                if (*wake > now.steady) Move(*wake - now.steady);
                wake.reset();
                ++timer_events;
                Event([&](Commands& out) { courier_->OnTimer(now, out); });
            } else {
                break;
            }
        }
        if (end > now.steady) Move(end - now.steady);
    }

    const Note* Last(NoteKind kind) const {
        for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
            if (it->kind == kind) return &*it;
        }
        return nullptr;
    }
    // The application messages ever sent, as "payload@path" (path 0 or 1).
    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        for (const Send& send : history) {
            if (send.step != Step::kApplicationMessage) continue;
            messages.push_back(*send.payload + "@" + std::to_string(Index(send.path)));
        }
        return messages;
    }
    // The unanswered sends, oldest first, one letter a step (C, A, L), lower case on the backup.
    std::string Pending() const {
        std::string text;
        for (const Send& send : sends) {
            const char letter = "CAL"[static_cast<int>(send.step)];
            text += send.path == PathId::kPrimary ? letter : static_cast<char>(letter - 'A' + 'a');
        }
        return text;
    }

private:
    void Move(TimePoint::duration by) {
        now.steady += by;
        now.wall = 1700000000 + std::chrono::duration_cast<seconds>(now.steady.time_since_epoch()).count() - 3600;
    }

    CourierOptions options_;
    std::unique_ptr<Courier> courier_;
    std::string outbox_;
    size_t cap_ = kOutboxCap;
};

// The receiver that takes everything.
inline Outcome Takes(const Send& send) { return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kDelivered; }

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_DELIVERY_COURIER_HARNESS_H_
