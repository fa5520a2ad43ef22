#include "src/delivery/delivery_log.h"

#include <sstream>
#include <utility>

#include <boost/asio/steady_timer.hpp>

#include "common/logger.h"
#include "common/string_util.h"

namespace kv {
namespace delivery {

namespace {

void Log(LoggerLevel level, const std::string& text) { logger::get_logger().log(level, text); }

// Seconds with one decimal: "600.0".
std::string Seconds(std::chrono::milliseconds duration) {
    std::ostringstream text;
    text << duration.count() / 1000 << "." << (duration.count() % 1000) / 100;
    return text.str();
}

void AbandonLine(const std::string& guid, const std::string& method, bool retried) {
    Log(ERROR, guid + ": Abandoning sequence " + method +
                   (retried ? " due to HTTP failure. Retry sending payload" : " due to HTTP failure. No retry."));
}

}  // namespace

struct DeliveryLog::State : std::enable_shared_from_this<DeliveryLog::State> {
    State(boost::asio::io_service& io_service, Source source_in) : timer(io_service), source(std::move(source_in)) {}

    void Arm() {
        if (armed) return;
        armed = true;
        const uint64_t serial = ++generation;
        timer.expires_after(period);
        std::weak_ptr<State> weak = shared_from_this();
        timer.async_wait([weak, serial](const boost::system::error_code& error) {
            auto self = weak.lock();
            // A wait cancelled (or replaced) after it had already expired still runs.
            if (!self || error || serial != self->generation) return;
            self->armed = false;
            self->Summary();
        });
    }

    void Disarm() {
        armed = false;
        ++generation;
        boost::system::error_code ignored;
        timer.cancel(ignored);
    }

    void Summary() {
        std::string refused_text;
        if (refused > 0) refused_text = ", " + std::to_string(refused) + " refused by the full outbox";
        if (source.refused && source.refused() > 0) {
            refused_text += ", " + std::to_string(source.refused()) + " refused by the receiver";
        }
        if (source.receiver_down()) {
            Log(ERROR, std::string(two_receivers ? "Both receivers" : "Receiver") + " still unreachable after " +
                           Seconds(source.down_for()) + " s: " +
                           std::to_string(source.waiting()) + " alarms wait" + refused_text);
        } else if (refused > 0) {
            Log(ERROR, "Outbox full: " + std::to_string(refused) + " alarms refused in the last period");
        } else {
            return;
        }
        refused = 0;
        Arm();
    }

    boost::asio::steady_timer timer;
    Source source;
    std::chrono::milliseconds period{60 * 1000};
    bool armed = false;
    uint64_t generation = 0;
    size_t refused = 0;  // alarms the full outbox refused since the last summary
    bool two_receivers = false;
};

DeliveryLog::DeliveryLog(boost::asio::io_service& io_service, Source source)
    : state_(std::make_shared<State>(io_service, std::move(source))) {}

DeliveryLog::~DeliveryLog() { Stop(); }

void DeliveryLog::SetSummaryPeriod(std::chrono::milliseconds period) { state_->period = period; }

void DeliveryLog::SetTwoReceivers(bool two) { state_->two_receivers = two; }

bool DeliveryLog::Quiet(bool path_down) const { return path_down; }

void DeliveryLog::CreateSequenceFailed(const std::string& guid, const std::string& url, int error, int status,
                                       bool path_down) {
    if (Quiet(path_down)) return;
    std::ostringstream text;
    text << guid << "CreateSequence call to " << url << " failed: (" << error << ")" << ". HTTP Status: " << status;
    Log(ERROR, text.str());
}

void DeliveryLog::PostFailed(const std::string& guid, int error, int status, bool path_down) {
    if (Quiet(path_down)) return;
    std::ostringstream text;
    text << guid << ": HTTP Post failed: (" << error << ")" << ". HTTP Status: " << status;
    Log(ERROR, text.str());
}

void DeliveryLog::LastMessageFailed(const std::string& guid, int error, int status, bool path_down) {
    if (Quiet(path_down)) return;
    std::ostringstream text;
    text << guid << ": Process LastMessage response. HTTP Post failed: (" << error << ")" << ". HTTP Status: " << status;
    Log(ERROR, text.str());
}

// A redirect is a wrong address the operator can correct, never one to follow.
void DeliveryLog::Redirected(const std::string& guid, int status, const std::string& location, bool path_down) {
    if (Quiet(path_down)) return;
    Log(ERROR, guid + ": the receiver redirects (HTTP Status " + std::to_string(status) + ", Location: " +
                   (location.empty() ? std::string("none") : cut_quoted_text(location)) +
                   "); redirects are not followed: correct service_endpoint");
}

void DeliveryLog::NotSoap(const std::string& guid, int status, const std::string& content_type, size_t bytes,
                          bool path_down) {
    if (Quiet(path_down)) return;
    Log(ERROR, guid + ": the answer is no SOAP envelope (HTTP Status " + std::to_string(status) + ", " +
                   (content_type.empty() ? std::string("no Content-Type") : cut_quoted_text(content_type)) + ", " +
                   std::to_string(bytes) + " bytes): the receiver did not take it");
}

void DeliveryLog::Abandoning(const std::string& guid, const std::string& method, bool retried, bool path_down) {
    if (Quiet(path_down)) return;
    AbandonLine(guid, method, retried);
}

void DeliveryLog::AbandoningRefused(const std::string& guid, const std::string& method) {
    AbandonLine(guid, method, false);
}

void DeliveryLog::AnswerTooLarge(const std::string& guid, const std::string& content_length, size_t limit,
                                 bool path_down) {
    if (Quiet(path_down)) return;
    const std::string size = content_length.empty() ? "more than " + std::to_string(limit) + " bytes"
                                                    : "Content-Length " + cut_quoted_text(content_length);
    Log(ERROR, guid + ": the answer is too large (" + size + ", at most " + std::to_string(limit) +
                   " bytes): the receiver did not take it");
}

void DeliveryLog::InvalidAnswer(const std::string& guid, bool application_step, const std::string& relates_to) {
    Log(ERROR, "Unexpected/Invalid XML response, abandoning request " + guid +
                   (application_step ? ", relates=" + cut_quoted_text(relates_to) : std::string()));
}

void DeliveryLog::Unmatched(const std::string& guid) { Log(INFO, "Couldn't find matching guid! " + guid); }

void DeliveryLog::SequenceUnmatched(const std::string& guid, const std::string& relates_to) {
    Log(WARNING, "Process CreateSequence response: Couldn't find matching guid " + guid + ", relatesTo=" +
                     cut_quoted_text(relates_to));
}

// Logged whatever the outcome was: the payload had already left.
void DeliveryLog::ApplicationAnswerUnmatched(const std::string& guid, int error, int status) {
    Log(WARNING, "Process SendAlarm response. Couldn't find matching guid " + guid);
    std::ostringstream text;
    text << guid << ": HTTP Post failed: (" << error << ")" << "Status: " << status;
    Log(ERROR, text.str());
}

void DeliveryLog::WindowFull(size_t count) {
    for (size_t i = 0; i < count; ++i) Log(WARNING, "Queue size limit reached. Omitting sequence.");
}

void DeliveryLog::RefusalKept(int64_t id, const std::string& reason, int64_t next_in_seconds) {
    Log(WARNING, "Outbox: alarm " + std::to_string(id) + " refused by the receiver (" + reason +
                     "); kept, next attempt in " + std::to_string(next_in_seconds) + " s");
}

void DeliveryLog::RefusalDropped(int64_t id, const std::string& method, const std::string& payload,
                                 const std::string& reason, std::chrono::seconds kept) {
    const long long seconds = kept.count();
    const std::string period = seconds % 86400 == 0 ? std::to_string(seconds / 86400) + " days"
                                                    : std::to_string(seconds) + " s";
    Log(ERROR, "Outbox: alarm " + std::to_string(id) + " dropped after " + period + " of refusals by the receiver (" +
                   reason + "): " + method + " " + payload);
}

void DeliveryLog::ReceiverDown(int error, int status) {
    std::ostringstream text;
    text << "Receiver unreachable (error " << error << ", HTTP status " << status << "): " << state_->source.waiting()
         << " alarms wait; one probe at a time until it answers";
    Log(ERROR, text.str());
    state_->Arm();
}

void DeliveryLog::ReceiverBack(std::chrono::milliseconds away, size_t moving) {
    Log(INFO, "Receiver answers again after " + Seconds(away) + " s: " + std::to_string(moving) +
                  " alarms waiting are moving");
    if (state_->refused == 0) state_->Disarm();
}

void DeliveryLog::PrimaryDown(int error, int status, size_t waiting, const std::string& backup_url) {
    std::ostringstream text;
    text << "Primary receiver unreachable (error " << error << ", HTTP status " << status << "): " << waiting
         << " alarms waiting go to the backup receiver " << backup_url << ", and so do new ones until the primary answers"
         << " its probe";
    Log(ERROR, text.str());
}

void DeliveryLog::BothDown(bool backup_failed, int error, int status, size_t waiting) {
    std::ostringstream text;
    text << (backup_failed ? "Backup" : "Primary") << " receiver unreachable (error " << error << ", HTTP status "
         << status << "), the " << (backup_failed ? "primary" : "backup") << " too: " << waiting
         << " alarms wait; one probe at a time on each until one answers";
    Log(ERROR, text.str());
    state_->Arm();
}

void DeliveryLog::PrimaryBack(std::chrono::milliseconds away, size_t waiting, uint64_t on_backup,
                              uint64_t maybe_twice) {
    Log(INFO, "Primary receiver answers again after " + Seconds(away) + " s: alarms return to it, " +
                  std::to_string(waiting) + " waiting are moving; " + std::to_string(on_backup) +
                  " were delivered on the backup meanwhile, " + std::to_string(maybe_twice) +
                  " since start may have reached both receivers");
    if (state_->refused == 0) state_->Disarm();
}

void DeliveryLog::BackupDown(int error, int status) {
    std::ostringstream text;
    text << "Backup receiver unreachable (error " << error << ", HTTP status " << status
         << "): alarms go to the primary; the backup is probed until it answers";
    Log(ERROR, text.str());
}

void DeliveryLog::BackupBack(std::chrono::milliseconds away, bool carrying, size_t waiting) {
    if (!carrying) {
        Log(INFO, "Backup receiver answers again after " + Seconds(away) + " s");
        return;
    }
    Log(INFO, "Backup receiver answers again after " + Seconds(away) + " s: the primary is still unreachable, " +
                  std::to_string(waiting) + " alarms waiting go to the backup");
    if (state_->refused == 0) state_->Disarm();
}

void DeliveryLog::RefusedByCap(size_t count, size_t cap) {
    if (count == 0) return;
    if (state_->refused == 0) {
        Log(ERROR, "Outbox full (" + std::to_string(cap) + " alarms): the newest alarms are refused");
    }
    state_->refused += count;
    state_->Arm();
}

void DeliveryLog::OutboxUnusable(const std::string& path, const std::string& reason) {
    Log(ERROR, "Outbox " + path + " unusable (" + reason + "): alarms are forwarded from memory only");
}

void DeliveryLog::OutboxSetAside(const std::string& path, const std::string& aside) {
    Log(ERROR, "Outbox " + path + " was damaged and is kept as " + aside + "; a fresh one is used");
}

void DeliveryLog::OutboxResumed(size_t count) {
    Log(INFO, "Outbox: " + std::to_string(count) + " alarms from the last run are delivered first");
}

void DeliveryLog::OutboxLeft(size_t count) {
    Log(INFO, "Outbox: " + std::to_string(count) + " alarms left for the next start");
}

void DeliveryLog::OutboxSalvaged(const std::string& path, const std::string& aside, size_t recovered,
                                 size_t unreadable) {
    OutboxSetAside(path, aside);
    if (recovered == 0 && unreadable == 0) return;
    Log(ERROR, "Outbox " + path + ": " + std::to_string(recovered) + " alarms recovered from the damaged file, " +
                   std::to_string(unreadable) + " rows could not be read");
}

void DeliveryLog::OutboxBack(const std::string& path, size_t stored_from_memory, size_t on_disk) {
    Log(INFO, "Outbox " + path + " usable again: " + std::to_string(stored_from_memory) +
                  " alarms held in memory stored, " + std::to_string(on_disk) + " alarms on disk");
}

void DeliveryLog::OutboxDamagedRows(const std::string& path, size_t count) {
    Log(ERROR, "Outbox " + path + ": " + std::to_string(count) +
                   " damaged alarms (checksum mismatch) set aside in its damaged table, not sent");
}

void DeliveryLog::OutboxLostAtStop(const std::string& path, const std::string& reason, size_t count) {
    Log(ERROR, "Outbox " + path + " unusable at the stop (" + reason + "): " + std::to_string(count) +
                   " alarms held in memory are lost");
}

void DeliveryLog::Stop() { state_->Disarm(); }

}  // namespace delivery
}  // namespace kv
