#include "src/service/event_translator.h"

#include <sstream>
#include <string>

#include "common/time_helpers.h"

namespace kv {

EventTranslator::Translation EventTranslator::Translate(RecorderLink& link, int type, intptr_t status,
                                                        const PayloadType* payload, int64_t offset,
                                                        Diagnostics& out) {
    Translation result;
    AlarmData& alarm = result.alarm;
    RecorderCache::CameraView camera;
    switch (type) {
        case kEventServerInformation:
            if (status == 0) result.kind = Translation::kRegistration;
            return result;
        case kEventVideoLoss:
            if (payload == nullptr) {
                out.push_back({WARNING, "Video Loss callback missing payload"});
                return result;
            }
            if (DroppedBeforeStart(type, *payload, out)) return result;
            camera = LookUpCamera(link, payload->index, out);
            if (!camera.primary) return result;
            alarm.alarm_type = status != 0 ? kAlarmVideoLoss : kAlarmVideoRestored;
            break;
        case kEventMotion:
            if (payload == nullptr || status == 0) return result;
            if (!report_motion_) return result;
            if (DroppedBeforeStart(type, *payload, out)) return result;
            camera = LookUpCamera(link, payload->index, out);
            alarm.alarm_type = kAlarmMotion;
            break;
        case kEventDriveMessage:
            if (payload == nullptr || status == 0) return result;
            if (DroppedBeforeStart(type, *payload, out)) return result;
            alarm.alarm_type = kAlarmDrive;
            break;
        case kEventVideoState:
            if (payload == nullptr || payload->word32 == 0) return result;
            if (DroppedBeforeStart(type, *payload, out)) return result;
            if (payload->word20 != 0) return result;
            camera = LookUpCamera(link, payload->index, out);
            if (!camera.primary) return result;
            alarm.alarm_type = payload->word36 == 0 ? kAlarmVideoLoss : kAlarmVideoRestored;
            break;
        default:
            return result;
    }

    if (alarm.alarm_type == kAlarmDrive) {
        alarm.comments = cache_.DriveMessage(link, payload->index);
        TakeCacheWarnings(out);
        alarm.channel = std::to_string(payload->index);
    } else {
        alarm.channel = camera.name;
        alarm.comments = alarm.channel;
    }
    alarm.date_time = FormatTime(payload->seconds, payload->millis, offset);
    result.kind = Translation::kAlarm;
    return result;
}

bool EventTranslator::DroppedBeforeStart(int type, const PayloadType& payload, Diagnostics& out) {
    if (!IsBeforeConn(start_time_, payload.seconds)) return false;
    // The rule keeps a reconnecting recorder from replaying old events; it depends on the
    // recorder's clock agreeing with this host's, so every drop is made visible.
    uint64_t held_back = 0;
    if (!before_start_log_.Allow(LogThrottle::Clock::now(), held_back)) return true;
    std::string event_time, start_time;
    datetime::UTCToIsoString(static_cast<time_t>(payload.seconds), payload.millis, event_time);
    datetime::UTCToIsoString(start_time_, 0, start_time);
    std::ostringstream text;
    text << "Event " << type << " of " << event_time << " is older than the start at " << start_time
         << " and is not reported (is the recorder's clock behind this host's?); " << held_back
         << " more such events not logged since the last line";
    out.push_back({INFO, text.str()});
    return true;
}

RecorderCache::CameraView EventTranslator::LookUpCamera(RecorderLink& link, uint32_t index, Diagnostics& out) {
    RecorderCache::CameraView camera = cache_.Camera(link, index);
    TakeCacheWarnings(out);
    return camera;
}

void EventTranslator::TakeCacheWarnings(Diagnostics& out) {
    for (std::string& warning : cache_.TakeWarnings()) out.push_back({WARNING, std::move(warning)});
}

}  // namespace kv
