// The payloads the sequencer holds: the in-memory window and, behind it, the outbox.
//
// Every payload in memory (in flight, waiting for its back-off, or held while the
// receiver is down) takes one place of the window. Payloads marked durable are stored in
// the outbox first, a whole intake in one transaction; when the window is full they stay
// on disk only and enter, oldest first, as places free. Stored payloads leave the last
// places (a hundred of twenty thousand) to those that cannot wait on disk, so that a
// large outbox never crowds out a heartbeat. Without a usable outbox, or for payloads
// that are not durable, a full window refuses the payload.
//
// A payload leaves through Finished: its place is freed and, when stored, its delete is
// queued (FlushDeletes writes them in one transaction). Network thread only.
#ifndef WARDEX_SRC_DELIVERY_BACKLOG_H_
#define WARDEX_SRC_DELIVERY_BACKLOG_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "src/delivery_policy.h"
#include "src/outbox.h"

namespace kv {
namespace delivery {

struct Payload {
    int64_t outbox_id = 0;  // 0: not stored
    std::string method;
    std::string payload;
    bool durable = false;        // to be stored before it is sent
    int failures = 0;            // its own failed attempts
    bool held_for_receiver = false;  // last failed because the receiver was down
};

class DeliveryBacklog {
public:
    struct Intake {
        size_t refused_by_cap = 0;       // durable payloads the full outbox refused
        size_t refused_by_window = 0;    // payloads with no place in memory nor on disk
        std::string outbox_failure;      // set when the outbox just became unusable
    };

    explicit DeliveryBacklog(size_t window);

    void SetWindow(size_t window) { window_ = window; }
    size_t window() const { return window_; }

    // Opens `outbox`; what it holds waits on disk. False: memory only (the reason is in
    // outbox->Error()). The outbox is kept either way, for its path and error.
    bool UseOutbox(std::unique_ptr<Outbox> outbox);
    const Outbox* outbox() const { return outbox_.get(); }
    bool durable() const { return outbox_ != nullptr && outbox_->usable(); }

    // New payloads, in arrival order: stored (the durable ones, together), then admitted
    // to the ready line as far as the window allows.
    Intake Accept(std::vector<Payload>& incoming);
    // Takes stored payloads into the window as far as it has room; returns how many.
    size_t Refill();
    bool NeedsRefill() const { return durable() && on_disk_only_ > 0 && in_window_ < StoredPlaces(); }

    // A payload back from a failed attempt, waiting until `due`.
    void Wait(Payload payload, TimePoint due);
    // Moves every waiting payload that is due by `now` to the ready line.
    void MoveDue(TimePoint now);
    // After the receiver came back: everything held for it is ready at once.
    size_t ReleaseHeld();
    // Up to `limit` payloads from the front of the ready line, oldest first.
    std::deque<Payload> TakeReady(size_t limit = std::numeric_limits<size_t>::max());
    bool HasReady() const { return !ready_.empty(); }
    // One payload to probe the receiver with: the oldest ready, else the first due.
    std::optional<Payload> TakeProbe();
    // When the earliest waiting payload is due.
    std::optional<TimePoint> NextDue() const;

    // The payload is done (delivered, given up or not retried): its place is freed.
    void Finished(const Payload& payload);
    // Writes the queued deletes. False when the outbox just became unusable.
    bool FlushDeletes();

    size_t in_window() const { return in_window_; }
    size_t on_disk_only() const { return on_disk_only_; }
    // Payloads not yet delivered: in memory and on disk only.
    size_t Waiting() const { return in_window_ + on_disk_only_; }
    // Payloads held in memory that are neither in flight nor ready.
    size_t Delayed() const { return delayed_.size(); }

    // Once nothing is in memory: gives up the room the containers kept from their peak,
    // and the outbox's cache.
    void ReleaseMemory();

    // Stores what never reached the sequencer, writes the queued deletes; at stop.
    void StoreAtStop(std::vector<Payload>& incoming);

private:
    // Places kept free of stored payloads: at most this many, and at most a tenth.
    static constexpr size_t kUnstoredReserve = 100;

    // The places stored payloads may take.
    size_t StoredPlaces() const;
    void Admit(Payload payload);

    size_t window_;
    std::unique_ptr<Outbox> outbox_;
    size_t in_window_ = 0;
    size_t on_disk_only_ = 0;  // stored with an id above last_loaded_id_
    int64_t last_loaded_id_ = 0;
    std::deque<Payload> ready_;
    std::multimap<TimePoint, Payload> delayed_;
    std::vector<int64_t> deletes_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_BACKLOG_H_
