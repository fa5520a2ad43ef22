// kv::Registration: the recorder's description, read once per process when the recorder
// first describes itself, and the address payloads report.
//
// Register() reads, in this order, the licensed MAC, the network adapters (only for a
// recorder the service runs on, "server_address" 127.0.0.1), the serial, the camera
// count, the time zone and the description, and builds the heartbeat and recorder
// payloads. The reported address is the configured one; for a local recorder the
// adapter that carries the licensed MAC, else the first adapter with a usable address
// (not 0.0.0.0...), else the local address. A failed read leaves its field as it was; what
// failed comes back as diagnostics. Registration is never undone, across reconnections
// too. Single-threaded: the client-library thread only.
#ifndef WARDEX_SRC_SERVICE_REGISTRATION_H_
#define WARDEX_SRC_SERVICE_REGISTRATION_H_

#include <cstdint>
#include <optional>
#include <string>

#include "src/service/payloads.h"
#include "src/recorder/recorder_link.h"
#include "src/service/diagnostic.h"

namespace kv {

// The address payloads report for the recorder at `configured`; nothing when its
// adapters could not be listed.
std::optional<std::string> ChooseReportedAddress(RecorderLink& link, const std::string& configured,
                                                 const std::string& licensed_mac, Diagnostics& out);

class Registration {
public:
    // `recorder` holds what the configuration says: the address and the site number.
    explicit Registration(NvrInfo recorder) : recorder_(std::move(recorder)) {}

    struct Outcome {
        std::optional<int64_t> server_offset;  // the recorder's zone, seconds east of UTC
        std::string recorder_payload;          // for "SendRecorderInfo"
    };
    // `version` is the recorder's, as the recorder cache read it just before.
    Outcome Register(RecorderLink& link, const std::string& version, Diagnostics& out);

    bool registered() const { return registered_; }
    const NvrInfo& recorder() const { return recorder_; }
    // Built at registration; the heartbeat and the time request both send it.
    const std::string& heartbeat_payload() const { return heartbeat_payload_; }

private:
    NvrInfo recorder_;
    std::string heartbeat_payload_;
    bool registered_ = false;
};

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_REGISTRATION_H_
