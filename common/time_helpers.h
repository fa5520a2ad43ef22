// ISO 8601 UTC time text, the same form that begins every log line:
// "YYYY-MM-DDTHH:MM:SS.mmmZ". Reentrant; nothing here reads the local time zone.
#ifndef WARDEX_COMMON_TIME_HELPERS_H_
#define WARDEX_COMMON_TIME_HELPERS_H_

#include <cstdint>
#include <ctime>
#include <string>

namespace kv {
namespace datetime {

// Writes `seconds` (UTC) with `milliseconds` as "2024-03-05T07:08:09.000Z" into `out`.
// Milliseconds of 1000 and more carry into the seconds, so the text always stays valid.
void UTCToIsoString(time_t seconds, uint16_t milliseconds, std::string& out);

// Reads "Y-MM-DDTHH:MM:SS.mmm" (a final "Z" is optional; out-of-range fields are
// normalised as timegm does). Returns 0 and fills both outputs, or -1 and leaves them
// untouched when any of the seven fields is missing, the fraction included.
int IsoStringToUTC(const std::string& text, time_t& seconds, uint16_t& milliseconds);

}  // namespace datetime
}  // namespace kv

#endif  // WARDEX_COMMON_TIME_HELPERS_H_
