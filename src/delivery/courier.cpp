#include "src/delivery/courier.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include "src/delivery/backoff.h"
#include "src/delivery/delivery_backlog.h"
#include "src/delivery/exchange_table.h"

namespace kv {
namespace delivery {

namespace {

using soap::Outcome;
using soap::Step;

// After a backlog of this many payloads the allocator is asked to hand back its pages.
constexpr size_t kTrimAfterBacklog = 1000;

// A refused or unresolvable connection: the receiver's port is known to be shut.
bool KnownDown(int error) {
    return error == static_cast<int>(kv::http::ErrorCode::CouldntConnect) ||
           error == static_cast<int>(kv::http::ErrorCode::CouldntResolveHost);
}

uint8_t PathBit(PathId path) { return static_cast<uint8_t>(1u << Index(path)); }

}  // namespace

class Courier::Impl {
public:
    struct DeliveryPath {
        DeliveryPath(Impl& impl, uint32_t seed, const CourierOptions& options)
            : policy([&impl] { return impl.now_.steady; }, seed, options.retry_base, options.retry_cap) {}

        std::string endpoint;  // empty: not configured
        DeliveryPolicy policy;
        bool watching = false;
        // An alarm (or other payload but a heartbeat) got through since the path last
        // took the route back.
        bool proven = true;
        // Times in a row the path lost the route again before proving itself.
        int strikes = 0;
        // A heartbeat's answer does not give the path the route back before this.
        TimePoint return_not_before{};
        // Slow, not stalled, until then: its sends wait up to the exchange deadline.
        TimePoint slow_until{};
    };

    explicit Impl(const CourierOptions& options)
        : options_(options),
          guids_(options.seed),
          primary_(*this, options.seed * 2 + 1, options),
          backup_(*this, options.seed * 2 + 2, options),
          route_(primary_.policy, nullptr),
          backlog_(options.window) {
        backlog_.SetRefusalTiming(RefusalTiming{options.refusal_base, options.refusal_cap, options.refusal_keep});
    }

    // Every event starts here: the time and where the commands go.
    void Begin(const Instant& now, Commands& out) {
        now_ = now;
        out_ = &out;
    }

    // Every event ends here: the one wake-up the owner should arm.
    void End() {
        std::optional<TimePoint> wake = due_at_;
        for (const std::optional<TimePoint>& at : {heartbeat_at_, reopen_at_}) {
            if (at && (!wake || *at < *wake)) wake = at;
        }
        if (wake && (!requested_wake_ || *wake != *requested_wake_ || woke_)) out_->wake = wake;
        requested_wake_ = wake;
        woke_ = false;
        out_ = nullptr;
    }

    // --- events -----------------------------------------------------------------------

    void Intake(std::vector<Incoming> incoming) {
        std::vector<Payload> payloads;
        payloads.reserve(incoming.size());
        for (Incoming& item : incoming) payloads.push_back(MakePayload(item.kind, std::move(item.payload)));
        AcceptPayloads(payloads);
    }

    void SetEndpoint(PathId id, const std::string& url) {
        DeliveryPath& path = Path(id);
        path.endpoint = url;
        if (id == PathId::kBackup) route_.SetBackup(&backup_.policy);
        // A new address deserves a probe at once rather than at the old one's back-off.
        path.policy.ProbeNow();
        Dispatch();
    }

    void UseOutbox(std::unique_ptr<Outbox> outbox) {
        if (abandoned_ || backlog_.outbox() != nullptr) return;
        OpenOutbox(std::move(outbox));
        Dispatch();
    }

    void StartHeartbeat(const std::string& payload) {
        if (out_->verbose) Emit(NoteKind::kStartingHeartbeat);
        heartbeat_payload_ = payload;
        heartbeat_at_ = now_.steady + options_.heartbeat_period;
        SendHeartbeat();
    }

    void StopHeartbeat() { heartbeat_at_.reset(); }

    void OnTimer() {
        woke_ = true;
        if (abandoned_) return;
        if (heartbeat_at_ && *heartbeat_at_ <= now_.steady) {
            heartbeat_at_ = now_.steady + options_.heartbeat_period;
            SendHeartbeat();
        }
        if (reopen_at_ && *reopen_at_ <= now_.steady) {
            reopen_at_.reset();
            ReopenOutbox();
        }
        if (due_at_ && *due_at_ <= now_.steady) {
            due_at_.reset();
            Dispatch();
        }
    }

    // Deletes, refill from the outbox and sends, once per turn however many payloads
    // finished in it: one transaction for all the deletes of a burst.
    void OnTidy() {
        tidy_requested_ = false;
        if (abandoned_) return;
        backlog_.FlushDeletes();
        Dispatch();
        ReleaseMemoryWhenDrained();
    }

    void OnPathLooksBack(PathId id) {
        if (abandoned_) return;
        Path(id).watching = false;
        Path(id).policy.ProbeNow();
        Dispatch();
    }

    void Abandon(std::vector<Incoming> incoming) {
        heartbeat_at_.reset();
        due_at_.reset();
        reopen_at_.reset();
        if (!abandoned_ && backlog_.outbox() != nullptr) {
            std::vector<Payload> payloads;
            for (Incoming& item : incoming) payloads.push_back(MakePayload(item.kind, std::move(item.payload)));
            const Status stored = backlog_.StoreAtStop(payloads);
            if (!stored.ok() && backlog_.Unstored() > 0) {
                Note note = OutboxNote(NoteKind::kOutboxLostAtStop);
                note.text = stored.message();
                note.count = backlog_.Unstored();
                Emit(std::move(note));
            }
            if (backlog_.durable()) {
                Note note = OutboxNote(NoteKind::kOutboxLeft);
                note.count = backlog_.outbox()->Count();
                Emit(std::move(note));
            }
        }
        abandoned_ = true;
        queue_.clear();
    }

    void OnReply(const Reply& reply) {
        --exchanges_;
        Answer(reply);
        // A place in the engine is free: what waits ready takes it.
        if (backlog_.HasReady()) Tidy();
        if (exchanges_ == 0) ScheduleRelease();
    }

    CourierStats Stats() const {
        CourierStats stats;
        stats.delivered = delivered_;
        stats.waiting = backlog_.Waiting();
        stats.refused = backlog_.RefusedOnDisk();
        stats.primary_reachable = reachable_[0];
        stats.backup_configured = route_.has_backup();
        stats.backup_reachable = reachable_[1];
        stats.in_window = backlog_.in_window();
        stats.parked = backlog_.parked();
        stats.unstored = backlog_.Unstored();
        stats.on_disk_only = backlog_.on_disk_only();
        stats.in_progress = queue_.size();
        stats.exchanges = exchanges_;
        stats.outbox_down = backlog_.NeedsReopen();
        stats.route_changes = route_changes_;
        if (AllPathsDown()) {
            // Since the later of the breakers opened.
            stats.down_for = primary_.policy.OpenFor();
            if (route_.has_backup()) stats.down_for = std::min(stats.down_for, backup_.policy.OpenFor());
        }
        return stats;
    }

    const Outbox* outbox() const { return backlog_.outbox(); }

    std::vector<std::shared_ptr<const std::string>> UnstoredAlarms() const { return backlog_.UnstoredTexts(); }

private:
    using Entries = ExchangeTable;

    DeliveryPath& Path(PathId id) { return id == PathId::kPrimary ? primary_ : backup_; }
    const DeliveryPath& Path(PathId id) const { return id == PathId::kPrimary ? primary_ : backup_; }

    void Emit(Note note) { out_->list.emplace_back(std::move(note)); }
    void Emit(NoteKind kind, const std::string& guid = std::string()) {
        Note note;
        note.kind = kind;
        note.guid = guid;
        Emit(std::move(note));
    }
    Note OutboxNote(NoteKind kind) const {
        Note note;
        note.kind = kind;
        note.url = backlog_.outbox()->path();
        return note;
    }
    void Tidy() {
        if (tidy_requested_) return;
        tidy_requested_ = true;
        out_->tidy = true;
    }

    Payload MakePayload(PayloadKind kind, std::string text) {
        Payload payload;
        payload.key = ++next_key_;
        payload.kind = kind;
        payload.method = MethodName(kind);
        payload.payload = std::move(text);
        payload.durable = IsStored(kind);
        return payload;
    }

    // A version-4 UUID, 36 lower-case characters.
    std::string NewGuid() {
        const uint64_t high = (guids_() & ~uint64_t{0xF000}) | uint64_t{0x4000};
        const uint64_t low = (guids_() & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60);
        char text[37];
        std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                      static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                      static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
        return std::string(text, 36);
    }

    void AcceptPayloads(std::vector<Payload>& payloads) {
        const DeliveryBacklog::Intake intake = backlog_.Accept(payloads);
        if (intake.refused_by_window > 0) {
            Note note;
            note.kind = NoteKind::kWindowFull;
            note.count = intake.refused_by_window;
            Emit(std::move(note));
        }
        if (intake.refused_by_cap > 0) {
            Note note;
            note.kind = NoteKind::kRefusedByCap;
            note.count = intake.refused_by_cap;
            note.number = static_cast<int64_t>(backlog_.outbox()->cap());
            Emit(std::move(note));
        }
        Dispatch();
    }

    void OpenOutbox(std::unique_ptr<Outbox> outbox) {
        const Status status = backlog_.UseOutbox(std::move(outbox));
        ReportSalvage();
        if (!status.ok()) {
            OutboxFailed();
        } else if (backlog_.outbox()->Count() > 0) {
            Note note;
            note.kind = NoteKind::kOutboxResumed;
            note.count = backlog_.outbox()->Count();
            Emit(std::move(note));
        }
    }

    // No path takes payloads: they wait, and the summary runs.
    bool AllPathsDown() const { return route_.Current() == Route::kHold; }
    bool PathDown(PathId id) const { return route_.has_backup() && Path(id).policy.open(); }
    // The quiet rule: per-exchange lines are not written while their path, or every
    // path, is down.
    bool Quiet(PathId id) const { return PathDown(id) || AllPathsDown(); }

    bool PathSlow(PathId id) const { return now_.steady < Path(id).slow_until; }
    bool Patient(const Payload& held, PathId id) const { return held.patient || PathSlow(id); }

    // A payload that was overdue once got an answer on its patient attempt: its path is
    // slow, and stays so while answers keep coming on it. Its other payloads are sent
    // patiently and so are never overdue: their answers renew the mark too, or it would
    // lapse under a receiver still slow and its next quick attempts trip the breaker.
    void AnsweredAfterOverdue(const Payload& held, PathId id) {
        if (held.patient || PathSlow(id)) Path(id).slow_until = now_.steady + options_.slow_path_for;
    }

    // Each receiver gets its own heartbeat: it is that path's supervision, and a failed
    // one counts towards that path's breaker. With one receiver it is an ordinary payload.
    void SendHeartbeat() {
        if (!route_.has_backup()) {
            std::vector<Payload> payloads;
            payloads.push_back(MakePayload(PayloadKind::kHeartbeat, heartbeat_payload_));
            AcceptPayloads(payloads);
            return;
        }
        for (const PathId id : {PathId::kPrimary, PathId::kBackup}) {
            const DeliveryPath& path = Path(id);
            // A path that is down takes its heartbeat as its probe unless one is in flight.
            StartHeartbeatOn(id, path.policy.open() && !path.policy.probe_in_flight());
        }
    }

    // A heartbeat outside the window: never stored, never retried, one per path a period.
    void StartHeartbeatOn(PathId id, bool probe) {
        if (abandoned_ || primary_.endpoint.empty() || Path(id).endpoint.empty()) return;
        if (probe) Path(id).policy.ProbeSent();
        Start(MakePayload(PayloadKind::kHeartbeat, heartbeat_payload_), id, probe, false);
    }

    // Sends what may go now. Without an endpoint nothing goes: alarms wait in the outbox.
    void Dispatch() {
        if (abandoned_) return;
        backlog_.Refill(now_.wall);
        CheckOutbox();
        // Alarms refilled from the outbox count too: a restart's backlog is as large as a burst.
        backlog_peak_ = std::max(backlog_peak_, backlog_.in_window());
        if (primary_.endpoint.empty()) return;
        const Route route = route_.Current();
        if (route != Route::kHold) {
            const PathId to = route == Route::kPrimary ? PathId::kPrimary : PathId::kBackup;
            backlog_.MoveDue(now_.steady);
            // Each start posts one exchange, so the count is taken before the loop.
            const size_t room = exchanges_ < options_.max_in_engine ? options_.max_in_engine - exchanges_ : 0;
            for (Payload& payload : backlog_.TakeReady(room)) Start(std::move(payload), to, false);
        }
        Probe(PathId::kPrimary);
        Probe(PathId::kBackup);
        ArmDueTimer();
    }

    // The one probe of a path that is down, when it is due: the oldest waiting payload,
    // or a heartbeat (see src/delivery/delivery_route.h).
    void Probe(PathId id) {
        DeliveryPath& path = Path(id);
        switch (route_.ProbeNow(id, ProbeMaterial())) {
            case ProbeWith::kWaitingPayload: {
                std::optional<Payload> probe = backlog_.TakeProbe();
                if (!probe) return;
                path.policy.ProbeSent();
                Start(std::move(*probe), id, true);
                return;
            }
            case ProbeWith::kHeartbeat:
                StartHeartbeatOn(id, true);
                return;
            default:
                return;
        }
    }

    DeliveryRoute::ProbeMaterial ProbeMaterial() const {
        return DeliveryRoute::ProbeMaterial{!heartbeat_payload_.empty(),
                                            backlog_.HasProbe()};
    }

    // What the outbox's last operations had to say: a salvage, rows set aside, a failure.
    void CheckOutbox() {
        ReportSalvage();
        const size_t damaged = backlog_.TakeDamaged();
        if (damaged > 0) {
            Note note = OutboxNote(NoteKind::kOutboxDamagedRows);
            note.count = damaged;
            Emit(std::move(note));
        }
        if (backlog_.NeedsReopen()) OutboxFailed();
    }

    void ReportSalvage() {
        Outbox* outbox = backlog_.mutable_outbox();
        if (outbox == nullptr || !outbox->salvaged()) return;
        const Outbox::Salvage salvage = outbox->TakeSalvage();
        Note note = OutboxNote(NoteKind::kOutboxSalvaged);
        note.text = salvage.set_aside;
        note.count = salvage.recovered;
        note.number = static_cast<int64_t>(salvage.unreadable);
        Emit(std::move(note));
        // Alarms held in memory are known whole even where the damaged file lost their rows.
        std::vector<const Payload*> in_flight;
        for (auto entry = queue_.begin(); entry != queue_.end(); ++entry) in_flight.push_back(&entry->held);
        backlog_.StoreAgainAfterSalvage(in_flight);
    }

    // The outbox failed: one ERROR, then it is opened again on a back-off, and alarms are
    // held in memory meanwhile.
    void OutboxFailed() {
        if (outbox_down_) return;
        outbox_down_ = true;
        outbox_attempts_ = 0;
        Note note = OutboxNote(NoteKind::kOutboxUnusable);
        note.text = backlog_.LastFailure().message();
        Emit(std::move(note));
        ArmOutboxReopen();
    }

    void ArmOutboxReopen() {
        const Backoff backoff(options_.reopen_base, options_.reopen_cap);
        reopen_at_ = now_.steady + backoff.Delay(++outbox_attempts_);
    }

    void ReopenOutbox() {
        const size_t held = backlog_.Unstored();
        const Status status = backlog_.Reopen();
        ReportSalvage();
        if (!status.ok()) {
            ArmOutboxReopen();
            return;
        }
        outbox_down_ = false;
        Note note = OutboxNote(NoteKind::kOutboxBack);
        note.count = held - backlog_.Unstored();
        note.number = static_cast<int64_t>(backlog_.outbox()->Count());
        Emit(std::move(note));
        backlog_.KeepRefusedOnDisk(now_.wall, now_.steady);
        Dispatch();
    }

    // One payload enters a new sequence under a new guid.
    void Start(Payload held, PathId path, bool probe, bool windowed = true) {
        std::string guid = NewGuid();
        if (out_->verbose) {
            Note note;
            note.kind = NoteKind::kCreatingSequence;
            note.guid = guid;
            note.payload_kind = held.kind;
            note.payload = std::make_shared<const std::string>(held.payload);
            Emit(std::move(note));
        }
        const bool patient = Patient(held, path);
        const PayloadKind kind = held.kind;
        queue_.emplace_back(guid, std::move(held), path, probe, windowed);
        SendStep(guid, Step::kCreateSequence, path, kind, nullptr, std::string(), patient);
    }

    // `held`: the payload whose content the step carries (the application message only).
    void SendStep(const std::string& guid, Step step, PathId path, PayloadKind kind, const Payload* held,
                  const std::string& sequence, bool patient) {
        ++exchanges_;
        Send send;
        send.guid = guid;
        send.step = step;
        send.path = path;
        send.sequence_id = sequence;
        send.patient = patient;
        send.kind = kind;
        if (held != nullptr) {
            send.payload = std::make_shared<const std::string>(held->payload);
        }
        out_->list.emplace_back(std::move(send));
    }

    void SendLastMessage(const SequenceExchange& entry) {
        SendStep(entry.guid, Step::kLastMessage, entry.path, entry.held.kind, nullptr, entry.sequence_id,
                 Patient(entry.held, entry.path));
    }

    // Every answer comes here: act on its class.
    void Answer(const Reply& reply) {
        const std::string& guid = reply.guid;
        const Step step = reply.step;
        const PathId path = reply.path;
        const bool quiet = Quiet(path);
        if (step == Step::kLastMessage) {
            if (reply.answer.outcome == Outcome::kClosed) {
                if (out_->verbose) Emit(NoteKind::kLastMessageDone, guid);
            } else if (!quiet) {
                Emit(Failure(NoteKind::kLastMessageFailed, reply));
            }
            return;
        }
        const Entries::iterator entry = queue_.find(guid);
        if (entry == queue_.end() && step == Step::kApplicationMessage) {
            Emit(Failure(NoteKind::kApplicationUnmatched, reply));
            return;
        }
        const Outcome outcome = reply.answer.outcome;
        if (entry != queue_.end() &&
            (outcome == Outcome::kNextStep || outcome == Outcome::kDelivered || outcome == Outcome::kRefused)) {
            AnsweredAfterOverdue(entry->held, path);
        }
        switch (reply.answer.outcome) {
            case Outcome::kNextStep:
                SendApplicationMessage(entry, reply);
                return;
            case Outcome::kDelivered:
                Delivered(entry, guid, reply.answer.text, path);
                return;
            case Outcome::kRefused: {
                if (entry == queue_.end()) {
                    ReceiverAnswered(path, PayloadKind::kAlarm, false);
                } else {
                    ReceiverAnswered(path, entry->held.kind, entry->probe);
                }
                Note note;
                note.kind = NoteKind::kInvalidAnswer;
                note.guid = guid;
                note.flag = step == Step::kApplicationMessage;
                note.text = reply.answer.relates_to;
                Emit(std::move(note));
                if (entry == queue_.end()) {
                    Emit(NoteKind::kUnmatched, guid);
                    return;
                }
                Refuse(entry, reply.answer.reason, step == Step::kCreateSequence);
                return;
            }
            default:
                break;
        }
        // The receiver did not take it: logged, and the payload goes again on its back-off.
        if (!quiet) {
            if (step == Step::kCreateSequence) {
                Note note = Failure(NoteKind::kCreateSequenceFailed, reply);
                note.url = Path(path).endpoint;
                Emit(std::move(note));
            } else {
                Emit(Failure(NoteKind::kPostFailed, reply));
            }
            if (reply.body_over_limit) {
                Note note = Failure(NoteKind::kAnswerTooLarge, reply);
                note.text = reply.content_length;
                note.count = reply.body_limit;
                Emit(std::move(note));
            } else if (soap::IsRedirect(reply.status)) {
                Note note = Failure(NoteKind::kRedirected, reply);
                note.text = reply.location;
                Emit(std::move(note));
            } else if (reply.error == 0 && reply.status >= 200 && reply.status <= 299) {
                Note note = Failure(NoteKind::kNotSoap, reply);
                note.text = reply.content_type;
                note.count = reply.body_bytes;
                Emit(std::move(note));
            }
        }
        if (entry == queue_.end()) {
            Emit(NoteKind::kUnmatched, guid);
            return;
        }
        // The receiver's sequence is closed even though its message failed; an answer
        // that came too late makes the payload patient, its LastMessage too.
        if (reply.answer_overdue) entry->held.patient = true;
        if (step == Step::kApplicationMessage) SendLastMessage(*entry);
        Fail(entry, reply);
    }

    static Note Failure(NoteKind kind, const Reply& reply) {
        Note note;
        note.kind = kind;
        note.guid = reply.guid;
        note.error = reply.error;
        note.status = reply.status;
        return note;
    }

    void SendApplicationMessage(Entries::iterator entry, const Reply& reply) {
        if (entry == queue_.end()) {
            Note note;
            note.kind = NoteKind::kSequenceUnmatched;
            note.guid = reply.guid;
            note.text = reply.answer.relates_to;
            Emit(std::move(note));
            return;
        }
        // An opened sequence is not yet an answer about delivery: a receiver that opens
        // sequences and fails every message must still open the breaker.
        entry->sequence_id = reply.answer.text;
        entry->step = Step::kApplicationMessage;
        // From here the receiver may have it, whatever its answer: a later delivery on
        // the other path may make two.
        entry->held.sent_on_paths |= PathBit(entry->path);
        if (out_->verbose) {
            Note note;
            note.kind = NoteKind::kRequest;
            note.guid = reply.guid;
            note.payload_kind = entry->held.kind;
            note.url = Path(entry->path).endpoint;
            Emit(std::move(note));
        }
        SendStep(reply.guid, Step::kApplicationMessage, entry->path, entry->held.kind, &entry->held, entry->sequence_id,
                 Patient(entry->held, entry->path));
    }

    void Delivered(Entries::iterator entry, const std::string& guid, const std::string& result, PathId path) {
        ReceiverAnswered(path, entry->held.kind, entry->probe);
        // Alarms get through on this path: whatever failed before was not the path's.
        if (entry->held.kind != PayloadKind::kHeartbeat) {
            Path(path).proven = true;
            Path(path).strikes = 0;
        }
        if (out_->verbose) {
            Note response;
            response.kind = NoteKind::kResponse;
            response.guid = guid;
            response.payload_kind = entry->held.kind;
            response.text = result;
            Emit(std::move(response));
        }
        SendLastMessage(*entry);
        if (entry->held.kind == PayloadKind::kTimeRequest) out_->list.emplace_back(TimeInfo{guid, result});
        if (out_->verbose) {
            Note done;
            done.kind = NoteKind::kPayloadDone;
            done.guid = guid;
            done.count = queue_.size();
            Emit(std::move(done));
        }
        if (entry->held.kind == PayloadKind::kAlarm) {
            ++delivered_;
            if (path == PathId::kBackup) ++delivered_on_backup_;
            if ((entry->held.sent_on_paths & ~PathBit(path)) != 0) ++delivered_maybe_twice_;
        }
        Finish(entry);
    }

    // A well-formed "no": a stored alarm stays in the outbox for a later attempt; what is
    // not stored is given up, as before.
    void Refuse(Entries::iterator entry, const std::string& reason, bool log_abandon) {
        if (log_abandon) {
            Note note;
            note.kind = NoteKind::kAbandoningRefused;
            note.guid = entry->guid;
            note.payload_kind = entry->held.kind;
            Emit(std::move(note));
        }
        Payload held = std::move(entry->held);
        // Held in memory (no outbox to keep it in now), it waits the refusal's time as it
        // would on disk: a refusal is no failure, and the failures' back-off never grows.
        const TimePoint retry_due =
            now_.steady + Backoff(options_.refusal_base, options_.refusal_cap).Delay(held.refusals + 1);
        const bool windowed = entry->windowed;
        queue_.erase(entry);
        const PayloadKind kind = held.kind;
        auto text = std::make_shared<const std::string>(held.payload);
        if (!windowed) return;
        const DeliveryBacklog::Refusal refusal = backlog_.Refused(std::move(held), reason, now_.wall, retry_due);
        switch (refusal.fate) {
            case DeliveryBacklog::RefusalFate::kKept: {
                Note note;
                note.kind = NoteKind::kRefusalKept;
                note.id = refusal.id;
                note.text = reason;
                note.number = refusal.next_in;
                Emit(std::move(note));
                break;
            }
            case DeliveryBacklog::RefusalFate::kDropped: {
                Note note;
                note.kind = NoteKind::kRefusalDropped;
                note.id = refusal.id;
                note.payload_kind = kind;
                note.payload = text;
                note.text = reason;
                note.number = options_.refusal_keep.count();
                Emit(std::move(note));
                break;
            }
            default:
                break;
        }
        CheckOutbox();
        Tidy();
        ArmDueTimer();
    }

    // Logs the abandonment, sets the payload waiting for its next attempt (heartbeats
    // are never retried), and counts the failure towards the breaker.
    void Fail(Entries::iterator entry, const Reply& reply) {
        Payload held = std::move(entry->held);
        const bool probe = entry->probe;
        const bool windowed = entry->windowed;
        const PathId id = entry->path;
        DeliveryPath& path = Path(id);
        const bool retried = IsRetried(held.kind);
        if (!Quiet(id)) {
            Note note;
            note.kind = NoteKind::kAbandoning;
            note.guid = entry->guid;
            note.payload_kind = held.kind;
            note.flag = retried;
            Emit(std::move(note));
        }
        queue_.erase(entry);

        const Route before = route_.Current();
        // An answer late on a path known slow is its slowness, not a failure of the path.
        const bool counts = probe || !reply.answer_overdue || !PathSlow(id);
        const DeliveryPolicy::Transition transition =
            counts ? path.policy.OnFailure(held.key, probe) : DeliveryPolicy::Transition::kNone;
        const Route after = route_.Current();
        if (retried) {
            held.held_for_receiver = true;
            TimePoint due = now_.steady;
            // Its receiver is down and the other takes payloads: the failure was the
            // path's, not the payload's, and it goes on the other path at once.
            if (!(route_.has_backup() && path.policy.open() && after != Route::kHold)) {
                ++held.failures;
                due = path.policy.NextAttempt(held.failures);
            }
            backlog_.Wait(std::move(held), due);
        } else if (windowed) {
            backlog_.Finished(held);
            Tidy();
        }
        if (transition == DeliveryPolicy::Transition::kOpened) {
            // Down again before a single alarm got through since its return: its next
            // return waits longer each time. A receiver that answered with a failure
            // is up and failing: even its first return waits the shortest interval, so
            // that a heartbeat answered a second later does not hand it the route back.
            if (!path.proven || (reply.status != 0 && route_.has_backup())) ++path.strikes;
            path.return_not_before =
                now_.steady + (path.strikes == 0 ? std::chrono::milliseconds(0)
                                                 : Backoff(options_.route_return_base, options_.route_return_cap)
                                                       .Delay(path.strikes));
        }
        RouteChanged(id, transition, before, after, std::chrono::milliseconds(0), reply.error, reply.status);
        if (path.policy.open() && (probe || transition == DeliveryPolicy::Transition::kOpened)) {
            WatchForReturn(id, reply.error);
        }
        ArmDueTimer();
    }

    // Delivered: the payload's place is free and its delete queued.
    void Finish(Entries::iterator entry) {
        if (entry->windowed) backlog_.Finished(entry->held);
        queue_.erase(entry);
        Tidy();
    }

    // `kind` and `probe`: of the payload answered.
    void ReceiverAnswered(PathId id, PayloadKind kind, bool probe) {
        DeliveryPath& path = Path(id);
        // A heartbeat proves a path that only failed to connect. One whose alarms failed
        // since it last took the route back gets the route again only once its return
        // interval has passed: a half-down receiver would otherwise win the route at
        // every heartbeat and lose it at the next alarms.
        if (path.policy.open() && kind == PayloadKind::kHeartbeat && now_.steady < path.return_not_before) {
            if (probe) path.policy.ProbeHeld(path.return_not_before);
            return;
        }
        const std::chrono::milliseconds away = path.policy.OpenFor();
        const Route before = route_.Current();
        const DeliveryPolicy::Transition transition = path.policy.OnAnswer();
        if (transition != DeliveryPolicy::Transition::kClosed) return;
        // Back on a heartbeat's word alone: its next alarms tell whether it carries them.
        path.proven = kind != PayloadKind::kHeartbeat;
        if (path.watching) {
            path.watching = false;
            out_->list.emplace_back(StopWatch{id});
        }
        RouteChanged(id, transition, before, route_.Current(), away, 0, 0);
    }

    // One line per change of a breaker, saying what it means for the route; payloads held
    // for a path that is down move as soon as a path takes them again.
    void RouteChanged(PathId id, DeliveryPolicy::Transition transition, Route before, Route after,
                      std::chrono::milliseconds away, int error, int status) {
        const RouteEvent event = route_.Describe(id, transition, before, after);
        if (event == RouteEvent::kNone) return;
        ++route_changes_;
        reachable_[0] = !primary_.policy.open();
        if (route_.has_backup()) reachable_[1] = !backup_.policy.open();
        const bool moves = before != after && after != Route::kHold;
        const size_t moving = moves ? backlog_.ReleaseHeld() + queue_.size() + backlog_.on_disk_only() : 0;
        Note note;
        note.error = error;
        note.status = status;
        note.away = away;
        switch (event) {
            case RouteEvent::kReceiverDown:
                note.kind = NoteKind::kReceiverDown;
                break;
            case RouteEvent::kReceiverBack:
                note.kind = NoteKind::kReceiverBack;
                note.count = moving;
                break;
            case RouteEvent::kPrimaryDown:
                delivered_on_backup_ = 0;
                note.kind = NoteKind::kPrimaryDown;
                note.count = backlog_.Waiting();
                note.url = backup_.endpoint;
                break;
            case RouteEvent::kBothDown:
                if (id == PathId::kPrimary) delivered_on_backup_ = 0;
                note.kind = NoteKind::kBothDown;
                note.flag = id == PathId::kBackup;
                note.count = backlog_.Waiting();
                break;
            case RouteEvent::kPrimaryBack:
                note.kind = NoteKind::kPrimaryBack;
                note.count = moving;
                note.number = static_cast<int64_t>(delivered_on_backup_);
                note.id = static_cast<int64_t>(delivered_maybe_twice_);
                break;
            case RouteEvent::kBackupDown:
                note.kind = NoteKind::kBackupDown;
                break;
            case RouteEvent::kBackupBack:
                note.kind = NoteKind::kBackupBack;
                break;
            case RouteEvent::kBackupBackCarrying:
                note.kind = NoteKind::kBackupBack;
                note.flag = true;
                note.count = moving;
                break;
            default:
                return;
        }
        Emit(std::move(note));
        if (moves) Tidy();
    }

    // The probe's back-off grows to a minute; the watch brings the probe forward as soon
    // as the receiver's port accepts connections again.
    void WatchForReturn(PathId id, int error) {
        // A receiver that answers at all accepts connections: only its answers tell.
        if (error == 0) return;
        DeliveryPath& path = Path(id);
        path.watching = true;
        out_->list.emplace_back(Watch{id, path.endpoint, path.policy.base(), KnownDown(error)});
    }

    // The one timer for payloads waiting on their back-off, the breaker's probe, or the
    // next refused alarm.
    void ArmDueTimer() {
        std::optional<TimePoint> due;
        if (route_.Current() != Route::kHold) due = backlog_.NextDue();
        for (const PathId id : {PathId::kPrimary, PathId::kBackup}) {
            const std::optional<TimePoint> probe = route_.NextProbe(id, ProbeMaterial());
            if (probe && (!due || *probe < *due)) due = probe;
        }
        // A refused alarm due while no refill can take it waits for the place (a payload
        // finishing) or the outbox (its reopening), both of which dispatch again.
        const std::optional<int64_t> refused = backlog_.NextRefusedDue(now_.wall);
        if (refused && backlog_.HasRoomForStored()) {
            const TimePoint at = now_.steady + std::chrono::seconds(std::max<int64_t>(*refused - now_.wall, 0));
            if (!due || at < *due) due = at;
        }
        if (!due || (due_at_ && *due_at_ <= *due)) return;
        due_at_ = due;
    }

    // After a backlog of thousands the allocator keeps the freed pages; they are handed
    // back once nothing is in progress any more, not even a LastMessage.
    void ReleaseMemoryWhenDrained() {
        if (backlog_peak_ < kTrimAfterBacklog || backlog_.in_window() != 0 || exchanges_ != 0) return;
        backlog_peak_ = 0;
        queue_ = Entries();
        backlog_.ReleaseMemory();
        out_->list.emplace_back(ReleaseMemory{});
    }

    void ScheduleRelease() {
        if (backlog_peak_ < kTrimAfterBacklog || backlog_.in_window() != 0) return;
        Tidy();
    }

    friend class Courier;

    CourierOptions options_;
    Instant now_;
    Commands* out_ = nullptr;
    std::mt19937_64 guids_;
    DeliveryPath primary_;
    DeliveryPath backup_;  // its endpoint is empty and the route ignores it unless configured
    DeliveryRoute route_;
    DeliveryBacklog backlog_;
    Entries queue_;
    std::string heartbeat_payload_;
    uint64_t next_key_ = 0;
    uint64_t delivered_ = 0;
    uint64_t delivered_on_backup_ = 0;    // alarms, since the primary last went down
    uint64_t delivered_maybe_twice_ = 0;  // alarms whose message went to the other path too
    uint64_t route_changes_ = 0;
    bool reachable_[2] = {true, true};
    size_t backlog_peak_ = 0;  // most payloads in memory since memory was last released
    size_t exchanges_ = 0;     // Sends whose reply has not come
    bool outbox_down_ = false;  // reported, and being reopened on its back-off
    int outbox_attempts_ = 0;
    bool tidy_requested_ = false;
    bool abandoned_ = false;
    // What OnTimer is for, each when due; the wake-up is the earliest.
    std::optional<TimePoint> heartbeat_at_;
    std::optional<TimePoint> reopen_at_;
    std::optional<TimePoint> due_at_;
    std::optional<TimePoint> requested_wake_;
    bool woke_ = false;
};

Courier::Courier(const CourierOptions& options) : impl_(std::make_unique<Impl>(options)) {}

Courier::~Courier() = default;

namespace {

// Runs one event on the courier's state between Begin and End.
template <typename Event>
void Run(Courier::Impl& impl, const Instant& now, Commands& out, Event event) {
    impl.Begin(now, out);
    event();
    impl.End();
}

}  // namespace

void Courier::Intake(const Instant& now, std::vector<Incoming> incoming, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->Intake(std::move(incoming)); });
}

void Courier::SetEndpoint(const Instant& now, PathId path, const std::string& url, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->SetEndpoint(path, url); });
}

void Courier::UseOutbox(const Instant& now, std::unique_ptr<Outbox> outbox, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->UseOutbox(std::move(outbox)); });
}

void Courier::StartHeartbeat(const Instant& now, const std::string& payload, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->StartHeartbeat(payload); });
}

void Courier::StopHeartbeat(const Instant& now, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->StopHeartbeat(); });
}

void Courier::OnReply(const Instant& now, const Reply& reply, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->OnReply(reply); });
}

void Courier::OnTimer(const Instant& now, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->OnTimer(); });
}

void Courier::OnTidy(const Instant& now, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->OnTidy(); });
}

void Courier::OnPathLooksBack(const Instant& now, PathId path, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->OnPathLooksBack(path); });
}

void Courier::Abandon(const Instant& now, std::vector<Incoming> incoming, Commands& out) {
    Run(*impl_, now, out, [&] { impl_->Abandon(std::move(incoming)); });
}

CourierStats Courier::Stats() const { return impl_->Stats(); }

const Outbox* Courier::outbox() const { return impl_->outbox(); }

std::vector<std::shared_ptr<const std::string>> Courier::UnstoredAlarms() const { return impl_->UnstoredAlarms(); }

}  // namespace delivery
}  // namespace kv
