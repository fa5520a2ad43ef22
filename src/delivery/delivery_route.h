// Where payloads go when a backup receiver stands beside the primary: the switching rule.
//
// Each path (receiver) has its own breaker (src/delivery/delivery_policy.h); this unit only reads
// them. Alarms, the recorder information and the time request go
//   - to the primary while its breaker is closed;
//   - to the backup while the primary's breaker is open and the backup's is closed;
//   - nowhere while both are open: they wait (in the outbox), and each path is probed.
// So the switch to the backup happens the moment the primary's breaker opens, and the
// return the moment the primary's probe gets a usable answer. Without a backup the route
// is the primary's, or nothing while its breaker is open, exactly as with one receiver.
//
// A path that is down is probed with the oldest waiting payload while no path takes
// payloads; while the other path carries them it is probed with a heartbeat, so that no
// alarm is delivered to the backup while the primary takes them, and the primary's probe
// goes on while the backup carries them. With nothing to probe with, no probe is due.
//
// Pure: no timers, no sockets, no threads; the breakers carry the (injected) clock.
#ifndef WARDEX_SRC_DELIVERY_ROUTE_H_
#define WARDEX_SRC_DELIVERY_ROUTE_H_

#include <optional>

#include "src/delivery/delivery_policy.h"

namespace kv {
namespace delivery {

enum class PathId { kPrimary = 0, kBackup = 1 };

inline int Index(PathId path) { return static_cast<int>(path); }

// The path new and waiting payloads take, or none (kHold).
enum class Route { kPrimary, kBackup, kHold };

// What a breaker's transition means for the delivery as a whole: the line to log.
enum class RouteEvent {
    kNone,
    kReceiverDown,        // one receiver only: it is unreachable
    kReceiverBack,        // one receiver only: it answers again
    kPrimaryDown,         // alarms go to the backup now
    kBothDown,            // the path that carried alarms failed and the other is down too
    kPrimaryBack,         // alarms return to the primary
    kBackupDown,          // while the primary carries alarms
    kBackupBack,          // while the primary carries alarms
    kBackupBackCarrying,  // both were down: alarms go to the backup now
};

// How a path that is down is probed now.
enum class ProbeWith { kNothing, kWaitingPayload, kHeartbeat };

class DeliveryRoute {
public:
    // `backup`: null when no backup receiver is configured. Both must outlive the route.
    DeliveryRoute(const DeliveryPolicy& primary, const DeliveryPolicy* backup) : primary_(primary), backup_(backup) {}

    // The backup's breaker once a backup receiver is configured.
    void SetBackup(const DeliveryPolicy* backup) { backup_ = backup; }
    bool has_backup() const { return backup_ != nullptr; }
    Route Current() const { return Choose(primary_.open(), backup_ != nullptr && backup_->open()); }

    // The route for the given breaker states; the rule itself.
    Route Choose(bool primary_open, bool backup_open) const;

    // What `transition` of `path`'s breaker, which turned the route from `before` into
    // `after`, means (kNone when nothing worth a line happened).
    RouteEvent Describe(PathId path, DeliveryPolicy::Transition transition, Route before, Route after) const;

    // What a probe can be made of: a heartbeat (its payload is known), a waiting payload.
    struct ProbeMaterial {
        bool heartbeat = false;
        bool waiting_payload = false;
    };

    // Whether and with what `path` is probed now: its breaker is open, no probe of it is
    // in flight, its back-off has passed.
    ProbeWith ProbeNow(PathId path, ProbeMaterial material) const;
    // When `path`'s next probe falls due, if it is probed at all (for the timer).
    std::optional<TimePoint> NextProbe(PathId path, ProbeMaterial material) const;

private:
    const DeliveryPolicy& Policy(PathId path) const { return path == PathId::kPrimary ? primary_ : *backup_; }
    ProbeWith ProbeKind(PathId path, ProbeMaterial material) const;

    const DeliveryPolicy& primary_;
    const DeliveryPolicy* backup_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_ROUTE_H_
