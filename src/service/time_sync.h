// kv::TimeSync: the time zone alarm times are written in, and the receiver's time answer.
//
// The offset starts as the recorder's own zone (SetServerOffset, at registration). The
// receiver's answer arrives on the network thread (OnAnswer, under a lock of its own);
// everything else runs on the client-library thread. At each event OnEvent looks at the
// latest answer until it has been dealt with:
//   - an answer without a time server ends time handling for the run;
//   - with "ignore_ntp" false, an answer whose fields are all in shape is kept for
//     ApplyToRecorder (once, when UpdateDue), and one out of shape is refused with an ERROR;
//   - with "ignore_ntp" true the recorder is left alone and alarm times follow the
//     receiver's zone, with a WARNING each time that changes the offset.
// The receiver names a zone by its number; one that names no zone keeps the current offset
// and is said once. The lines to log come back as diagnostics.
#ifndef WARDEX_SRC_SERVICE_TIME_SYNC_H_
#define WARDEX_SRC_SERVICE_TIME_SYNC_H_

#include <cstdint>
#include <mutex>

#include "src/recorder/recorder_link.h"
#include "src/service/diagnostic.h"
#include "src/soap/soap_messages.h"
#include "src/recorder/time_zones.h"

namespace kv {

class TimeSync {
public:
    explicit TimeSync(bool ignore_ntp) : ignore_ntp_(ignore_ntp) {}

    TimeSync(const TimeSync&) = delete;
    TimeSync& operator=(const TimeSync&) = delete;

    // Network thread: the receiver's latest answer.
    void OnAnswer(const soap::NtpInfo& info);

    // Seconds east of UTC that every alarm time is written with.
    int64_t offset() const { return offset_; }
    void SetServerOffset(int64_t seconds) { offset_ = seconds; }

    // The time-information step, before each event.
    void OnEvent(Diagnostics& out);
    // An answer is waiting to be given to the recorder.
    bool UpdateDue() const { return update_pending_ && !handled_; }
    // Gives the recorder the answer OnEvent kept: its time server and its zone. Done once,
    // whatever the outcome; `now` is the time the recorder's clock is set with.
    void ApplyToRecorder(RecorderLink& link, int64_t now, Diagnostics& out);

private:
    // The one rule for the receiver's zone: false (and said once) when it names none.
    bool ReceiverZone(const soap::NtpInfo& info, TimeZone& zone, Diagnostics& out);

    const bool ignore_ntp_;
    int64_t offset_ = 0;
    std::mutex answer_mutex_;
    soap::NtpInfo answer_;   // guarded by answer_mutex_
    soap::NtpInfo checked_;  // the answer found usable, applied once
    bool handled_ = false;
    bool update_pending_ = false;
    bool zone_warning_given_ = false;
};

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_TIME_SYNC_H_
