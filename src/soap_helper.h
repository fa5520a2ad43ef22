// Reliable delivery of payloads to the alarm receiver: the sequencer that runs each
// payload's exchanges (the documents and answer readers are in src/soap_messages.h).
#ifndef WARDEX_SRC_SOAP_HELPER_H_
#define WARDEX_SRC_SOAP_HELPER_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

#include "src/soap_messages.h"

namespace kv {
namespace soap {

// SoapSequencer: the one sender to the receiver.
//
// Every call returns at once and may come from any thread; the work runs on the thread
// that runs `io_service` (exactly one thread must run it). Each payload gets a fresh
// random UUID and its own three-step exchange; payloads are not ordered among each other.
//
// With an outbox (UseOutbox), every "SendAlarm" payload is stored before it is sent and
// deleted once the receiver has answered it usably (or it was given up); what a previous
// run left there is delivered first, oldest first, each in a new sequence. At most 20000
// payloads are held in memory (in progress or waiting); further alarms wait on disk and
// enter as places free. Of those in memory, only as many are started as keep the HTTP
// engine's connections busy; the others wait their turn, ready. Payloads that are not stored (and alarms without a usable outbox)
// are dropped with a WARNING when memory is full.
//
// A payload whose exchange fails on the HTTP level goes again as a new sequence after its
// own back-off (1 s doubling to 60 s, jittered); heartbeats are never retried. When the
// receiver as a whole fails, a circuit breaker holds every payload and sends one probe at
// a time, and the per-exchange ERROR lines give way to one line when it opens, one a
// minute, and one when the receiver answers again (see src/delivery_policy.h).
// Without an endpoint nothing is sent: alarms wait in the outbox.
//
// Pending work keeps the implementation alive past the handle. Destroy the handle only
// after the io_service has stopped running handlers (the HTTP engine requires the same).
class SoapSequencer {
public:
    explicit SoapSequencer(boost::asio::io_service& io_service);
    ~SoapSequencer();

    SoapSequencer(const SoapSequencer&) = delete;
    SoapSequencer& operator=(const SoapSequencer&) = delete;

    // The receiver URL used by every later request; delivery starts once it is known.
    void UpdateServiceEndpoint(const std::string& url);
    // Keeps alarms in the SQLite file at `path` (see src/outbox.h); logs at ERROR and
    // forwards from memory only when the file cannot be used. Call once, at start.
    void UseOutbox(const std::string& path);
    // Delivers `payload` under `method` ("SendAlarm", "SendRecorderInfo", ...).
    void SendEventMessage(const std::string& method, const std::string& payload);
    // Sends one heartbeat with `payload` now and one every period after, until stopped.
    // A chain already running is replaced, never doubled; after StopHeartbeat (in call
    // order) no heartbeat of an earlier start is sent, even if its timer had expired.
    void StartHeartbeat(const std::string& payload);
    void StopHeartbeat();
    // Replaces the handler, then asks the receiver for its time-server information. The
    // handler runs on the io_service thread for every answer, also an invalid one.
    void RequestNtpInfo(const std::string& payload, NtpHandler handler);

    // Gives up every payload in progress, the heartbeat and pending retries, and releases
    // what their exchanges hold; stored alarms stay in the outbox for the next start (an
    // INFO line gives their number). Only once the io_service no longer runs (the service
    // calls it after its threads have been joined); the sequencer sends nothing after it.
    void Abandon();

    // Test seam, never used by the service: shorter heartbeat period and retry back-off
    // (defaults 300 s, 1 s and 60 s). Takes effect for timers armed afterwards.
    void SetTimingForTesting(std::chrono::milliseconds heartbeat_period, std::chrono::milliseconds retry_base,
                             std::chrono::milliseconds retry_cap);
    // Test seams: the period of the summary line while the receiver is down (60 s), and
    // the number of payloads held in memory (20000).
    void SetSummaryPeriodForTesting(std::chrono::milliseconds period);
    void SetWindowForTesting(size_t window);
    // Test seam: the most alarms the outbox keeps (1000000). Before UseOutbox.
    void SetOutboxCapForTesting(size_t cap);

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace soap
}  // namespace kv

#endif  // WARDEX_SRC_SOAP_HELPER_H_
