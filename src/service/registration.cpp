#include "src/service/registration.h"

#include <algorithm>

#include "src/service/config.h"

namespace kv {

namespace {

bool Usable(const std::string& address) { return address.compare(0, 7, "0.0.0.0") != 0; }

}  // namespace

std::optional<std::string> ChooseReportedAddress(RecorderLink& link, const std::string& configured,
                                                 const std::string& licensed_mac, Diagnostics& out) {
    uint64_t count = 0;
    const int result = link.NetworkAdapterCount(count);
    if (result != 0) {
        out.push_back({ERROR, "Error from KVAPI_GetNetworkInfo: " + std::to_string(result)});
        return std::nullopt;
    }
    std::string fallback = configured;
    for (uint64_t index = 0; index < count; ++index) {
        RecorderLink::Adapter adapter;
        const int got = link.NetworkAdapter(static_cast<uint32_t>(index), adapter);
        if (got < 0) {
            out.push_back({ERROR, "Error retrieving network adapter info: " + std::to_string(got)});
            continue;
        }
        if (!adapter.has_address) continue;
        if (fallback == configured && Usable(adapter.address)) fallback = adapter.address;
        if (!adapter.mac.empty() && adapter.mac == licensed_mac && Usable(adapter.address)) return adapter.address;
    }
    out.push_back({WARNING, "Could not find IP that corresponds to Licensed MAC"});
    if (fallback == configured) {
        out.push_back({ERROR, "Could not find another IP to send in JSON payload, using 127.0.0.1"});
        return std::string(kLocalRecorderAddress);
    }
    out.push_back({INFO, "Using next-best IP in JSON payloads: " + fallback});
    return fallback;
}

Registration::Outcome Registration::Register(RecorderLink& link, const std::string& version, Diagnostics& out) {
    Outcome outcome;
    std::string mac;
    if (link.LicensedMac(mac) == 0) {
        std::replace(mac.begin(), mac.end(), '-', ':');
        recorder_.mac_address = mac;
        if (recorder_.address == kLocalRecorderAddress) {
            if (auto chosen = ChooseReportedAddress(link, recorder_.address, mac, out)) recorder_.ip_address = *chosen;
        } else {
            recorder_.ip_address = recorder_.address;
        }
    }
    recorder_.firmware_version = version;
    std::string text;
    link.ServerSerial(text);
    recorder_.serial_no = text;
    // The count is taken as the recorder gives it, failure codes included.
    recorder_.channel_count = link.NumCameras();

    heartbeat_payload_.clear();
    detail::MakeHeartBeatOrNTPPayload(recorder_, heartbeat_payload_);
    detail::MakeRecorderInfoPayload(recorder_, outcome.recorder_payload);
    registered_ = true;

    int32_t bias = 0;
    const int result = link.ServerTimeZoneBias(bias);
    if (result < 0) {
        out.push_back({ERROR, "Error from KVAPI_GetServerTimezoneInfo: " + std::to_string(result)});
    } else {
        outcome.server_offset = bias;
    }
    text.clear();
    link.ServerDescription(text);
    recorder_.recorder_name = text;
    return outcome;
}

}  // namespace kv
