#include "src/delivery_log.h"

#include <sstream>
#include <utility>

#include <boost/asio/steady_timer.hpp>

#include "common/logger.h"

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
        if (source.receiver_down()) {
            Log(ERROR, "Receiver still unreachable after " + Seconds(source.down_for()) + " s: " +
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
};

DeliveryLog::DeliveryLog(boost::asio::io_service& io_service, Source source)
    : state_(std::make_shared<State>(io_service, std::move(source))) {}

DeliveryLog::~DeliveryLog() { Stop(); }

void DeliveryLog::SetSummaryPeriod(std::chrono::milliseconds period) { state_->period = period; }

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

void DeliveryLog::Stop() { state_->Disarm(); }

}  // namespace delivery
}  // namespace kv
