// The connection manager against wardex-nvr-sim on 127.0.0.1.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TrevaskConnect.h"
#include "tests/connection/nvr_sim_process.h"

namespace {

using kv::testing::NvrSimProcess;
using Clock = std::chrono::steady_clock;

const char kScenario[] = R"({
  "credentials": {"user": "admin", "password": "tulip482"},
  "cameras": [{"name": "Gate"}, {"name": "Yard"}, {"name": "Hall"}],
  "loaded_after_ms": 0
})";

struct Forwarded {
    int type;
    intptr_t status;
    PayloadType payload;
    size_t size;
    void* user;
};

int Collect(int type, intptr_t status, PayloadType* payload, size_t size, void* user) {
    auto* list = static_cast<std::vector<Forwarded>*>(user);
    list->push_back({type, status, payload ? *payload : PayloadType{}, size, user});
    return 0;
}

class TrevaskConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.started()) << sim_.RawOutput();
        connection_.set_connection_info("127.0.0.1", sim_.port(), "admin", "tulip482");
        connection_.set_callback(Collect, &forwarded_);
    }

    bool SawType(int type) const {
        for (const auto& f : forwarded_)
            if (f.type == type) return true;
        return false;
    }

    // Turns the connection until `type` was forwarded or a select fails (bounded).
    bool TurnUntil(int type) {
        for (int i = 0; i < 500 && !SawType(type); ++i)
            if (connection_.select_handler() < 0) return false;
        return SawType(type);
    }

    NvrSimProcess sim_{kScenario};
    CTrevaskConnection connection_;
    std::vector<Forwarded> forwarded_;
};

TEST_F(TrevaskConnectionTest, ConnectLogsInAndReportsConnected) {
    EXPECT_FALSE(connection_.connected());
    EXPECT_EQ(connection_.connect_kvapi(false), 1);
    EXPECT_TRUE(connection_.connected());
    EXPECT_NE(connection_.get_handle(), nullptr);
    EXPECT_EQ(connection_.get_status(), "Connected");
    EXPECT_TRUE(sim_.WaitFor({{"event", "login"}, {"user", "admin"}, {"result", "accepted"}}));
    EXPECT_EQ(connection_.connect_kvapi(false), 1) << "already connected: no new attempt";
    EXPECT_EQ(sim_.Count({{"event", "connected"}}), 1);
    EXPECT_TRUE(SawType(71)) << "a successful login result is passed on";
}

TEST_F(TrevaskConnectionTest, WaitReadyReturnsOneOnlyAfterTheReadyEvent) {
    int result = 0;
    for (int i = 0; i < 50 && result != 1; ++i) result = connection_.connect_kvapi(true);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(SawType(4));
    EXPECT_TRUE(connection_.server_fully_loaded());
}

TEST_F(TrevaskConnectionTest, RefusedLoginFailsWithAddressAndIsNotForwarded) {
    connection_.set_connection_info("", 0 + sim_.port(), "", "not-the-password");
    EXPECT_EQ(connection_.connect_kvapi(false), -1);
    EXPECT_EQ(connection_.get_status(), "Unable to login to 127.0.0.1");
    EXPECT_EQ(connection_.get_handle(), nullptr);
    EXPECT_FALSE(connection_.connected());
    EXPECT_FALSE(SawType(71));
    EXPECT_TRUE(sim_.WaitFor({{"event", "login"}, {"result", "refused"}, {"password_ok", false}}));
}

TEST_F(TrevaskConnectionTest, StalledLoginStaysPendingOnTheSameHandle) {
    ASSERT_TRUE(sim_.Command("login stall"));
    const auto started = Clock::now();
    EXPECT_EQ(connection_.connect_kvapi(false), 0);
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(990));
    EXPECT_LE(waited, std::chrono::milliseconds(3000));
    KVAPI_HANDLE pending = connection_.get_handle();
    ASSERT_NE(pending, nullptr);
    EXPECT_FALSE(connection_.connected());

    EXPECT_EQ(connection_.connect_kvapi(false), 0) << "still no answer";
    EXPECT_EQ(connection_.get_handle(), pending);

    ASSERT_TRUE(sim_.Command("login accept"));
    EXPECT_EQ(connection_.connect_kvapi(false), 1);
    EXPECT_EQ(connection_.get_handle(), pending);
    EXPECT_EQ(sim_.Count({{"event", "connected"}}), 1) << "no second open";
    EXPECT_EQ(sim_.Count({{"event", "login"}}), 1) << "no second login";
}

TEST_F(TrevaskConnectionTest, PendingLoginRefusedLaterFails) {
    ASSERT_TRUE(sim_.Command("login stall"));
    EXPECT_EQ(connection_.connect_kvapi(false), 0);
    ASSERT_TRUE(sim_.Command("login refuse"));
    EXPECT_EQ(connection_.connect_kvapi(false), -1);
    EXPECT_EQ(connection_.get_status(), "Unable to login to 127.0.0.1");
    EXPECT_EQ(connection_.get_handle(), nullptr);
}

TEST_F(TrevaskConnectionTest, UnreachablePortFailsAndReleasesTheHandle) {
    const int port = kv::testing::UnusedLoopbackPort();
    ASSERT_GT(port, 0);
    connection_.set_connection_info("127.0.0.1", static_cast<uint16_t>(port), "", "");
    EXPECT_EQ(connection_.connect_kvapi(false), -1);
    EXPECT_EQ(connection_.get_status(), "Unable to connect to: 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(connection_.get_handle(), nullptr);
    EXPECT_EQ(connection_.connect_kvapi(false), -1) << "each call starts over";
}

TEST_F(TrevaskConnectionTest, FailedLoginCallNeverShowsThePassword) {
    const std::string password(2000, 'q');  // longer than the library accepts
    connection_.set_connection_info("", sim_.port(), "", password);
    EXPECT_EQ(connection_.connect_kvapi(false), -1);
    EXPECT_EQ(connection_.get_status(), "Unable to login to server: 127.0.0.1 with user/pass: admin/********");
    EXPECT_EQ(connection_.get_status().find("qqqq"), std::string::npos);
    EXPECT_EQ(connection_.get_handle(), nullptr);
}

TEST_F(TrevaskConnectionTest, LostConnectionIsReportedClosedAndReopenedOnTheNextConnect) {
    ASSERT_EQ(connection_.connect_kvapi(false), 1);
    KVAPI_HANDLE first = connection_.get_handle();
    ASSERT_TRUE(sim_.Command("drop"));
    int result = 0;
    for (int i = 0; i < 500 && result >= 0; ++i) result = connection_.select_handler();
    EXPECT_LT(result, 0);
    EXPECT_EQ(connection_.get_status(), "Connection lost to kelvora server");
    EXPECT_EQ(connection_.get_handle(), nullptr);
    EXPECT_FALSE(connection_.connected());
    EXPECT_LT(connection_.select_handler(), 0) << "no handle, no select";

    EXPECT_EQ(connection_.connect_kvapi(false), 1);
    EXPECT_NE(connection_.get_handle(), nullptr);
    EXPECT_TRUE(sim_.WaitFor({{"event", "connected"}, {"client", 2}}));
    EXPECT_TRUE(sim_.WaitFor({{"event", "login"}, {"client", 2}, {"result", "accepted"}}));
    (void)first;
}

TEST_F(TrevaskConnectionTest, SelectFailureWhileNotConnectedKeepsTheStatus) {
    ASSERT_TRUE(sim_.Command("login stall"));
    EXPECT_EQ(connection_.connect_kvapi(false), 0);
    ASSERT_TRUE(sim_.Command("drop"));
    int result = 0;
    for (int i = 0; i < 3 && result == 0; ++i) result = connection_.connect_kvapi(false);
    EXPECT_EQ(result, -2);
    EXPECT_EQ(connection_.get_status(), "KVAPI_Select error");
    EXPECT_EQ(connection_.get_handle(), nullptr);
}

TEST_F(TrevaskConnectionTest, ConnectionInfoKeepsValuesForEmptyTextsAndDefaultsPortZero) {
    ASSERT_EQ(connection_.connect_kvapi(false), 1);
    connection_.set_connection_info("", sim_.port(), "", "");
    EXPECT_EQ(connection_.get_handle(), nullptr) << "new information closes the open connection";
    EXPECT_FALSE(connection_.connected());
    EXPECT_EQ(connection_.connect_kvapi(false), 1) << "address, user and password were kept";
    EXPECT_EQ(sim_.Count({{"event", "login"}, {"user", "admin"}, {"password_ok", true}}), 2);

    CTrevaskConnection other;
    other.set_connection_info("127.0.0.2", 0, "admin", "tulip482");
    int result = other.connect_kvapi(false);
    if (result != -1) GTEST_SKIP() << "something answers on 127.0.0.2:22609";
    EXPECT_EQ(other.get_status(), "Unable to connect to: 127.0.0.2:22609");
}

TEST_F(TrevaskConnectionTest, EventsAreForwardedWithPayloadAndUserPointer) {
    ASSERT_EQ(connection_.connect_kvapi(false), 1);
    ASSERT_TRUE(TurnUntil(3));
    ASSERT_TRUE(sim_.Command("event 92 index=2 status=0 seconds=1700000000 millis=123 word20=0 word32=1 word36=9"));
    ASSERT_TRUE(sim_.Command("event 17 index=12 status=1 seconds=1700000001"));
    ASSERT_TRUE(TurnUntil(17));
    const Forwarded* video = nullptr;
    const Forwarded* drive = nullptr;
    for (const auto& f : forwarded_) {
        if (f.type == 92) video = &f;
        if (f.type == 17) drive = &f;
    }
    ASSERT_NE(video, nullptr);
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(video->payload.index, 2u);
    EXPECT_EQ(video->payload.seconds, 1700000000);
    EXPECT_EQ(video->payload.millis, 123);
    EXPECT_EQ(video->payload.word32, 1u);
    EXPECT_EQ(video->payload.word36, 9u);
    EXPECT_EQ(video->size, sizeof(PayloadType));
    EXPECT_EQ(video->user, &forwarded_);
    EXPECT_EQ(drive->payload.index, 12u);
    EXPECT_EQ(drive->status, 1);
    EXPECT_EQ(drive->payload.seconds, 1700000001);
}

TEST_F(TrevaskConnectionTest, FullyLoadedFollowsTheServerVersion) {
    ASSERT_TRUE(sim_.Command("loaded off"));
    ASSERT_EQ(connection_.connect_kvapi(false), 1);
    EXPECT_FALSE(connection_.server_fully_loaded());
    ASSERT_TRUE(sim_.Command("loaded on"));
    EXPECT_TRUE(connection_.server_fully_loaded());
    connection_.trevask_cleanup();
    EXPECT_FALSE(connection_.server_fully_loaded()) << "no handle, no version";
}

TEST_F(TrevaskConnectionTest, ClientNameIsRegisteredOnceWhenReadyAndLoaded) {
    connection_.set_client_name("wardex-monitor");
    int result = 0;
    for (int i = 0; i < 50 && result != 1; ++i) result = connection_.connect_kvapi(true);
    ASSERT_EQ(result, 1);
    for (int i = 0; i < 20; ++i) connection_.select_handler();
    EXPECT_TRUE(sim_.WaitFor({{"event", "push_client"}, {"name", "wardex-monitor"}, {"block_size", 40}, {"mode", 3},
                              {"enable", 1}, {"result", 0}}));
    EXPECT_EQ(sim_.Count({{"event", "push_client"}}), 1);
}

TEST(TrevaskConnectionEntry, NullUserIsRefusedAndOthersAreForwarded) {
    EXPECT_EQ(CTrevaskConnection::kvapi_callback(6, 1, nullptr, 0, nullptr), -1);
    CTrevaskConnection connection;
    std::vector<Forwarded> seen;
    connection.set_callback(Collect, &seen);
    PayloadType payload{};
    payload.index = 4;
    EXPECT_EQ(CTrevaskConnection::kvapi_callback(6, 1, &payload, sizeof(payload), &connection), 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload.index, 4u);
    CTrevaskConnection silent;
    EXPECT_EQ(CTrevaskConnection::kvapi_callback(6, 1, &payload, sizeof(payload), &silent), 0) << "no consumer";
}

}  // namespace
