// IsoStringToUTC on arbitrary text: it either fails and leaves its outputs alone, or
// yields milliseconds within 0-999 and a time that survives a trip through
// UTCToIsoString (within the years that text can express).
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "common/time_helpers.h"
#include "fuzz/fuzz_support.h"

namespace {
// 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
constexpr time_t kFirstExpressible = -62167219200;
constexpr time_t kLastExpressible = 253402300799;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    time_t seconds = 17;
    uint16_t milliseconds = 17;
    if (kv::datetime::IsoStringToUTC(text, seconds, milliseconds) != 0) {
        WARDEX_FUZZ_CHECK(seconds == 17 && milliseconds == 17, "a failure leaves the outputs alone");
        return 0;
    }
    WARDEX_FUZZ_CHECK(milliseconds <= 999, "milliseconds stay within a second");
    if (seconds < kFirstExpressible || seconds > kLastExpressible) return 0;

    std::string iso;
    kv::datetime::UTCToIsoString(seconds, milliseconds, iso);
    time_t again = 0;
    uint16_t again_ms = 0;
    WARDEX_FUZZ_CHECK(kv::datetime::IsoStringToUTC(iso, again, again_ms) == 0, "our own text reads back");
    WARDEX_FUZZ_CHECK(again == seconds && again_ms == milliseconds, "the round trip keeps the time");
    return 0;
}
