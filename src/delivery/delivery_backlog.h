// The payloads the sequencer holds: the in-memory window and, behind it, the outbox.
//
// Every payload in memory (in flight, waiting for its back-off, or held while the
// receiver is down) takes one place of the window. Payloads marked durable (alarms) are
// stored in the outbox first, a whole intake in one transaction; when the window is full
// they stay on disk only and enter, oldest first, as places free. Stored payloads leave
// the last places (a hundred of twenty thousand) to those that cannot wait on disk, so
// that a large outbox never crowds out a heartbeat.
//
// No stored alarm leaves the outbox before it was delivered (Finished) or dropped after
// a week of refusals. An alarm the receiver refused stays stored and leaves the window
// until its next attempt is due (15 minutes doubling to 6 hours, and at every start).
//
// When the outbox fails (a full disk, an I/O error) it is closed and the owner reopens it
// later (Reopen); meanwhile alarms are held in memory, in the window or, past it, parked
// (up to a window's worth more), and every one of them is written to the outbox as soon as
// it works again. Deletes and refusals that could not be written wait for it too. Without
// any outbox (none configured), a full window refuses the payload.
//
// Network thread only.
#ifndef WARDEX_SRC_DELIVERY_BACKLOG_H_
#define WARDEX_SRC_DELIVERY_BACKLOG_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "src/delivery/payload_kind.h"
#include "src/delivery/delivery_policy.h"
#include "src/outbox/outbox.h"
#include "src/outbox/status.h"

namespace kv {
namespace delivery {

struct Payload {
    uint64_t key = 0;       // the payload's own, the same in every attempt
    int64_t outbox_id = 0;  // 0: not (yet) stored
    PayloadKind kind = PayloadKind::kAlarm;
    std::string method;              // MethodName(kind), as the outbox stores it
    std::string payload;
    bool durable = false;            // to be stored before it is sent
    int failures = 0;                // its own failed attempts
    bool held_for_receiver = false;  // waits for the receiver, not for its own back-off
    int64_t first_refused = 0;       // wall-clock seconds of its first refusal, 0: never
    int refusals = 0;
    uint8_t sent_on_paths = 0;       // receivers its application message went to (bit per path)
    bool patient = false;            // an answer to it came too late once: wait for the deadline
    std::string refusal_reason;      // of its last refusal, kept in memory while the outbox is down
};

// How long a refused alarm waits: 15 minutes doubling to 6 hours; dropped after 7 days.
struct RefusalTiming {
    std::chrono::seconds base{15 * 60};
    std::chrono::seconds cap{6 * 60 * 60};
    std::chrono::seconds keep{7 * 24 * 60 * 60};
};

class DeliveryBacklog {
public:
    struct Intake {
        size_t refused_by_cap = 0;     // durable payloads the full outbox refused
        size_t refused_by_window = 0;  // payloads with no place in memory nor on disk
        Status outbox_failure;         // not OK when the outbox just failed
    };

    // What became of a refused payload.
    enum class RefusalFate { kKept, kDropped, kHeldInMemory, kNotStored };
    struct Refusal {
        RefusalFate fate = RefusalFate::kNotStored;
        int64_t id = 0;       // its id in the outbox
        int64_t next_in = 0;  // seconds until its next attempt (kKept)
    };

    explicit DeliveryBacklog(size_t window);

    void SetWindow(size_t window) { window_ = window; }
    size_t window() const { return window_; }
    void SetRefusalTiming(const RefusalTiming& timing) { refusal_ = timing; }

    // Opens `outbox`; what it holds waits on disk. Not OK: memory only until Reopen works.
    // The outbox is kept either way, for its path. Alarms refused before this start are
    // tried again as they are reached; those refused from now on when they are due.
    Status UseOutbox(std::unique_ptr<Outbox> outbox);
    const Outbox* outbox() const { return outbox_.get(); }
    Outbox* mutable_outbox() { return outbox_.get(); }
    bool durable() const { return outbox_ != nullptr && outbox_->usable(); }
    // An outbox was configured and has failed: Reopen should be tried.
    bool NeedsReopen() const { return outbox_ != nullptr && !outbox_->usable(); }
    // Opens the failed outbox again and writes into it what was held in memory meanwhile.
    Status Reopen();
    // Alarms the receiver refused while the outbox was down wait on disk from now on,
    // marked refused, and leave their places, as with a working outbox. `now` and
    // `steady_now`: the same moment on the wall clock and the steady one.
    void KeepRefusedOnDisk(int64_t now, TimePoint steady_now);
    // Alarms held only in memory for want of an outbox.
    size_t Unstored() const { return unstored_.size(); }
    // Their texts.
    std::vector<std::shared_ptr<const std::string>> UnstoredTexts() const;

    // New payloads, in arrival order: stored (the durable ones, together), then admitted
    // to the ready line as far as the window allows.
    Intake Accept(std::vector<Payload>& incoming);
    // Takes stored payloads into the window as far as it has room; returns how many.
    // Refused ones come back when due at `now` (wall-clock seconds).
    size_t Refill(int64_t now);
    // When the next refused alarm is due (wall-clock seconds), if any is waiting.
    std::optional<int64_t> NextRefusedDue() const;
    // The same by the clock `now`: a next attempt further ahead than any refusal waits was
    // set by a clock that has since gone back, and is due now.
    std::optional<int64_t> NextRefusedDue(int64_t now) const;
    // Whether a refill could take a stored alarm now: the outbox works and the window has
    // a place for one. Until then a due refused alarm waits for the place, not the clock.
    bool HasRoomForStored() const { return durable() && in_window_ < StoredPlaces(); }
    // Rows found damaged (checksum) and set aside since the last call.
    size_t TakeDamaged();
    // After a salvage in the middle of a run: payloads held in memory (those in
    // `in_flight`, which the owner holds, and the backlog's own) whose rows the damaged
    // file could not give back are stored again from memory, under new ids. Returns how
    // many.
    size_t StoreAgainAfterSalvage(const std::vector<const Payload*>& in_flight);

    // A payload back from a failed attempt, waiting until `due`.
    void Wait(Payload payload, TimePoint due);
    // Moves every waiting payload that is due by `now` to the ready line.
    void MoveDue(TimePoint now);
    // After the receiver came back: everything held for it is ready at once.
    size_t ReleaseHeld();
    // Up to `limit` payloads from the front of the ready line, oldest first.
    std::deque<Payload> TakeReady(size_t limit = std::numeric_limits<size_t>::max());
    bool HasReady() const { return !ready_.empty(); }
    // One payload to probe the receiver with: the oldest ready, else the first due that
    // is not waiting out a refusal.
    std::optional<Payload> TakeProbe();
    // Whether TakeProbe would find one.
    bool HasProbe() const;
    // When the earliest waiting payload is due.
    std::optional<TimePoint> NextDue() const;

    // The payload was delivered (or is given up and not stored): its place is freed and,
    // when stored, its delete is queued.
    void Finished(const Payload& payload);
    // The receiver refused the payload at `now` (wall-clock seconds) for `reason`.
    // `retry_due`: when an alarm held only in memory goes again.
    Refusal Refused(Payload payload, const std::string& reason, int64_t now, TimePoint retry_due);
    // Why the outbox last failed.
    const Status& LastFailure() const { return last_failure_; }
    // Writes the queued deletes. Not OK when the outbox just failed.
    Status FlushDeletes();

    size_t in_window() const { return in_window_; }
    size_t parked() const { return parked_.size(); }
    size_t on_disk_only() const { return on_disk_only_; }
    // Payloads not yet delivered: in memory, parked and on disk only (refused included).
    size_t Waiting() const { return in_window_ + parked_.size() + on_disk_only_ + refused_waiting_.size(); }
    // Refused alarms waiting on disk for their next attempt.
    size_t RefusedOnDisk() const;
    // Payloads held in memory that are neither in flight nor ready.
    size_t Delayed() const { return delayed_.size(); }

    // Once nothing is in memory: gives up the room the containers kept from their peak,
    // and the outbox's cache.
    void ReleaseMemory();

    // Stores what never reached the sequencer and what is held only in memory, writes
    // the queued deletes; at stop. Not OK: what Unstored() counts is lost with the process.
    Status StoreAtStop(std::vector<Payload>& incoming);

private:
    // Places kept free of stored payloads: at most this many, and at most a tenth.
    static constexpr size_t kUnstoredReserve = 100;

    // The places stored payloads may take.
    size_t StoredPlaces() const;
    void Admit(Payload payload);
    Payload FromItem(Outbox::Item& item);
    // The outbox failed: close it, keep what is in memory.
    void OutboxFailed(const Status& status);
    // A stored row that waits on disk only (what on_disk_only_ counts above the cursor):
    // neither held in memory nor a refused one waiting for its own time.
    bool OnDiskOnly(int64_t id) const;
    // The id a payload has on disk, if any (stored at intake, or later by Reopen or
    // StoreAgainAfterSalvage).
    int64_t StoredId(const Payload& payload) const;
    // Whether the row `id` is gone from the outbox (false when that cannot be read).
    bool Vanished(int64_t id);
    void Forget(const Payload& payload);
    Status WriteUnstored();

    size_t window_;
    RefusalTiming refusal_;
    std::unique_ptr<Outbox> outbox_;
    size_t in_window_ = 0;
    size_t on_disk_only_ = 0;  // rows above last_loaded_id_ for which OnDiskOnly holds
    int64_t last_loaded_id_ = 0;
    std::deque<Payload> ready_;
    std::multimap<TimePoint, Payload> delayed_;
    std::vector<int64_t> deletes_;
    // Alarms not on disk for want of an outbox, by key: a copy to store when it works.
    std::map<uint64_t, Outbox::Item> unstored_;
    // Their ids once Reopen stored them, for the payloads still in memory.
    std::unordered_map<uint64_t, int64_t> stored_late_;
    // Ids of stored alarms held in memory, and of delivered ones until their delete is
    // written: a refill never takes them a second time.
    std::unordered_set<int64_t> in_memory_;
    // Of those, the ones the outbox has marked refused.
    std::unordered_set<int64_t> refused_in_memory_;
    // Refused alarms this backlog put back on disk until their next attempt (those not yet
    // loaded at a start are counted in on_disk_only_ already).
    std::unordered_set<int64_t> refused_waiting_;
    // Alarms past a full window while the outbox is down, oldest first.
    std::deque<Payload> parked_;
    std::optional<int64_t> next_refused_due_;
    size_t damaged_ = 0;
    Status last_failure_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_BACKLOG_H_
