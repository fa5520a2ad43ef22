#include "src/delivery_backlog.h"

#include <algorithm>
#include <utility>

namespace kv {
namespace delivery {

DeliveryBacklog::DeliveryBacklog(size_t window) : window_(window) {}

size_t DeliveryBacklog::StoredPlaces() const {
    return window_ - std::min(kUnstoredReserve, window_ / 10);
}

bool DeliveryBacklog::UseOutbox(std::unique_ptr<Outbox> outbox) {
    outbox_ = std::move(outbox);
    if (!outbox_->Open()) return false;
    on_disk_only_ = outbox_->Count();
    last_loaded_id_ = 0;
    return true;
}

void DeliveryBacklog::Admit(Payload payload) {
    ++in_window_;
    ready_.push_back(std::move(payload));
}

DeliveryBacklog::Intake DeliveryBacklog::Accept(std::vector<Payload>& incoming) {
    Intake intake;
    if (durable()) {
        std::vector<Outbox::Item> items;
        for (const Payload& payload : incoming) {
            if (payload.durable) items.push_back(Outbox::Item{0, payload.method, payload.payload});
        }
        size_t refused = 0;
        if (!items.empty() && !outbox_->StoreBatch(items, refused)) {
            intake.outbox_failure = outbox_->Error();
            items.clear();
        }
        intake.refused_by_cap = refused;
        auto item = items.begin();
        for (Payload& payload : incoming) {
            if (!payload.durable || item == items.end()) continue;
            payload.outbox_id = item->id;
            ++item;
        }
    }
    for (Payload& payload : incoming) {
        if (payload.outbox_id != 0) {
            // Stored payloads keep their order: none may overtake one still on disk.
            if (on_disk_only_ == 0 && in_window_ < StoredPlaces()) {
                last_loaded_id_ = payload.outbox_id;
                Admit(std::move(payload));
            } else {
                ++on_disk_only_;
            }
        } else if (payload.durable && durable()) {
            // Refused by the full outbox: counted above, goes no further.
        } else if (in_window_ < window_) {
            Admit(std::move(payload));
        } else {
            ++intake.refused_by_window;
        }
    }
    return intake;
}

size_t DeliveryBacklog::Refill() {
    if (!NeedsRefill()) return 0;
    std::vector<Outbox::Item> items;
    const size_t room = StoredPlaces() - in_window_;
    if (!outbox_->TakeOldest(last_loaded_id_, room, items)) {
        on_disk_only_ = 0;  // unreadable now: what is there waits for the next start
        return 0;
    }
    if (items.size() < room) on_disk_only_ = items.size();
    for (Outbox::Item& item : items) {
        last_loaded_id_ = item.id;
        Payload payload;
        payload.outbox_id = item.id;
        payload.method = std::move(item.method);
        payload.payload = std::move(item.payload);
        payload.durable = true;
        Admit(std::move(payload));
    }
    on_disk_only_ -= std::min(on_disk_only_, items.size());
    return items.size();
}

void DeliveryBacklog::Wait(Payload payload, TimePoint due) { delayed_.emplace(due, std::move(payload)); }

void DeliveryBacklog::MoveDue(TimePoint now) {
    auto end = delayed_.upper_bound(now);
    for (auto it = delayed_.begin(); it != end; ++it) ready_.push_back(std::move(it->second));
    delayed_.erase(delayed_.begin(), end);
}

size_t DeliveryBacklog::ReleaseHeld() {
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (!it->second.held_for_receiver) {
            ++it;
            continue;
        }
        // The receiver's outage is no fault of the payload's.
        it->second.failures = 0;
        it->second.held_for_receiver = false;
        ready_.push_back(std::move(it->second));
        it = delayed_.erase(it);
    }
    return ready_.size();
}

std::deque<Payload> DeliveryBacklog::TakeReady(size_t limit) {
    std::deque<Payload> taken;
    if (limit >= ready_.size()) {
        taken.swap(ready_);
        return taken;
    }
    for (size_t i = 0; i < limit; ++i) {
        taken.push_back(std::move(ready_.front()));
        ready_.pop_front();
    }
    return taken;
}

std::optional<Payload> DeliveryBacklog::TakeProbe() {
    if (!ready_.empty()) {
        Payload payload = std::move(ready_.front());
        ready_.pop_front();
        return payload;
    }
    if (!delayed_.empty()) {
        Payload payload = std::move(delayed_.begin()->second);
        delayed_.erase(delayed_.begin());
        return payload;
    }
    return std::nullopt;
}

std::optional<TimePoint> DeliveryBacklog::NextDue() const {
    if (delayed_.empty()) return std::nullopt;
    return delayed_.begin()->first;
}

void DeliveryBacklog::Finished(const Payload& payload) {
    if (in_window_ > 0) --in_window_;
    if (payload.outbox_id != 0 && durable()) deletes_.push_back(payload.outbox_id);
}

bool DeliveryBacklog::FlushDeletes() {
    if (deletes_.empty() || !durable()) {
        deletes_.clear();
        return true;
    }
    std::vector<int64_t> ids;
    ids.swap(deletes_);
    return outbox_->Delete(ids);
}

void DeliveryBacklog::ReleaseMemory() {
    // A cleared deque and vector keep their storage; swapped with empty ones they do not.
    if (ready_.empty()) std::deque<Payload>().swap(ready_);
    if (deletes_.empty()) std::vector<int64_t>().swap(deletes_);
    if (outbox_ != nullptr) outbox_->ReleaseMemory();
}

void DeliveryBacklog::StoreAtStop(std::vector<Payload>& incoming) {
    if (durable()) {
        std::vector<Outbox::Item> items;
        for (const Payload& payload : incoming) {
            if (payload.durable) items.push_back(Outbox::Item{0, payload.method, payload.payload});
        }
        size_t refused = 0;
        if (!items.empty()) outbox_->StoreBatch(items, refused);
    }
    FlushDeletes();
}

}  // namespace delivery
}  // namespace kv
