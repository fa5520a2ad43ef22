// The payloads exactly as the receiver gets them, and the receiver's time-zone table.
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/common_json.h"
#include "src/service/payloads.h"
#include "src/recorder/time_zones.h"

namespace kv {
namespace {

NvrInfo Recorder() {
    NvrInfo nvr;
    nvr.site_no = "S-17";
    nvr.ip_address = "127.0.0.2";
    nvr.mac_address = "00:11:22:AA:BB:CC";
    nvr.serial_no = "SN1";
    nvr.firmware_version = "7.2.1";
    nvr.recorder_name = "Warehouse";
    nvr.channel_count = 16;
    return nvr;
}

TEST(FormatTime, AddsOffsetAndPadsMilliseconds) {
    // 2019-03-07 14:05:09 UTC.
    EXPECT_EQ(FormatTime(1551967509, 7, 3600), "2019-03-07 15:05:09.007");
    EXPECT_EQ(FormatTime(1551967509, 0, 0), "2019-03-07 14:05:09.000");
    EXPECT_EQ(FormatTime(1551967509, 999, 0), "2019-03-07 14:05:09.999");
    // The sum is formatted, so a negative offset crosses midnight and the month.
    EXPECT_EQ(FormatTime(1551398400, 5, -3600), "2019-02-28 23:00:00.005");
}

TEST(FormatTime, SumsBeyondSixtyFourBitsOrFourDigitYearsAreClamped) {
    // Under the sanitizer a signed overflow here would abort the test.
    EXPECT_EQ(FormatTime(INT64_MAX, 0, 3600), "9999-12-31 23:59:59.000");
    EXPECT_EQ(FormatTime(INT64_MIN, 0, -3600), "1000-01-01 00:00:00.000");
    EXPECT_EQ(FormatTime(INT64_MAX, 1, INT64_MAX), "9999-12-31 23:59:59.001");
    EXPECT_EQ(FormatTime(INT64_MIN, 0, INT64_MIN), "1000-01-01 00:00:00.000");
    EXPECT_EQ(FormatTime(253402300799, 0, 1), "9999-12-31 23:59:59.000");
    EXPECT_EQ(FormatTime(INT64_MIN, 0, INT64_MAX), "1969-12-31 23:59:59.000");
}

TEST(Payloads, MotionAlarmHasEveryKeyInOrderAsStrings) {
    AlarmData alarm;
    alarm.channel = "Door";
    alarm.comments = "Door";
    alarm.alarm_type = kAlarmMotion;
    alarm.date_time = FormatTime(1551967509, 7, 3600);
    std::string out;
    detail::MakeAlarmPayload(Recorder(), alarm, out);
    EXPECT_EQ(out,
              "{\"SiteNo\":\"S-17\",\"IPAddress\":\"127.0.0.2\",\"MACAddress\":\"00:11:22:AA:BB:CC\","
              "\"ChannelNo\":\"\",\"ChannelName\":\"Door\",\"AlarmType\":\"7\",\"AlarmDetails\":\"\","
              "\"RecorderName\":\"Warehouse\",\"HardDiskNo\":\"\",\"DateTime\":\"2019-03-07 15:05:09.007\","
              "\"Comments\":\"Door\"}");
}

TEST(Payloads, DriveAlarmMovesChannelToHardDisk) {
    AlarmData alarm;
    alarm.channel = "2";
    alarm.comments = "Drive 2 \"failing\"\n";
    alarm.alarm_type = kAlarmDrive;
    alarm.date_time = "2019-03-07 14:05:09.000";
    std::string out;
    detail::MakeAlarmPayload(NvrInfo(), alarm, out);
    EXPECT_EQ(out,
              "{\"SiteNo\":\"\",\"IPAddress\":\"\",\"MACAddress\":\"\",\"ChannelNo\":\"\",\"ChannelName\":\"\","
              "\"AlarmType\":\"4\",\"AlarmDetails\":\"\",\"RecorderName\":\"\",\"HardDiskNo\":\"2\","
              "\"DateTime\":\"2019-03-07 14:05:09.000\",\"Comments\":\"Drive 2 \\\"failing\\\"\\n\"}");
}

TEST(Payloads, HeartbeatAndRecorderInfo) {
    std::string heartbeat;
    detail::MakeHeartBeatOrNTPPayload(Recorder(), heartbeat);
    EXPECT_EQ(heartbeat, "{\"SiteNo\":\"S-17\",\"IPAddress\":\"127.0.0.2\",\"MACAddress\":\"00:11:22:AA:BB:CC\"}");

    std::string info;
    detail::MakeRecorderInfoPayload(Recorder(), info);
    EXPECT_EQ(info,
              "{\"SiteNo\":\"S-17\",\"IPAddress\":\"127.0.0.2\",\"MACAddress\":\"00:11:22:AA:BB:CC\","
              "\"SerialNo\":\"SN1\",\"FirmwareVersion\":\"7.2.1\",\"ModelName\":\"Kelvora NVR\","
              "\"NoOfChannel\":\"16\",\"AlarmInputCount\":\"\",\"AlarmOutputCount\":\"\",\"AudioPortCount\":\"\"}");
}

// Random texts of valid UTF-8: every ASCII byte (quotes, backslash, control bytes) and
// characters of two, three and four bytes.
std::string RandomUtf8(std::mt19937& random) {
    static const char* const kWide[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x94\x94", "\xEF\xBF\xBD", "\xC2\x80"};
    std::string text;
    const size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) {
        if (random() % 4 == 0) {
            text += kWide[random() % 5];
        } else {
            text += static_cast<char>(random() % 128);
        }
    }
    return text;
}

// The payloads are written without a JSON value; they must be the bytes that the compact
// form of the same object, member by member, gives.
TEST(Payloads, WrittenBytesEqualTheCompactFormOfTheSameObject) {
    std::mt19937 random(20261210);
    for (int round = 0; round < 300; ++round) {
        NvrInfo nvr;
        nvr.site_no = RandomUtf8(random);
        nvr.ip_address = RandomUtf8(random);
        nvr.mac_address = RandomUtf8(random);
        nvr.recorder_name = RandomUtf8(random);
        nvr.serial_no = RandomUtf8(random);
        nvr.firmware_version = RandomUtf8(random);
        nvr.model_name = RandomUtf8(random);
        nvr.channel_count = static_cast<int32_t>(random()) - 1000;
        AlarmData alarm;
        alarm.channel = RandomUtf8(random);
        alarm.date_time = RandomUtf8(random);
        alarm.comments = RandomUtf8(random);
        alarm.alarm_type = round % 3 == 0 ? kAlarmDrive : static_cast<int32_t>(random() % 8);
        const bool drive = alarm.alarm_type == kAlarmDrive;

        json::Value keys = json::Value::object();
        keys["SiteNo"] = nvr.site_no;
        keys["IPAddress"] = nvr.ip_address;
        keys["MACAddress"] = nvr.mac_address;
        json::Value alarm_object = keys;
        alarm_object["ChannelNo"] = "";
        alarm_object["ChannelName"] = drive ? std::string() : alarm.channel;
        alarm_object["AlarmType"] = std::to_string(alarm.alarm_type);
        alarm_object["AlarmDetails"] = "";
        alarm_object["RecorderName"] = nvr.recorder_name;
        alarm_object["HardDiskNo"] = drive ? alarm.channel : std::string();
        alarm_object["DateTime"] = alarm.date_time;
        alarm_object["Comments"] = alarm.comments;
        json::Value info = keys;
        info["SerialNo"] = nvr.serial_no;
        info["FirmwareVersion"] = nvr.firmware_version;
        info["ModelName"] = nvr.model_name;
        info["NoOfChannel"] = std::to_string(nvr.channel_count);
        info["AlarmInputCount"] = "";
        info["AlarmOutputCount"] = "";
        info["AudioPortCount"] = "";

        std::string expected, written;
        ASSERT_TRUE(json::JsonToString(alarm_object, expected));
        detail::MakeAlarmPayload(nvr, alarm, written);
        EXPECT_EQ(expected, written) << "round " << round;
        ASSERT_TRUE(json::JsonToString(keys, expected));
        detail::MakeHeartBeatOrNTPPayload(nvr, written);
        EXPECT_EQ(expected, written) << "round " << round;
        ASSERT_TRUE(json::JsonToString(info, expected));
        detail::MakeRecorderInfoPayload(nvr, written);
        EXPECT_EQ(expected, written) << "round " << round;
    }
}

TEST(Payloads, MalformedUtf8FromTheRecorderIsReplacedNotLost) {
    AlarmData alarm;
    alarm.channel = "T\xFCr";  // Latin-1, not UTF-8
    alarm.comments = "caf\xC3\xA9";
    alarm.alarm_type = kAlarmVideoLoss;
    std::string out;
    detail::MakeAlarmPayload(NvrInfo(), alarm, out);
    EXPECT_NE(out.find("\"ChannelName\":\"T\xEF\xBF\xBDr\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"Comments\":\"caf\xC3\xA9\""), std::string::npos) << out;
}

TEST(TimeZones, TableRowsAndRefusals) {
    TimeZone zone;
    ASSERT_TRUE(LookupTimeZone("25", zone));
    EXPECT_EQ(zone.offset_seconds, 345 * 60);
    EXPECT_STREQ(zone.name, "(UTC+05:45) Nepal");
    ASSERT_TRUE(LookupTimeZone("1", zone));
    EXPECT_EQ(zone.offset_seconds, -720 * 60);
    ASSERT_TRUE(LookupTimeZone("40", zone));
    EXPECT_EQ(zone.offset_seconds, 840 * 60);
    EXPECT_STREQ(zone.name, "(UTC+14:00) Line Islands");
    ASSERT_TRUE(LookupTimeZone("16", zone));
    EXPECT_EQ(zone.offset_seconds, 0);

    TimeZone untouched;
    untouched.offset_seconds = 42;
    for (const char* bad : {"0", "41", "-1", "", "abc", "17x", "99999999999"}) {
        EXPECT_FALSE(LookupTimeZone(bad, untouched)) << bad;
        EXPECT_EQ(untouched.offset_seconds, 42) << bad;
    }
}

}  // namespace
}  // namespace kv
