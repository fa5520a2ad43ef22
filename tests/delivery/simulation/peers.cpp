#include "tests/delivery/simulation/peers.h"

#include <sqlite3.h>

namespace kv {
namespace sim {

using delivery::PayloadKind;
using soap::Outcome;
using soap::Step;

const char* ModeName(Mode mode) {
    static const char* const kNames[kModes] = {"up",   "slow",     "down",   "500",    "fault-in-200", "fault-in-400",
                                               "html", "redirect", "trickle", "closed", "half-down"};
    return kNames[static_cast<int>(mode)];
}

Receiver::Receiver(Rng& rng, bool primary, bool backup_exists, int64_t active) {
    const int64_t roll = rng.Range(0, 99);
    auto add = [this](int64_t until, Mode mode, int64_t latency) { plan_.push_back(Period{until, mode, latency}); };
    int64_t t = 0;
    if (roll < 40) {  // steady, with short outages
        while (t < active) {
            t += rng.Exp(40 * kMinute);
            add(t, Mode::kUp, rng.Range(5, 300));
            if (rng.Chance(0.5)) add(t += rng.Range(5 * kSecond, 3 * kMinute), Mode::kDown, 0);
        }
    } else if (roll < 70) {  // flaky: any mode, any length
        profile_ = "flaky";
        while (t < active) {
            add(t += rng.Range(kMinute, 40 * kMinute), Mode::kUp, rng.Range(5, 300));
            const Mode bad = static_cast<Mode>(rng.Range(1, kModes - 1));
            add(t += rng.Range(10 * kSecond, 20 * kMinute), bad, rng.Range(1 * kSecond, 45 * kSecond));
        }
    } else if (roll < 82) {  // answers every exchange after seconds, within the deadline
        profile_ = "slow";
        const int64_t latency = rng.Range(9 * kSecond, 25 * kSecond);
        while (t < active) add(t += rng.Range(10 * kMinute, 2 * kHour), Mode::kSlow, latency);
    } else if (roll < 94 && primary && backup_exists) {  // answers heartbeats, fails alarms
        profile_ = "half-down";
        while (t < active) {
            add(t += rng.Range(kMinute, 10 * kMinute), Mode::kUp, rng.Range(5, 300));
            add(t += rng.Range(10 * kMinute, 90 * kMinute), Mode::kHalfDown, rng.Range(5, 300));
        }
    } else {  // refuses for a while
        profile_ = "refusing";
        while (t < active) {
            add(t += rng.Range(kMinute, 30 * kMinute), Mode::kUp, rng.Range(5, 300));
            add(t += rng.Range(kMinute, 90 * kMinute), rng.Chance(0.5) ? Mode::kFaultIn200 : Mode::kFaultIn400,
                rng.Range(5, 300));
        }
    }
    // After the active time: up, quick, for ever.
    for (Period& period : plan_) period.until = std::min(period.until, active);
    add(INT64_MAX, Mode::kUp, rng.Range(5, 100));
}

const Period& Receiver::At(int64_t t) const {
    auto it = std::upper_bound(plan_.begin(), plan_.end(), t,
                               [](int64_t time, const Period& period) { return time < period.until; });
    return it == plan_.end() ? plan_.back() : *it;
}

int64_t Receiver::HealthySince(int64_t t) const {
    size_t i = static_cast<size_t>(&At(t) - plan_.data());
    if (plan_[i].mode != Mode::kUp) return INT64_MAX;
    while (i > 0 && plan_[i - 1].mode == Mode::kUp) --i;
    return i == 0 ? 0 : plan_[i - 1].until;
}

int Receiver::Faults(int64_t t) const {
    int faults = 0;
    for (size_t i = 0; i < plan_.size() && (i == 0 || plan_[i - 1].until < t); ++i) faults += plan_[i].mode != Mode::kUp;
    return faults;
}

Timed Receiver::Answer(const delivery::Send& send, int64_t now, const Transport& transport) {
    const Period& period = At(now);
    Timed timed;
    delivery::Reply& reply = timed.reply;
    reply.guid = send.guid;
    reply.step = send.step;
    reply.path = send.path;
    reply.answer.relates_to = send.guid;
    timed.at = now + std::max<int64_t>(1, period.latency);
    auto answered = [&](int status, Outcome outcome) {
        reply.status = status;
        reply.answer.outcome = send.step == Step::kLastMessage && outcome != Outcome::kClosed
                                   ? Outcome::kLastMessageFailed
                                   : outcome;
        reply.answer.reason = outcome == Outcome::kRefused ? "soap fault" : "";
        reply.body_bytes = 300;
    };
    auto failed = [&](http::ErrorCode error) {
        reply.error = static_cast<int>(error);
        reply.answer.outcome = send.step == Step::kLastMessage ? Outcome::kLastMessageFailed : Outcome::kReceiverFailure;
    };
    auto timed_out = [&](int64_t after) {
        timed.at = now + after;
        failed(http::ErrorCode::OperationTimedout);
        reply.answer_overdue = true;
    };
    // A silent receiver is given up on by the low-speed rule, or once the request was
    // patient, by the deadline; a trickle keeps the low-speed rule quiet, not the deadline.
    const int64_t patience = send.patient ? transport.deadline : transport.stall_give_up;
    if (period.mode == Mode::kTrickle) {
        timed_out(transport.deadline);
        return timed;
    }
    if (period.mode != Mode::kDown && timed.at - now > patience) {
        timed_out(patience);
        return timed;
    }
    const Outcome ok[] = {Outcome::kNextStep, Outcome::kDelivered, Outcome::kClosed};
    switch (period.mode) {
    case Mode::kUp:
    case Mode::kSlow:
        answered(200, ok[static_cast<int>(send.step)]);
        reply.answer.text = send.step == Step::kCreateSequence ? "urn:sequence:" + send.guid : "OK";
        break;
    case Mode::kHalfDown:
        if (send.kind != PayloadKind::kHeartbeat && send.step == Step::kApplicationMessage) {
            answered(500, Outcome::kReceiverFailure);
        } else {
            answered(200, ok[static_cast<int>(send.step)]);
            reply.answer.text = send.step == Step::kCreateSequence ? "urn:sequence:" + send.guid : "OK";
        }
        break;
    case Mode::kDown:
        timed.at = now + 1;
        failed(http::ErrorCode::CouldntConnect);
        break;
    case Mode::kClosed:
        failed(http::ErrorCode::RecvError);
        break;
    case Mode::kServerError:
        answered(500, Outcome::kReceiverFailure);
        break;
    case Mode::kFaultIn200:
    case Mode::kFaultIn400:
        answered(period.mode == Mode::kFaultIn200 ? 200 : 400, Outcome::kRefused);
        break;
    case Mode::kHtml:
        answered(200, Outcome::kReceiverFailure);
        reply.content_type = "text/html";
        break;
    case Mode::kRedirect:
        answered(302, Outcome::kReceiverFailure);
        reply.location = "http://127.0.0.2:1/elsewhere";
        break;
    case Mode::kTrickle:
        break;
    }
    return timed;
}

std::vector<RecorderEvent> PlanRecorder(Rng& rng, int64_t active, size_t max_burst) {
    std::vector<RecorderEvent> plan;
    const int64_t trickle_gap = std::vector<int64_t>{2 * kSecond, 10 * kSecond, kMinute}[rng.Range(0, 2)];
    for (int64_t t = rng.Range(0, kSecond); t < active; t += rng.Exp(trickle_gap)) plan.push_back({t, 1, false});
    for (int64_t t = rng.Exp(20 * kMinute); t < active; t += rng.Exp(30 * kMinute)) {
        const int64_t roll = rng.Range(0, 99);
        const int64_t top = static_cast<int64_t>(max_burst);
        const int64_t size = roll < 75 ? rng.Range(2, 300) : roll < 95 ? rng.Range(300, 3000) : rng.Range(3000, top);
        plan.push_back({t, static_cast<size_t>(std::min(size, top)), false});
    }
    for (int64_t t = rng.Exp(2 * kHour); t < active; t += rng.Exp(2 * kHour)) plan.push_back({t, 0, true});
    std::stable_sort(plan.begin(), plan.end(), [](const RecorderEvent& a, const RecorderEvent& b) { return a.at < b.at; });
    return plan;
}

std::vector<TroubleEvent> PlanTrouble(Rng& rng, int64_t active, double rate) {
    std::vector<TroubleEvent> plan;
    if (rate <= 0) return plan;
    const int64_t gap = static_cast<int64_t>(static_cast<double>(15 * kMinute) / rate);
    for (int64_t t = rng.Exp(gap); t < active; t += rng.Exp(gap)) {
        TroubleEvent event;
        event.at = t;
        const int64_t roll = rng.Range(0, 99);
        event.kind = roll < 30   ? Trouble::kFaultOnce
                     : roll < 45 ? Trouble::kDiskFull
                     : roll < 55 ? Trouble::kLockHeld
                     : roll < 72 ? Trouble::kCrash
                     : roll < 88 ? Trouble::kKillInEvent
                                 : Trouble::kStop;
        event.op = static_cast<int>(rng.Range(0, 3));
        event.nth = static_cast<int>(rng.Range(1, 60));
        const int codes[] = {SQLITE_IOERR_READ, SQLITE_IOERR_WRITE, SQLITE_IOERR_FSYNC, SQLITE_IOERR_TRUNCATE};
        event.code = rng.Chance(0.2) ? SQLITE_FULL : codes[event.op];
        if (event.op == 0 && rng.Chance(0.1)) event.code = SQLITE_CORRUPT;  // a read the file system garbled
        event.length = rng.Range(2 * kSecond, 10 * kMinute);
        if ((event.kind == Trouble::kCrash || event.kind == Trouble::kStop) && rng.Chance(0.35)) {
            event.damage = Damage::kPages;
            if (rng.Chance(0.4)) event.kill_in_start = static_cast<int>(rng.Range(1, 400));
        }
        plan.push_back(event);
    }
    return plan;
}

void PlanRepeatedSalvage(Rng& rng, int64_t active, size_t max_burst, std::vector<RecorderEvent>& recorder,
                         std::vector<TroubleEvent>& trouble) {
    const int64_t stops = rng.Range(2, 3);
    for (int64_t i = 1; i <= stops; ++i) {
        const int64_t at = active * i / (stops + 1);
        // Hundreds of rows: the table spans many leaves, and the burst is still on disk
        // a millisecond later.
        const size_t burst = std::min(static_cast<size_t>(rng.Range(300, 3000)), max_burst);
        recorder.push_back({at, burst, false});
        TroubleEvent stop;
        stop.at = at + 1;
        stop.kind = Trouble::kStop;
        stop.damage = Damage::kFirstLeaf;
        trouble.push_back(stop);
    }
    std::stable_sort(recorder.begin(), recorder.end(),
                     [](const RecorderEvent& a, const RecorderEvent& b) { return a.at < b.at; });
    std::stable_sort(trouble.begin(), trouble.end(),
                     [](const TroubleEvent& a, const TroubleEvent& b) { return a.at < b.at; });
}

}  // namespace sim
}  // namespace kv
