// Reliable delivery of payloads to the alarm receiver.
//
// Every payload travels in a WS-ReliableMessaging (2005/02) sequence of its own, inside
// SOAP 1.2 envelopes with WS-Addressing 1.0 headers: CreateSequence, the application
// message (number 1), LastMessage (number 2). This unit builds those documents, reads
// the few texts it needs from the receiver's answers, and runs the exchanges.
//
// Parsers never throw: they log what they could not find at ERROR and fill their output
// references only as far as they got (they never clear them). Callers pass empty strings.
#ifndef WARDEX_SRC_SOAP_HELPER_H_
#define WARDEX_SRC_SOAP_HELPER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

#include "src/http_work_queue.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kv {
namespace soap {

// The receiver's time-server information. `error_code` is -1 when the answer carried no
// server address (the sequencer sets it; the parser does not).
struct NtpInfo {
    std::string ntp_server_ip;
    std::string ntp_server_port;
    std::string time_zone;
    std::string update_interval;
    int32_t error_code = 0;
};

using NtpHandler = std::function<void(const NtpInfo&)>;

// Writes into `prefix` the prefix (with its colon) of the first "xmlns:" declaration on
// `element` itself whose value begins with "http://" and contains `ns_fragment`; empty
// when there is none, so that names are then looked up bare. Both pointers are required.
void GetXMLNamespaceWithColon(tinyxml2::XMLElement* element, const char* ns_fragment, std::string& prefix);

// RelatesTo and the new sequence's Identifier of a CreateSequenceResponse.
void ParseCreateSequenceResponse(const char* data, size_t size, std::string& relates_to, std::string& sequence_id);
// RelatesTo and the method's result text (the body's first grandchild) of any method.
void ParseSendAlarmResponse(const char* data, size_t size, std::string& relates_to, std::string& result);
// Identifier of the header's SequenceAcknowledgement.
void ParseLastMessageResponse(const char* data, size_t size, std::string& sequence_id);
// The "wsa5:MessageID" text of one of our own request documents.
void ParseRequest(const std::string& message, std::string& message_id);

// Content-Type of every request; the action travels only in the addressing header.
extern const char* const kSoapContentType;

// An HTTP POST of `body` to `url`, tagged with `id` for the completion.
kv::http::Request MakeSoapRequest(const std::string& id, const std::string& url, std::shared_ptr<std::string> body);

// Unit-internal builders, declared here so that the tests can hold them to the wire
// text byte for byte. Each replaces `out` with the printed document.
namespace detail {
void MessageCreateSequence(const std::string& guid, const std::string& endpoint, std::string& out);
void MessageSendAlarm(const std::string& method, const std::string& payload, const std::string& endpoint,
                      const std::string& guid, const std::string& sequence_id, std::string& out);
void LastMessage(const std::string& endpoint, const std::string& guid, const std::string& sequence_id,
                 std::string& out);
// Copies the string members "NTPServerIP", "NTPServerPort", "TimeZone", "UpdateInterval"
// of a JSON object into `info`; anything else leaves `info` as it was. Logs nothing.
void ParseNtpInfo(const std::string& json_text, NtpInfo& info);
}  // namespace detail

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
