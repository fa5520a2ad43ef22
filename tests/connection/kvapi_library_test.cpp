// libkvAPI.so on its own, against wardex-nvr-sim on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvapi/kvAPI.h"
#include "tests/connection/nvr_sim_process.h"

namespace {

using kv::testing::NvrSimProcess;
using nlohmann::json;

const char kScenario[] = R"({
  "credentials": {"user": "operator", "password": "s3cret-pw"},
  "version": "8.1.0.7", "serial": "SN-4711", "description": "Warehouse NVR",
  "licensed_mac": "00-1A-2B-3C-4D-5E",
  "cameras": [{"name": "Lobby entrance"}, {"name": "Dock", "primary": false}],
  "drives": [{"index": 12, "message": "Drive 12 is almost full"}],
  "time_zone": {"bias": 3600, "name": "(UTC+01:00) Morocco"},
  "time_server": {"address": "ntp.example.test", "synced": 1, "offset": 5, "interval": 600},
  "adapters": [
    {"mac": "00:1A:2B:3C:4D:5E", "address": "127.0.0.5"},
    {"address": "127.0.0.9"},
    {"mac": "AA:BB:CC:DD:EE:FF", "address": "127.0.9.9", "fail": true}
  ],
  "loaded_after_ms": -1
})";

struct Seen {
    int type;
    intptr_t status;
    PayloadType payload;
    size_t size;
    unsigned char raw[sizeof(PayloadType)];
};

struct Recorder {
    std::vector<Seen> events;
    KVAPI_HANDLE handle = nullptr;
    std::string name_read_inside;  // filled when a callback reads a camera name itself
    bool read_name_inside = false;
    bool cleanup_inside = false;
};

int Record(int type, intptr_t status, PayloadType* payload, size_t size, void* user) {
    auto* r = static_cast<Recorder*>(user);
    Seen seen{type, status, *payload, size, {}};
    std::memcpy(seen.raw, payload, sizeof(seen.raw));
    r->events.push_back(seen);
    if (r->read_name_inside && type == 5) {
        char name[64] = {};
        if (KVAPI_GetCameraName(r->handle, payload->index, name, sizeof(name)) == 0) r->name_read_inside = name;
    }
    if (r->cleanup_inside && type == 5) KVAPI_Cleanup(r->handle);
    return 0;
}

class KvapiLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.started()) << sim_.RawOutput();
        handle_ = KVAPI_Init();
        ASSERT_NE(handle_, nullptr);
        recorder_.handle = handle_;
        KVAPI_SetCallbackEx(handle_, Record, &recorder_);
        KVAPI_SetNonBlocking(handle_, 3);
    }
    void TearDown() override {
        if (handle_) {
            KVAPI_Close(handle_);
            KVAPI_Cleanup(handle_);
        }
    }

    // Turns Select until an event of `type` has been seen (bounded).
    bool SelectUntil(int type, int turns = 500) {
        for (int i = 0; i < turns; ++i) {
            for (const Seen& s : recorder_.events)
                if (s.type == type) return true;
            if (KVAPI_Select(handle_, 10) < 0) return false;
        }
        return false;
    }

    void LogIn() {
        ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
        ASSERT_EQ(KVAPI_Login(handle_, "operator", "s3cret-pw"), 0);
        ASSERT_TRUE(SelectUntil(71));
    }

    NvrSimProcess sim_{kScenario};
    KVAPI_HANDLE handle_ = nullptr;
    Recorder recorder_;
};

TEST(KvapiRecords, SizesAndOffsetsMatchTheBinaryInterface) {
    EXPECT_EQ(sizeof(PayloadType), 40u);
    EXPECT_EQ(offsetof(PayloadType, seconds), 8u);
    EXPECT_EQ(offsetof(PayloadType, millis), 16u);
    EXPECT_EQ(offsetof(PayloadType, word20), 20u);
    EXPECT_EQ(offsetof(PayloadType, word32), 32u);
    EXPECT_EQ(offsetof(PayloadType, word36), 36u);
    EXPECT_EQ(sizeof(KVAPI_TimeZone), 40u);
    EXPECT_EQ(offsetof(KVAPI_TimeZone, new_bias), 24u);
    EXPECT_EQ(offsetof(KVAPI_TimeZone, apply), 28u);
    EXPECT_EQ(offsetof(KVAPI_TimeZone, bias), 32u);
    EXPECT_EQ(sizeof(KVAPI_TimeServers), 56u);
    EXPECT_EQ(offsetof(KVAPI_TimeServers, synced), 24u);
    EXPECT_EQ(offsetof(KVAPI_TimeServers, offset), 40u);
    EXPECT_EQ(offsetof(KVAPI_TimeServers, interval), 48u);
    EXPECT_EQ(sizeof(KVAPI_NetworkInfo), 32u);
    EXPECT_EQ(offsetof(KVAPI_NetworkInfo, adapter_count), 16u);
    EXPECT_EQ(sizeof(KVAPI_NetworkAdapter), 168u);
    EXPECT_EQ(offsetof(KVAPI_NetworkAdapter, mac), 40u);
    EXPECT_EQ(offsetof(KVAPI_NetworkAdapter, mac_size), 48u);
    EXPECT_EQ(offsetof(KVAPI_NetworkAdapter, address), 56u);
    EXPECT_EQ(offsetof(KVAPI_NetworkAdapter, address_size), 64u);
    EXPECT_EQ(sizeof(KVAPI_PushClient), 56u);
    EXPECT_EQ(offsetof(KVAPI_PushClient, mode), 40u);
    EXPECT_EQ(offsetof(KVAPI_PushClient, enable), 44u);
}

TEST(KvapiHandle, CallsWithoutConnectionFailInsteadOfCrashing) {
    char buf[16] = "untouched";
    EXPECT_LT(KVAPI_Select(nullptr, 10), 0);
    EXPECT_LT(KVAPI_GetServerVersion(nullptr, buf, sizeof(buf)), 0);
    KVAPI_HANDLE h = KVAPI_Init();
    ASSERT_NE(h, nullptr);
    EXPECT_LT(KVAPI_Select(h, 10), 0);
    EXPECT_LT(KVAPI_Login(h, "admin", "pw"), 0);
    EXPECT_LT(KVAPI_GetServerSerial(h, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_NE(KVAPI_Open(h, "127.0.0.1", static_cast<uint16_t>(kv::testing::UnusedLoopbackPort())), 0);
    EXPECT_LT(KVAPI_Select(h, 10), 0);
    EXPECT_EQ(KVAPI_Close(h), 0);
    EXPECT_EQ(KVAPI_Cleanup(h), 0);
}

TEST_F(KvapiLibraryTest, LoginOutcomeArrivesInSelectFollowedByReady) {
    ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
    ASSERT_EQ(KVAPI_Login(handle_, "operator", "s3cret-pw"), 0);
    EXPECT_TRUE(recorder_.events.empty()) << "events are delivered only inside Select";
    ASSERT_TRUE(SelectUntil(4));
    ASSERT_GE(recorder_.events.size(), 2u);
    EXPECT_EQ(recorder_.events[0].type, 71);
    EXPECT_EQ(recorder_.events[0].status, 0);
    EXPECT_EQ(recorder_.events[0].payload.index, 0u);
    EXPECT_EQ(recorder_.events[0].size, sizeof(PayloadType));
    EXPECT_EQ(recorder_.events[1].type, 4);
    EXPECT_TRUE(sim_.WaitFor({{"event", "login"}, {"user", "operator"}, {"password_ok", true}, {"result", "accepted"}}));
    EXPECT_EQ(sim_.RawOutput().find("s3cret-pw"), std::string::npos);
}

TEST_F(KvapiLibraryTest, WrongPasswordGivesLoginEventWithNonZeroStatus) {
    ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
    ASSERT_EQ(KVAPI_Login(handle_, "operator", "wrong"), 0);
    ASSERT_TRUE(SelectUntil(71));
    EXPECT_NE(recorder_.events[0].status, 0);
    EXPECT_EQ(recorder_.events.size(), 1u) << "no ready event after a refusal";
}

TEST_F(KvapiLibraryTest, OverlongCredentialsAreRefusedNotCut) {
    ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
    EXPECT_NE(KVAPI_Login(handle_, "operator", std::string(2000, 'p').c_str()), 0);
    EXPECT_EQ(sim_.Count({{"event", "login"}}), 0);
}

TEST_F(KvapiLibraryTest, VersionIsEmptyUntilTheServerIsLoadedThenInformationEventFollows) {
    LogIn();
    char version[256];
    std::memset(version, 'x', sizeof(version));
    EXPECT_EQ(KVAPI_GetServerVersion(handle_, version, 255), 0);
    EXPECT_STREQ(version, "");
    for (int i = 0; i < 20; ++i) KVAPI_Select(handle_, 10);
    for (const Seen& s : recorder_.events) EXPECT_NE(s.type, 3) << "no server information before loading";

    ASSERT_TRUE(sim_.Command("loaded on"));
    ASSERT_TRUE(SelectUntil(3));
    EXPECT_EQ(KVAPI_GetServerVersion(handle_, version, 255), 0);
    EXPECT_STREQ(version, "8.1.0.7");
}

TEST_F(KvapiLibraryTest, TextQueriesFillNulTerminatedBuffers) {
    LogIn();
    char text[256] = {};
    EXPECT_EQ(KVAPI_GetServerSerial(handle_, text, 256), 0);
    EXPECT_STREQ(text, "SN-4711");
    EXPECT_EQ(KVAPI_GetServerDescription(handle_, text, 256), 0);
    EXPECT_STREQ(text, "Warehouse NVR");
    char mac[18];
    std::memset(mac, 'x', sizeof(mac));
    EXPECT_EQ(KVAPI_GetLicensedMac(handle_, mac, 18), 0);
    EXPECT_STREQ(mac, "00-1A-2B-3C-4D-5E");
    char short_mac[17] = "untouched";
    EXPECT_LT(KVAPI_GetLicensedMac(handle_, short_mac, sizeof(short_mac)), 0) << "a cut MAC must not pass as valid";
    EXPECT_STREQ(short_mac, "untouched");

    EXPECT_EQ(KVAPI_NumCameras(handle_), 2);
    EXPECT_NE(KVAPI_IsPrimary(handle_, 0), 0);
    EXPECT_EQ(KVAPI_IsPrimary(handle_, 1), 0);
    EXPECT_EQ(KVAPI_IsPrimary(handle_, 7), 0);
    char name[6];
    EXPECT_EQ(KVAPI_GetCameraName(handle_, 0, name, sizeof(name)), 0);
    EXPECT_STREQ(name, "Lobby") << "cut to the buffer, always terminated";
    char message[1024] = {};
    EXPECT_EQ(KVAPI_GetDriveMessage(handle_, 12, message, sizeof(message)), 0);
    EXPECT_STREQ(message, "Drive 12 is almost full");
    char none[32] = {};
    EXPECT_LT(KVAPI_GetDriveMessage(handle_, 3, none, sizeof(none)), 0);
    EXPECT_STREQ(none, "");
}

TEST_F(KvapiLibraryTest, NetworkAdapterReportsLengthsFirstThenTexts) {
    LogIn();
    KVAPI_NetworkInfo info{};
    info.size = sizeof(info);
    ASSERT_EQ(KVAPI_GetNetworkInfo(handle_, &info), 0);
    EXPECT_EQ(info.adapter_count, 3u);

    KVAPI_NetworkAdapter adapter{};
    adapter.size = sizeof(adapter);
    EXPECT_EQ(KVAPI_GetNetworkAdapter(handle_, 0, &adapter), 0);
    EXPECT_EQ(adapter.mac_size, 18u) << "17 characters and the NUL";
    EXPECT_EQ(adapter.address_size, 10u);
    std::vector<char> mac(adapter.mac_size), address(adapter.address_size);
    adapter.mac = mac.data();
    adapter.address = address.data();
    EXPECT_EQ(KVAPI_GetNetworkAdapter(handle_, 0, &adapter), 0);
    EXPECT_STREQ(mac.data(), "00:1A:2B:3C:4D:5E");
    EXPECT_STREQ(address.data(), "127.0.0.5");

    KVAPI_NetworkAdapter second{};
    second.size = sizeof(second);
    EXPECT_EQ(KVAPI_GetNetworkAdapter(handle_, 1, &second), 0);
    EXPECT_EQ(second.mac_size, 0u) << "an adapter without MAC reports length 0";
    EXPECT_EQ(second.address_size, 10u);
    char small[4] = {};
    second.address = small;
    second.address_size = sizeof(small);
    EXPECT_LT(KVAPI_GetNetworkAdapter(handle_, 1, &second), 0) << "a buffer that is too small is an error";
    EXPECT_EQ(second.address_size, 10u);

    KVAPI_NetworkAdapter failing{};
    failing.size = sizeof(failing);
    KVAPI_GetNetworkAdapter(handle_, 2, &failing);
    EXPECT_EQ(failing.address_size, 10u) << "lengths are known even when the read fails";
    std::vector<char> fmac(failing.mac_size), faddr(failing.address_size);
    failing.mac = fmac.data();
    failing.address = faddr.data();
    EXPECT_LT(KVAPI_GetNetworkAdapter(handle_, 2, &failing), 0);

    KVAPI_NetworkAdapter missing{};
    missing.size = sizeof(missing);
    EXPECT_LT(KVAPI_GetNetworkAdapter(handle_, 3, &missing), 0);
    KVAPI_NetworkAdapter unsized{};
    EXPECT_LT(KVAPI_GetNetworkAdapter(handle_, 0, &unsized), 0) << "a record without its size is refused";
}

TEST_F(KvapiLibraryTest, TimeZoneAndTimeServersAreReadAndChanged) {
    LogIn();
    char name[256] = {};
    KVAPI_TimeZone zone{};
    zone.size = sizeof(zone);
    zone.name = name;
    zone.name_size = sizeof(name);
    ASSERT_EQ(KVAPI_GetServerTimezoneInfo(handle_, &zone), 0);
    EXPECT_EQ(zone.bias, 3600);
    EXPECT_STREQ(name, "(UTC+01:00) Morocco");

    char address[256] = {};
    KVAPI_TimeServers servers{};
    servers.size = sizeof(servers);
    servers.address = address;
    servers.address_size = sizeof(address);
    ASSERT_EQ(KVAPI_GetTimeServers(handle_, &servers), 0);
    EXPECT_STREQ(address, "ntp.example.test");
    EXPECT_EQ(servers.synced, 1);
    EXPECT_EQ(servers.offset, 5);
    EXPECT_EQ(servers.interval, 600);

    std::memset(address, 0, sizeof(address));
    std::strcpy(address, "127.0.0.2");
    servers.synced = 1;
    servers.offset = 0;
    servers.interval = -1;
    ASSERT_EQ(KVAPI_SetTimeServers(handle_, &servers), 0);
    EXPECT_TRUE(sim_.WaitFor({{"event", "set_time_servers"}, {"address", "127.0.0.2"}, {"synced", 1}, {"offset", 0},
                              {"interval", -1}, {"result", 0}}));

    // The new-zone record carries 8 at byte 16: the name is still passed whole.
    char nepal[] = "(UTC+05:45) Nepal";
    KVAPI_TimeZone change{};
    change.size = sizeof(change);
    change.name = nepal;
    change.name_size = 8;
    change.new_bias = 345 * 60;
    change.apply = 1;
    ASSERT_EQ(KVAPI_SetServerTime(handle_, 1700000000, &change), 0);
    EXPECT_TRUE(sim_.WaitFor({{"event", "set_server_time"}, {"now", 1700000000}, {"bias", 20700},
                              {"name", "(UTC+05:45) Nepal"}, {"apply", 1}}));
    ASSERT_EQ(KVAPI_GetServerTimezoneInfo(handle_, &zone), 0);
    EXPECT_EQ(zone.bias, 20700);
}

TEST_F(KvapiLibraryTest, InjectedFailuresReachTheCaller) {
    LogIn();
    ASSERT_TRUE(sim_.Command("fail GetNetworkInfo on"));
    ASSERT_TRUE(sim_.Command("fail SetTimeServers on"));
    KVAPI_NetworkInfo info{};
    info.size = sizeof(info);
    EXPECT_LT(KVAPI_GetNetworkInfo(handle_, &info), 0);
    char address[256] = "127.0.0.2";
    KVAPI_TimeServers servers{};
    servers.size = sizeof(servers);
    servers.address = address;
    servers.address_size = sizeof(address);
    EXPECT_NE(KVAPI_SetTimeServers(handle_, &servers), 0);
    EXPECT_TRUE(sim_.WaitFor({{"event", "set_time_servers"}, {"result", -5}}));
    ASSERT_TRUE(sim_.Command("fail GetNetworkInfo off"));
    EXPECT_EQ(KVAPI_GetNetworkInfo(handle_, &info), 0);
}

// A failing IsPrimary must not read as "not primary": its negative result is passed on.
TEST_F(KvapiLibraryTest, FailingIsPrimaryIsNegativeNotZero) {
    LogIn();
    ASSERT_TRUE(sim_.Command("fail IsPrimary on"));
    EXPECT_EQ(KVAPI_IsPrimary(handle_, 0), -5);
    ASSERT_TRUE(sim_.Command("fail IsPrimary off"));
    EXPECT_EQ(KVAPI_IsPrimary(handle_, 0), 1);
}

// A stalled call ends at the library's deadline (-3); the link itself still answers.
TEST_F(KvapiLibraryTest, StalledCallTimesOutAndTheNextCallIsAnswered) {
    LogIn();
    ASSERT_TRUE(sim_.Command("stall GetCameraName on"));
    char name[64] = "unchanged";
    EXPECT_EQ(KVAPI_GetCameraName(handle_, 0, name, sizeof(name)), -3);
    EXPECT_STREQ(name, "unchanged");
    EXPECT_TRUE(sim_.WaitFor({{"event", "stalled_call"}, {"op", "GetCameraName"}}));
    EXPECT_EQ(KVAPI_IsPrimary(handle_, 1), 0);
    ASSERT_TRUE(sim_.Command("stall GetCameraName off"));
    EXPECT_EQ(KVAPI_GetCameraName(handle_, 0, name, sizeof(name)), 0);
}

TEST_F(KvapiLibraryTest, EventPayloadFieldsSitAtTheirOffsets) {
    LogIn();
    ASSERT_TRUE(sim_.Command("event 92 index=1 status=0 seconds=1700000123 millis=456 word20=0 word32=1 word36=7"));
    ASSERT_TRUE(SelectUntil(92));
    const Seen& e = recorder_.events.back();
    EXPECT_EQ(e.type, 92);
    EXPECT_EQ(e.status, 0);
    uint32_t index, word20, word32, word36;
    int64_t seconds;
    uint16_t millis;
    std::memcpy(&index, e.raw + 0, 4);
    std::memcpy(&seconds, e.raw + 8, 8);
    std::memcpy(&millis, e.raw + 16, 2);
    std::memcpy(&word20, e.raw + 20, 4);
    std::memcpy(&word32, e.raw + 32, 4);
    std::memcpy(&word36, e.raw + 36, 4);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(seconds, 1700000123);
    EXPECT_EQ(millis, 456);
    EXPECT_EQ(word20, 0u);
    EXPECT_EQ(word32, 1u);
    EXPECT_EQ(word36, 7u);
}

TEST_F(KvapiLibraryTest, CallbackMayQueryTheServerFromInsideSelect) {
    LogIn();
    recorder_.read_name_inside = true;
    ASSERT_TRUE(sim_.Command("event 5 index=0 status=3"));
    ASSERT_TRUE(SelectUntil(5));
    EXPECT_EQ(recorder_.name_read_inside, "Lobby entrance");
}

TEST_F(KvapiLibraryTest, CleanupFromInsideTheCallbackIsDeferredSafely) {
    LogIn();
    recorder_.cleanup_inside = true;
    ASSERT_TRUE(sim_.Command("event 5 index=0 status=3"));
    ASSERT_TRUE(sim_.Command("event 6 index=0 status=1"));
    int result = 0;
    for (int i = 0; i < 500 && result >= 0; ++i) result = KVAPI_Select(handle_, 10);
    EXPECT_LT(result, 0);
    EXPECT_EQ(recorder_.events.back().type, 5) << "nothing is delivered after the handle was released";
    handle_ = nullptr;  // released by the Select above
}

TEST_F(KvapiLibraryTest, SelectTurnsNegativeOnceTheServerDropsTheConnection) {
    LogIn();
    ASSERT_TRUE(sim_.Command("drop"));
    int result = 0;
    for (int i = 0; i < 500 && result >= 0; ++i) result = KVAPI_Select(handle_, 10);
    EXPECT_LT(result, 0);
    EXPECT_LT(KVAPI_Select(handle_, 10), 0) << "stays lost until reopened";
    char text[32] = {};
    EXPECT_LT(KVAPI_GetServerSerial(handle_, text, sizeof(text)), 0);
    ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
    EXPECT_GE(KVAPI_Select(handle_, 10), 0);
}

TEST_F(KvapiLibraryTest, QueriesBeforeLoginAreRefusedByTheServer) {
    ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
    char text[32] = {};
    EXPECT_LT(KVAPI_GetServerSerial(handle_, text, sizeof(text)), 0);
    EXPECT_EQ(KVAPI_NumCameras(handle_), -1);
}

TEST(KvapiSimulatorScript, ControlPortAnswersEachCommandLine) {
    kv::testing::NvrSimProcess sim;
    ASSERT_TRUE(sim.started());
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(sim.control_port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    const std::string commands = "loaded off\nbogus\n";
    ASSERT_EQ(::send(fd, commands.data(), commands.size(), MSG_NOSIGNAL), static_cast<ssize_t>(commands.size()));
    std::string answers;
    char chunk[256];
    while (std::count(answers.begin(), answers.end(), '\n') < 2) {
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        answers.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    EXPECT_EQ(answers, "ok\nerror: unknown command bogus\n");
    EXPECT_TRUE(sim.WaitFor({{"event", "loaded"}, {"loaded", false}}));
}

TEST(KvapiSimulatorScript, AcceptingStopsAndResumesOnTheSamePort) {
    kv::testing::NvrSimProcess sim;
    ASSERT_TRUE(sim.started());
    KVAPI_HANDLE h = KVAPI_Init();
    ASSERT_TRUE(sim.Command("accept off"));
    EXPECT_NE(KVAPI_Open(h, "127.0.0.1", sim.port()), 0);
    ASSERT_TRUE(sim.Command("accept on"));
    EXPECT_EQ(KVAPI_Open(h, "127.0.0.1", sim.port()), 0);
    EXPECT_TRUE(sim.WaitFor({{"event", "connected"}}));
    KVAPI_Close(h);
    KVAPI_Cleanup(h);
}

TEST(KvapiSimulatorScript, TimelineRunsFromTheFirstLoginAndLoadingFollowsItsDelay) {
    kv::testing::NvrSimProcess sim(R"({
      "loaded_after_ms": 400,
      "timeline": [{"after_ms": 50, "type": 6, "index": 1, "offset": -1},
                   {"after_ms": 800, "type": 17, "index": 12, "seconds": 1700000000, "millis": 7}]
    })");
    ASSERT_TRUE(sim.started());
    Recorder recorder;
    KVAPI_HANDLE h = KVAPI_Init();
    recorder.handle = h;
    KVAPI_SetCallbackEx(h, Record, &recorder);
    KVAPI_SetNonBlocking(h, 3);
    ASSERT_EQ(KVAPI_Open(h, "127.0.0.1", sim.port()), 0);
    ASSERT_EQ(KVAPI_Login(h, "admin", "tulip482"), 0);
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    std::vector<int> order;
    for (int i = 0; i < 500 && order.size() < 5; ++i) {
        ASSERT_GE(KVAPI_Select(h, 10), 0);
        for (size_t k = order.size(); k < recorder.events.size(); ++k) order.push_back(recorder.events[k].type);
    }
    EXPECT_EQ(order, (std::vector<int>{71, 4, 6, 3, 17}));
    ASSERT_EQ(recorder.events.size(), 5u);
    EXPECT_EQ(recorder.events[2].payload.index, 1u);
    EXPECT_LE(recorder.events[2].payload.seconds, before) << "offset -1 dates the event a second back";
    EXPECT_EQ(recorder.events[4].payload.seconds, 1700000000);
    EXPECT_EQ(recorder.events[4].payload.millis, 7);
    KVAPI_Close(h);
    KVAPI_Cleanup(h);
}

}  // namespace
