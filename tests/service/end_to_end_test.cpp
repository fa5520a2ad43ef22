// The service from end to end: recorder events in at the NVR simulator, alarms out at the
// receiver simulator, with connection losses, time settings and receiver failures.
#include <sys/stat.h>

#include <thread>

#include "common/logger.h"
#include "src/service/payloads.h"
#include "tests/service/service_fixture.h"

namespace kv {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A dropped event leaves no trace, so each test proves a drop by sending a reported event
// after it and waiting a little longer than that one took.
void Settle() { std::this_thread::sleep_for(milliseconds(500)); }

bool IsCamera(const Json& payload, const std::string& name) { return payload.value("ChannelName", "") == name; }

TEST_F(ServiceTest, RegistersThenTurnsRecorderEventsIntoAlarms) {
    StartNvr(BaseScenario());
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();

    EXPECT_EQ(DeliveredText("SendRecorderInfo").at(0),
              R"([{"SiteNo":"S-42","IPAddress":"127.0.0.3","MACAddress":"00:1A:2B:3C:4D:5E","SerialNo":"KV-TEST-0007",)"
              R"("FirmwareVersion":"7.4.2.0","ModelName":"Kelvora NVR","NoOfChannel":"3","AlarmInputCount":"",)"
              R"("AlarmOutputCount":"","AudioPortCount":""}])");
    const Json heartbeat = Json::parse(R"({"SiteNo":"S-42","IPAddress":"127.0.0.3","MACAddress":"00:1A:2B:3C:4D:5E"})");
    ASSERT_TRUE(WaitForDelivered("SendHeartBeat", [&](const Json& p) { return p == heartbeat; }));
    ASSERT_TRUE(WaitForDelivered("GetNTPServerInfo", [&](const Json& p) { return p == heartbeat; }));
    const Json online = Alarms("5").at(0);
    EXPECT_EQ(online["Comments"], "Recording server online");
    EXPECT_EQ(online["RecorderName"], "Test recorder");
    EXPECT_EQ(online["IPAddress"], "127.0.0.3");
    // The licensed adapter matched: no fallback lines.
    EXPECT_EQ(CountInLog("Could not find IP that corresponds to Licensed MAC"), 0);

    // Video loss: status non-zero is lost, zero is restored, only on primary cameras.
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3 millis=7"));
    ASSERT_TRUE(nvr_->Command("event 5 index=2 status=3"));
    ASSERT_TRUE(WaitForAlarm("1")) << Log();
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=0"));
    ASSERT_TRUE(WaitForAlarm("2"));
    const Json lost = Alarms("1").at(0);
    EXPECT_EQ(lost["ChannelName"], "Door");
    EXPECT_EQ(lost["Comments"], "Door");
    EXPECT_EQ(lost["HardDiskNo"], "");
    EXPECT_EQ(lost["ChannelNo"], "");
    EXPECT_EQ(lost["SiteNo"], "S-42");
    EXPECT_EQ(lost["DateTime"].get<std::string>().substr(19), ".007");

    // Motion is reported for every camera, primary or not.
    ASSERT_TRUE(nvr_->Command("event 6 index=2 status=1"));
    ASSERT_TRUE(WaitForAlarm("7"));
    EXPECT_EQ(Alarms("7").at(0)["ChannelName"], "Yard");

    // Drive message: the drive number goes to HardDiskNo, the name stays empty.
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("4"));
    const Json drive = Alarms("4").at(0);
    EXPECT_EQ(drive["HardDiskNo"], "12");
    EXPECT_EQ(drive["ChannelName"], "");
    EXPECT_EQ(drive["Comments"], "Drive 12 failing");

    // Video state: word32 set, word20 clear, word36 tells lost (0) from restored.
    ASSERT_TRUE(nvr_->Command("event 92 index=1 word32=1 word20=0 word36=0"));
    ASSERT_TRUE(nvr_->Command("event 92 index=1 word32=1 word20=1 word36=0"));
    ASSERT_TRUE(nvr_->Command("event 92 index=1 word32=0 word20=0 word36=0"));
    ASSERT_TRUE(nvr_->Command("event 92 index=1 word32=1 word20=0 word36=1"));
    ASSERT_TRUE(WaitForDelivered("SendAlarm", [](const Json& p) { return IsCamera(p, "Hall"); }, 2));

    // Events from before the service started are never reported.
    ASSERT_TRUE(nvr_->Command("event 5 index=1 status=3 offset=-3600"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=0"));
    ASSERT_TRUE(nvr_->Command("event 6 index=0 status=1"));
    ASSERT_TRUE(WaitForDelivered("SendAlarm", [](const Json& p) { return p["AlarmType"] == "7" && IsCamera(p, "Door"); }));
    Settle();

    size_t hall = 0;
    for (const Json& p : Delivered("SendAlarm")) hall += IsCamera(p, "Hall") ? 1 : 0;
    EXPECT_EQ(hall, 2u) << "only the two valid video-state events for Hall";
    EXPECT_EQ(Alarms("1").size(), 2u);  // Door video loss, Hall video state
    EXPECT_EQ(Alarms("2").size(), 2u);
    EXPECT_EQ(Alarms("4").size(), 1u);
    EXPECT_EQ(Alarms("5").size(), 1u);
    const Json stats = receiver_->Stats();
    EXPECT_EQ(stats.value("violations", -1), 0) << stats.dump();

    StopService();
    // The stored password replaced the plain one, and no log line ever held it.
    const Json config = Json::parse(ConfigText());
    const std::string stored = config["server_password"];
    EXPECT_GE(stored.size(), 64u);
    EXPECT_EQ(stored.size() % 32, 0u);
    EXPECT_EQ(Log().find("tulip482"), std::string::npos);
}

TEST_F(ServiceTest, EventsBeforeTheRecorderIsLoadedAreDropped) {
    Json scenario = BaseScenario();
    scenario["loaded_after_ms"] = -1;
    StartNvr(scenario);
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"result", "accepted"}, {"password_ok", true}}));
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(nvr_->Command("event 6 index=0 status=1"));
    Settle();
    ASSERT_TRUE(nvr_->Command("loaded on"));
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("4"));
    Settle();
    EXPECT_TRUE(Alarms("1").empty());
    EXPECT_TRUE(Alarms("7").empty());
    StopService();
}

TEST_F(ServiceTest, ConnectionLossSendsOneOfflineAndOneOnlineAlarm) {
    StartNvr(BaseScenario());
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_TRUE(WaitForDelivered("SendHeartBeat", [](const Json&) { return true; }));
    const size_t heartbeats = Delivered("SendHeartBeat").size();

    ASSERT_TRUE(nvr_->Command("accept off"));
    ASSERT_TRUE(nvr_->Command("drop"));
    ASSERT_TRUE(WaitForAlarm("6")) << Log();
    EXPECT_EQ(Alarms("6").at(0)["Comments"], "Recording server offline");
    ASSERT_TRUE(WaitForLog("Connection lost to kelvora server"));
    std::this_thread::sleep_for(seconds(1));
    EXPECT_EQ(Alarms("6").size(), 1u);
    EXPECT_EQ(Delivered("SendHeartBeat").size(), heartbeats) << "no heartbeat while off-line";

    ASSERT_TRUE(nvr_->Command("accept on"));
    ASSERT_TRUE(WaitForAlarm("5", 2)) << Log();
    ASSERT_TRUE(WaitForDelivered("SendHeartBeat", [](const Json&) { return true; }, heartbeats + 1))
        << "the heartbeat restarts with the recorder";
    Settle();
    EXPECT_EQ(Alarms("5").size(), 2u);
    EXPECT_EQ(Alarms("6").size(), 1u);
    EXPECT_EQ(Delivered("SendRecorderInfo").size(), 1u) << "registration happens once per process";
    StopService();
}

TEST_F(ServiceTest, RecorderDownFromTheStartLogsOnlyStatusChanges) {
    StartReceiver();
    // No simulator listens there: every connection attempt is refused.
    ServiceOptions options;
    options.nvr_port = UnusedLoopbackPort();
    WriteConfig(options);
    StartService();
    ASSERT_TRUE(WaitForLog("kvAPI connect status code: -1. (Unable to connect to: 127.0.0.1:"));
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(CountInLog("kvAPI connect status code"), 1) << Log();
    StopService();
    EXPECT_TRUE(receiver_->Records().empty());
}

TEST_F(ServiceTest, IgnoringNtpFormatsAlarmsInTheReceiversZone) {
    ServiceOptions options;
    options.report_motion = false;
    StartWithReceiverZone("17", options, BaseScenario());
    if (HasFatalFailure()) return;

    const int64_t when = static_cast<int64_t>(::time(nullptr));
    ASSERT_TRUE(nvr_->Command("event 6 index=0 status=1"));  // motion is not reported
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3 seconds=" + std::to_string(when) + " millis=5"));
    ASSERT_TRUE(nvr_->Command("event 5 index=1 status=3 seconds=" + std::to_string(when) + " millis=6"));
    ASSERT_TRUE(WaitForAlarm("1", 2)) << Log();
    Settle();
    EXPECT_TRUE(Alarms("7").empty());
    for (const Json& alarm : Alarms("1")) {
        EXPECT_EQ(alarm["DateTime"], FormatTime(when, alarm["ChannelName"] == "Door" ? 5 : 6, 3600));
    }
    EXPECT_EQ(CountInLog("Wardex timezone different from Kelvora server. Alarms will be reported using Wardex web "
                         "service time."),
              1);
    EXPECT_EQ(nvr_->Count({{"event", "set_server_time"}}), 0);
    EXPECT_EQ(nvr_->Count({{"event", "set_time_servers"}}), 0);
    StopService();
}

TEST_F(ServiceTest, AZoneOutsideTheTableKeepsTheRecordersOffsetWithOneWarning) {
    Json scenario = BaseScenario();
    scenario["time_zone"] = Json::parse(R"({"bias": 3600, "name": "(UTC+01:00) Morocco"})");
    StartWithReceiverZone("41", ServiceOptions{}, scenario);
    if (HasFatalFailure()) return;

    const int64_t when = static_cast<int64_t>(::time(nullptr));
    for (const char* camera : {"0", "1"}) {
        ASSERT_TRUE(nvr_->Command(std::string("event 5 status=3 millis=0 index=") + camera +
                                  " seconds=" + std::to_string(when)));
    }
    ASSERT_TRUE(WaitForAlarm("1", 2)) << Log();
    for (const Json& alarm : Alarms("1")) EXPECT_EQ(alarm["DateTime"], FormatTime(when, 0, 3600));
    EXPECT_EQ(CountInLog("Wardex time zone \"41\" is not a zone number from 1 to 40"), 1) << Log();
    EXPECT_EQ(CountInLog("Wardex timezone different from Kelvora server"), 0);
    StopService();
}

TEST_F(ServiceTest, PushesTheReceiversTimeSettingsToTheRecorder) {
    ServiceOptions options;
    options.ignore_ntp = false;
    StartWithReceiverZone("25", options, BaseScenario());
    if (HasFatalFailure()) return;
    // Time information is looked at when the next event arrives.
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    Json servers;
    ASSERT_TRUE(nvr_->WaitFor({{"event", "set_time_servers"}}, 1, seconds(10), &servers)) << Log();
    EXPECT_EQ(servers["address"], "127.0.0.9");
    EXPECT_EQ(servers["synced"], 1);
    EXPECT_EQ(servers["offset"], 0);
    EXPECT_EQ(servers["interval"], -1);
    Json zone;
    ASSERT_TRUE(nvr_->WaitFor({{"event", "set_server_time"}}, 1, seconds(10), &zone));
    EXPECT_EQ(zone["bias"], 345 * 60);
    EXPECT_EQ(zone["name"], "(UTC+05:45) Nepal");
    EXPECT_EQ(zone["apply"], 1);
    ASSERT_TRUE(WaitForLog("Finished verifying timezone and ntp server information"));

    const int64_t when = static_cast<int64_t>(::time(nullptr));
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3 seconds=" + std::to_string(when) + " millis=0"));
    ASSERT_TRUE(WaitForAlarm("1"));
    EXPECT_EQ(Alarms("1").at(0)["DateTime"], FormatTime(when, 0, 345 * 60));
    Settle();
    EXPECT_EQ(nvr_->Count({{"event", "set_server_time"}}), 1) << "applied once per run";
    StopService();
}

TEST_F(ServiceTest, AnswerWithoutTimeServerEndsTimeHandling) {
    StartNvr(BaseScenario());
    StartReceiver({"--ntp", R"({"TimeZone":"25"})"});
    ServiceOptions options;
    options.ignore_ntp = false;
    WriteConfig(options);
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_TRUE(WaitForLog("Failed to receive valid ntp info from wardex"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("4"));
    Settle();
    EXPECT_EQ(nvr_->Count({{"event", "set_time_servers"}}), 0);
    EXPECT_EQ(nvr_->Count({{"event", "set_server_time"}}), 0);
    EXPECT_EQ(CountInLog("Checking TimeServer info"), 0);
    StopService();
}

// Whoever answers in the receiver's place chooses the time answer: one field out of
// shape and the recorder is given nothing, neither the time server nor the zone.
TEST_F(ServiceTest, AHostileTimeAnswerLeavesTheRecorderUntouched) {
    StartNvr(BaseScenario());
    const Json ntp = {{"NTPServerIP", "attacker.example\x01;rm -rf /"},
                      {"NTPServerPort", "123"},
                      {"TimeZone", "25"},
                      {"UpdateInterval", "60"}};
    StartReceiver({"--ntp", ntp.dump()});
    ServiceOptions options;
    options.ignore_ntp = false;
    WriteConfig(options);
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_TRUE(WaitForLog(": Received ntp info: ip=attacker.example")) << Log();
    // Time information is looked at when the next event arrives.
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForLog("Wardex time answer not applied: \"NTPServerIP\" is not usable")) << Log();
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("4", 2)) << Log();
    Settle();
    EXPECT_EQ(nvr_->Count({{"event", "set_time_servers"}}), 0);
    EXPECT_EQ(nvr_->Count({{"event", "set_server_time"}}), 0);
    EXPECT_EQ(CountInLog("Checking TimeServer info"), 0);
    EXPECT_EQ(CountInLog("Wardex time answer not applied"), 1);
    StopService();
}

TEST_F(ServiceTest, AlarmsRaisedWhileTheReceiverFailsArriveOnceItRecovers) {
    StartNvr(BaseScenario());
    // The receiver is not there yet: every exchange is refused.
    const int port = UnusedLoopbackPort();
    ServiceOptions options;
    options.endpoint = "http://127.0.0.1:" + std::to_string(port) + "/WXAlarmReceiver/Receiver.svc";
    WriteConfig(options);
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"result", "accepted"}}));
    // The first refused exchanges open the receiver's breaker; then everything waits quietly.
    ASSERT_TRUE(WaitForLog("Receiver unreachable (error 6, HTTP status 0): ")) << Log();
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForLog("HTTP Status: 0"));

    // It comes up answering 500 to the first two application messages, then heals.
    StartReceiver({"--port", std::to_string(port), "--fault", "app status 500 times=2"});
    ASSERT_TRUE(WaitForAlarm("1", 1, seconds(90))) << Log();
    ASSERT_TRUE(WaitForAlarm("4", 1, seconds(90)));
    ASSERT_TRUE(WaitForAlarm("5", 1, seconds(90)));
    ASSERT_TRUE(WaitForDelivered("SendRecorderInfo", [](const Json&) { return true; }, 1, seconds(90)));
    Settle();
    EXPECT_EQ(Alarms("1").size(), 1u);
    EXPECT_EQ(Alarms("4").size(), 1u);
    StopService();
}

TEST_F(ServiceTest, AStoredPasswordStillLogsInAfterARestart) {
    StartNvr(BaseScenario());
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"password_ok", true}}));
    StopService();
    const std::string stored = Json::parse(ConfigText())["server_password"];
    ASSERT_NE(stored, "tulip482");

    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"password_ok", true}}, 2)) << Log();
    StopService();
    EXPECT_EQ(Json::parse(ConfigText())["server_password"], stored) << "a stored password is not rewritten";
    EXPECT_EQ(Log().find("tulip482"), std::string::npos);
}

// The service's log file of today, as written (not the console copy).
std::string LogFile(const TempDir& work) { return ReadFile(work.File("logs/" + generate_log_filename(0))); }

// Every byte below 0x20 or 0x7F in the log file other than the line ends.
std::string RawControlBytes(const std::string& text) {
    std::string found;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F) found += std::to_string(byte) + " ";
    }
    return found;
}

// Texts from the receiver and from the recorder carry a newline and escape sequences:
// each stays inside its own line, escaped, and no forged line appears.
TEST_F(ServiceTest, OutsideTextsCannotForgeLogLinesOrDriveTheTerminal) {
    Json scenario = BaseScenario();
    scenario["cameras"][0]["name"] = "Door\n2026-01-01T00:00:00.000Z main        ERROR    camera-forged\x1b[2J";
    scenario["drives"][0]["message"] = "Drive 12\r\n2026-01-01T00:00:00.000Z main        ERROR    drive-forged\x1b]0;x\x07";
    StartNvr(scenario);
    const Json ntp = {{"NTPServerIP", "127.0.0.9\n2026-01-01T00:00:00.000Z main        ERROR    ntp-forged\x1b[31m"},
                      {"NTPServerPort", "123"},
                      {"TimeZone", "16"},
                      {"UpdateInterval", "60"}};
    StartReceiver({"--ntp", ntp.dump()});
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_TRUE(WaitForLog("Received ntp info: ip=127.0.0.9\\n2026-01-01T00:00:00.000Z main        ERROR    "
                           "ntp-forged\\x1b[31m:123"))
        << Log();
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(nvr_->Command("event 17 index=12 status=1"));
    ASSERT_TRUE(WaitForAlarm("1")) << Log();
    ASSERT_TRUE(WaitForAlarm("4")) << Log();
    StopService();

    // The alarms themselves carry the names as the recorder gave them.
    EXPECT_EQ(Alarms("1").at(0)["ChannelName"], scenario["cameras"][0]["name"]);
    const std::string file = LogFile(work_);
    ASSERT_NE(file.find("Integration stopped"), std::string::npos) << file;
    EXPECT_EQ(RawControlBytes(file), "") << file;
    for (const char* forged : {"\nERROR    camera-forged", "\nERROR    drive-forged", "\nERROR    ntp-forged",
                               "\n2026-01-01T00:00:00.000Z"}) {
        EXPECT_EQ(file.find(forged), std::string::npos) << forged;
    }
    // On the console only the logger's own colour sequences remain.
    const std::string console = Log();
    for (size_t at = console.find('\x1b'); at != std::string::npos; at = console.find('\x1b', at + 1)) {
        const std::string sequence = console.substr(at, 5);
        EXPECT_TRUE(sequence == "\x1b[32m" || sequence == "\x1b[33m" || sequence == "\x1b[31m" ||
                    sequence.substr(0, 4) == "\x1b[0m")
            << "foreign escape sequence at " << at;
    }
}

TEST_F(ServiceTest, AStoredPasswordUnderAnotherIdentityIsNeverUsedToLogIn) {
    StartNvr(BaseScenario());
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"password_ok", true}})) << Log();
    StopService();
    const std::string stored = ConfigText();

    // A cloned disk: the identity script now prints another machine's identity.
    ASSERT_TRUE(WriteFile(work_.File("scripts/get_id.sh"), "#!/bin/sh\necho wardex-test-machine-0002\n", 0755));
    StartService();
    ASSERT_TRUE(WaitForLog("Could not decrypt \"server_password\" of \"./wardex.json\"")) << Log();
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(nvr_->Count({{"event", "login"}}), 1) << "no login with a password that is not known to be right";
    StopService();
    EXPECT_EQ(ConfigText(), stored) << "the stored value is kept";
}

// A configuration the service cannot parse: it runs on the built-in defaults, says so,
// sends nothing anywhere and leaves the operator's file exactly as it was.
TEST_F(ServiceTest, AConfigurationThatDoesNotParseIsKeptWhileTheServiceRunsOnDefaults) {
    ASSERT_EQ(::mkdir(work_.File("scripts").c_str(), 0755), 0);
    const std::string text = "{\n    \"service_endpoint\": \"http://127.0.0.1:9/WXAlarmReceiver/Receiver.svc\",\n}";
    ASSERT_TRUE(WriteFile(work_.File("wardex.json"), text, 0600));
    StartService();
    ASSERT_TRUE(WaitForLog("Configuration file \"./wardex.json\" is not valid: parse error at line 3, column 1: "))
        << Log();
    ASSERT_TRUE(WaitForLog("Wardex endpoint: not configured")) << Log();
    EXPECT_EQ(CountInLog("\"service_endpoint\" must be set in \"./wardex.json\""), 1);
    StopService();
    EXPECT_EQ(ConfigText(), text);
}

TEST_F(ServiceTest, AnyOtherServerAddressIsReportedAsConfigured) {
    Json scenario = BaseScenario();
    scenario["failing_calls"] = Json::array({"GetNetworkInfo"});  // a query would show as an ERROR
    StartNvr(scenario, "127.0.0.2");
    StartReceiver();
    ServiceOptions options;
    options.nvr_address = "127.0.0.2";
    WriteConfig(options);
    StartService();
    ASSERT_TRUE(WaitForRegistration()) << Log();
    EXPECT_EQ(Alarms("5").at(0)["IPAddress"], "127.0.0.2");
    EXPECT_EQ(CountInLog("KVAPI_GetNetworkInfo"), 0) << "no adapter is queried";
    EXPECT_EQ(CountInLog("Licensed MAC"), 0);
    StopService();
}

TEST_F(ServiceTest, StopsPromptlyAndCleanlyWithExchangesInFlight) {
    StartNvr(BaseScenario());
    StartReceiver({"--delay", "app", "20000"});
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"result", "accepted"}}));
    ASSERT_TRUE(nvr_->Command("event 5 index=0 status=3"));
    ASSERT_TRUE(kv::test::WaitFor([&] { return receiver_->Stats().value("app", 0) >= 2; }, seconds(20)));
    const auto before = std::chrono::steady_clock::now();
    StopService();  // exit status 0: nothing leaked, nothing crashed
    EXPECT_LT(std::chrono::steady_clock::now() - before, seconds(10)) << "the stop does not wait for the receiver";
    EXPECT_EQ(Log().find("ERROR: LeakSanitizer"), std::string::npos) << Log();
}

}  // namespace
}  // namespace testing
}  // namespace kv
