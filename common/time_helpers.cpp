#include "common/time_helpers.h"

#include <climits>
#include <cstdio>

namespace kv {
namespace datetime {

void UTCToIsoString(time_t seconds, uint16_t milliseconds, std::string& out) {
    seconds += milliseconds / 1000;
    milliseconds %= 1000;
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char date[80];
    std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S.", &parts);
    char fraction[5];
    std::snprintf(fraction, sizeof(fraction), "%03dZ", static_cast<int>(milliseconds));
    out = std::string(date) + fraction;
}

int IsoStringToUTC(const std::string& text, time_t& seconds, uint16_t& milliseconds) {
    struct tm parts {};
    unsigned fraction = 0;
    const int fields = std::sscanf(text.c_str(), "%d-%2d-%2dT%2d:%2d:%2d.%3uZ", &parts.tm_year, &parts.tm_mon,
                                   &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &fraction);
    if (fields < 7) return -1;
    // The fraction has at most three digits, so anything above 999 is a wrapped sign.
    if (fraction > 999) return -1;
    // A year that cannot be shifted to the tm base does not name a representable time.
    if (parts.tm_year < INT_MIN + 1900) return -1;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    seconds = timegm(&parts);
    milliseconds = static_cast<uint16_t>(fraction);
    return 0;
}

}  // namespace datetime
}  // namespace kv
