// The recorder link from end to end, with wardex, wardex-nvr-sim and wardex-receiver-sim
// as real processes on 127.0.0.1: a recorder that hangs (SIGSTOP) or stops answering
// pings, or is killed and restarted, gives exactly one off-line and one on-line alarm,
// and no heartbeat while it is away; the first connection after failed turns registers
// with one on-line alarm and one heartbeat; refused logins are retried ever more slowly.
#include <signal.h>

#include <thread>

#include "tests/service/service_fixture.h"

namespace kv {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The client library's test hook: a ping every 300 ms, lost after 1.2 s without answer.
const std::vector<std::string> kShortPings = {"WARDEX_KVAPI_TEST_PING_INTERVAL_MS=300",
                                              "WARDEX_KVAPI_TEST_PING_TIMEOUT_MS=1200"};

bool Any(const Json&) { return true; }

class RecorderLinkTest : public ServiceTest {
protected:
    // Registered, with the first heartbeat delivered.
    void StartRegistered(const Json& scenario, const std::vector<std::string>& environment = {}) {
        StartNvr(scenario);
        StartReceiver();
        WriteConfig(ServiceOptions{});
        StartService(environment);
        ASSERT_TRUE(WaitForRegistration()) << Log();
        ASSERT_TRUE(WaitForDelivered("SendHeartBeat", Any)) << Log();
    }

    // After the loss: exactly one off-line alarm, and the heartbeat stays quiet.
    void ExpectOneOfflineAndNoHeartbeat(seconds within) {
        ASSERT_TRUE(WaitForAlarm("6", 1, within)) << Log();
        const size_t heartbeats = Delivered("SendHeartBeat").size();
        std::this_thread::sleep_for(seconds(2));
        EXPECT_EQ(Alarms("6").size(), 1u) << Log();
        EXPECT_EQ(Alarms("5").size(), 1u) << "not back yet";
        EXPECT_EQ(Delivered("SendHeartBeat").size(), heartbeats) << "no heartbeat while off-line";
        heartbeats_offline_ = heartbeats;
    }

    // After the return: exactly one more on-line alarm and the heartbeat running again.
    void ExpectOneOnlineAndHeartbeatAgain() {
        ASSERT_TRUE(WaitForAlarm("5", 2, seconds(30))) << Log();
        ASSERT_TRUE(WaitForDelivered("SendHeartBeat", Any, heartbeats_offline_ + 1)) << Log();
        std::this_thread::sleep_for(seconds(1));
        EXPECT_EQ(Alarms("5").size(), 2u) << Log();
        EXPECT_EQ(Alarms("6").size(), 1u) << Log();
        EXPECT_EQ(Delivered("SendHeartBeat").size(), heartbeats_offline_ + 1) << "one chain, one heartbeat at its start";
        EXPECT_EQ(Delivered("SendRecorderInfo").size(), 1u);
    }

    // The first connection after failed turns: one on-line alarm and one heartbeat.
    void ExpectSingleRegistration() {
        ASSERT_TRUE(WaitForRegistration()) << Log();
        ASSERT_TRUE(WaitForDelivered("SendHeartBeat", Any)) << Log();
        std::this_thread::sleep_for(seconds(2));
        EXPECT_EQ(Alarms("5").size(), 1u) << Log();
        EXPECT_EQ(Delivered("SendHeartBeat").size(), 1u) << Log();
        EXPECT_EQ(Delivered("SendRecorderInfo").size(), 1u);
        EXPECT_TRUE(Alarms("6").empty());
    }

    // The recorder already loaded when the login is accepted: its information event
    // arrives inside the service's wait for the login outcome.
    static Json LoadedScenario(const std::string& login) {
        Json scenario = BaseScenario();
        scenario["loaded_after_ms"] = 0;
        scenario["login"] = login;
        return scenario;
    }

    size_t heartbeats_offline_ = 0;
};

// The library's real timings: a ping every 5 s, lost 10 s after an unanswered one.
TEST_F(RecorderLinkTest, AHungRecorderIsReportedOffLineOnceAndOnLineOnceWhenItResumes) {
    StartRegistered(BaseScenario());
    ASSERT_TRUE(nvr_->Signal(SIGSTOP));
    ExpectOneOfflineAndNoHeartbeat(seconds(20));
    ASSERT_TRUE(nvr_->Signal(SIGCONT));
    ExpectOneOnlineAndHeartbeatAgain();
    StopService();
}

TEST_F(RecorderLinkTest, ARecorderThatStopsAnsweringPingsIsReportedLikeAHungOne) {
    StartRegistered(BaseScenario(), kShortPings);
    // Hung for everyone: the open link goes quiet and new logins get no answer either.
    ASSERT_TRUE(nvr_->Command("ping off"));
    ASSERT_TRUE(nvr_->Command("login stall"));
    ExpectOneOfflineAndNoHeartbeat(seconds(20));
    ASSERT_TRUE(WaitForLog("select failed: -1. (Connection lost to kelvora server)")) << Log();
    ASSERT_TRUE(nvr_->Command("ping on"));
    ASSERT_TRUE(nvr_->Command("login accept"));
    ExpectOneOnlineAndHeartbeatAgain();
    StopService();
}

TEST_F(RecorderLinkTest, AKilledAndRestartedRecorderGivesOneOffLineAndOneOnLineAlarm) {
    StartRegistered(BaseScenario(), kShortPings);
    const uint16_t port = nvr_->port();
    // The killed simulator's input pipe is closed: its "quit" must not end this test.
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(nvr_->Signal(SIGKILL));
    nvr_.reset();
    ExpectOneOfflineAndNoHeartbeat(seconds(20));
    StartNvr(BaseScenario(), "127.0.0.1", port);
    ExpectOneOnlineAndHeartbeatAgain();
    StopService();
}

TEST_F(RecorderLinkTest, FirstConnectionAfterARefusedLoginRegistersOnce) {
    StartNvr(LoadedScenario("refuse"));
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(WaitForLog("kvAPI connect status code: -1. (Unable to login to 127.0.0.1)")) << Log();
    ASSERT_TRUE(nvr_->Command("login accept"));
    ExpectSingleRegistration();
    StopService();
}

TEST_F(RecorderLinkTest, FirstConnectionAfterAStalledLoginRegistersOnce) {
    StartNvr(LoadedScenario("stall"));
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"result", "stalled"}}));
    // Past the service's wait for the outcome (one to two seconds): turns have ended
    // without a connection.
    std::this_thread::sleep_for(milliseconds(2500));
    EXPECT_TRUE(Alarms("5").empty());
    ASSERT_TRUE(nvr_->Command("login accept"));
    ExpectSingleRegistration();
    StopService();
}

TEST_F(RecorderLinkTest, FirstConnectionAfterAFailingOpenRegistersOnce) {
    StartNvr(LoadedScenario("accept"));
    ASSERT_TRUE(nvr_->Command("accept off"));
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(WaitForLog("kvAPI connect status code: -1. (Unable to connect to: 127.0.0.1:")) << Log();
    ASSERT_TRUE(nvr_->Command("accept on"));
    ExpectSingleRegistration();
    StopService();
}

TEST_F(RecorderLinkTest, RefusedLoginsAreRetriedEverMoreSlowlyUntilOneIsAccepted) {
    StartNvr(LoadedScenario("refuse"));
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"result", "refused"}}));
    // Waits of 1, 2 and 4 s: attempts near 0, 1, 3 and 7 s. At the unreachable-server pace
    // there would be about seventy.
    std::this_thread::sleep_for(milliseconds(8000));
    const int refused = nvr_->Count({{"event", "login"}, {"result", "refused"}});
    EXPECT_GE(refused, 3);
    EXPECT_LE(refused, 5);
    EXPECT_EQ(CountInLog("Unable to login to 127.0.0.1"), 1) << "the refusal is logged once";

    // The next attempt, at most 8 s away, is accepted.
    ASSERT_TRUE(nvr_->Command("login accept"));
    ASSERT_TRUE(WaitForRegistration()) << Log();

    // The accepted login reset the wait: after a new refusal the next attempt follows in
    // about a second, not after the 16 s the series had reached.
    ASSERT_TRUE(nvr_->Command("login refuse"));
    const int before = nvr_->Count({{"event", "login"}, {"result", "refused"}});
    ASSERT_TRUE(nvr_->Command("drop"));
    ASSERT_TRUE(nvr_->WaitFor({{"event", "login"}, {"result", "refused"}}, before + 2, seconds(6))) << Log();
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(nvr_->Count({{"event", "login"}, {"result", "refused"}}), before + 2) << "the third waits 2 s";
    StopService();
}

}  // namespace
}  // namespace testing
}  // namespace kv
