// The recorder cache with a scripted recorder: what registration fills, what a failed
// query leaves, how often an unknown camera is asked, which warnings come out, and how a
// timed-out query closes the gate for the queries that follow.
#include "src/recorder/recorder_cache.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/recorder/log_throttle.h"
#include "tests/service/fake_recorder_link.h"

namespace kv {
namespace {

using Clock = QueryGate::Clock;

using ScriptedRecorder = FakeRecorderLink;

class RecorderCacheTest : public ::testing::Test {
protected:
    Clock::time_point now_ = Clock::time_point() + std::chrono::hours(1);
    QueryGate gate_{[this] { return now_; }, std::chrono::seconds(20)};
    RecorderCache cache_{gate_};
    ScriptedRecorder recorder_;
};

TEST_F(RecorderCacheTest, RegistrationFillsEverythingAndEventsAskNothing) {
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    EXPECT_EQ(cache_.version(), "7.4.2.0");
    EXPECT_TRUE(cache_.registered());
    const int after_registration = recorder_.Total();
    EXPECT_EQ(after_registration, 1 + 1 + 2 * 2);

    EXPECT_TRUE(cache_.Loaded(recorder_));
    RecorderCache::CameraView door = cache_.Camera(recorder_, 0);
    EXPECT_TRUE(door.primary);
    EXPECT_EQ(door.name, "Door");
    RecorderCache::CameraView yard = cache_.Camera(recorder_, 1);
    EXPECT_FALSE(yard.primary);
    EXPECT_EQ(yard.name, "Yard");
    EXPECT_EQ(recorder_.Total(), after_registration) << "events are answered from the cache";
    EXPECT_TRUE(cache_.TakeWarnings().empty());
}

TEST_F(RecorderCacheTest, EmptyVersionMeansNotLoadedAndNoRegistration) {
    recorder_.version.clear();
    cache_.BeginConnection();
    EXPECT_FALSE(cache_.Refresh(recorder_));
    EXPECT_FALSE(cache_.registered());
    EXPECT_FALSE(cache_.Loaded(recorder_));
    EXPECT_EQ(recorder_.calls["version"], 2) << "asked again until loaded";
    recorder_.version = "7.4.2.0";
    EXPECT_TRUE(cache_.Loaded(recorder_));
    EXPECT_TRUE(cache_.Loaded(recorder_));
    EXPECT_EQ(recorder_.calls["version"], 3) << "not asked once known on this connection";
}

TEST_F(RecorderCacheTest, AFailedQueryAtRegistrationLeavesTheLastValue) {
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));

    // The next connection: every query fails.
    recorder_.results["version"] = recorder_.results["primary"] = recorder_.results["name"] = -5;
    recorder_.cameras[0] = {0, "Renamed"};
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_)) << "a known version keeps the recorder registered";
    EXPECT_EQ(cache_.version(), "7.4.2.0");
    const int after_registration = recorder_.Total();
    RecorderCache::CameraView door = cache_.Camera(recorder_, 0);
    EXPECT_TRUE(door.primary);
    EXPECT_EQ(door.name, "Door");
    EXPECT_EQ(recorder_.Total(), after_registration) << "last values are known: nothing asked";

    const std::vector<std::string> warnings = cache_.TakeWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "Recorder query failed (KVAPI_GetServerVersion: -5); the recorder counts as loaded with its last known "
              "version 7.4.2.0 until the next registration");
}

TEST_F(RecorderCacheTest, AnUnknownCameraIsAskedOnceAndWarnedAboutOnce) {
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    recorder_.results["primary"] = recorder_.results["name"] = -5;
    const int before = recorder_.Total();

    RecorderCache::CameraView unknown = cache_.Camera(recorder_, 7);
    EXPECT_TRUE(unknown.primary) << "an unknown role never drops an alarm";
    EXPECT_EQ(unknown.name, "");
    EXPECT_EQ(recorder_.Total(), before + 2);
    unknown = cache_.Camera(recorder_, 7);
    EXPECT_EQ(recorder_.Total(), before + 2) << "asked once per registration";

    std::vector<std::string> warnings = cache_.TakeWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "Camera 7: recorder query failed (KVAPI_IsPrimary: -5, KVAPI_GetCameraName: -5); its alarms are sent as "
              "for a primary camera and with an empty name until the next registration");

    // The next registration asks again; the camera is now there.
    recorder_.results["primary"] = recorder_.results["name"] = 0;
    recorder_.cameras[7] = {0, "Back"};
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    unknown = cache_.Camera(recorder_, 7);
    EXPECT_FALSE(unknown.primary);
    EXPECT_EQ(unknown.name, "Back");
    EXPECT_TRUE(cache_.TakeWarnings().empty());
}

TEST_F(RecorderCacheTest, AnUnknownCameraThatAnswersIsKept) {
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    recorder_.cameras[5] = {1, "Gate"};
    EXPECT_EQ(cache_.Camera(recorder_, 5).name, "Gate");
    const int before = recorder_.Total();
    EXPECT_EQ(cache_.Camera(recorder_, 5).name, "Gate");
    EXPECT_EQ(recorder_.Total(), before);
    EXPECT_TRUE(cache_.TakeWarnings().empty());
}

TEST_F(RecorderCacheTest, OnlyTheNameFailingWarnsAboutTheName) {
    recorder_.results["name"] = -5;
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    RecorderCache::CameraView door = cache_.Camera(recorder_, 0);
    EXPECT_TRUE(door.primary);
    EXPECT_EQ(door.name, "");
    std::vector<std::string> warnings = cache_.TakeWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "Camera 0: recorder query failed (KVAPI_GetCameraName: -5); its alarms are sent with an empty name "
              "until the next registration");
    // A camera known not to be primary stays dropped by the caller: the role was read.
    EXPECT_FALSE(cache_.Camera(recorder_, 1).primary);
}

TEST_F(RecorderCacheTest, ATimeoutClosesTheGateUntilTheHoldPassesOrANewConnection) {
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    recorder_.results["primary"] = -3;
    const int before = recorder_.Total();

    RecorderCache::CameraView first = cache_.Camera(recorder_, 8);
    EXPECT_TRUE(first.primary);
    EXPECT_EQ(recorder_.Total(), before + 1) << "the name is not asked after the timeout";
    for (uint32_t camera = 9; camera < 29; ++camera) cache_.Camera(recorder_, camera);
    EXPECT_EQ(recorder_.Total(), before + 1) << "a silent link costs one deadline";
    std::vector<std::string> warnings = cache_.TakeWarnings();
    ASSERT_EQ(warnings.size(), 21u) << "one per camera";
    EXPECT_EQ(warnings[0],
              "Camera 8: recorder query failed (KVAPI_IsPrimary: -3, KVAPI_GetCameraName: not asked, the recorder link "
              "is not answering); its alarms are sent as for a primary camera and with an empty name until the next "
              "registration");

    now_ += std::chrono::seconds(21);
    EXPECT_TRUE(gate_.IsOpen());
    gate_.Note(-1);
    EXPECT_FALSE(gate_.IsOpen()) << "a lost link closes it as well";
    cache_.BeginConnection();
    EXPECT_TRUE(gate_.IsOpen());
    EXPECT_FALSE(gate_.Note(-5));
    EXPECT_TRUE(gate_.IsOpen()) << "a plain failure does not close it";
}

TEST_F(RecorderCacheTest, AFailedVersionQueryOnANewConnectionCountsAsLoadedWhenKnown) {
    recorder_.results["version"] = -5;
    cache_.BeginConnection();
    EXPECT_FALSE(cache_.Loaded(recorder_)) << "never seen loaded: dropped as before";
    EXPECT_TRUE(cache_.TakeWarnings().empty());

    recorder_.results["version"] = 0;
    ASSERT_TRUE(cache_.Refresh(recorder_));
    recorder_.results["version"] = -5;
    cache_.BeginConnection();
    EXPECT_TRUE(cache_.Loaded(recorder_));
    EXPECT_TRUE(cache_.Loaded(recorder_));
    EXPECT_EQ(recorder_.calls["version"], 3) << "asked once on the new connection";
    ASSERT_TRUE(cache_.Refresh(recorder_)) << "the registration on this connection";
    EXPECT_EQ(cache_.TakeWarnings().size(), 1u) << "one per connection";
}

// A query that timed out just before the first registration: the registration's own
// event shows the link answering again, so it asks for the version and is not dropped.
TEST_F(RecorderCacheTest, ATimeoutJustBeforeTheFirstRegistrationDoesNotDropIt) {
    const struct {
        const char* before;  // what timed out on this connection before the registration
        int result;
    } cases[] = {{"version", -3}, {"version", -1}, {"name", -3}};
    for (const auto& c : cases) {
        ScriptedRecorder recorder;
        QueryGate gate{[this] { return now_; }, std::chrono::seconds(20)};
        RecorderCache cache{gate};
        cache.BeginConnection();
        if (std::string(c.before) == "version") {
            recorder.results["version"] = c.result;
            EXPECT_FALSE(cache.Loaded(recorder));
        } else {
            recorder.results["name"] = c.result;
            cache.Camera(recorder, 0);
        }
        ASSERT_FALSE(gate.IsOpen()) << c.before;
        recorder.results["version"] = recorder.results["name"] = 0;
        EXPECT_TRUE(cache.Refresh(recorder)) << c.before << " " << c.result << ": the registration was dropped";
        EXPECT_EQ(cache.version(), "7.4.2.0");
        EXPECT_EQ(cache.Camera(recorder, 1).name, "Yard");
    }
}

TEST_F(RecorderCacheTest, DriveFailuresWarnOncePerDriveAndRegistration) {
    cache_.BeginConnection();
    ASSERT_TRUE(cache_.Refresh(recorder_));
    cache_.DriveMessageFailed(12, -3);
    cache_.DriveMessageFailed(12, RecorderCache::kNotAsked);
    cache_.DriveMessageFailed(3, -5);
    std::vector<std::string> warnings = cache_.TakeWarnings();
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0],
              "Drive 12: recorder query failed (KVAPI_GetDriveMessage: -3); its alarms are sent with an empty "
              "message, further failures for it are not logged until the next registration");
    ASSERT_TRUE(cache_.Refresh(recorder_));
    cache_.DriveMessageFailed(12, -3);
    EXPECT_EQ(cache_.TakeWarnings().size(), 1u);
}

TEST(LogThrottle, OneLinePerPeriodWithTheCountHeldBack) {
    LogThrottle throttle(std::chrono::seconds(1));
    const LogThrottle::Clock::time_point start = LogThrottle::Clock::time_point() + std::chrono::hours(1);
    uint64_t held_back = 99;
    EXPECT_TRUE(throttle.Allow(start, held_back));
    EXPECT_EQ(held_back, 0u);
    EXPECT_FALSE(throttle.Allow(start + std::chrono::milliseconds(10), held_back));
    EXPECT_FALSE(throttle.Allow(start + std::chrono::milliseconds(999), held_back));
    EXPECT_TRUE(throttle.Allow(start + std::chrono::seconds(1), held_back));
    EXPECT_EQ(held_back, 2u);
    EXPECT_FALSE(throttle.Due(start + std::chrono::milliseconds(1500)));
    EXPECT_TRUE(throttle.Due(start + std::chrono::seconds(2)));
}

}  // namespace
}  // namespace kv
