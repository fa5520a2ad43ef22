// What the receiver's time answer must look like before the recording server is given
// any of it. The receiver is reached over the network, possibly in plain http: whoever
// answers in its place chooses these texts, and the recorder would take a time server
// from them and set its clock back (its events then predate the service's start and are
// dropped). So each field has a shape, and an answer with one field out of shape is not
// applied at all:
//   "NTPServerIP"    an IPv4 address (dotted quad), an IPv6 address, or an RFC 1123 host
//                    name of at most kMaxTimeServerNameBytes bytes (labels of letters,
//                    digits and inner hyphens, 1 to 63 bytes, the last not all digits);
//   "NTPServerPort"  decimal 1 to 65535;
//   "TimeZone"       a zone of the table (src/recorder/time_zones.h);
//   "UpdateInterval" decimal seconds, kMinUpdateInterval to kMaxUpdateInterval.
// Pure: no state, no log, no allocation beyond the answer's own.
#ifndef WARDEX_SRC_TIME_ANSWER_H_
#define WARDEX_SRC_TIME_ANSWER_H_

#include <cstdint>
#include <string>

#include "src/soap/soap_messages.h"

namespace kv {

// The longest host name DNS can carry (RFC 1035's 255 bytes on the wire, less the length
// bytes); it also fits the recorder's 256-byte time-server buffer with its NUL.
constexpr size_t kMaxTimeServerNameBytes = 253;
// The update interval is only checked, never passed on; the range is that of real time
// services: NTP's shortest poll (16 s) to the week Windows' time service uses at most.
constexpr int64_t kMinUpdateInterval = 16;
constexpr int64_t kMaxUpdateInterval = 7 * 24 * 60 * 60;

// True for an address or host name the recorder may be given as its time server.
bool IsTimeServerAddress(const std::string& text);

// The first field (in the order above) that is out of shape: the receiver's name of it
// and its text in `info`. Empty (false) when the whole answer may be applied.
struct TimeAnswerFault {
    const char* field = nullptr;
    const std::string* value = nullptr;
    explicit operator bool() const { return field != nullptr; }
};
TimeAnswerFault FindTimeAnswerFault(const soap::NtpInfo& info);

}  // namespace kv

#endif  // WARDEX_SRC_TIME_ANSWER_H_
