// kv::delivery::Courier: every decision of the delivery to the alarm receiver, as a state
// machine driven by events and answering with commands.
//
// The courier decides: which payloads are taken in (the window, what is parked while the
// outbox is down), each payload's three steps, its retries and refusals (and the 7-day
// rule), the breaker of each receiver and the route between primary and backup, the
// heartbeat and its period, the reopening of a failed outbox and the refill from disk.
//
// It reads no clock, starts no thread, opens no socket and writes no log line. Its owner
// (the sequencer on asio; the simulation on simulated time) calls one event method at a
// time and carries out the commands it appends to `out`:
//   - Send: post that step of that payload to that receiver; hand its answer back, once
//     classified (src/soap/answer_class.h), with OnReply. Every Send gets exactly one OnReply,
//     unless the owner abandons.
//   - Note: one log line (or a VERBOSE one), already filtered by the quiet rule: every
//     note is to be written; its words are the owner's (src/delivery/delivery_log.h).
//   - Watch / StopWatch: watch a receiver's port; call OnPathLooksBack when it accepts.
//   - TimeInfo: the receiver's answer to a time request, for the NTP handler.
//   - ReleaseMemory: nothing is in progress after a large backlog; trim the allocator.
// and, beside the list:
//   - `wake`: call OnTimer at (or after) this time; a later `wake` replaces an earlier one.
//     The courier never asks to be woken "now" again and again.
//   - `tidy`: call OnTidy once the current batch of events (an io_service turn) is over;
//     deletes of payloads finished in one turn then go to disk in one transaction.
//
// Time comes in with every event as an Instant: a steady time point for back-offs,
// breakers and timers, and wall-clock seconds for what is stored (refusals and their
// 7-day rule hold across restarts). Each event's Instant is not earlier than the last.
//
// The outbox is the one thing the courier touches directly: it is handed over at
// UseOutbox and called synchronously; its Status results are the "operation done or
// failed" events. A failed operation closes it, and the courier opens it again on its
// own back-off (at OnTimer). Hand over an Outbox on the fault VFS to inject I/O faults.
//
// Not thread-safe: one owner thread.
#ifndef WARDEX_SRC_DELIVERY_COURIER_H_
#define WARDEX_SRC_DELIVERY_COURIER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "src/delivery/answer.h"
#include "src/delivery/payload_kind.h"
#include "src/delivery/delivery_policy.h"
#include "src/delivery/delivery_route.h"
#include "src/http_work_queue.h"
#include "src/outbox/outbox.h"

namespace kv {
namespace delivery {

// Now, as the owner's clocks tell it.
struct Instant {
    TimePoint steady{};   // back-offs, breakers, timers
    int64_t wall = 0;     // seconds since the epoch: refusals, kept on disk
};

struct CourierOptions {
    size_t window = 20000;             // payloads held in memory
    size_t max_in_engine = 256;        // exchanges handed to the HTTP engine at once
    std::chrono::milliseconds heartbeat_period{300 * 1000};
    std::chrono::milliseconds retry_base{1000};   // a payload's own back-off, and the probe's
    std::chrono::milliseconds retry_cap{60 * 1000};
    std::chrono::seconds refusal_base{15 * 60};   // a refused alarm's next attempt
    std::chrono::seconds refusal_cap{6 * 60 * 60};
    std::chrono::seconds refusal_keep{7 * 24 * 60 * 60};  // then dropped with an ERROR
    std::chrono::milliseconds reopen_base{1000};  // a failed outbox is opened again
    std::chrono::milliseconds reopen_cap{60 * 1000};
    // The longest one exchange may take; a payload whose answer never came in time is
    // waited on up to this long at its next attempts (Send::patient).
    std::chrono::milliseconds exchange_deadline{30 * 1000};
    // A path whose patient attempt was answered after an overdue one is slow, not gone:
    // for this long every send on it is patient and its overdue answers do not count
    // toward its breaker. Then its first attempts are quick again, so that a stall is
    // noticed within seconds.
    std::chrono::milliseconds slow_path_for{5 * 60 * 1000};
    // A path that answers heartbeats but fails alarms gets the route back at most once
    // per this interval, doubled while it keeps failing them.
    std::chrono::milliseconds route_return_base{10 * 1000};
    std::chrono::milliseconds route_return_cap{10 * 60 * 1000};
    uint32_t seed = 1;                 // guids and jitter: same seed, same run
};

// --- Events' data ------------------------------------------------------------------------

struct Incoming {
    PayloadKind kind = PayloadKind::kAlarm;
    std::string payload;
};

// One step's answer, as the owner read it.
struct Reply {
    std::string guid;              // Send::guid
    soap::Step step = soap::Step::kCreateSequence;
    PathId path = PathId::kPrimary;
    soap::Answer answer;           // ClassifyAnswer's verdict
    int error = 0;                 // kv::http::ErrorCode as a value; 0: the exchange completed
    int status = 0;                // HTTP status; 0: none
    bool answer_overdue = false;   // it timed out after the request had been sent in full
    std::string location;          // Location of a redirect
    std::string content_type;      // Content-Type, for an answer that is no SOAP envelope
    size_t body_bytes = 0;
    bool body_over_limit = false;  // the answer was longer than the engine keeps
    std::string content_length;    // its Content-Length, as announced
    size_t body_limit = 0;         // the most the engine keeps
};

// --- Commands ----------------------------------------------------------------------------

struct Send {
    std::string guid;
    soap::Step step = soap::Step::kCreateSequence;
    PathId path = PathId::kPrimary;
    PayloadKind kind = PayloadKind::kAlarm;
    std::shared_ptr<const std::string> payload;  // the application message's content
    std::string sequence_id;                     // empty for the CreateSequence
    // False: the engine's usual give-up on a receiver that stalls (seconds). True: wait
    // for the answer up to the exchange deadline (the last attempt's answer was overdue).
    bool patient = false;
};

enum class NoteKind {
    // VERBOSE
    kStartingHeartbeat,
    kCreatingSequence,      // guid, kind, payload
    kRequest,               // guid, kind, url
    kResponse,              // guid, kind, text (the result); then "Posting LastMessage"
    kPayloadDone,           // guid, count (payloads in progress before this one left)
    kLastMessageDone,       // guid
    // per exchange, written only while the path is not counted down
    kCreateSequenceFailed,  // guid, url, error, status
    kPostFailed,            // guid, error, status
    kLastMessageFailed,     // guid, error, status
    kRedirected,            // guid, status, text (Location)
    kNotSoap,               // guid, status, text (Content-Type), count (bytes)
    kAbandoning,            // guid, kind, flag (retried)
    // answers
    kAbandoningRefused,     // guid, kind
    kInvalidAnswer,         // guid, flag (application step), text (relates-to)
    kUnmatched,             // guid
    kSequenceUnmatched,     // guid, text (relates-to)
    kApplicationUnmatched,  // guid, error, status
    kWindowFull,            // count
    kRefusedByCap,          // count, number (the cap)
    kRefusalKept,           // id, text (reason), number (seconds to the next attempt)
    kRefusalDropped,        // id, kind, payload, text (reason), number (seconds kept)
    // the route
    kReceiverDown,          // error, status
    kReceiverBack,          // away, count (moving)
    kPrimaryDown,           // error, status, count (waiting), url (the backup's)
    kBothDown,              // flag (the backup failed last), error, status, count (waiting)
    kPrimaryBack,           // away, count (moving), number (on the backup), id (maybe twice)
    kBackupDown,            // error, status
    kBackupBack,            // away, flag (carrying), count (moving)
    // the outbox; url is its path
    kOutboxUnusable,        // text (why)
    kOutboxResumed,         // count
    kOutboxLeft,            // count
    kOutboxSalvaged,        // text (where the damaged file went), count (recovered), number (unreadable)
    kOutboxBack,            // count (stored from memory), number (on disk)
    kOutboxDamagedRows,     // count
    kOutboxLostAtStop,      // text (why), count
    // per exchange, like kRedirected
    kAnswerTooLarge,        // guid, text (Content-Length), count (the most kept)
};

struct Note {
    NoteKind kind = NoteKind::kUnmatched;
    std::string guid;
    PayloadKind payload_kind = PayloadKind::kAlarm;
    std::shared_ptr<const std::string> payload;
    std::string url;
    std::string text;
    int error = 0;
    int status = 0;
    bool flag = false;
    size_t count = 0;
    int64_t number = 0;
    int64_t id = 0;
    std::chrono::milliseconds away{0};
};

struct Watch {
    PathId path = PathId::kPrimary;
    std::string url;
    std::chrono::milliseconds period{0};
    bool known_down = false;  // the last failure was a refused or unresolvable connection
};

struct StopWatch {
    PathId path = PathId::kPrimary;
};

struct TimeInfo {
    std::string guid;
    std::string result;  // the method's result text, to parse
};

struct ReleaseMemory {};

using Command = std::variant<Send, Note, Watch, StopWatch, TimeInfo, ReleaseMemory>;

struct Commands {
    std::vector<Command> list;  // in order
    std::optional<TimePoint> wake;
    bool tidy = false;
    // Set by the owner: whether it writes VERBOSE notes (the courier leaves them out if not).
    bool verbose = true;

    void clear() {
        list.clear();
        wake.reset();
        tidy = false;
    }
};

// --- State seen from outside ----------------------------------------------------------------

struct CourierStats {
    uint64_t delivered = 0;          // alarms acknowledged since start
    size_t waiting = 0;              // alarms not yet acknowledged: in memory, parked, on disk
    size_t refused = 0;              // refused alarms waiting on disk for their next attempt
    bool primary_reachable = true;   // false while its breaker is open
    bool backup_configured = false;
    bool backup_reachable = true;
    size_t in_window = 0;            // payloads holding a place in memory
    size_t parked = 0;               // past the window while the outbox is down
    size_t unstored = 0;             // alarms held in memory for want of an outbox
    size_t on_disk_only = 0;         // stored alarms not yet loaded
    size_t in_progress = 0;          // payloads in one of their three steps
    size_t exchanges = 0;            // Sends whose OnReply has not come
    bool outbox_down = false;        // an outbox is configured and not usable
    uint64_t route_changes = 0;      // lines logged for a change of the route
    std::chrono::milliseconds down_for{0};  // since no path takes payloads (0: one does)
};

class Courier {
public:
    explicit Courier(const CourierOptions& options);
    ~Courier();

    Courier(const Courier&) = delete;
    Courier& operator=(const Courier&) = delete;

    // New payloads, in arrival order; alarms are stored together, then what may go is sent.
    void Intake(const Instant& now, std::vector<Incoming> incoming, Commands& out);
    // A receiver's URL (the backup's creates that path). Delivery starts with the primary's.
    void SetEndpoint(const Instant& now, PathId path, const std::string& url, Commands& out);
    // Opens `outbox` and keeps alarms in it from now on. Once, at start.
    void UseOutbox(const Instant& now, std::unique_ptr<Outbox> outbox, Commands& out);
    // One heartbeat now and one every period after, with `payload`, until stopped.
    void StartHeartbeat(const Instant& now, const std::string& payload, Commands& out);
    void StopHeartbeat(const Instant& now, Commands& out);

    void OnReply(const Instant& now, const Reply& reply, Commands& out);
    void OnTimer(const Instant& now, Commands& out);
    void OnTidy(const Instant& now, Commands& out);
    void OnPathLooksBack(const Instant& now, PathId path, Commands& out);

    // The owner stopped: what was never stored goes to the outbox, pending deletes are
    // written. `incoming`: payloads that never reached Intake. Nothing is sent after it.
    void Abandon(const Instant& now, std::vector<Incoming> incoming, Commands& out);

    CourierStats Stats() const;
    // The outbox handed over, or null.
    const Outbox* outbox() const;
    // The texts of the alarms held only in memory (the outbox is down or none works yet).
    std::vector<std::shared_ptr<const std::string>> UnstoredAlarms() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_COURIER_H_
