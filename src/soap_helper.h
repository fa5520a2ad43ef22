// Reliable delivery of payloads to the alarm receiver: the sequencer that runs each
// payload's exchanges (the documents and answer readers are in src/soap/soap_messages.h).
#ifndef WARDEX_SRC_SOAP_HELPER_H_
#define WARDEX_SRC_SOAP_HELPER_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

#include "src/soap/soap_messages.h"

namespace kv {
namespace soap {

// How a sequencer is built, in the manner of leveldb::Options: the service uses the
// defaults; tests shorten the times and shrink the sizes.
struct SequencerOptions {
    std::chrono::milliseconds heartbeat_period{300 * 1000};
    // A payload's retry back-off, and the probe's while a receiver is down.
    std::chrono::milliseconds retry_base{1000};
    std::chrono::milliseconds retry_cap{60 * 1000};
    // The summary line while the receiver is down.
    std::chrono::milliseconds summary_period{60 * 1000};
    size_t window = 20000;        // payloads held in memory
    size_t outbox_cap = 1000000;  // alarms the outbox keeps
    // How long a refused alarm waits (doubling to the cap), and is kept.
    std::chrono::seconds refusal_base{15 * 60};
    std::chrono::seconds refusal_cap{6 * 60 * 60};
    std::chrono::seconds refusal_keep{7 * 24 * 60 * 60};
    // The back-off of reopening a failed outbox.
    std::chrono::milliseconds reopen_base{1000};
    std::chrono::milliseconds reopen_cap{60 * 1000};
    // Every exchange's overall deadline.
    std::chrono::milliseconds exchange_deadline{30 * 1000};
};

// What the delivery has done and holds, for the status line. Read from any thread.
struct SequencerStats {
    uint64_t delivered = 0;          // alarms the receiver acknowledged since start
    uint64_t waiting = 0;            // alarms stored or in memory, not yet acknowledged
    uint64_t refused = 0;            // alarms the receiver refused, kept for a later attempt
    bool receiver_reachable = true;  // false while the (primary) receiver counts as down
    bool backup_configured = false;
    bool backup_reachable = true;    // false while the backup counts as down
};

// SoapSequencer: the one sender to the receiver.
//
// Every call returns at once and may come from any thread; the work runs on the thread
// that runs `io_service` (exactly one thread must run it). Each payload gets a fresh
// random UUID and its own three-step exchange; payloads are not ordered among each other.
//
// With an outbox (UseOutbox), every "SendAlarm" payload is stored before it is sent, and
// it leaves the outbox only once the receiver has answered its application message with
// a result. Every other outcome keeps it (see src/soap/answer_class.h for how an answer is
// read): a failure (transport, redirect, 5xx, no SOAP envelope) sends it again as a new
// sequence after its own back-off (1 s doubling to 60 s, jittered), and one whose answer
// was overdue is waited on up to the exchange deadline from then on; a well-formed refusal
// keeps it stored, tried again after 15 minutes doubling to 6 hours and at every start,
// and dropped with an ERROR only after 7 days. Heartbeats are never retried, and what is
// not stored is given up on a refusal. What a previous run left is delivered first,
// oldest first, each in a new sequence. At most 20000 payloads are held in memory;
// further alarms wait on disk and enter as places free; payloads that are not stored are
// dropped with a WARNING when memory is full.
//
// An outbox that fails (a full disk, an I/O error) is reported once and opened again on a
// back-off (1 s doubling to 60 s); meanwhile alarms are held in memory and written to it
// as soon as it works. A damaged file is salvaged (see src/outbox/outbox.h).
//
// The decisions are src/delivery/courier.h's; this class runs its commands on asio, the
// HTTP engine, the outbox and the logger.
//
// When the receiver as a whole fails, a circuit breaker holds every payload and sends one
// probe at a time, and the per-exchange ERROR lines give way to one line when it opens,
// one a minute, and one when the receiver answers again (src/delivery/delivery_policy.h and
// src/delivery/delivery_log.h). Without an endpoint nothing is sent: alarms wait in the outbox.
//
// Pending work keeps the implementation alive past the handle. Destroy the handle only
// after the io_service has stopped running handlers (the HTTP engine requires the same).
class SoapSequencer {
public:
    explicit SoapSequencer(boost::asio::io_service& io_service, const SequencerOptions& options = SequencerOptions());
    ~SoapSequencer();

    SoapSequencer(const SoapSequencer&) = delete;
    SoapSequencer& operator=(const SoapSequencer&) = delete;

    // The receiver URL used by every later request; delivery starts once it is known.
    void UpdateServiceEndpoint(const std::string& url);
    // A second receiver of the same service, with its own breaker, probe and watch. Alarms,
    // the recorder information and the time request go to it while the primary counts as
    // down, and return to the primary as soon as it answers its probe; each heartbeat goes
    // to both (see src/delivery/delivery_route.h). Without this call nothing of it exists.
    void UpdateBackupEndpoint(const std::string& url);
    // Keeps alarms in the SQLite file at `path` (see src/outbox/outbox.h); logs at ERROR and
    // forwards from memory only when the file cannot be used. Call once, at start.
    void UseOutbox(const std::string& path);
    // Delivers `payload` under `method` ("SendAlarm", "SendRecorderInfo", ...).
    void SendEventMessage(const std::string& method, const std::string& payload);
    // Sends one heartbeat with `payload` now and one every period after, until stopped.
    // A chain already running is replaced, never doubled; after StopHeartbeat (in call
    // order) no heartbeat of an earlier start is sent.
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

    // Any thread; as of the last event the network thread handled.
    SequencerStats Stats() const;

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace soap
}  // namespace kv

#endif  // WARDEX_SRC_SOAP_HELPER_H_
