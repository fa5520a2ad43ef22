#include "src/delivery/delivery_route.h"

namespace kv {
namespace delivery {

Route DeliveryRoute::Choose(bool primary_open, bool backup_open) const {
    if (!primary_open) return Route::kPrimary;
    if (backup_ != nullptr && !backup_open) return Route::kBackup;
    return Route::kHold;
}

RouteEvent DeliveryRoute::Describe(PathId path, DeliveryPolicy::Transition transition, Route before,
                                   Route after) const {
    using Transition = DeliveryPolicy::Transition;
    if (transition == Transition::kNone) return RouteEvent::kNone;
    const bool opened = transition == Transition::kOpened;
    if (backup_ == nullptr) return opened ? RouteEvent::kReceiverDown : RouteEvent::kReceiverBack;
    if (path == PathId::kPrimary) {
        if (!opened) return RouteEvent::kPrimaryBack;
        return after == Route::kBackup ? RouteEvent::kPrimaryDown : RouteEvent::kBothDown;
    }
    if (opened) return before == Route::kBackup ? RouteEvent::kBothDown : RouteEvent::kBackupDown;
    return after == Route::kBackup ? RouteEvent::kBackupBackCarrying : RouteEvent::kBackupBack;
}

ProbeWith DeliveryRoute::ProbeKind(PathId path, ProbeMaterial material) const {
    if (path == PathId::kBackup && backup_ == nullptr) return ProbeWith::kNothing;
    if (!Policy(path).open()) return ProbeWith::kNothing;
    if (Current() == Route::kHold) {
        if (material.waiting_payload) return ProbeWith::kWaitingPayload;
        // Nothing waits: the paths are still supervised, with a heartbeat.
        return backup_ != nullptr && material.heartbeat ? ProbeWith::kHeartbeat : ProbeWith::kNothing;
    }
    if (material.heartbeat) return ProbeWith::kHeartbeat;
    // No heartbeat yet (the recorder has not registered): the primary must still be
    // probed, or alarms would stay on the backup for good; the backup waits for one.
    return path == PathId::kPrimary && material.waiting_payload ? ProbeWith::kWaitingPayload : ProbeWith::kNothing;
}

ProbeWith DeliveryRoute::ProbeNow(PathId path, ProbeMaterial material) const {
    const ProbeWith kind = ProbeKind(path, material);
    if (kind == ProbeWith::kNothing || !Policy(path).ProbeDue()) return ProbeWith::kNothing;
    return kind;
}

std::optional<TimePoint> DeliveryRoute::NextProbe(PathId path, ProbeMaterial material) const {
    if (ProbeKind(path, material) == ProbeWith::kNothing || Policy(path).probe_in_flight()) return std::nullopt;
    return Policy(path).NextProbe();
}

}  // namespace delivery
}  // namespace kv
