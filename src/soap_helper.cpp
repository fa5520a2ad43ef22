#include "src/soap_helper.h"

#include <malloc.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <list>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "common/logger.h"
#include "common/string_util.h"
#include "src/answer_class.h"
#include "src/delivery_backlog.h"
#include "src/delivery_log.h"
#include "src/delivery_policy.h"
#include "src/delivery_route.h"
#include "src/delivery_status.h"
#include "src/exchange_table.h"
#include "src/outbox.h"
#include "src/reachability_watch.h"

namespace kv {
namespace soap {

namespace {

void Log(LoggerLevel level, const std::string& text) { logger::get_logger().log(level, text); }

}  // namespace

// ---------------------------------------------------------------------------------------
// The sequencer. It drives each payload's three exchanges; the delivery policy says when
// a payload may go again and whether the receiver counts as down, and the backlog holds
// what waits (in memory and in the outbox).

namespace {

constexpr size_t kQueueLimit = 20000;
constexpr size_t kTrimAfterBacklog = 1000;
// New sequences are started only while fewer exchanges than this are with the HTTP
// engine; the rest of the window waits in the backlog's ready line. Four exchanges per
// connection keep every connection busy, while a window started at once would hold
// twenty thousand requests, their handles and their LastMessages in the engine.
constexpr size_t kMaxExchangesInEngine = 4 * static_cast<size_t>(kv::http::kMaxConnectionsPerHost);
constexpr char kAlarmMethod[] = "SendAlarm";
constexpr char kHeartbeatMethod[] = "SendHeartBeat";
constexpr char kNtpMethod[] = "GetNTPServerInfo";
constexpr std::chrono::milliseconds kHeartbeatPeriod{300 * 1000};

// The outbox is opened again after a failure on this back-off: a full disk freed, a
// remounted folder, within a second at first, at least every minute.
constexpr std::chrono::milliseconds kOutboxReopenBase{1000};
constexpr std::chrono::milliseconds kOutboxReopenCap{60 * 1000};

// The last value of a header (the last answer's), whatever the case of its name, or "".
std::string HeaderValue(const kv::http::Header& headers, const char* name) {
    for (const auto& field : headers) {
        if (field.second.empty() || field.first.size() != std::strlen(name)) continue;
        if (::strncasecmp(field.first.c_str(), name, field.first.size()) == 0) return field.second.back();
    }
    return std::string();
}

// A version-4 UUID. The generator is seeded from the operating system once, when the
// sequencer is built: seeding it afresh for every payload drew 2.5 KB from the kernel's
// random source per alarm, a sixth of a payload's CPU time under load.
std::string NewGuid(boost::uuids::random_generator_mt19937& generator) {
    return boost::uuids::to_string(generator());
}

}  // namespace

class SoapSequencer::Impl : public std::enable_shared_from_this<SoapSequencer::Impl> {
public:
    using SequenceExchange = delivery::SequenceExchange;

    // One receiver: where its exchanges go, its breaker (probe and back-off), and the
    // connection watch that brings its probe forward.
    struct DeliveryPath {
        explicit DeliveryPath(boost::asio::io_service& io_service)
            : policy([] { return delivery::Clock::now(); }, std::random_device{}()), watch(io_service) {}

        std::string endpoint;  // empty: not configured
        delivery::DeliveryPolicy policy;
        delivery::ReachabilityWatch watch;
    };

    explicit Impl(boost::asio::io_service& io_service)
        : io_service_(io_service), work_queue_(io_service), heartbeat_timer_(io_service), due_timer_(io_service),
          outbox_timer_(io_service), primary_(io_service), backup_(io_service), route_(primary_.policy, nullptr),
          backlog_(kQueueLimit),
          delivery_log_(io_service, delivery::DeliveryLog::Source{[this] { return backlog_.Waiting(); },
                                                                  [this] { return AllPathsDown(); },
                                                                  [this] { return DownFor(); },
                                                                  [this] { return backlog_.RefusedOnDisk(); }}) {}

    // Any thread. Payloads that arrive together are taken (and stored) together.
    void PostEventMessage(const std::string& method, const std::string& payload) {
        bool post = false;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            delivery::Payload item;
            item.key = ++next_key_;
            item.method = method;
            item.payload = payload;
            item.durable = method == kAlarmMethod;
            incoming_.push_back(std::move(item));
            post = !intake_posted_;
            intake_posted_ = true;
        }
        if (post) {
            auto self = shared_from_this();
            io_service_.post([self] { self->Intake(); });
        }
    }

    // Runs `work` on the network thread, keeping the Impl alive until then.
    template <typename Work>
    void RunOnNetworkThread(Work work) {
        auto self = shared_from_this();
        io_service_.post([self, work = std::move(work)]() mutable { work(*self); });
    }

    // The calls below run on the network thread; the handle posts the caller's writes.
    void SetHeartBeatPayload(const std::string& payload) { heartbeat_payload_ = payload; }
    void UpdateServiceEndpoint(const std::string& url) {
        primary_.endpoint = url;
        // A new address deserves a probe at once rather than at the old one's back-off.
        primary_.policy.ProbeNow();
        Dispatch();
    }
    void UpdateBackupEndpoint(const std::string& url) {
        backup_.endpoint = url;
        route_.SetBackup(&backup_.policy);
        delivery_log_.SetTwoReceivers(true);
        GetDeliveryStatus().backup_configured.store(true, std::memory_order_relaxed);
        backup_.policy.ProbeNow();
        Dispatch();
    }
    void SetNtpHandler(NtpHandler handler) { ntp_handler_ = std::move(handler); }
    void SetTiming(std::chrono::milliseconds heartbeat, std::chrono::milliseconds base, std::chrono::milliseconds cap) {
        heartbeat_period_ = heartbeat;
        primary_.policy.SetBackoff(base, cap);
        backup_.policy.SetBackoff(base, cap);
    }
    void SetSummaryPeriod(std::chrono::milliseconds period) { delivery_log_.SetSummaryPeriod(period); }
    void SetWindow(size_t window) { backlog_.SetWindow(window); }
    void SetOutboxCap(size_t cap) { outbox_cap_ = cap; }
    void SetRefusalTiming(const delivery::RefusalTiming& timing) {
        backlog_.SetRefusalTiming(timing);
        refusal_keep_ = timing.keep;
    }
    void SetExchangeDeadline(std::chrono::milliseconds deadline) { exchange_deadline_ = deadline; }
    void SetOutboxReopen(std::chrono::milliseconds base, std::chrono::milliseconds cap) {
        reopen_base_ = base;
        reopen_cap_ = cap;
    }

    // Records the path on the caller's thread, so that a stop that comes before the
    // network thread opened the file still finds it (see Abandon).
    void RequestOutbox(const std::string& path) {
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            outbox_path_ = path;
        }
        RunOnNetworkThread([path](Impl& impl) { impl.UseOutbox(path); });
    }

    void UseOutbox(const std::string& path) {
        if (abandoned_ || backlog_.outbox() != nullptr) return;
        OpenOutbox(path);
        Dispatch();
    }

    void OpenOutbox(const std::string& path) {
        const Status status = backlog_.UseOutbox(std::make_unique<Outbox>(path, outbox_cap_));
        ReportSalvage();
        if (!status.ok()) {
            OutboxFailed();
        } else if (backlog_.outbox()->Count() > 0) {
            delivery::DeliveryLog::OutboxResumed(backlog_.outbox()->Count());
        }
    }

    // A new generation ends any chain still running, even one whose timer has already
    // expired and whose handler is queued: cancel() cannot reach that handler.
    void StartHeartbeat() {
        Log(VERBOSE, "Starting heartbeat");
        const uint64_t generation = ++heartbeat_generation_;
        SendHeartbeat();
        ArmHeartbeat(generation);
    }

    void StopHeartbeat() {
        ++heartbeat_generation_;
        boost::system::error_code ignored;
        heartbeat_timer_.cancel(ignored);
    }

    // Only once the io_service no longer runs: what never reached the outbox is stored,
    // and the queued deletes are written, so that the count below is the truth.
    void Abandon() {
        ++heartbeat_generation_;
        boost::system::error_code ignored;
        heartbeat_timer_.cancel(ignored);
        due_timer_.cancel(ignored);
        outbox_timer_.cancel(ignored);
        delivery_log_.Stop();
        primary_.watch.Stop();
        backup_.watch.Stop();
        std::vector<delivery::Payload> incoming;
        std::string outbox_path;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            incoming.swap(incoming_);
            outbox_path = outbox_path_;
        }
        if (!abandoned_) {
            // A stop before the network thread ran its first handlers: the alarms that
            // came in meanwhile still belong on disk.
            if (backlog_.outbox() == nullptr && !outbox_path.empty()) OpenOutbox(outbox_path);
            if (backlog_.outbox() != nullptr) {
                const Status stored = backlog_.StoreAtStop(incoming);
                if (!stored.ok() && backlog_.Unstored() > 0) {
                    delivery::DeliveryLog::OutboxLostAtStop(backlog_.outbox()->path(), stored.message(),
                                                            backlog_.Unstored());
                }
                if (backlog_.durable()) delivery::DeliveryLog::OutboxLeft(backlog_.outbox()->Count());
            }
        }
        abandoned_ = true;
        queue_.clear();
        work_queue_.Abandon();
    }

private:
    using PayloadQueue = delivery::ExchangeTable;
    using Entries = PayloadQueue;

    static int64_t WallNow() { return static_cast<int64_t>(::time(nullptr)); }

    // New payloads: stored (the alarms, one transaction for all that arrived together),
    // then sent as far as the window, the endpoint and the breaker allow.
    void Intake() {
        std::vector<delivery::Payload> incoming;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            incoming.swap(incoming_);
            intake_posted_ = false;
        }
        const delivery::DeliveryBacklog::Intake intake = backlog_.Accept(incoming);
        delivery::DeliveryLog::WindowFull(intake.refused_by_window);
        if (intake.refused_by_cap > 0) delivery_log_.RefusedByCap(intake.refused_by_cap, backlog_.outbox()->cap());
        Dispatch();
    }

    // Sends what may go now. Without an endpoint nothing goes: alarms wait in the outbox.
    void Dispatch() {
        if (abandoned_) return;
        backlog_.Refill(WallNow());
        CheckOutbox();
        // Alarms refilled from the outbox count too: a restart's backlog is as large as a burst.
        backlog_peak_ = std::max(backlog_peak_, backlog_.in_window());
        UpdateStatus();
        if (primary_.endpoint.empty()) return;
        const delivery::Route route = route_.Current();
        if (route != delivery::Route::kHold) {
            const delivery::PathId to =
                route == delivery::Route::kPrimary ? delivery::PathId::kPrimary : delivery::PathId::kBackup;
            backlog_.MoveDue(primary_.policy.Now());
            // Each start posts one exchange, so the count is taken before the loop.
            const size_t room = exchanges_ < kMaxExchangesInEngine ? kMaxExchangesInEngine - exchanges_ : 0;
            for (delivery::Payload& payload : backlog_.TakeReady(room)) Start(std::move(payload), to, false);
        }
        Probe(delivery::PathId::kPrimary);
        Probe(delivery::PathId::kBackup);
        ArmDueTimer();
    }

    // The one probe of a path that is down, when it is due: the oldest waiting payload,
    // or a heartbeat (see src/delivery_route.h).
    void Probe(delivery::PathId id) {
        DeliveryPath& path = Path(id);
        switch (route_.ProbeNow(id, ProbeMaterial())) {
            case delivery::ProbeWith::kWaitingPayload: {
                std::optional<delivery::Payload> probe = backlog_.TakeProbe();
                if (!probe) return;
                path.policy.ProbeSent();
                Start(std::move(*probe), id, true);
                return;
            }
            case delivery::ProbeWith::kHeartbeat:
                StartHeartbeatOn(id, true);
                return;
            default:
                return;
        }
    }

    delivery::DeliveryRoute::ProbeMaterial ProbeMaterial() const {
        return delivery::DeliveryRoute::ProbeMaterial{!heartbeat_payload_.empty(),
                                                      backlog_.HasReady() || backlog_.NextDue().has_value()};
    }

    DeliveryPath& Path(delivery::PathId id) { return id == delivery::PathId::kPrimary ? primary_ : backup_; }

    // No path takes payloads: they wait, and the summary runs.
    bool AllPathsDown() const { return route_.Current() == delivery::Route::kHold; }
    // Since when no path takes payloads: since the later of the breakers opened.
    std::chrono::milliseconds DownFor() const {
        if (!route_.has_backup()) return primary_.policy.OpenFor();
        return std::min(primary_.policy.OpenFor(), backup_.policy.OpenFor());
    }
    // With a backup, the exchanges of a path that is down are quiet while the other works.
    bool PathDown(delivery::PathId id) { return route_.has_backup() && Path(id).policy.open(); }

    // Each receiver gets its own heartbeat: it is that path's supervision, and a failed
    // one counts towards that path's breaker. With one receiver it is an ordinary payload.
    void SendHeartbeat() {
        if (!route_.has_backup()) {
            PostEventMessage(kHeartbeatMethod, heartbeat_payload_);
            return;
        }
        for (const delivery::PathId id : {delivery::PathId::kPrimary, delivery::PathId::kBackup}) {
            const DeliveryPath& path = Path(id);
            // A path that is down takes its heartbeat as its probe unless one is in flight.
            StartHeartbeatOn(id, path.policy.open() && !path.policy.probe_in_flight());
        }
    }

    // A heartbeat outside the window: never stored, never retried, one per path a period.
    void StartHeartbeatOn(delivery::PathId id, bool probe) {
        if (abandoned_ || primary_.endpoint.empty() || Path(id).endpoint.empty()) return;
        if (probe) Path(id).policy.ProbeSent();
        delivery::Payload held;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            held.key = ++next_key_;
        }
        held.method = kHeartbeatMethod;
        held.payload = heartbeat_payload_;
        Start(std::move(held), id, probe, false);
    }

    // What the outbox's last operations had to say: a salvage, rows set aside, a failure.
    void CheckOutbox() {
        ReportSalvage();
        const size_t damaged = backlog_.TakeDamaged();
        if (damaged > 0) delivery::DeliveryLog::OutboxDamagedRows(backlog_.outbox()->path(), damaged);
        if (backlog_.NeedsReopen()) OutboxFailed();
    }

    void ReportSalvage() {
        Outbox* outbox = backlog_.mutable_outbox();
        if (outbox == nullptr || !outbox->salvaged()) return;
        const Outbox::Salvage salvage = outbox->TakeSalvage();
        delivery::DeliveryLog::OutboxSalvaged(outbox->path(), salvage.set_aside, salvage.recovered,
                                              salvage.unreadable);
    }

    // The outbox failed: one ERROR, then it is opened again on a back-off, and alarms are
    // held in memory meanwhile.
    void OutboxFailed() {
        if (outbox_down_) return;
        outbox_down_ = true;
        outbox_attempts_ = 0;
        delivery::DeliveryLog::OutboxUnusable(backlog_.outbox()->path(), backlog_.LastFailure().message());
        ArmOutboxReopen();
    }

    void ArmOutboxReopen() {
        const int shift = std::min(outbox_attempts_, 16);
        const std::chrono::milliseconds delay = std::min<std::chrono::milliseconds>(reopen_base_ * (1LL << shift), reopen_cap_);
        ++outbox_attempts_;
        outbox_timer_.expires_after(delay);
        std::weak_ptr<Impl> weak = shared_from_this();
        outbox_timer_.async_wait([weak](const boost::system::error_code& error) {
            auto self = weak.lock();
            if (!self || error || self->abandoned_) return;
            self->ReopenOutbox();
        });
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
        delivery::DeliveryLog::OutboxBack(backlog_.outbox()->path(), held - backlog_.Unstored(),
                                          backlog_.outbox()->Count());
        Dispatch();
    }

    // One payload enters a new sequence under a new guid.
    void Start(delivery::Payload held, delivery::PathId path, bool probe, bool windowed = true) {
        std::string guid = NewGuid(guid_generator_);
        auto body = std::make_shared<std::string>();
        detail::MessageCreateSequence(guid, Path(path).endpoint, *body);
        if (logger::get_logger().enabled(VERBOSE)) {
            Log(VERBOSE, guid + ": Creating sequence with method " + held.method);
            Log(VERBOSE, guid + ": Payload: " + held.payload);
        }
        queue_.emplace_back(guid, std::move(held), path, probe, windowed);
        Send(guid, std::move(body), Step::kCreateSequence, path);
    }

    // Every answer comes here: classify, log, act.
    // `path`: the receiver the exchange went to.
    void OnAnswer(Step step, delivery::PathId path, const kv::http::Request& request, kv::http::Response& response,
                  const kv::http::Error& error) {
        const std::string& guid = request.id;
        const int code = kv::http::AsValue(error.Code());
        const int status = kv::http::AsValue(response.status);
        const bool path_down = PathDown(path);
        if (step == Step::kLastMessage) {
            const Answer answer = ClassifyAnswer(step, error.Code(), status, response.body);
            if (answer.outcome == Outcome::kClosed) {
                if (logger::get_logger().enabled(VERBOSE)) Log(VERBOSE, guid + ": LastMessage successful");
            } else {
                delivery_log_.LastMessageFailed(guid, code, status, path_down);
            }
            return;
        }
        const Entries::iterator entry = Find(guid);
        if (entry == queue_.end() && step == Step::kApplicationMessage) {
            delivery::DeliveryLog::ApplicationAnswerUnmatched(guid, code, status);
            return;
        }
        const Answer answer = ClassifyAnswer(step, error.Code(), status, response.body);
        switch (answer.outcome) {
            case Outcome::kNextStep:
                SendApplicationMessage(entry, guid, request.url, answer);
                return;
            case Outcome::kDelivered:
                Delivered(entry, guid, answer.text, path);
                return;
            case Outcome::kRefused:
                ReceiverAnswered(path);
                delivery::DeliveryLog::InvalidAnswer(guid, step == Step::kApplicationMessage, answer.relates_to);
                if (entry == queue_.end()) {
                    delivery::DeliveryLog::Unmatched(guid);
                    return;
                }
                Refuse(entry, answer.reason, step == Step::kCreateSequence);
                return;
            default:
                break;
        }
        // The receiver did not take it: logged, and the payload goes again on its back-off.
        if (step == Step::kCreateSequence) {
            delivery_log_.CreateSequenceFailed(guid, request.url, code, status, path_down);
        } else {
            delivery_log_.PostFailed(guid, code, status, path_down);
        }
        if (response.bodyOverLimit) {
            delivery_log_.AnswerTooLarge(guid, HeaderValue(response.headers, "Content-Length"),
                                         request.options.maxBodyBytes, path_down);
        } else if (IsRedirect(status)) {
            delivery_log_.Redirected(guid, status, HeaderValue(response.headers, "Location"), path_down);
        } else if (!error && status >= 200 && status <= 299) {
            delivery_log_.NotSoap(guid, status, HeaderValue(response.headers, "Content-Type"), response.body.size(),
                                  path_down);
        }
        if (entry == queue_.end()) {
            delivery::DeliveryLog::Unmatched(guid);
            return;
        }
        // The receiver's sequence is closed even though its message failed.
        if (step == Step::kApplicationMessage) SendLastMessage(*entry);
        Fail(entry, error, response.status);
    }

    void SendApplicationMessage(Entries::iterator entry, const std::string& guid, const std::string& url,
                                const Answer& answer) {
        if (entry == queue_.end()) {
            delivery::DeliveryLog::SequenceUnmatched(guid, answer.relates_to);
            return;
        }
        // An opened sequence is not yet an answer about delivery: a receiver that opens
        // sequences and fails every message must still open the breaker.
        entry->sequence_id = answer.text;
        entry->step = Step::kApplicationMessage;
        // From here the receiver may have it, whatever its answer: a later delivery on
        // the other path may make two.
        entry->held.sent_on_paths |= PathBit(entry->path);
        auto body = std::make_shared<std::string>();
        detail::MessageSendAlarm(entry->held.method, entry->held.payload, Path(entry->path).endpoint, guid,
                                 entry->sequence_id, *body);
        if (logger::get_logger().enabled(VERBOSE)) Log(VERBOSE, guid + ": " + entry->held.method + " request to " + url);
        Send(guid, std::move(body), Step::kApplicationMessage, entry->path);
    }

    void Delivered(Entries::iterator entry, const std::string& guid, const std::string& result,
                   delivery::PathId path) {
        ReceiverAnswered(path);
        if (logger::get_logger().enabled(VERBOSE)) {
            Log(VERBOSE, guid + ": " + entry->held.method + " response " + cut_quoted_text(result));
            Log(VERBOSE, guid + ": Posting LastMessage request");
        }
        SendLastMessage(*entry);
        if (entry->held.method == kNtpMethod) DeliverNtpInfo(guid, result);
        if (logger::get_logger().enabled(VERBOSE)) {
            Log(VERBOSE, guid + ": Payload done. Queue size=" + std::to_string(queue_.size()));
        }
        if (entry->held.method == kAlarmMethod) {
            GetDeliveryStatus().delivered.fetch_add(1, std::memory_order_relaxed);
            if (path == delivery::PathId::kBackup) ++delivered_on_backup_;
            if ((entry->held.sent_on_paths & ~PathBit(path)) != 0) ++delivered_maybe_twice_;
        }
        // The handler may not touch queue_, so the entry is still where it was.
        Finish(Find(guid));
    }

    // A well-formed "no": a stored alarm stays in the outbox for a later attempt; what is
    // not stored is given up, as before.
    void Refuse(Entries::iterator entry, const std::string& reason, bool log_abandon) {
        if (log_abandon) delivery_log_.AbandoningRefused(entry->guid, entry->held.method);
        delivery::Payload held = std::move(entry->held);
        const delivery::TimePoint retry_due = Path(entry->path).policy.NextAttempt(held.failures + 1);
        const bool windowed = entry->windowed;
        queue_.erase(entry);
        const std::string method = held.method;
        const std::string text = held.payload;
        if (!windowed) return;
        const delivery::DeliveryBacklog::Refusal refusal = backlog_.Refused(std::move(held), reason, WallNow(), retry_due);
        switch (refusal.fate) {
            case delivery::DeliveryBacklog::RefusalFate::kKept:
                delivery::DeliveryLog::RefusalKept(refusal.id, reason, refusal.next_in);
                break;
            case delivery::DeliveryBacklog::RefusalFate::kDropped:
                delivery::DeliveryLog::RefusalDropped(refusal.id, method, text, reason, refusal_keep_);
                break;
            default:
                break;
        }
        CheckOutbox();
        ScheduleTidy();
        ArmDueTimer();
    }

    // Logs the abandonment, sets the payload waiting for its next attempt (heartbeats
    // are never retried), and counts the failure towards the breaker.
    void Fail(Entries::iterator entry, const kv::http::Error& error, kv::http::Status status) {
        delivery::Payload held = std::move(entry->held);
        const bool probe = entry->probe;
        const bool windowed = entry->windowed;
        const delivery::PathId id = entry->path;
        DeliveryPath& path = Path(id);
        const bool retried = held.method != kHeartbeatMethod;
        delivery_log_.Abandoning(entry->guid, held.method, retried, PathDown(id));
        queue_.erase(entry);

        const delivery::Route before = route_.Current();
        const delivery::DeliveryPolicy::Transition transition = path.policy.OnFailure(held.key, probe);
        const delivery::Route after = route_.Current();
        if (retried) {
            held.held_for_receiver = true;
            delivery::TimePoint due = path.policy.Now();
            // Its receiver is down and the other takes payloads: the failure was the
            // path's, not the payload's, and it goes on the other path at once.
            if (!(route_.has_backup() && path.policy.open() && after != delivery::Route::kHold)) {
                ++held.failures;
                due = path.policy.NextAttempt(held.failures);
            }
            backlog_.Wait(std::move(held), due);
        } else if (windowed) {
            backlog_.Finished(held);
            ScheduleTidy();
        }
        RouteChanged(id, transition, before, after, std::chrono::milliseconds(0), kv::http::AsValue(error.Code()),
                     kv::http::AsValue(status));
        if (path.policy.open() && (probe || transition == delivery::DeliveryPolicy::Transition::kOpened)) {
            WatchForReturn(id, error);
        }
        ArmDueTimer();
    }

    // Delivered: the payload's place is free and its delete queued.
    void Finish(Entries::iterator entry) {
        if (entry->windowed) backlog_.Finished(entry->held);
        queue_.erase(entry);
        ScheduleTidy();
    }

    void ReceiverAnswered(delivery::PathId id) {
        DeliveryPath& path = Path(id);
        const std::chrono::milliseconds away = path.policy.OpenFor();
        const delivery::Route before = route_.Current();
        const delivery::DeliveryPolicy::Transition transition = path.policy.OnAnswer();
        if (transition != delivery::DeliveryPolicy::Transition::kClosed) return;
        path.watch.Stop();
        RouteChanged(id, transition, before, route_.Current(), away, 0, 0);
    }

    // One line per change of a breaker, saying what it means for the route; payloads held
    // for a path that is down move as soon as a path takes them again.
    void RouteChanged(delivery::PathId id, delivery::DeliveryPolicy::Transition transition, delivery::Route before,
                      delivery::Route after, std::chrono::milliseconds away, int error, int status) {
        const delivery::RouteEvent event = route_.Describe(id, transition, before, after);
        if (event == delivery::RouteEvent::kNone) return;
        DeliveryStatus& shown = GetDeliveryStatus();
        shown.receiver_reachable.store(!primary_.policy.open(), std::memory_order_relaxed);
        if (route_.has_backup()) shown.backup_reachable.store(!backup_.policy.open(), std::memory_order_relaxed);
        const bool moves = before != after && after != delivery::Route::kHold;
        const size_t moving = moves ? backlog_.ReleaseHeld() + queue_.size() + backlog_.on_disk_only() : 0;
        switch (event) {
            case delivery::RouteEvent::kReceiverDown:
                delivery_log_.ReceiverDown(error, status);
                break;
            case delivery::RouteEvent::kReceiverBack:
                delivery_log_.ReceiverBack(away, moving);
                break;
            case delivery::RouteEvent::kPrimaryDown:
                delivered_on_backup_ = 0;
                delivery_log_.PrimaryDown(error, status, backlog_.Waiting(), backup_.endpoint);
                break;
            case delivery::RouteEvent::kBothDown:
                if (id == delivery::PathId::kPrimary) delivered_on_backup_ = 0;
                delivery_log_.BothDown(id == delivery::PathId::kBackup, error, status, backlog_.Waiting());
                break;
            case delivery::RouteEvent::kPrimaryBack:
                delivery_log_.PrimaryBack(away, moving, delivered_on_backup_, delivered_maybe_twice_);
                break;
            case delivery::RouteEvent::kBackupDown:
                delivery_log_.BackupDown(error, status);
                break;
            case delivery::RouteEvent::kBackupBack:
                delivery_log_.BackupBack(away, false, 0);
                break;
            case delivery::RouteEvent::kBackupBackCarrying:
                delivery_log_.BackupBack(away, true, moving);
                break;
            default:
                break;
        }
        if (moves) ScheduleTidy();
    }

    // The probe's back-off grows to a minute; the watch brings the probe forward as soon
    // as the receiver's port accepts connections again.
    void WatchForReturn(delivery::PathId id, const kv::http::Error& error) {
        const kv::http::ErrorCode code = error.Code();
        // A receiver that answers at all accepts connections: only its answers tell.
        if (code == kv::http::ErrorCode::Ok) return;
        const bool known_down =
            code == kv::http::ErrorCode::CouldntConnect || code == kv::http::ErrorCode::CouldntResolveHost;
        DeliveryPath& path = Path(id);
        std::weak_ptr<Impl> weak = shared_from_this();
        path.watch.Start(path.endpoint, path.policy.base(), known_down, [weak, id] {
            auto self = weak.lock();
            if (!self || self->abandoned_) return;
            self->Path(id).policy.ProbeNow();
            self->Dispatch();
        });
    }

    // Deletes, refill from the outbox and sends, once per turn of the io_service however
    // many payloads finished in it: one transaction for all the deletes of a burst.
    void ScheduleTidy() {
        if (tidy_posted_) return;
        tidy_posted_ = true;
        auto self = shared_from_this();
        io_service_.post([self] {
            self->tidy_posted_ = false;
            if (self->abandoned_) return;
            self->backlog_.FlushDeletes();
            self->Dispatch();
            // Here rather than at the last payload's end: by now its deletes are written
            // and what the turn that finished it freed is free too.
            self->ReleaseMemoryWhenDrained();
        });
    }

    void UpdateStatus() {
        GetDeliveryStatus().waiting.store(backlog_.Waiting(), std::memory_order_relaxed);
        GetDeliveryStatus().refused.store(backlog_.RefusedOnDisk(), std::memory_order_relaxed);
    }

    // The one timer for payloads waiting on their back-off, the breaker's probe, or the
    // next refused alarm.
    void ArmDueTimer() {
        std::optional<delivery::TimePoint> due;
        if (route_.Current() != delivery::Route::kHold) due = backlog_.NextDue();
        for (const delivery::PathId id : {delivery::PathId::kPrimary, delivery::PathId::kBackup}) {
            const std::optional<delivery::TimePoint> probe = route_.NextProbe(id, ProbeMaterial());
            if (probe && (!due || *probe < *due)) due = probe;
        }
        if (const std::optional<int64_t> refused = backlog_.NextRefusedDue()) {
            const delivery::TimePoint at =
                primary_.policy.Now() + std::chrono::seconds(std::max<int64_t>(*refused - WallNow(), 0));
            if (!due || at < *due) due = at;
        }
        if (!due || (timer_armed_ && armed_for_ <= *due)) return;
        timer_armed_ = true;
        armed_for_ = *due;
        due_timer_.expires_at(*due);
        std::weak_ptr<Impl> weak = shared_from_this();
        due_timer_.async_wait([weak](const boost::system::error_code& error) {
            auto self = weak.lock();
            if (!self || error == boost::asio::error::operation_aborted) return;
            self->timer_armed_ = false;
            self->Dispatch();
        });
    }

    // After a backlog of thousands (a burst, a long receiver outage) the allocator keeps
    // the freed pages; hand them back once nothing is in progress any more (no payload in
    // memory, no exchange in the engine, not even a LastMessage), so the
    // resident size returns to its idle figure instead of staying at the backlog's peak.
    void ReleaseMemoryWhenDrained() {
        if (backlog_peak_ < kTrimAfterBacklog || backlog_.in_window() != 0 || exchanges_ != 0) return;
        backlog_peak_ = 0;
        // Emptied hash tables keep the bucket arrays of their peak; start them afresh.
        queue_ = PayloadQueue();
        backlog_.ReleaseMemory();
        ::malloc_trim(0);
    }

    void ScheduleRelease() {
        if (backlog_peak_ < kTrimAfterBacklog || backlog_.in_window() != 0) return;
        auto self = shared_from_this();
        io_service_.post([self] {
            if (!self->abandoned_) self->ReleaseMemoryWhenDrained();
        });
    }

    void SendLastMessage(const SequenceExchange& entry) {
        auto body = std::make_shared<std::string>();
        detail::LastMessage(Path(entry.path).endpoint, entry.guid, entry.sequence_id, *body);
        Send(entry.guid, std::move(body), Step::kLastMessage, entry.path);
    }

    static uint8_t PathBit(delivery::PathId path) { return static_cast<uint8_t>(1u << delivery::Index(path)); }

    void Send(const std::string& guid, std::shared_ptr<std::string> body, Step step, delivery::PathId path) {
        auto self = shared_from_this();
        ++exchanges_;
        kv::http::Request request = MakeSoapRequest(guid, Path(path).endpoint, std::move(body));
        request.options.deadline = exchange_deadline_;
        work_queue_.Post(std::move(request),
                         [self, step, path](const kv::http::Request& request, kv::http::Response& response,
                                            const kv::http::Error& error) {
                             --self->exchanges_;
                             self->OnAnswer(step, path, request, response, error);
                             // A place in the engine is free: what waits ready takes it.
                             if (self->backlog_.HasReady()) self->ScheduleTidy();
                             // A payload is finished before its LastMessage is answered: the
                             // last of those may end a drain. Posted, so that the engine has
                             // released this exchange by then.
                             if (self->exchanges_ == 0) self->ScheduleRelease();
                         });
    }

    void DeliverNtpInfo(const std::string& guid, const std::string& result) {
        NtpInfo info;
        detail::ParseNtpInfo(result, info);
        if (info.ntp_server_ip.empty()) {
            Log(ERROR, "Failed to receive valid ntp info from wardex");
            info.error_code = -1;
        } else {
            Log(INFO, guid + ": Received ntp info: ip=" + cut_quoted_text(info.ntp_server_ip) + ":" +
                          cut_quoted_text(info.ntp_server_port));
        }
        if (ntp_handler_) ntp_handler_(info);
    }

    Entries::iterator Find(const std::string& guid) { return queue_.find(guid); }

    // The heartbeat wait must not keep the Impl alive, nor reach it once it is gone.
    void ArmHeartbeat(uint64_t generation) {
        heartbeat_timer_.expires_after(heartbeat_period_);
        std::weak_ptr<Impl> weak = shared_from_this();
        heartbeat_timer_.async_wait([weak, generation](const boost::system::error_code& error) {
            if (auto self = weak.lock()) self->HeartbeatTimerCb(error, generation);
        });
    }

    void HeartbeatTimerCb(const boost::system::error_code& error, uint64_t generation) {
        if (error || generation != heartbeat_generation_) return;  // stopped or restarted meanwhile
        SendHeartbeat();
        ArmHeartbeat(generation);
    }

    boost::asio::io_service& io_service_;
    kv::http::WorkQueue work_queue_;
    boost::asio::steady_timer heartbeat_timer_;
    boost::asio::steady_timer due_timer_;
    boost::asio::steady_timer outbox_timer_;
    Entries queue_;
    std::string heartbeat_payload_;
    uint64_t heartbeat_generation_ = 0;  // the running chain's; bumped by every start and stop
    NtpHandler ntp_handler_;

    std::mutex incoming_mutex_;
    std::vector<delivery::Payload> incoming_;  // guarded by incoming_mutex_
    bool intake_posted_ = false;               // guarded by incoming_mutex_
    std::string outbox_path_;                  // guarded by incoming_mutex_
    uint64_t next_key_ = 0;                    // guarded by incoming_mutex_

    std::chrono::milliseconds heartbeat_period_ = kHeartbeatPeriod;
    DeliveryPath primary_;
    DeliveryPath backup_;  // its endpoint is empty and the route ignores it unless configured
    delivery::DeliveryRoute route_;
    uint64_t delivered_on_backup_ = 0;    // alarms, since the primary last went down
    uint64_t delivered_maybe_twice_ = 0;  // alarms whose message went to the other path too
    delivery::DeliveryBacklog backlog_;
    delivery::DeliveryLog delivery_log_;
    boost::uuids::random_generator_mt19937 guid_generator_;  // network thread only
    size_t backlog_peak_ = 0;  // most payloads in memory since memory was last released
    size_t exchanges_ = 0;     // posted to the engine, callback not yet run
    size_t outbox_cap_ = kOutboxCap;
    bool outbox_down_ = false;  // reported, and being reopened on its back-off
    int outbox_attempts_ = 0;
    std::chrono::milliseconds reopen_base_ = kOutboxReopenBase;
    std::chrono::milliseconds reopen_cap_ = kOutboxReopenCap;
    std::chrono::milliseconds exchange_deadline_ = kv::http::kExchangeDeadline;
    std::chrono::seconds refusal_keep_ = delivery::RefusalTiming().keep;
    bool tidy_posted_ = false;
    bool timer_armed_ = false;
    delivery::TimePoint armed_for_{};
    bool abandoned_ = false;
};


SoapSequencer::SoapSequencer(boost::asio::io_service& io_service) : impl_(std::make_shared<Impl>(io_service)) {}

SoapSequencer::~SoapSequencer() = default;

// Writes from the caller's thread are posted, so that only the network thread ever
// touches the Impl's state; posting also keeps their order with the messages after them.
void SoapSequencer::UpdateServiceEndpoint(const std::string& url) {
    impl_->RunOnNetworkThread([url](Impl& impl) { impl.UpdateServiceEndpoint(url); });
}

void SoapSequencer::UpdateBackupEndpoint(const std::string& url) {
    impl_->RunOnNetworkThread([url](Impl& impl) { impl.UpdateBackupEndpoint(url); });
}

void SoapSequencer::UseOutbox(const std::string& path) {
    impl_->RequestOutbox(path);
}

void SoapSequencer::SendEventMessage(const std::string& method, const std::string& payload) {
    impl_->PostEventMessage(method, payload);
}

void SoapSequencer::StartHeartbeat(const std::string& payload) {
    impl_->RunOnNetworkThread([payload](Impl& impl) {
        impl.SetHeartBeatPayload(payload);
        impl.StartHeartbeat();
    });
}

void SoapSequencer::Abandon() { impl_->Abandon(); }

void SoapSequencer::StopHeartbeat() {
    impl_->RunOnNetworkThread([](Impl& impl) { impl.StopHeartbeat(); });
}

void SoapSequencer::RequestNtpInfo(const std::string& payload, NtpHandler handler) {
    impl_->RunOnNetworkThread([handler = std::move(handler)](Impl& impl) mutable {
        impl.SetNtpHandler(std::move(handler));
    });
    impl_->PostEventMessage(kNtpMethod, payload);
}

void SoapSequencer::SetTimingForTesting(std::chrono::milliseconds heartbeat_period,
                                        std::chrono::milliseconds retry_base, std::chrono::milliseconds retry_cap) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetTiming(heartbeat_period, retry_base, retry_cap); });
}

void SoapSequencer::SetSummaryPeriodForTesting(std::chrono::milliseconds period) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetSummaryPeriod(period); });
}

void SoapSequencer::SetWindowForTesting(size_t window) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetWindow(window); });
}

void SoapSequencer::SetOutboxCapForTesting(size_t cap) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetOutboxCap(cap); });
}

void SoapSequencer::SetRefusalTimingForTesting(std::chrono::seconds base, std::chrono::seconds cap,
                                               std::chrono::seconds keep) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetRefusalTiming(delivery::RefusalTiming{base, cap, keep}); });
}

void SoapSequencer::SetExchangeDeadlineForTesting(std::chrono::milliseconds deadline) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetExchangeDeadline(deadline); });
}

void SoapSequencer::SetOutboxReopenForTesting(std::chrono::milliseconds base, std::chrono::milliseconds cap) {
    impl_->RunOnNetworkThread([=](Impl& impl) { impl.SetOutboxReopen(base, cap); });
}

}  // namespace soap
}  // namespace kv
