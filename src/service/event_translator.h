// kv::EventTranslator: which recorder events become alarms, and which alarm.
//
//   type  event               reported when (tested in this order)              alarm
//   3     server information  status 0                                          registration
//   5     video loss          a payload (else a WARNING); not before the start;  1 status != 0,
//                             a primary camera                                   2 status 0
//   6     motion              a payload and status != 0; "report_motion";        7
//                             not before the start
//   17    drive message       a payload and status != 0; not before the start   4
//   92    video state         a payload, word 32 != 0; not before the start;     1 word 36 == 0,
//                             word 20 == 0; a primary camera                     2 otherwise
// Every other type is ignored. An event before the start of the client-library thread
// (an earlier second) is dropped, with an INFO line at most once a second that counts
// the others. Camera names and roles come from the recorder cache, drive messages through
// it. The alarm's time is the event's, written with the offset given. Single-threaded:
// the client-library thread only.
#ifndef WARDEX_SRC_SERVICE_EVENT_TRANSLATOR_H_
#define WARDEX_SRC_SERVICE_EVENT_TRANSLATOR_H_

#include <cstdint>
#include <ctime>

#include "kvapi/kvAPI.h"
#include "src/recorder/log_throttle.h"
#include "src/service/payloads.h"
#include "src/recorder/recorder_link.h"
#include "src/recorder/recorder_cache.h"
#include "src/service/diagnostic.h"

namespace kv {

// Recording-server event types.
enum RecorderEventType : int {
    kEventServerInformation = 3,
    kEventVideoLoss = 5,
    kEventMotion = 6,
    kEventDriveMessage = 17,
    kEventVideoState = 92,
};

// True when the event happened before the client-library thread started.
inline bool IsBeforeConn(time_t start, int64_t event) { return static_cast<int64_t>(start) > event; }

class EventTranslator {
public:
    EventTranslator(RecorderCache& cache, bool report_motion) : cache_(cache), report_motion_(report_motion) {}

    // Events older than `start` are not reported.
    void SetStartTime(time_t start) { start_time_ = start; }

    struct Translation {
        enum Kind { kNothing, kRegistration, kAlarm };
        Kind kind = kNothing;
        AlarmData alarm;  // kAlarm: complete
    };
    Translation Translate(RecorderLink& link, int type, intptr_t status, const PayloadType* payload, int64_t offset,
                          Diagnostics& out);

private:
    // True (and said, at most once a second) when the event is older than the start.
    bool DroppedBeforeStart(int type, const PayloadType& payload, Diagnostics& out);
    RecorderCache::CameraView LookUpCamera(RecorderLink& link, uint32_t index, Diagnostics& out);
    void TakeCacheWarnings(Diagnostics& out);

    RecorderCache& cache_;
    const bool report_motion_;
    time_t start_time_ = 0;
    LogThrottle before_start_log_{std::chrono::seconds(1)};
};

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_EVENT_TRANSLATOR_H_
