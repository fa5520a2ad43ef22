// What a payload is, decided once when it enters the delivery: the rules (stored or not,
// retried or not, which method on the wire) read this value, never the method's text.
#ifndef WARDEX_SRC_DELIVERY_PAYLOAD_KIND_H_
#define WARDEX_SRC_DELIVERY_PAYLOAD_KIND_H_

#include <cstdint>
#include <string>

namespace kv {
namespace delivery {

enum class PayloadKind : uint8_t { kAlarm, kHeartbeat, kRecorderInfo, kTimeRequest };

// The SOAP method a kind travels under.
inline const char* MethodName(PayloadKind kind) {
    switch (kind) {
        case PayloadKind::kAlarm: return "SendAlarm";
        case PayloadKind::kHeartbeat: return "SendHeartBeat";
        case PayloadKind::kRecorderInfo: return "SendRecorderInfo";
        case PayloadKind::kTimeRequest: return "GetNTPServerInfo";
    }
    return "SendAlarm";
}

// The kind of `method`; false for a method no kind has.
inline bool KindFromMethod(const std::string& method, PayloadKind& kind) {
    for (const PayloadKind candidate : {PayloadKind::kAlarm, PayloadKind::kHeartbeat, PayloadKind::kRecorderInfo,
                                        PayloadKind::kTimeRequest}) {
        if (method == MethodName(candidate)) {
            kind = candidate;
            return true;
        }
    }
    return false;
}

// Alarms alone are kept on disk until delivered; heartbeats alone are never retried.
inline bool IsStored(PayloadKind kind) { return kind == PayloadKind::kAlarm; }
inline bool IsRetried(PayloadKind kind) { return kind != PayloadKind::kHeartbeat; }

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_PAYLOAD_KIND_H_
