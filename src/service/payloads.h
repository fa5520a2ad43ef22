// The JSON payloads the receiver's methods take, and the recorder and alarm records
// they are built from.
//
// Every payload is a JSON object whose values are all strings, with its keys in a fixed
// order, in compact form. A builder writes `out` only when serialisation succeeded and
// logs at ERROR otherwise, so a caller that passes an empty string sends nothing.
#ifndef WARDEX_SRC_PAYLOADS_H_
#define WARDEX_SRC_PAYLOADS_H_

#include <cstdint>
#include <string>

namespace kv {

// What the receiver knows about the recording server.
struct NvrInfo {
    std::string address = "127.0.0.1";  // "server_address": where the service connects
    std::string mac_address;             // licensed MAC, ":"-separated
    std::string model_name = "Kelvora NVR";
    std::string serial_no;
    std::string firmware_version;
    std::string ip_address;              // the address reported in every payload
    std::string recorder_name;
    int32_t channel_count = 0;
    std::string site_no;                 // "site_number"
};

// One alarm; `channel` is the camera name, or the drive number for drive alarms (type 4).
struct AlarmData {
    std::string channel;
    std::string date_time;
    std::string comments;
    int32_t alarm_type = 0;
};

// Alarm types as the receiver knows them.
enum AlarmType : int32_t {
    kAlarmVideoLoss = 1,
    kAlarmVideoRestored = 2,
    kAlarmDrive = 4,
    kAlarmServerOnline = 5,
    kAlarmServerOffline = 6,
    kAlarmMotion = 7,
};

// "YYYY-MM-DD HH:MM:SS.mmm" of seconds + offset, broken down as UTC: the local time of
// an event when offset is the zone's offset east of UTC in seconds. A sum outside the
// years 1000 to 9999 (or beyond 64 bits) is clamped to the nearer end.
std::string FormatTime(int64_t seconds, int64_t milliseconds, int64_t offset);

namespace detail {

void MakeAlarmPayload(const NvrInfo& nvr, const AlarmData& alarm, std::string& out);
void MakeHeartBeatOrNTPPayload(const NvrInfo& nvr, std::string& out);
void MakeRecorderInfoPayload(const NvrInfo& nvr, std::string& out);

}  // namespace detail
}  // namespace kv

#endif  // WARDEX_SRC_PAYLOADS_H_
