#include "src/service/time_sync.h"

#include <sstream>

#include "common/string_util.h"
#include "src/service/time_answer.h"

namespace kv {

void TimeSync::OnAnswer(const soap::NtpInfo& info) {
    std::lock_guard<std::mutex> lock(answer_mutex_);
    answer_ = info;
}

bool TimeSync::ReceiverZone(const soap::NtpInfo& info, TimeZone& zone, Diagnostics& out) {
    if (LookupTimeZone(info.time_zone, zone)) return true;
    if (!zone_warning_given_) {
        out.push_back({WARNING, "Wardex time zone \"" + cut_quoted_text(info.time_zone) +
                                    "\" is not a zone number from 1 to 40; alarm times keep the current offset"});
        zone_warning_given_ = true;
    }
    return false;
}

void TimeSync::OnEvent(Diagnostics& out) {
    if (handled_) return;
    soap::NtpInfo info;
    {
        std::lock_guard<std::mutex> lock(answer_mutex_);
        info = answer_;
    }
    if (info.error_code != 0) {
        handled_ = true;
        return;
    }
    if (info.ntp_server_ip.empty()) return;
    if (!ignore_ntp_) {
        // Whoever answers in the receiver's place writes these texts: the recorder is
        // given all of them or none.
        if (const TimeAnswerFault fault = FindTimeAnswerFault(info)) {
            out.push_back({ERROR, std::string("Wardex time answer not applied: \"") + fault.field +
                                      "\" is not usable (\"" + cut_quoted_text(*fault.value) +
                                      "\"); the recording server's time settings are left as they are"});
            handled_ = true;
            return;
        }
        checked_ = info;
        update_pending_ = true;
        return;
    }
    TimeZone zone;
    if (!ReceiverZone(info, zone, out)) return;
    if (zone.offset_seconds != offset_) {
        out.push_back({WARNING, "Wardex timezone different from Kelvora server. Alarms will be reported using Wardex "
                                "web service time."});
        offset_ = zone.offset_seconds;
    }
}

void TimeSync::ApplyToRecorder(RecorderLink& link, int64_t now, Diagnostics& out) {
    handled_ = true;
    const soap::NtpInfo& info = checked_;
    out.push_back({INFO, "Checking TimeServer info"});

    // Only the address read matters: a failed read leaves it empty, and an empty one is
    // kept as it is.
    std::string current;
    bool synced = false;
    link.ReadTimeServer(current, synced);
    if (!current.empty() && (current != info.ntp_server_ip || !synced)) {
        out.push_back({INFO, "Updating time server: " + current + " -> " + info.ntp_server_ip});
        if (link.SetTimeServer(info.ntp_server_ip) != 0) out.push_back({ERROR, "Error updating time server"});
    }

    TimeZone zone;
    if (ReceiverZone(info, zone, out) && zone.offset_seconds != offset_) {
        std::ostringstream text;
        text << "Updating timezone: " << offset_ << " -> " << zone.offset_seconds << " (" << zone.name << ")";
        out.push_back({INFO, text.str()});
        if (link.SetTimeZone(zone, now) != 0) {
            out.push_back({ERROR, "Error updating timezones"});
            return;
        }
        offset_ = zone.offset_seconds;
    }
    out.push_back({INFO, "Finished verifying timezone and ntp server information"});
}

}  // namespace kv
