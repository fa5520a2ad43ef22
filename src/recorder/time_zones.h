// The receiver's 40 time zones. The receiver names a zone by its number, 1 to 40; the
// recording server is given the zone's bias and display name.
#ifndef WARDEX_SRC_TIME_ZONES_H_
#define WARDEX_SRC_TIME_ZONES_H_

#include <cstdint>
#include <string>

namespace kv {

constexpr int kTimeZoneCount = 40;
extern const int tzbias[kTimeZoneCount];          // minutes east of UTC
extern const char* const tzs[kTimeZoneCount];     // display names

struct TimeZone {
    int64_t offset_seconds = 0;
    const char* name = "";
};

// Looks up the zone for the receiver's "TimeZone" text. Only a plain decimal number
// from 1 to 40 names a zone; anything else returns false and leaves `zone` unchanged.
bool LookupTimeZone(const std::string& number, TimeZone& zone);

}  // namespace kv

#endif  // WARDEX_SRC_TIME_ZONES_H_
