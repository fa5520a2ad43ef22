#include "src/recorder/recorder_cache.h"

#include <cstring>
#include <utility>

namespace kv {

namespace {

constexpr int kTimedOut = -3;      // the client library's deadline for one query passed
constexpr int kNotConnected = -1;  // no connection, or the link was declared lost

std::string Failure(const char* call, int result) {
    if (result == RecorderCache::kNotAsked) return std::string(call) + ": not asked, the recorder link is not answering";
    return std::string(call) + ": " + std::to_string(result);
}

void Append(std::string& list, const std::string& item) {
    if (!list.empty()) list += ", ";
    list += item;
}

}  // namespace

bool QueryGate::Note(int result) {
    if (result == kTimedOut || result == kNotConnected) closed_until_ = now_() + hold_;
    return result >= 0;
}

void RecorderCache::BeginConnection() {
    loaded_ = false;
    version_warned_ = false;
    gate_.Reopen();
}

bool RecorderCache::Ask(const std::function<int()>& query, int& result) {
    if (!gate_.IsOpen()) {
        result = kNotAsked;
        return false;
    }
    result = query();
    return gate_.Note(result);
}

bool RecorderCache::Refresh(RecorderLink& queries) {
    // The registration has just come over the link: a query that timed out before it says
    // nothing about the link now, and closing the registration out would skip its
    // heartbeat and on-line alarm until the next connection.
    gate_.Reopen();
    drives_warned_.clear();
    for (auto& entry : cameras_) entry.second.asked = entry.second.warned = false;

    std::string text;
    int result = 0;
    if (Ask([&] { return queries.ServerVersion(text); }, result)) {
        if (text.empty()) {
            loaded_ = false;
            return false;
        }
        version_ = text;
    } else if (version_.empty()) {
        // Never seen loaded: without a version there is no registration, as before.
        loaded_ = false;
        return false;
    } else {
        WarnVersionFailed(result);
    }
    loaded_ = true;
    ++registrations_;

    // Failures here stay quiet: the last values remain, and a camera still unknown is
    // asked (and warned about) at its first event.
    int count = 0;
    if (!Ask([&] { return queries.NumCameras(); }, count)) return true;
    std::string ignored;
    for (int index = 0; index < count; ++index) {
        ReadCamera(queries, static_cast<uint32_t>(index), false, cameras_[static_cast<uint32_t>(index)], ignored);
    }
    return true;
}

bool RecorderCache::Loaded(RecorderLink& queries) {
    if (loaded_) return true;
    std::string text;
    int result = 0;
    if (Ask([&] { return queries.ServerVersion(text); }, result)) {
        if (text.empty()) return false;  // answered: not loaded yet
        version_ = text;
        loaded_ = true;
        return true;
    }
    if (version_.empty()) return false;
    loaded_ = true;
    WarnVersionFailed(result);
    return true;
}

// Once per connection: its events before the registration and the registration itself
// meet the same failure.
void RecorderCache::WarnVersionFailed(int result) {
    if (version_warned_) return;
    version_warned_ = true;
    warnings_.push_back("Recorder query failed (" + Failure("KVAPI_GetServerVersion", result) +
                        "); the recorder counts as loaded with its last known version " + version_ +
                        " until the next registration");
}

void RecorderCache::ReadCamera(RecorderLink& queries, uint32_t index, bool unknown_only, CameraEntry& entry,
                               std::string& failures) {
    int result = 0;
    if (!unknown_only || !entry.primary_known) {
        if (Ask([&] { return queries.IsPrimary(index); }, result)) {
            entry.primary_known = true;
            entry.primary = result != 0;
        } else {
            Append(failures, Failure("KVAPI_IsPrimary", result));
        }
    }
    if (!unknown_only || !entry.name_known) {
        std::string name;
        if (Ask([&] { return queries.CameraName(index, name); }, result)) {
            entry.name_known = true;
            entry.name = std::move(name);
        } else {
            Append(failures, Failure("KVAPI_GetCameraName", result));
        }
    }
}

RecorderCache::CameraView RecorderCache::Camera(RecorderLink& queries, uint32_t index) {
    CameraEntry& entry = cameras_[index];
    const bool complete = entry.primary_known && entry.name_known;
    if (!complete && !entry.asked) {
        entry.asked = true;
        std::string failures;
        ReadCamera(queries, index, true, entry, failures);
        if (!failures.empty() && !entry.warned) {
            entry.warned = true;
            std::string fallback;
            if (!entry.primary_known) fallback = "as for a primary camera";
            if (!entry.name_known) fallback += fallback.empty() ? "with an empty name" : " and with an empty name";
            warnings_.push_back("Camera " + std::to_string(index) + ": recorder query failed (" + failures +
                                "); its alarms are sent " + fallback + " until the next registration");
        }
    }
    CameraView view;
    view.primary = entry.primary_known ? entry.primary : true;
    if (entry.name_known) view.name = entry.name;
    return view;
}

std::string RecorderCache::DriveMessage(RecorderLink& link, uint32_t drive) {
    std::string message;
    int result = 0;
    if (!Ask([&] { return link.DriveMessage(drive, message); }, result)) {
        DriveMessageFailed(drive, result);
        message.clear();
    }
    return message;
}

void RecorderCache::DriveMessageFailed(uint32_t drive, int result) {
    if (!drives_warned_.insert(drive).second) return;
    warnings_.push_back("Drive " + std::to_string(drive) + ": recorder query failed (" +
                        Failure("KVAPI_GetDriveMessage", result) +
                        "); its alarms are sent with an empty message, further failures for it are not logged until "
                        "the next registration");
}

std::vector<std::string> RecorderCache::TakeWarnings() {
    std::vector<std::string> taken;
    taken.swap(warnings_);
    return taken;
}

}  // namespace kv
