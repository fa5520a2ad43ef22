#include "src/delivery/delivery_backlog.h"

#include "src/delivery/backoff.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace kv {
namespace delivery {
namespace {

// Waiting out the receiver's "no" rather than a failure: its time is not the breaker's
// to shorten.
bool WaitsOutRefusal(const Payload& payload) { return payload.refusals > 0 && !payload.held_for_receiver; }

// The first waiting payload a probe may take early.
template <typename Delayed>
auto FirstProbe(Delayed& delayed) {
    return std::find_if(delayed.begin(), delayed.end(),
                        [](const auto& waiting) { return !WaitsOutRefusal(waiting.second); });
}

}  // namespace

DeliveryBacklog::DeliveryBacklog(size_t window) : window_(window) {}

size_t DeliveryBacklog::StoredPlaces() const {
    return window_ - std::min(kUnstoredReserve, window_ / 10);
}

Status DeliveryBacklog::UseOutbox(std::unique_ptr<Outbox> outbox) {
    outbox_ = std::move(outbox);
    last_loaded_id_ = 0;
    refused_waiting_.clear();
    on_disk_only_ = 0;
    return Reopen();
}

Status DeliveryBacklog::Reopen() {
    Status status = outbox_->Open();
    if (!status.ok()) {
        last_failure_ = status;
        return status;
    }
    status = WriteUnstored();
    size_t above = 0;
    if (status.ok()) status = outbox_->CountAbove(last_loaded_id_, above);
    if (status.ok()) status = FlushDeletes();
    int64_t due = 0;
    if (status.ok()) status = outbox_->NextRefusedDue(0, due);
    if (!status.ok()) {
        OutboxFailed(status);
        return status;
    }
    // Above the cursor yet not waiting on disk only: stored late and in memory, or
    // refused during this run and waiting for their own time.
    const auto above_cursor = [this](int64_t id) { return id > last_loaded_id_; };
    const size_t held = static_cast<size_t>(std::count_if(in_memory_.begin(), in_memory_.end(), above_cursor)) +
                        static_cast<size_t>(std::count_if(refused_waiting_.begin(), refused_waiting_.end(), above_cursor));
    on_disk_only_ = above - std::min(above, held);
    next_refused_due_.reset();
    if (due != 0) next_refused_due_ = due;
    return Status::OK();
}

void DeliveryBacklog::KeepRefusedOnDisk(int64_t now, TimePoint steady_now) {
    for (auto waiting = delayed_.begin(); waiting != delayed_.end() && durable();) {
        const Payload& payload = waiting->second;
        const int64_t id = StoredId(payload);
        if (!WaitsOutRefusal(payload) || id == 0) {
            ++waiting;
            continue;
        }
        const int64_t next =
            now + std::max<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(waiting->first - steady_now).count(), 1);
        const Status status = outbox_->MarkRefused(id, payload.refusal_reason, payload.first_refused, next);
        if (!status.ok()) {
            OutboxFailed(status);
            return;
        }
        if (in_window_ > 0) --in_window_;
        in_memory_.erase(id);
        refused_in_memory_.erase(id);
        refused_waiting_.insert(id);
        stored_late_.erase(payload.key);
        if (!next_refused_due_ || next < *next_refused_due_) next_refused_due_ = next;
        waiting = delayed_.erase(waiting);
    }
}

// Alarms held in memory meanwhile go to disk in arrival order, one transaction.
Status DeliveryBacklog::WriteUnstored() {
    if (unstored_.empty()) return Status::OK();
    std::vector<uint64_t> keys;
    std::vector<Outbox::Item> items;
    for (const auto& entry : unstored_) {
        keys.push_back(entry.first);
        items.push_back(entry.second);
    }
    size_t refused = 0;
    Status status = outbox_->StoreBatch(items, refused);
    if (!status.ok()) return status;
    std::set<uint64_t> parked_now;
    for (const Payload& payload : parked_) parked_now.insert(payload.key);
    std::set<uint64_t> now_on_disk;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].id == 0) continue;  // past the cap: stays in memory
        unstored_.erase(keys[i]);
        if (parked_now.count(keys[i]) != 0) {
            now_on_disk.insert(keys[i]);  // enters from disk like any stored alarm
        } else {
            stored_late_[keys[i]] = items[i].id;
            in_memory_.insert(items[i].id);
        }
    }
    parked_.erase(std::remove_if(parked_.begin(), parked_.end(),
                                 [&](const Payload& payload) { return now_on_disk.count(payload.key) != 0; }),
                  parked_.end());
    return Status::OK();
}

bool DeliveryBacklog::OnDiskOnly(int64_t id) const {
    return in_memory_.count(id) == 0 && refused_waiting_.count(id) == 0;
}

void DeliveryBacklog::OutboxFailed(const Status& status) {
    last_failure_ = status;
    if (outbox_ != nullptr) outbox_->Close();
}

int64_t DeliveryBacklog::StoredId(const Payload& payload) const {
    const auto late = stored_late_.find(payload.key);
    return late == stored_late_.end() ? payload.outbox_id : late->second;
}

bool DeliveryBacklog::Vanished(int64_t id) {
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    const Status status = outbox_->TakeOldest(id - 1, 1, items, damaged);
    damaged_ += damaged;
    if (!status.ok()) {
        OutboxFailed(status);
        return false;
    }
    return items.empty() || items.front().id != id;
}

size_t DeliveryBacklog::StoreAgainAfterSalvage(const std::vector<const Payload*>& in_flight) {
    std::vector<const Payload*> held(in_flight);
    for (const Payload& payload : ready_) held.push_back(&payload);
    for (const auto& waiting : delayed_) held.push_back(&waiting.second);
    size_t lost = 0;
    for (const Payload* payload : held) {
        const int64_t id = StoredId(*payload);
        if (!durable() || id == 0 || !Vanished(id)) continue;
        in_memory_.erase(id);
        refused_in_memory_.erase(id);
        unstored_[payload->key] = Outbox::Item{0, payload->method, payload->payload, 0, 0, ""};
        ++lost;
    }
    // Written at once; should that fail they are held as while the outbox is down, and
    // written by its reopening.
    if (lost > 0 && durable()) {
        const Status status = WriteUnstored();
        if (!status.ok()) OutboxFailed(status);
    }
    return lost;
}

void DeliveryBacklog::Forget(const Payload& payload) {
    unstored_.erase(payload.key);
    stored_late_.erase(payload.key);
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
            if (payload.durable) items.push_back(Outbox::Item{0, payload.method, payload.payload, 0, 0, ""});
        }
        size_t refused = 0;
        if (!items.empty()) {
            Status status = outbox_->StoreBatch(items, refused);
            if (!status.ok()) {
                intake.outbox_failure = status;
                OutboxFailed(status);
                items.clear();
                refused = 0;
            }
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
                in_memory_.insert(payload.outbox_id);
                Admit(std::move(payload));
            } else {
                ++on_disk_only_;
            }
        } else if (payload.durable && durable()) {
            // Refused by the full outbox: counted above, goes no further.
        } else if (payload.durable && outbox_ != nullptr) {
            // The outbox is down: held in memory until it can be written there.
            if (in_window_ < window_) {
                unstored_[payload.key] = Outbox::Item{0, payload.method, payload.payload, 0, 0, ""};
                Admit(std::move(payload));
            } else if (parked_.size() < window_) {
                unstored_[payload.key] = Outbox::Item{0, payload.method, payload.payload, 0, 0, ""};
                parked_.push_back(std::move(payload));
            } else {
                ++intake.refused_by_window;
            }
        } else if (in_window_ < window_) {
            Admit(std::move(payload));
        } else {
            ++intake.refused_by_window;
        }
    }
    return intake;
}

Payload DeliveryBacklog::FromItem(Outbox::Item& item) {
    Payload payload;
    payload.key = static_cast<uint64_t>(item.id) | (uint64_t{1} << 63);  // apart from intake keys
    payload.outbox_id = item.id;
    if (!KindFromMethod(item.method, payload.kind)) payload.kind = PayloadKind::kAlarm;
    payload.method = std::move(item.method);
    payload.payload = std::move(item.payload);
    payload.durable = true;
    payload.first_refused = item.first_refused;
    payload.refusals = item.refusals;
    return payload;
}

size_t DeliveryBacklog::Refill(int64_t now) {
    size_t admitted = 0;
    // Parked alarms enter as places free, stored or not: they are older than any on disk.
    while (!parked_.empty() && in_window_ < window_) {
        Admit(std::move(parked_.front()));
        parked_.pop_front();
        ++admitted;
    }
    if (!durable()) return admitted;
    size_t damaged = 0;
    const std::optional<int64_t> refused_due = NextRefusedDue(now);
    if (refused_due && *refused_due <= now && in_window_ < StoredPlaces()) {
        const size_t room = StoredPlaces() - in_window_;
        // Refused rows that are in memory already may come back too: ask for enough more.
        const size_t limit = room + refused_in_memory_.size() + deletes_.size();
        // The clock has gone back since rows were marked: every refused row goes again now
        // (as at a start) and is marked afresh by the clock as it is.
        const int64_t until = *next_refused_due_ > now ? std::numeric_limits<int64_t>::max() : now;
        std::vector<Outbox::Item> items;
        Status status = outbox_->TakeRefusedDue(std::numeric_limits<int64_t>::max(), until, limit, items, damaged);
        int64_t due = 0;
        if (status.ok()) status = outbox_->NextRefusedDue(until, due);
        if (!status.ok()) {
            OutboxFailed(status);
            return admitted;
        }
        damaged_ += damaged;
        size_t taken = 0;
        for (Outbox::Item& item : items) {
            if (taken == room) break;
            if (!in_memory_.insert(item.id).second) continue;
            refused_waiting_.erase(item.id);
            refused_in_memory_.insert(item.id);
            Admit(FromItem(item));
            ++taken;
        }
        admitted += taken;
        next_refused_due_.reset();
        if (due != 0) next_refused_due_ = due;
        // The room ran out before the due ones did: look again once places free.
        if (taken == room && items.size() > taken) next_refused_due_ = now;
    }
    // A walk that passed over only rows counted elsewhere goes on: nothing else would call
    // it again while the rows behind them wait.
    while (on_disk_only_ > 0 && in_window_ < StoredPlaces()) {
        const size_t room = StoredPlaces() - in_window_;
        std::vector<Outbox::Item> items;
        Status status = outbox_->TakeOldest(last_loaded_id_, room, items, damaged);
        if (!status.ok()) {
            OutboxFailed(status);
            return admitted;
        }
        damaged_ += damaged;
        // Only the rows on_disk_only_ counted leave it: those the walk passes over were
        // counted elsewhere (stored late and in memory, or refused and waiting).
        size_t counted = 0;
        for (Outbox::Item& item : items) {
            last_loaded_id_ = item.id;
            if (!OnDiskOnly(item.id)) continue;
            in_memory_.insert(item.id);
            if (item.first_refused != 0) refused_in_memory_.insert(item.id);
            Admit(FromItem(item));
            ++admitted;
            ++counted;
        }
        // A short walk reached the last row: nothing is left above the cursor.
        on_disk_only_ = items.size() < room ? 0 : on_disk_only_ - std::min(on_disk_only_, counted);
    }
    return admitted;
}

std::vector<std::shared_ptr<const std::string>> DeliveryBacklog::UnstoredTexts() const {
    std::vector<std::shared_ptr<const std::string>> texts;
    for (const auto& entry : unstored_) texts.push_back(std::make_shared<const std::string>(entry.second.payload));
    return texts;
}

std::optional<int64_t> DeliveryBacklog::NextRefusedDue() const { return next_refused_due_; }

std::optional<int64_t> DeliveryBacklog::NextRefusedDue(int64_t now) const {
    if (next_refused_due_ && *next_refused_due_ - now > refusal_.cap.count()) return now;
    return next_refused_due_;
}

size_t DeliveryBacklog::TakeDamaged() {
    const size_t damaged = damaged_;
    damaged_ = 0;
    return damaged;
}

size_t DeliveryBacklog::RefusedOnDisk() const {
    if (outbox_ == nullptr) return 0;
    return outbox_->Refused() - std::min(outbox_->Refused(), refused_in_memory_.size());
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
    const auto waiting = FirstProbe(delayed_);
    if (waiting != delayed_.end()) {
        Payload payload = std::move(waiting->second);
        delayed_.erase(waiting);
        return payload;
    }
    return std::nullopt;
}

bool DeliveryBacklog::HasProbe() const { return !ready_.empty() || FirstProbe(delayed_) != delayed_.end(); }

std::optional<TimePoint> DeliveryBacklog::NextDue() const {
    if (delayed_.empty()) return std::nullopt;
    return delayed_.begin()->first;
}

void DeliveryBacklog::Finished(const Payload& payload) {
    if (in_window_ > 0) --in_window_;
    const int64_t id = StoredId(payload);
    if (id != 0 && outbox_ != nullptr) {
        // The id stays in memory until its delete is written: until then the row is on
        // disk and must not be taken again.
        deletes_.push_back(id);
        refused_in_memory_.erase(id);
        refused_waiting_.erase(id);
    }
    Forget(payload);
}

DeliveryBacklog::Refusal DeliveryBacklog::Refused(Payload payload, const std::string& reason, int64_t now,
                                                  TimePoint retry_due) {
    Refusal refusal;
    refusal.id = StoredId(payload);
    if (!payload.durable || outbox_ == nullptr) {
        Finished(payload);
        return refusal;
    }
    if (payload.first_refused == 0) payload.first_refused = now;
    ++payload.refusals;
    if (now - payload.first_refused >= refusal_.keep.count()) {
        Finished(payload);
        refusal.fate = RefusalFate::kDropped;
        return refusal;
    }
    const int64_t id = refusal.id;
    if (id != 0 && durable()) {
        const int64_t delay = std::chrono::duration_cast<std::chrono::seconds>(
                                  Backoff(refusal_.base, refusal_.cap).Delay(payload.refusals))
                                  .count();
        const int64_t next = now + std::max<int64_t>(delay, 1);
        Status status = outbox_->MarkRefused(id, reason, now, next);
        // A salvage in that very write may have lost the row it marked: stored again, the
        // alarm is marked under its new id.
        if (status.ok() && outbox_->salvaged() && StoreAgainAfterSalvage({&payload}) > 0) {
            refusal.id = StoredId(payload);
            if (durable()) status = outbox_->MarkRefused(refusal.id, reason, now, next);
        }
        if (status.ok() && durable()) {
            if (in_window_ > 0) --in_window_;
            in_memory_.erase(refusal.id);
            refused_in_memory_.erase(refusal.id);
            refused_waiting_.insert(refusal.id);
            stored_late_.erase(payload.key);
            if (!next_refused_due_ || next < *next_refused_due_) next_refused_due_ = next;
            refusal.fate = RefusalFate::kKept;
            refusal.next_in = next - now;
            return refusal;
        }
        if (!status.ok()) OutboxFailed(status);
    }
    // No outbox to keep it in now: it waits in memory instead, for the refusal's time
    // even if a failure had it held for the receiver before.
    payload.refusal_reason = reason;
    payload.held_for_receiver = false;
    Wait(std::move(payload), retry_due);
    refusal.fate = RefusalFate::kHeldInMemory;
    return refusal;
}

Status DeliveryBacklog::FlushDeletes() {
    if (deletes_.empty()) return Status::OK();
    if (outbox_ == nullptr) {
        deletes_.clear();
        return Status::OK();
    }
    // While the outbox is down the deletes wait for it.
    if (!durable()) return Status::OK();
    std::vector<int64_t> ids;
    ids.swap(deletes_);
    Status status = outbox_->Delete(ids);
    if (!status.ok()) {
        deletes_.insert(deletes_.end(), ids.begin(), ids.end());
        OutboxFailed(status);
        return status;
    }
    for (const int64_t id : ids) in_memory_.erase(id);
    return status;
}

void DeliveryBacklog::ReleaseMemory() {
    // A cleared deque and vector keep their storage; swapped with empty ones they do not.
    if (ready_.empty()) std::deque<Payload>().swap(ready_);
    if (deletes_.empty()) std::vector<int64_t>().swap(deletes_);
    if (outbox_ != nullptr) outbox_->ReleaseMemory();
}

Status DeliveryBacklog::StoreAtStop(std::vector<Payload>& incoming) {
    if (outbox_ == nullptr) return Status::OK();
    for (Payload& payload : incoming) {
        if (payload.durable) unstored_[payload.key] = Outbox::Item{0, payload.method, payload.payload, 0, 0, ""};
    }
    Status status = durable() ? WriteUnstored() : Reopen();
    if (status.ok()) status = FlushDeletes();
    return status;
}

}  // namespace delivery
}  // namespace kv
