// The table of recorder events against what each becomes, with a scripted recorder.
#include "src/service/event_translator.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/service/fake_recorder_link.h"

namespace kv {
namespace {

constexpr time_t kStart = 1700000000;
constexpr int64_t kOffset = 3600;

struct Event {
    int type;
    intptr_t status;
    bool has_payload = true;
    uint32_t index = 0;
    int64_t seconds = kStart;
    uint32_t word20 = 0, word32 = 1, word36 = 0;
};

struct Rig {
    explicit Rig(bool report_motion) : translator(cache, report_motion) { translator.SetStartTime(kStart); }

    EventTranslator::Translation Translate(const Event& event) {
        PayloadType payload{};
        payload.index = event.index;
        payload.seconds = event.seconds;
        payload.millis = 7;
        payload.word20 = event.word20;
        payload.word32 = event.word32;
        payload.word36 = event.word36;
        lines.clear();
        return translator.Translate(recorder, event.type, event.status, event.has_payload ? &payload : nullptr, kOffset,
                                    lines);
    }

    QueryGate::Clock::time_point now = QueryGate::Clock::time_point() + std::chrono::hours(1);
    QueryGate gate{[this] { return now; }};
    RecorderCache cache{gate};
    FakeRecorderLink recorder;  // camera 0 "Door" primary, camera 1 "Yard" not
    EventTranslator translator;
    Diagnostics lines;
};

TEST(EventTranslatorTest, EachEventBecomesItsAlarmOrNothing) {
    using T = EventTranslator::Translation;
    struct Case {
        Event event;
        bool report_motion;
        T::Kind kind;
        int32_t alarm_type;
        std::string channel;
        size_t lines;
    };
    const Case cases[] = {
        {{kEventServerInformation, 0}, false, T::kRegistration, 0, "", 0},
        {{kEventServerInformation, 1}, false, T::kNothing, 0, "", 0},
        {{kEventVideoLoss, 3}, false, T::kAlarm, kAlarmVideoLoss, "Door", 0},
        {{kEventVideoLoss, 0}, false, T::kAlarm, kAlarmVideoRestored, "Door", 0},
        {{kEventVideoLoss, 3, true, 1}, false, T::kNothing, 0, "", 0},  // not a primary camera
        {{kEventVideoLoss, 3, false}, false, T::kNothing, 0, "", 1},    // no payload: said
        {{kEventVideoLoss, 3, true, 0, kStart - 1}, false, T::kNothing, 0, "", 1},
        {{kEventVideoLoss, 3, true, 0, kStart + 1}, false, T::kAlarm, kAlarmVideoLoss, "Door", 0},
        {{kEventMotion, 1, true, 1}, true, T::kAlarm, kAlarmMotion, "Yard", 0},  // any camera
        {{kEventMotion, 1, true, 1}, false, T::kNothing, 0, "", 0},
        {{kEventMotion, 0, true, 1}, true, T::kNothing, 0, "", 0},
        {{kEventMotion, 1, false}, true, T::kNothing, 0, "", 0},
        {{kEventDriveMessage, 1, true, 12}, false, T::kAlarm, kAlarmDrive, "12", 0},
        {{kEventDriveMessage, 0, true, 12}, false, T::kNothing, 0, "", 0},
        {{kEventDriveMessage, 1, true, 12, kStart - 1}, false, T::kNothing, 0, "", 1},
        {{kEventVideoState, 0}, false, T::kAlarm, kAlarmVideoLoss, "Door", 0},
        {{kEventVideoState, 0, true, 0, kStart, 0, 1, 5}, false, T::kAlarm, kAlarmVideoRestored, "Door", 0},
        {{kEventVideoState, 0, true, 0, kStart, 0, 0}, false, T::kNothing, 0, "", 0},
        {{kEventVideoState, 0, true, 0, kStart, 1}, false, T::kNothing, 0, "", 0},
        {{kEventVideoState, 0, true, 1}, false, T::kNothing, 0, "", 0},
        {{kEventVideoState, 0, false}, false, T::kNothing, 0, "", 0},
        {{71, 0}, true, T::kNothing, 0, "", 0},
    };
    for (const Case& c : cases) {
        Rig rig(c.report_motion);
        const T result = rig.Translate(c.event);
        const std::string label = std::to_string(c.event.type) + "/" + std::to_string(c.event.status);
        EXPECT_EQ(result.kind, c.kind) << label;
        EXPECT_EQ(rig.lines.size(), c.lines) << label;
        if (c.kind != T::kAlarm) continue;
        EXPECT_EQ(result.alarm.alarm_type, c.alarm_type) << label;
        EXPECT_EQ(result.alarm.channel, c.channel) << label;
        EXPECT_EQ(result.alarm.comments, c.alarm_type == kAlarmDrive ? rig.recorder.drive_message : c.channel);
        EXPECT_EQ(result.alarm.date_time, FormatTime(c.event.seconds, 7, kOffset)) << label;
    }
}

TEST(EventTranslatorTest, OldEventsAreSaidAtMostOnceASecond) {
    Rig rig(true);
    size_t said = 0;
    for (int i = 0; i < 50; ++i) {
        rig.Translate({kEventMotion, 1, true, 0, kStart - 10});
        said += rig.lines.size();
    }
    EXPECT_EQ(said, 1u);
}

// A drive message is asked through the same gate as every other query: once one timed
// out, the next events do not wait for the recorder again, and they are sent with an
// empty message and one warning.
TEST(EventTranslatorTest, ADriveMessageThatTimesOutClosesTheGate) {
    Rig rig(false);
    rig.recorder.results["drive"] = -3;
    const auto first = rig.Translate({kEventDriveMessage, 1, true, 2});
    ASSERT_EQ(first.kind, EventTranslator::Translation::kAlarm);
    EXPECT_EQ(first.alarm.comments, "");
    EXPECT_EQ(rig.lines.size(), 1u);
    EXPECT_FALSE(rig.gate.IsOpen());

    const auto second = rig.Translate({kEventDriveMessage, 1, true, 2});
    EXPECT_EQ(second.kind, EventTranslator::Translation::kAlarm);
    EXPECT_EQ(rig.recorder.calls["drive"], 1) << "not asked while the gate is closed";
    EXPECT_TRUE(rig.lines.empty()) << "one warning per drive and registration";
    rig.recorder.results["drive"] = 0;
    rig.cache.BeginConnection();
    EXPECT_EQ(rig.Translate({kEventDriveMessage, 1, true, 2}).alarm.comments, rig.recorder.drive_message);
}

}  // namespace
}  // namespace kv
