// Recorder queries that fail or hang, from end to end with wardex, wardex-nvr-sim and
// wardex-receiver-sim as real processes on 127.0.0.1: each failing per-event query still
// gives its alarm, with one WARNING; a query that hangs costs one deadline and its alarm
// still comes; events older than the start are logged (at most once a second) and not
// reported.
#include <regex>
#include <thread>

#include "tests/service/service_fixture.h"

namespace kv {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

void Settle() { std::this_thread::sleep_for(milliseconds(500)); }

class RecorderAnswersTest : public ServiceTest {
protected:
    void StartRegistered(const Json& scenario) {
        StartNvr(scenario);
        StartReceiver();
        WriteConfig(ServiceOptions{});
        StartService();
        ASSERT_TRUE(WaitForRegistration()) << Log();
    }
};

TEST_F(RecorderAnswersTest, AFailingIsPrimaryStillGivesTheAlarmWithOneWarning) {
    Json scenario = BaseScenario();
    scenario["failing_calls"] = {"IsPrimary"};
    StartRegistered(scenario);

    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(WaitForAlarm("1")) << Log();
    EXPECT_EQ(Alarms("1").at(0)["ChannelName"], "Door");
    ASSERT_TRUE(nvr_->Command("event 92 index=0 word32=1 word36=1"));
    ASSERT_TRUE(WaitForAlarm("2")) << Log();
    Settle();
    EXPECT_EQ(CountInLog("Camera 0: recorder query failed (KVAPI_IsPrimary: -5); its alarms are sent as for a "
                         "primary camera until the next registration"),
              1)
        << Log();
    EXPECT_EQ(CountInLog("recorder query failed"), 1) << Log();
    StopService();
}

TEST_F(RecorderAnswersTest, AFailingCameraNameGivesTheAlarmWithoutANameAndOneWarning) {
    Json scenario = BaseScenario();
    scenario["failing_calls"] = {"GetCameraName"};
    StartRegistered(scenario);

    ASSERT_TRUE(nvr_->Command("event 6 index=1 status=1"));
    ASSERT_TRUE(nvr_->Command("event 5 index=1 status=3"));
    ASSERT_TRUE(WaitForAlarm("7")) << Log();
    ASSERT_TRUE(WaitForAlarm("1")) << Log();
    EXPECT_EQ(Alarms("7").at(0)["ChannelName"], "");
    EXPECT_EQ(Alarms("1").at(0)["ChannelName"], "");
    // A camera that is not primary is still dropped: its role was read.
    ASSERT_TRUE(nvr_->Command("event 5 index=2 status=3"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("4")) << Log();
    Settle();
    EXPECT_EQ(Alarms("1").size(), 1u);
    EXPECT_EQ(CountInLog("Camera 1: recorder query failed (KVAPI_GetCameraName: -5); its alarms are sent with an "
                         "empty name until the next registration"),
              1)
        << Log();
    EXPECT_EQ(CountInLog("Camera 2: recorder query failed (KVAPI_GetCameraName: -5)"), 1) << Log();
    StopService();
}

TEST_F(RecorderAnswersTest, AFailingVersionAfterRegistrationKeepsTheRecorderLoadedWithOneWarning) {
    StartRegistered(BaseScenario());
    ASSERT_TRUE(nvr_->Command("fail GetServerVersion on"));
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(WaitForAlarm("1")) << Log();

    // The next connection registers again while the version cannot be read.
    ASSERT_TRUE(nvr_->Command("drop"));
    ASSERT_TRUE(WaitForAlarm("6")) << Log();
    ASSERT_TRUE(WaitForAlarm("5", 2)) << Log();
    ASSERT_TRUE(WaitForLog("KVAPI_GetServerVersion: -5")) << Log();
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("1", 2)) << Log();
    ASSERT_TRUE(WaitForAlarm("4")) << Log();
    EXPECT_EQ(Alarms("1").at(1)["ChannelName"], "Door");
    Settle();
    EXPECT_EQ(CountInLog("Recorder query failed (KVAPI_GetServerVersion: -5); the recorder counts as loaded with "
                         "its last known version 7.4.2.0 until the next registration"),
              1)
        << Log();
    StopService();
}

// The name query hangs at registration: one deadline, then the recorder link is given a
// rest, and the alarm comes without its name.
TEST_F(RecorderAnswersTest, AHangingCameraNameCostsOneDeadlineAndTheAlarmStillComes) {
    Json scenario = BaseScenario();
    scenario["stalling_calls"] = {"GetCameraName"};
    StartRegistered(scenario);
    EXPECT_EQ(nvr_->Count({{"event", "stalled_call"}, {"op", "GetCameraName"}}), 1);

    // Camera 0's role was read before its name hung; nothing after it was asked.
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(WaitForAlarm("1")) << Log();
    EXPECT_EQ(Alarms("1").at(0)["ChannelName"], "");
    EXPECT_EQ(CountInLog("Camera 0: recorder query failed (KVAPI_GetCameraName: not asked, the recorder link is not "
                         "answering); its alarms are sent with an empty name until the next registration"),
              1)
        << Log();
    EXPECT_EQ(nvr_->Count({{"event", "stalled_call"}, {"op", "GetCameraName"}}), 1) << "no second deadline";
    StopService();
}

TEST_F(RecorderAnswersTest, AHangingDriveMessageGivesTheAlarmWithOneWarning) {
    StartRegistered(BaseScenario());
    ASSERT_TRUE(nvr_->Command("stall GetDriveMessage on"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("4", 2)) << Log();
    EXPECT_EQ(Alarms("4").at(0)["Comments"], "");
    EXPECT_EQ(Alarms("4").at(0)["HardDiskNo"], "12");
    EXPECT_EQ(nvr_->Count({{"event", "stalled_call"}, {"op", "GetDriveMessage"}}), 1) << "no second deadline";
    EXPECT_EQ(CountInLog("Drive 12: recorder query failed (KVAPI_GetDriveMessage: -3)"), 1) << Log();
    StopService();
}

TEST_F(RecorderAnswersTest, ADriveEventAMinuteBeforeTheStartIsLoggedAndNotReported) {
    StartRegistered(BaseScenario());
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1 offset=-60"));
    ASSERT_TRUE(WaitForLog("is older than the start at")) << Log();
    ASSERT_TRUE(nvr_->Command("event 6 index=0 status=1"));
    ASSERT_TRUE(WaitForAlarm("7")) << Log();
    Settle();
    EXPECT_TRUE(Alarms("4").empty());
    const std::regex line(
        "Event 17 of [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z is older than the start "
        "at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.000Z and is not reported \\(is the recorder's "
        "clock behind this host's\\?\\); 0 more such events not logged since the last line");
    EXPECT_TRUE(std::regex_search(Log(), line)) << Log();
    StopService();
}

// A burst of old events: at most a line a second, and the lines account for every event.
TEST_F(RecorderAnswersTest, OldEventsAreLoggedAtMostOnceASecondWithACount) {
    StartRegistered(BaseScenario());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(nvr_->Command("event 6 index=0 status=1 offset=-600"));
    ASSERT_TRUE(WaitForLog("is older than the start at")) << Log();
    std::this_thread::sleep_for(milliseconds(1100));
    ASSERT_TRUE(nvr_->Command("event 6 index=0 status=1 offset=-600"));
    ASSERT_TRUE(kv::test::WaitFor([&] { return CountInLog("is older than the start at") >= 2; }, seconds(5))) << Log();

    const std::regex counted("; ([0-9]+) more such events not logged since the last line");
    const std::string log = Log();
    int lines = 0, held_back = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), counted), end; it != end; ++it) {
        ++lines;
        held_back += std::stoi((*it)[1].str());
    }
    EXPECT_EQ(lines + held_back, 6) << log;
    EXPECT_LE(lines, 3) << log;
    EXPECT_TRUE(Alarms("7").empty());
    StopService();
}

}  // namespace
}  // namespace testing
}  // namespace kv
