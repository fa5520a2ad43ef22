// The receiver's time answers against the offset alarm times take and what the recorder
// is given, with a scripted recorder.
#include "src/service/time_sync.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/service/fake_recorder_link.h"

namespace kv {
namespace {

soap::NtpInfo Answer(const std::string& server, const std::string& zone, int32_t error = 0) {
    soap::NtpInfo info;
    info.ntp_server_ip = server;
    info.ntp_server_port = "123";
    info.time_zone = zone;
    info.update_interval = "3600";
    info.error_code = error;
    return info;
}

int64_t ZoneOffset(const std::string& number) {
    TimeZone zone;
    EXPECT_TRUE(LookupTimeZone(number, zone));
    return zone.offset_seconds;
}

// "ignore_ntp" true: the recorder is left alone and alarm times follow the receiver.
TEST(TimeSyncTest, IgnoringTheReceiversTimeServerFollowsItsZone) {
    struct Case {
        soap::NtpInfo answer;
        int64_t server_offset;
        int64_t offset;  // afterwards
        size_t lines;
    };
    const Case cases[] = {
        {Answer("10.0.0.1", "17"), 0, ZoneOffset("17"), 1},
        {Answer("10.0.0.1", "17"), ZoneOffset("17"), ZoneOffset("17"), 0},  // the same zone: nothing said
        {Answer("", "17"), 0, 0, 0},                                        // no answer yet
        {Answer("10.0.0.1", "17", -1), 0, 0, 0},                            // no time server: given up
        {Answer("10.0.0.1", "41"), 0, 0, 1},                                // names no zone: kept, said once
        {Answer("10.0.0.1", "five"), 0, 0, 1},
    };
    for (const Case& c : cases) {
        TimeSync sync(true);
        sync.SetServerOffset(c.server_offset);
        sync.OnAnswer(c.answer);
        Diagnostics lines;
        for (int event = 0; event < 3; ++event) sync.OnEvent(lines);
        EXPECT_EQ(sync.offset(), c.offset) << c.answer.time_zone;
        EXPECT_EQ(lines.size(), c.lines) << c.answer.time_zone;
        EXPECT_FALSE(sync.UpdateDue());
        if (c.answer.time_zone == "41") {
            EXPECT_EQ(lines.at(0).text.substr(0, 25), "Wardex time zone \"41\" is ");
        }
    }
}

// With "ignore_ntp" true the comparison goes on at every event: a later answer in
// another zone moves the offset again.
TEST(TimeSyncTest, IgnoringComparesAtEveryEvent) {
    TimeSync sync(true);
    Diagnostics lines;
    sync.OnAnswer(Answer("10.0.0.1", "17"));
    sync.OnEvent(lines);
    sync.OnAnswer(Answer("10.0.0.1", "25"));
    sync.OnEvent(lines);
    EXPECT_EQ(sync.offset(), ZoneOffset("25"));
    EXPECT_EQ(lines.size(), 2u);
}

// "ignore_ntp" false: an answer in shape is given to the recorder once.
TEST(TimeSyncTest, ApplyingGivesTheRecorderWhatDiffers) {
    struct Case {
        std::string current;  // the recorder's time server
        bool synced;
        soap::NtpInfo answer;
        int set_zone_result;
        std::vector<std::string> servers_set;
        std::vector<std::string> zones_set;
        int64_t offset;  // afterwards, from 0
    };
    const Case cases[] = {
        {"10.0.0.1", true, Answer("10.0.0.1", "16"), 0, {}, {}, 0},  // nothing differs
        {"10.0.0.9", true, Answer("10.0.0.1", "16"), 0, {"10.0.0.1"}, {}, 0},
        {"10.0.0.1", false, Answer("10.0.0.1", "16"), 0, {"10.0.0.1"}, {}, 0},  // not synced: rewritten
        {"", false, Answer("10.0.0.1", "25"), 0, {}, {"(UTC+05:45) Nepal"}, ZoneOffset("25")},  // none kept
        {"10.0.0.1", true, Answer("10.0.0.1", "25"), -1, {}, {"(UTC+05:45) Nepal"}, 0},  // refused: offset stays
    };
    for (const Case& c : cases) {
        FakeRecorderLink recorder;
        recorder.time_server = c.current;
        recorder.time_server_synced = c.synced;
        recorder.results["set zone"] = c.set_zone_result;
        TimeSync sync(false);
        sync.OnAnswer(c.answer);
        Diagnostics lines;
        sync.OnEvent(lines);
        ASSERT_TRUE(sync.UpdateDue()) << c.current;
        EXPECT_EQ(sync.offset(), 0) << "nothing changes before the recorder is given it";
        sync.ApplyToRecorder(recorder, 1700000000, lines);
        EXPECT_FALSE(sync.UpdateDue()) << "once";
        EXPECT_EQ(recorder.time_servers_set, c.servers_set) << c.current;
        EXPECT_EQ(recorder.zones_set, c.zones_set) << c.current;
        EXPECT_EQ(sync.offset(), c.offset) << c.current;
    }
}

TEST(TimeSyncTest, AnAnswerOutOfShapeIsNotApplied) {
    for (const soap::NtpInfo& answer : {Answer("10.0.0.1", "41"), Answer("not a host!", "16")}) {
        TimeSync sync(false);
        sync.OnAnswer(answer);
        Diagnostics lines;
        sync.OnEvent(lines);
        sync.OnEvent(lines);
        EXPECT_FALSE(sync.UpdateDue());
        ASSERT_EQ(lines.size(), 1u) << "refused once, then time handling ends";
        EXPECT_EQ(lines[0].level, ERROR);
    }
}

// The answer taken is the one checked: a later one does not slip past the check.
TEST(TimeSyncTest, TheCheckedAnswerIsTheOneApplied) {
    FakeRecorderLink recorder;
    recorder.time_server = "10.0.0.9";
    TimeSync sync(false);
    sync.OnAnswer(Answer("10.0.0.1", "16"));
    Diagnostics lines;
    sync.OnEvent(lines);
    sync.OnAnswer(Answer("bad host!", "99"));
    sync.ApplyToRecorder(recorder, 1700000000, lines);
    EXPECT_EQ(recorder.time_servers_set, std::vector<std::string>{"10.0.0.1"});
}

}  // namespace
}  // namespace kv
