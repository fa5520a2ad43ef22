#include "src/service/payloads.h"

#include <ctime>
#include <cstdio>

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

// A payload: a JSON object of string members in the order they are added, written in
// kv::json's compact form (the bytes JsonToString gives for the same object), without
// building a JSON value first.
class PayloadWriter {
public:
    PayloadWriter() { text_.reserve(384); }

    // A value that is not valid UTF-8 goes in with each malformed byte as U+FFFD.
    PayloadWriter& Add(const char* key, const std::string& value) {
        text_ += text_.empty() ? '{' : ',';
        json::AppendJsonString(key, text_);
        text_ += ':';
        if (!json::AppendJsonString(value, text_)) ok_ = json::AppendJsonString(ValidUtf8(value), text_) && ok_;
        return *this;
    }

    // Leaves `out` alone and logs `failure` when a value could not be written.
    void Finish(std::string& out, const char* failure) {
        if (!ok_) {
            logger::get_logger().log(ERROR, failure);
            return;
        }
        text_ += text_.empty() ? "{}" : "}";
        out = std::move(text_);
    }

private:
    std::string text_;
    bool ok_ = true;
};

PayloadWriter& AddRecorderKeys(const NvrInfo& nvr, PayloadWriter& writer) {
    return writer.Add("SiteNo", nvr.site_no).Add("IPAddress", nvr.ip_address).Add("MACAddress", nvr.mac_address);
}

}  // namespace

void MakeAlarmPayload(const NvrInfo& nvr, const AlarmData& alarm, std::string& out) {
    static const std::string kEmpty;
    const bool drive = alarm.alarm_type == kAlarmDrive;
    PayloadWriter writer;
    AddRecorderKeys(nvr, writer)
        .Add("ChannelNo", kEmpty)
        .Add("ChannelName", drive ? kEmpty : alarm.channel)
        .Add("AlarmType", std::to_string(alarm.alarm_type))
        .Add("AlarmDetails", kEmpty)
        .Add("RecorderName", nvr.recorder_name)
        .Add("HardDiskNo", drive ? alarm.channel : kEmpty)
        .Add("DateTime", alarm.date_time)
        .Add("Comments", alarm.comments);
    writer.Finish(out, "Failed to serialize Alarm payload");
}

void MakeHeartBeatOrNTPPayload(const NvrInfo& nvr, std::string& out) {
    PayloadWriter writer;
    AddRecorderKeys(nvr, writer).Finish(out, "Failed to serialize HeartBeat or NTP payload");
}

void MakeRecorderInfoPayload(const NvrInfo& nvr, std::string& out) {
    static const std::string kEmpty;
    PayloadWriter writer;
    AddRecorderKeys(nvr, writer)
        .Add("SerialNo", nvr.serial_no)
        .Add("FirmwareVersion", nvr.firmware_version)
        .Add("ModelName", nvr.model_name)
        .Add("NoOfChannel", std::to_string(nvr.channel_count))
        .Add("AlarmInputCount", kEmpty)
        .Add("AlarmOutputCount", kEmpty)
        .Add("AudioPortCount", kEmpty);
    writer.Finish(out, "Failed to serialize RecorderInfo payload");
}

}  // namespace detail
}  // namespace kv
