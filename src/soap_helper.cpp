#include "src/soap_helper.h"

#include <malloc.h>

#include <strings.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "common/logger.h"
#include "common/string_util.h"
#include "src/soap/answer_class.h"
#include "src/delivery/courier.h"
#include "src/delivery/delivery_log.h"
#include "src/outbox/outbox.h"
#include "src/delivery/reachability_watch.h"

namespace kv {
namespace soap {

namespace {

using delivery::NoteKind;
using delivery::PathId;

void Log(LoggerLevel level, const std::string& text) { logger::get_logger().log(level, text); }

// New sequences are started only while fewer exchanges than this are with the HTTP
// engine; the rest of the window waits in the courier's ready line. Four exchanges per
// connection keep every connection busy, while a window started at once would hold
// twenty thousand requests, their handles and their LastMessages in the engine.
constexpr size_t kMaxExchangesInEngine = 4 * static_cast<size_t>(kv::http::kMaxConnectionsPerHost);

// The last value of a header (the last answer's), whatever the case of its name, or "".
std::string HeaderValue(const kv::http::Header& headers, const char* name) {
    for (const auto& field : headers) {
        if (field.second.empty() || field.first.size() != std::strlen(name)) continue;
        if (::strncasecmp(field.first.c_str(), name, field.first.size()) == 0) return field.second.back();
    }
    return std::string();
}

delivery::CourierOptions CourierOptionsFrom(const SequencerOptions& options) {
    delivery::CourierOptions courier;
    courier.window = options.window;
    courier.max_in_engine = kMaxExchangesInEngine;
    courier.heartbeat_period = options.heartbeat_period;
    courier.retry_base = options.retry_base;
    courier.retry_cap = options.retry_cap;
    courier.refusal_base = options.refusal_base;
    courier.refusal_cap = options.refusal_cap;
    courier.refusal_keep = options.refusal_keep;
    courier.reopen_base = options.reopen_base;
    courier.reopen_cap = options.reopen_cap;
    courier.exchange_deadline = options.exchange_deadline;
    courier.seed = std::random_device{}();
    return courier;
}

}  // namespace

// The driver: takes events from the callers' threads, the HTTP engine and the timers to
// the courier on the network thread, and carries out the commands it answers with.
class SoapSequencer::Impl : public std::enable_shared_from_this<SoapSequencer::Impl> {
public:
    Impl(boost::asio::io_service& io_service, const SequencerOptions& options)
        : io_service_(io_service), options_(options), work_queue_(io_service), timer_(io_service),
          primary_watch_(io_service), backup_watch_(io_service),
          courier_(CourierOptionsFrom(options)),
          delivery_log_(io_service, delivery::DeliveryLog::Source{
                                        [this] { return courier_.Stats().waiting; },
                                        [this] { return AllDown(); },
                                        [this] { return courier_.Stats().down_for; },
                                        [this] { return courier_.Stats().refused; }}) {
        delivery_log_.SetSummaryPeriod(options.summary_period);
    }

    // Any thread. Payloads that arrive together are taken (and stored) together.
    void PostEventMessage(const std::string& method, const std::string& payload) {
        delivery::PayloadKind kind;
        if (!delivery::KindFromMethod(method, kind)) {
            Log(ERROR, "Unknown method " + method + ": payload not sent");
            return;
        }
        bool post = false;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            incoming_.push_back(delivery::Incoming{kind, payload});
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
        io_service_.post([self, work = std::move(work)]() mutable {
            if (!self->abandoned_) work(*self);
        });
    }

    // Records the path on the caller's thread, so that a stop that comes before the
    // network thread opened the file still finds it (see Abandon).
    void RequestOutbox(const std::string& path) {
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            outbox_path_ = path;
        }
        RunOnNetworkThread([path](Impl& impl) { impl.OpenOutbox(path); });
    }

    void OpenOutbox(const std::string& path) {
        if (courier_.outbox() != nullptr) return;
        Event([&](delivery::Commands& out) {
            courier_.UseOutbox(Now(), std::make_unique<Outbox>(path, options_.outbox_cap), out);
        });
    }

    void SetEndpoint(PathId path, const std::string& url) {
        endpoints_[delivery::Index(path)] = url;
        if (path == PathId::kBackup) delivery_log_.SetTwoReceivers(true);
        Event([&](delivery::Commands& out) { courier_.SetEndpoint(Now(), path, url, out); });
    }

    void StartHeartbeat(const std::string& payload) {
        Event([&](delivery::Commands& out) { courier_.StartHeartbeat(Now(), payload, out); });
    }

    void StopHeartbeat() {
        Event([&](delivery::Commands& out) { courier_.StopHeartbeat(Now(), out); });
    }

    void SetNtpHandler(NtpHandler handler) { ntp_handler_ = std::move(handler); }

    // Only once the io_service no longer runs: what never reached the outbox is stored,
    // and the queued deletes are written, so that the count it logs is the truth.
    void Abandon() {
        std::vector<delivery::Incoming> incoming;
        std::string outbox_path;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            incoming.swap(incoming_);
            outbox_path = outbox_path_;
        }
        boost::system::error_code ignored;
        timer_.cancel(ignored);
        if (!abandoned_) {
            // A stop before the network thread ran its first handlers: the alarms that
            // came in meanwhile still belong on disk.
            if (!outbox_path.empty()) OpenOutbox(outbox_path);
            Event([&](delivery::Commands& out) { courier_.Abandon(Now(), std::move(incoming), out); });
        }
        abandoned_ = true;
        primary_watch_.Stop();
        backup_watch_.Stop();
        delivery_log_.Stop();
        work_queue_.Abandon();
    }

    SequencerStats Stats() const {
        SequencerStats stats;
        stats.delivered = delivered_.load(std::memory_order_relaxed);
        stats.waiting = waiting_.load(std::memory_order_relaxed);
        stats.refused = refused_.load(std::memory_order_relaxed);
        stats.receiver_reachable = receiver_reachable_.load(std::memory_order_relaxed);
        stats.backup_configured = backup_configured_.load(std::memory_order_relaxed);
        stats.backup_reachable = backup_reachable_.load(std::memory_order_relaxed);
        return stats;
    }

private:
    static delivery::Instant Now() {
        return delivery::Instant{delivery::Clock::now(), static_cast<int64_t>(::time(nullptr))};
    }

    bool AllDown() const {
        const delivery::CourierStats stats = courier_.Stats();
        return !stats.primary_reachable && (!stats.backup_configured || !stats.backup_reachable);
    }

    // One event of the courier, then its commands.
    template <typename Call>
    void Event(Call call) {
        commands_.clear();
        commands_.verbose = logger::get_logger().enabled(VERBOSE);
        call(commands_);
        Carry(commands_);
    }

    void Intake() {
        std::vector<delivery::Incoming> incoming;
        {
            std::lock_guard<std::mutex> lock(incoming_mutex_);
            incoming.swap(incoming_);
            intake_posted_ = false;
        }
        if (abandoned_) return;
        Event([&](delivery::Commands& out) { courier_.Intake(Now(), std::move(incoming), out); });
    }

    void Carry(delivery::Commands& commands) {
        // The event has happened: the counters say so before any line about it is written.
        UpdateStats();
        // Moved out first: a command may run another event (never today, but cheaply safe).
        std::vector<delivery::Command> list;
        list.swap(commands.list);
        const std::optional<delivery::TimePoint> wake = commands.wake;
        const bool tidy = commands.tidy;
        for (delivery::Command& command : list) {
            if (auto* send = std::get_if<delivery::Send>(&command)) {
                Post(*send);
            } else if (auto* note = std::get_if<delivery::Note>(&command)) {
                Write(*note);
            } else if (auto* watch = std::get_if<delivery::Watch>(&command)) {
                StartWatch(*watch);
            } else if (auto* stop = std::get_if<delivery::StopWatch>(&command)) {
                WatchOf(stop->path).Stop();
            } else if (auto* info = std::get_if<delivery::TimeInfo>(&command)) {
                DeliverNtpInfo(info->guid, info->result);
            } else if (std::holds_alternative<delivery::ReleaseMemory>(command)) {
                ::malloc_trim(0);
            }
        }
        if (wake) ArmTimer(*wake);
        if (tidy) {
            auto self = shared_from_this();
            io_service_.post([self] {
                if (self->abandoned_) return;
                self->Event([&](delivery::Commands& out) { self->courier_.OnTidy(Now(), out); });
            });
        }
    }

    void UpdateStats() {
        const delivery::CourierStats stats = courier_.Stats();
        delivered_.store(stats.delivered, std::memory_order_relaxed);
        waiting_.store(stats.waiting, std::memory_order_relaxed);
        refused_.store(stats.refused, std::memory_order_relaxed);
        receiver_reachable_.store(stats.primary_reachable, std::memory_order_relaxed);
        backup_configured_.store(stats.backup_configured, std::memory_order_relaxed);
        backup_reachable_.store(stats.backup_reachable, std::memory_order_relaxed);
    }

    // The heartbeat, the retries, the probes and the outbox's reopening share one timer;
    // its wait must not keep the Impl alive.
    void ArmTimer(delivery::TimePoint at) {
        timer_.expires_at(at);
        std::weak_ptr<Impl> weak = shared_from_this();
        timer_.async_wait([weak](const boost::system::error_code& error) {
            auto self = weak.lock();
            if (!self || error == boost::asio::error::operation_aborted || self->abandoned_) return;
            self->Event([&](delivery::Commands& out) { self->courier_.OnTimer(Now(), out); });
        });
    }

    delivery::ReachabilityWatch& WatchOf(PathId path) {
        return path == PathId::kPrimary ? primary_watch_ : backup_watch_;
    }

    void StartWatch(const delivery::Watch& watch) {
        std::weak_ptr<Impl> weak = shared_from_this();
        const PathId path = watch.path;
        WatchOf(path).Start(watch.url, watch.period, watch.known_down, [weak, path] {
            auto self = weak.lock();
            if (!self || self->abandoned_) return;
            self->Event([&](delivery::Commands& out) { self->courier_.OnPathLooksBack(Now(), path, out); });
        });
    }

    void Post(const delivery::Send& send) {
        const std::string& endpoint = endpoints_[delivery::Index(send.path)];
        auto body = std::make_shared<std::string>();
        switch (send.step) {
            case Step::kCreateSequence:
                detail::MessageCreateSequence(send.guid, endpoint, *body);
                break;
            case Step::kApplicationMessage:
                detail::MessageSendAlarm(delivery::MethodName(send.kind), *send.payload, endpoint, send.guid,
                                         send.sequence_id, *body);
                break;
            case Step::kLastMessage:
                detail::LastMessage(endpoint, send.guid, send.sequence_id, *body);
                break;
        }
        kv::http::Request request = MakeSoapRequest(send.guid, endpoint, std::move(body));
        request.options.deadline = options_.exchange_deadline;
        request.options.patient = send.patient;
        auto self = shared_from_this();
        const Step step = send.step;
        const PathId path = send.path;
        work_queue_.Post(std::move(request), [self, step, path](const kv::http::Request& request,
                                                                kv::http::Response& response,
                                                                const kv::http::Error& error) {
            self->OnAnswer(step, path, request, response, error);
        });
    }

    // Every answer: classified here, judged by the courier.
    void OnAnswer(Step step, PathId path, const kv::http::Request& request, const kv::http::Response& response,
                  const kv::http::Error& error) {
        if (abandoned_) return;
        delivery::Reply reply;
        reply.guid = request.id;
        reply.step = step;
        reply.path = path;
        reply.error = kv::http::AsValue(error.Code());
        reply.status = kv::http::AsValue(response.status);
        reply.answer = ClassifyAnswer(step, error.Code(), reply.status, response.body);
        const Outcome outcome = reply.answer.outcome;
        if (outcome == Outcome::kReceiverFailure || outcome == Outcome::kPayloadFailure) {
            if (response.bodyOverLimit) {
                reply.body_over_limit = true;
                reply.content_length = HeaderValue(response.headers, "Content-Length");
                reply.body_limit = request.options.maxBodyBytes;
            }
            if (IsRedirect(reply.status)) reply.location = HeaderValue(response.headers, "Location");
            reply.content_type = HeaderValue(response.headers, "Content-Type");
            reply.body_bytes = response.body.size();
        }
        // Timed out once the request had gone out: the receiver was given the payload and
        // did not answer in time.
        reply.answer_overdue = error.Code() == kv::http::ErrorCode::OperationTimedout && response.connectTime.count() > 0;
        Event([&](delivery::Commands& out) { courier_.OnReply(Now(), reply, out); });
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

    // A note's words.
    void Write(const delivery::Note& note) {
        using delivery::DeliveryLog;
        const std::string& guid = note.guid;
        const std::string method = delivery::MethodName(note.payload_kind);
        switch (note.kind) {
            case NoteKind::kStartingHeartbeat:
                Log(VERBOSE, "Starting heartbeat");
                return;
            case NoteKind::kCreatingSequence:
                Log(VERBOSE, guid + ": Creating sequence with method " + method);
                Log(VERBOSE, guid + ": Payload: " + *note.payload);
                return;
            case NoteKind::kRequest:
                Log(VERBOSE, guid + ": " + method + " request to " + note.url);
                return;
            case NoteKind::kResponse:
                Log(VERBOSE, guid + ": " + method + " response " + cut_quoted_text(note.text));
                Log(VERBOSE, guid + ": Posting LastMessage request");
                return;
            case NoteKind::kPayloadDone:
                Log(VERBOSE, guid + ": Payload done. Queue size=" + std::to_string(note.count));
                return;
            case NoteKind::kLastMessageDone:
                Log(VERBOSE, guid + ": LastMessage successful");
                return;
            case NoteKind::kCreateSequenceFailed:
                delivery_log_.CreateSequenceFailed(guid, note.url, note.error, note.status);
                return;
            case NoteKind::kPostFailed:
                delivery_log_.PostFailed(guid, note.error, note.status);
                return;
            case NoteKind::kLastMessageFailed:
                delivery_log_.LastMessageFailed(guid, note.error, note.status);
                return;
            case NoteKind::kAnswerTooLarge:
                delivery_log_.AnswerTooLarge(guid, note.text, note.count);
                return;
            case NoteKind::kRedirected:
                delivery_log_.Redirected(guid, note.status, note.text);
                return;
            case NoteKind::kNotSoap:
                delivery_log_.NotSoap(guid, note.status, note.text, note.count);
                return;
            case NoteKind::kAbandoning:
                delivery_log_.Abandoning(guid, method, note.flag);
                return;
            case NoteKind::kAbandoningRefused:
                delivery_log_.AbandoningRefused(guid, method);
                return;
            case NoteKind::kInvalidAnswer:
                DeliveryLog::InvalidAnswer(guid, note.flag, note.text);
                return;
            case NoteKind::kUnmatched:
                DeliveryLog::Unmatched(guid);
                return;
            case NoteKind::kSequenceUnmatched:
                DeliveryLog::SequenceUnmatched(guid, note.text);
                return;
            case NoteKind::kApplicationUnmatched:
                DeliveryLog::ApplicationAnswerUnmatched(guid, note.error, note.status);
                return;
            case NoteKind::kWindowFull:
                DeliveryLog::WindowFull(note.count);
                return;
            case NoteKind::kRefusedByCap:
                delivery_log_.RefusedByCap(note.count, static_cast<size_t>(note.number));
                return;
            case NoteKind::kRefusalKept:
                DeliveryLog::RefusalKept(note.id, note.text, note.number);
                return;
            case NoteKind::kRefusalDropped:
                DeliveryLog::RefusalDropped(note.id, method, *note.payload, note.text, std::chrono::seconds(note.number));
                return;
            case NoteKind::kReceiverDown:
                delivery_log_.ReceiverDown(note.error, note.status);
                return;
            case NoteKind::kReceiverBack:
                delivery_log_.ReceiverBack(note.away, note.count);
                return;
            case NoteKind::kPrimaryDown:
                delivery_log_.PrimaryDown(note.error, note.status, note.count, note.url);
                return;
            case NoteKind::kBothDown:
                delivery_log_.BothDown(note.flag, note.error, note.status, note.count);
                return;
            case NoteKind::kPrimaryBack:
                delivery_log_.PrimaryBack(note.away, note.count, static_cast<uint64_t>(note.number),
                                          static_cast<uint64_t>(note.id));
                return;
            case NoteKind::kBackupDown:
                delivery_log_.BackupDown(note.error, note.status);
                return;
            case NoteKind::kBackupBack:
                delivery_log_.BackupBack(note.away, note.flag, note.count);
                return;
            case NoteKind::kOutboxUnusable:
                DeliveryLog::OutboxUnusable(note.url, note.text);
                return;
            case NoteKind::kOutboxResumed:
                DeliveryLog::OutboxResumed(note.count);
                return;
            case NoteKind::kOutboxLeft:
                DeliveryLog::OutboxLeft(note.count);
                return;
            case NoteKind::kOutboxSalvaged:
                DeliveryLog::OutboxSalvaged(note.url, note.text, note.count, static_cast<size_t>(note.number));
                return;
            case NoteKind::kOutboxBack:
                DeliveryLog::OutboxBack(note.url, note.count, static_cast<size_t>(note.number));
                return;
            case NoteKind::kOutboxDamagedRows:
                DeliveryLog::OutboxDamagedRows(note.url, note.count);
                return;
            case NoteKind::kOutboxLostAtStop:
                DeliveryLog::OutboxLostAtStop(note.url, note.text, note.count);
                return;
        }
    }

    boost::asio::io_service& io_service_;
    const SequencerOptions options_;
    kv::http::WorkQueue work_queue_;
    boost::asio::steady_timer timer_;
    delivery::ReachabilityWatch primary_watch_;
    delivery::ReachabilityWatch backup_watch_;
    delivery::Courier courier_;
    delivery::DeliveryLog delivery_log_;
    delivery::Commands commands_;
    std::string endpoints_[2];
    NtpHandler ntp_handler_;
    bool abandoned_ = false;

    std::mutex incoming_mutex_;
    std::vector<delivery::Incoming> incoming_;  // guarded by incoming_mutex_
    bool intake_posted_ = false;                // guarded by incoming_mutex_
    std::string outbox_path_;                   // guarded by incoming_mutex_

    // The courier's stats as of its last event, for other threads.
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> waiting_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<bool> receiver_reachable_{true};
    std::atomic<bool> backup_configured_{false};
    std::atomic<bool> backup_reachable_{true};
};

SoapSequencer::SoapSequencer(boost::asio::io_service& io_service, const SequencerOptions& options)
    : impl_(std::make_shared<Impl>(io_service, options)) {}

SoapSequencer::~SoapSequencer() = default;

// Writes from the caller's thread are posted, so that only the network thread ever
// touches the courier; posting also keeps their order with the messages after them.
void SoapSequencer::UpdateServiceEndpoint(const std::string& url) {
    impl_->RunOnNetworkThread([url](Impl& impl) { impl.SetEndpoint(PathId::kPrimary, url); });
}

void SoapSequencer::UpdateBackupEndpoint(const std::string& url) {
    impl_->RunOnNetworkThread([url](Impl& impl) { impl.SetEndpoint(PathId::kBackup, url); });
}

void SoapSequencer::UseOutbox(const std::string& path) { impl_->RequestOutbox(path); }

void SoapSequencer::SendEventMessage(const std::string& method, const std::string& payload) {
    impl_->PostEventMessage(method, payload);
}

void SoapSequencer::StartHeartbeat(const std::string& payload) {
    impl_->RunOnNetworkThread([payload](Impl& impl) { impl.StartHeartbeat(payload); });
}

void SoapSequencer::StopHeartbeat() {
    impl_->RunOnNetworkThread([](Impl& impl) { impl.StopHeartbeat(); });
}

void SoapSequencer::RequestNtpInfo(const std::string& payload, NtpHandler handler) {
    impl_->RunOnNetworkThread([handler = std::move(handler)](Impl& impl) mutable {
        impl.SetNtpHandler(std::move(handler));
    });
    impl_->PostEventMessage(delivery::MethodName(delivery::PayloadKind::kTimeRequest), payload);
}

void SoapSequencer::Abandon() { impl_->Abandon(); }

SequencerStats SoapSequencer::Stats() const { return impl_->Stats(); }

}  // namespace soap
}  // namespace kv
