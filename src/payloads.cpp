#include "src/payloads.h"

#include <ctime>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/common_json.h"
#include "common/logger.h"

namespace kv {

std::string FormatTime(int64_t seconds, int64_t milliseconds, int64_t offset) {
    // Both numbers come from the recording server. Their sum is kept within the years
    // 1000 to 9999, so it can neither overflow nor fall outside what gmtime_r and
    // strftime turn into a four-digit year.
    constexpr int64_t kEarliest = -30610224000;  // 1000-01-01 00:00:00
    constexpr int64_t kLatest = 253402300799;    // 9999-12-31 23:59:59
    int64_t sum = 0;
    if (__builtin_add_overflow(seconds, offset, &sum)) sum = offset < 0 ? kEarliest : kLatest;
    if (sum < kEarliest) sum = kEarliest;
    if (sum > kLatest) sum = kLatest;
    const time_t local = static_cast<time_t>(sum);
    struct tm parts {};
    gmtime_r(&local, &parts);
    char text[64];
    const size_t length = strftime(text, sizeof(text), "%F %T", &parts);
    char millis[32];
    std::snprintf(millis, sizeof(millis), ".%03lld", static_cast<long long>(milliseconds));
    return std::string(text, length) + millis;
}

namespace detail {
namespace {

using Json = nlohmann::ordered_json;

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const std::string one = text.substr(i, 4);
    for (size_t length = 1; length <= one.size(); ++length) {
        if (json::IsValidUtf8(one.substr(0, length))) return length;
    }
    return 0;
}

// Names and messages come from the recording server in whatever encoding it keeps.
// A payload must be valid UTF-8 to be serialised at all, and an alarm that cannot be
// serialised is lost, so each malformed byte becomes U+FFFD instead.
std::string ValidUtf8(const std::string& text) {
    if (json::IsValidUtf8(text)) return text;
    std::string clean;
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            clean += "\xEF\xBF\xBD";
            ++i;
        } else {
            clean.append(text, i, length);
            i += length;
        }
    }
    return clean;
}

Json RecorderKeys(const NvrInfo& nvr) {
    Json object = Json::object();
    object["SiteNo"] = ValidUtf8(nvr.site_no);
    object["IPAddress"] = ValidUtf8(nvr.ip_address);
    object["MACAddress"] = ValidUtf8(nvr.mac_address);
    return object;
}

void Serialise(Json object, std::string& out, const char* failure) {
    std::string text;
    if (!kv::json::JsonToString(std::move(object), text)) {
        logger::get_logger().log(ERROR, failure);
        return;
    }
    out = std::move(text);
}

}  // namespace

void MakeAlarmPayload(const NvrInfo& nvr, const AlarmData& alarm, std::string& out) {
    const bool drive = alarm.alarm_type == kAlarmDrive;
    Json object = RecorderKeys(nvr);
    object["ChannelNo"] = "";
    object["ChannelName"] = drive ? std::string() : ValidUtf8(alarm.channel);
    object["AlarmType"] = std::to_string(alarm.alarm_type);
    object["AlarmDetails"] = "";
    object["RecorderName"] = ValidUtf8(nvr.recorder_name);
    object["HardDiskNo"] = drive ? ValidUtf8(alarm.channel) : std::string();
    object["DateTime"] = ValidUtf8(alarm.date_time);
    object["Comments"] = ValidUtf8(alarm.comments);
    Serialise(std::move(object), out, "Failed to serialize Alarm payload");
}

void MakeHeartBeatOrNTPPayload(const NvrInfo& nvr, std::string& out) {
    Serialise(RecorderKeys(nvr), out, "Failed to serialize HeartBeat or NTP payload");
}

void MakeRecorderInfoPayload(const NvrInfo& nvr, std::string& out) {
    Json object = RecorderKeys(nvr);
    object["SerialNo"] = ValidUtf8(nvr.serial_no);
    object["FirmwareVersion"] = ValidUtf8(nvr.firmware_version);
    object["ModelName"] = ValidUtf8(nvr.model_name);
    object["NoOfChannel"] = std::to_string(nvr.channel_count);
    object["AlarmInputCount"] = "";
    object["AlarmOutputCount"] = "";
    object["AudioPortCount"] = "";
    Serialise(std::move(object), out, "Failed to serialize RecorderInfo payload");
}

}  // namespace detail
}  // namespace kv
