// The simulator's scenario and command parsers: what test scripts and the demo rely on.
#include <gtest/gtest.h>

#include "sim/nvr/scenario.h"

namespace {

using kv::LoginMode;
using kv::NvrCommand;
using kv::NvrScenario;

TEST(NvrScenarioParse, FullScenarioLandsInItsFields) {
    NvrScenario s;
    std::string error;
    ASSERT_TRUE(kv::ParseScenario(R"({
      "credentials": {"user": "u", "password": "p"},
      "version": "1.2", "serial": "S", "description": "D", "licensed_mac": "AA-BB-CC-DD-EE-FF",
      "cameras": [{"name": "One"}, {"name": "Two", "primary": false}],
      "drives": [{"message": "first"}, {"index": 12, "message": "twelve"}],
      "time_zone": {"bias": -18000, "name": "(UTC-05:00) Eastern"},
      "time_server": {"address": "127.0.0.2", "synced": 0, "offset": 3, "interval": 60},
      "adapters": [{"mac": "AA:BB:CC:DD:EE:FF", "address": "0.0.0.0", "fail": true}],
      "loaded_after_ms": 1500, "login": "stall", "failing_calls": ["SetServerTime"],
      "stalling_calls": ["GetCameraName"],
      "timeline": [{"after_ms": 200, "type": 92, "index": 1, "status": 0, "offset": -1, "word32": 1}],
      "random_events": {"interval_ms": 3000, "types": [5, 92]}
    })", s, error)) << error;
    EXPECT_EQ(s.user, "u");
    EXPECT_EQ(s.password, "p");
    EXPECT_EQ(s.licensed_mac, "AA-BB-CC-DD-EE-FF");
    ASSERT_EQ(s.cameras.size(), 2u);
    EXPECT_TRUE(s.cameras[0].primary);
    EXPECT_FALSE(s.cameras[1].primary);
    ASSERT_EQ(s.drives.size(), 2u);
    EXPECT_EQ(s.drives[0].index, 0u) << "position is the default index";
    EXPECT_EQ(s.drives[1].index, 12u);
    EXPECT_EQ(s.tz_bias, -18000);
    EXPECT_EQ(s.time_server, "127.0.0.2");
    EXPECT_EQ(s.time_server_synced, 0);
    ASSERT_EQ(s.adapters.size(), 1u);
    EXPECT_TRUE(s.adapters[0].fail);
    EXPECT_EQ(s.loaded_after_ms, 1500);
    EXPECT_EQ(s.login, LoginMode::kStall);
    EXPECT_EQ(s.failing_calls.count("SetServerTime"), 1u);
    EXPECT_EQ(s.stalling_calls, (std::set<std::string>{"GetCameraName"}));
    ASSERT_EQ(s.timeline.size(), 1u);
    EXPECT_EQ(s.timeline[0].after_ms, 200);
    EXPECT_EQ(s.timeline[0].event.type, 92);
    EXPECT_EQ(s.timeline[0].event.offset, -1);
    EXPECT_FALSE(s.timeline[0].event.seconds.has_value());
    EXPECT_EQ(s.random_interval_ms, 3000);
    EXPECT_EQ(s.random_types, (std::vector<int>{5, 92}));
}

TEST(NvrScenarioParse, MistakesAreReportedWithTheirPlace) {
    NvrScenario s;
    std::string error;
    EXPECT_FALSE(kv::ParseScenario("{\"camera\": []}", s, error));
    EXPECT_EQ(error, "scenario: unknown key \"camera\"");
    EXPECT_FALSE(kv::ParseScenario(R"({"cameras": [{"name": 3}]})", s, error));
    EXPECT_EQ(error, "cameras[0]: \"name\" must be a string");
    EXPECT_FALSE(kv::ParseScenario(R"({"failing_calls": ["Reboot"]})", s, error));
    EXPECT_FALSE(kv::ParseScenario(R"({"stalling_calls": ["Reboot"]})", s, error));
    EXPECT_FALSE(kv::ParseScenario(R"({"stalling_calls": "IsPrimary"})", s, error));
    EXPECT_FALSE(kv::ParseScenario(R"({"timeline": [{"after_ms": 10}]})", s, error));
    EXPECT_EQ(error, "timeline[0]: \"type\" is required");
    EXPECT_FALSE(kv::ParseScenario(R"({"drives": [{"index": -1}]})", s, error));
    EXPECT_FALSE(kv::ParseScenario(R"({"login": "maybe"})", s, error));
    EXPECT_FALSE(kv::ParseScenario("[1, 2]", s, error));
    EXPECT_FALSE(kv::ParseScenario("{", s, error));
}

TEST(NvrScenarioParse, DemoScenarioIsValid) {
    NvrScenario s;
    std::string error;
    ASSERT_TRUE(kv::LoadScenarioFile(std::string(WARDEX_SOURCE_DIR) + "/sim/nvr/demo-scenario.json", s, error)) << error;
    EXPECT_GE(s.cameras.size(), 2u);
    EXPECT_EQ(s.drives.size(), 1u);
    EXPECT_GT(s.random_interval_ms, 0);
}

TEST(NvrCommandParse, EventTakesTypeAndNamedFields) {
    NvrCommand c;
    std::string error;
    ASSERT_TRUE(kv::ParseCommand("event 92 index=3 status=0 seconds=1700000000 millis=999 word20=0 word32=1 word36=2", c,
                                 error))
        << error;
    EXPECT_EQ(c.kind, NvrCommand::Kind::kEvent);
    EXPECT_EQ(c.event.type, 92);
    EXPECT_EQ(c.event.index, 3u);
    EXPECT_EQ(c.event.status, 0);
    EXPECT_EQ(c.event.seconds, 1700000000);
    EXPECT_EQ(c.event.millis, 999);
    EXPECT_EQ(c.event.word36, 2u);
    ASSERT_TRUE(kv::ParseCommand("event 5 offset=-3600", c, error));
    EXPECT_EQ(c.event.offset, -3600);
    EXPECT_EQ(c.event.status, 1) << "default status";
    EXPECT_FALSE(kv::ParseCommand("event", c, error));
    EXPECT_FALSE(kv::ParseCommand("event 5 index=-1", c, error));
    EXPECT_FALSE(kv::ParseCommand("event 5 millis=1000", c, error));
    EXPECT_FALSE(kv::ParseCommand("event 5 colour=red", c, error));
    EXPECT_FALSE(kv::ParseCommand("event 5 index=", c, error));
}

TEST(NvrCommandParse, ControlVerbs) {
    NvrCommand c;
    std::string error;
    ASSERT_TRUE(kv::ParseCommand("  drop ", c, error));
    EXPECT_EQ(c.kind, NvrCommand::Kind::kDrop);
    ASSERT_TRUE(kv::ParseCommand("accept off", c, error));
    EXPECT_EQ(c.kind, NvrCommand::Kind::kAccept);
    EXPECT_FALSE(c.on);
    ASSERT_TRUE(kv::ParseCommand("login refuse", c, error));
    EXPECT_EQ(c.login, LoginMode::kRefuse);
    ASSERT_TRUE(kv::ParseCommand("loaded on", c, error));
    EXPECT_TRUE(c.on);
    ASSERT_TRUE(kv::ParseCommand("fail GetNetworkAdapter on", c, error));
    EXPECT_EQ(c.call, "GetNetworkAdapter");
    EXPECT_FALSE(kv::ParseCommand("fail Reboot on", c, error));
    ASSERT_TRUE(kv::ParseCommand("stall GetCameraName on", c, error));
    EXPECT_EQ(c.kind, NvrCommand::Kind::kStall);
    EXPECT_EQ(c.call, "GetCameraName");
    EXPECT_TRUE(c.on);
    EXPECT_FALSE(kv::ParseCommand("stall Reboot on", c, error));
    EXPECT_EQ(error, "stall: unknown call Reboot");
    EXPECT_FALSE(kv::ParseCommand("stall IsPrimary", c, error));
    EXPECT_FALSE(kv::ParseCommand("accept maybe", c, error));
    EXPECT_FALSE(kv::ParseCommand("drop now", c, error));
    EXPECT_FALSE(kv::ParseCommand("", c, error));
    EXPECT_FALSE(kv::ParseCommand("reboot", c, error));
    EXPECT_EQ(error, "unknown command reboot");
}

}  // namespace
