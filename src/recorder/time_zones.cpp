#include "src/recorder/time_zones.h"

#include "common/string_util.h"

namespace kv {

const int tzbias[kTimeZoneCount] = {
    -720, -660, -600, -570, -540, -480, -420, -360, -300, -270,
    -240, -210, -180, -120, -60,  0,    60,   120,  180,  210,
    240,  270,  300,  330,  345,  360,  390,  420,  480,  510,
    525,  540,  570,  600,  630,  660,  720,  765,  780,  840,
};

const char* const tzs[kTimeZoneCount] = {
    "(UTC-12:00) Dateline",        "(UTC-11:00) UTC-11",         "(UTC-10:00) Hawaiian",
    "(UTC-09:30) Marquesas",       "(UTC-09:00) UTC-09",         "(UTC-08:00) UTC-08",
    "(UTC-07:00) Mountain",        "(UTC-06:00) Central",        "(UTC-05:00) Eastern",
    "(UTC-04:30)",                 "(UTC-04:00) Atlantic",       "(UTC-03:30) Newfoundland",
    "(UTC-03:00) Greenland",       "(UTC-02:00) UTC-02",         "(UTC-01:00) Cape Verde",
    "(UTC+00:00) UTC",             "(UTC+01:00) Morocco",        "(UTC+02:00) FLE",
    "(UTC+03:00) Russian",         "(UTC+03:30) Iran",           "(UTC+04:00) Saratov",
    "(UTC+04:30) Afghanistan",     "(UTC+05:00) Pakistan",       "(UTC+05:30) Sri Lanka",
    "(UTC+05:45) Nepal",           "(UTC+06:00) Omsk",           "(UTC+06:30) Myanmar",
    "(UTC+07:00) North Asia",      "(UTC+08:00) W. Australia",   "(UTC+08:30)",
    "(UTC+08:45) Aus Central W.",  "(UTC+09:00) Yakutsk",        "(UTC+09:30) Cen. Australia",
    "(UTC+10:00) Tasmania",        "(UTC+10:30) Lord Howe",      "(UTC+11:00) Magadan",
    "(UTC+12:00) Fiji",            "(UTC+12:45) Chatham Islands", "(UTC+13:00) Samoa",
    "(UTC+14:00) Line Islands",
};

bool LookupTimeZone(const std::string& number, TimeZone& zone) {
    int value = 0;
    if (string_converters::string_to_int(number, value) != 0) return false;
    if (value < 1 || value > kTimeZoneCount) return false;
    zone.offset_seconds = static_cast<int64_t>(tzbias[value - 1]) * 60;
    zone.name = tzs[value - 1];
    return true;
}

}  // namespace kv
