#include "src/service/time_answer.h"

#include <arpa/inet.h>

#include <cstring>

#include "src/recorder/time_zones.h"

namespace kv {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Plain decimal digits (no sign, no blank), within [low, high]. Ten digits at most, so
// that the value cannot overflow before it is compared.
bool IsDecimalIn(const std::string& text, int64_t low, int64_t high) {
    if (text.empty() || text.size() > 10) return false;
    int64_t value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    return value >= low && value <= high;
}

bool IsIpAddress(const std::string& text) {
    // inet_pton reads up to a NUL: an embedded one would hide what follows it.
    if (text.find('\0') != std::string::npos) return false;
    unsigned char address[16];
    return ::inet_pton(AF_INET, text.c_str(), address) == 1 || ::inet_pton(AF_INET6, text.c_str(), address) == 1;
}

bool IsHostName(const std::string& text) {
    if (text.empty() || text.size() > kMaxTimeServerNameBytes) return false;
    size_t start = 0;
    bool last_all_digits = false;
    for (;;) {
        size_t end = text.find('.', start);
        if (end == std::string::npos) end = text.size();
        const size_t length = end - start;
        if (length == 0 || length > 63) return false;
        if (text[start] == '-' || text[end - 1] == '-') return false;
        last_all_digits = true;
        for (size_t i = start; i < end; ++i) {
            const char c = text[i];
            if (!IsLetter(c) && !IsDigit(c) && c != '-') return false;
            if (!IsDigit(c)) last_all_digits = false;
        }
        if (end == text.size()) break;
        start = end + 1;
    }
    // "1.2.3.999" is a mistyped address, not a name (RFC 1123, 2.1).
    return !last_all_digits;
}

}  // namespace

bool IsTimeServerAddress(const std::string& text) { return IsIpAddress(text) || IsHostName(text); }

TimeAnswerFault FindTimeAnswerFault(const soap::NtpInfo& info) {
    TimeZone zone;
    if (!IsTimeServerAddress(info.ntp_server_ip)) return {"NTPServerIP", &info.ntp_server_ip};
    if (!IsDecimalIn(info.ntp_server_port, 1, 65535)) return {"NTPServerPort", &info.ntp_server_port};
    if (!LookupTimeZone(info.time_zone, zone)) return {"TimeZone", &info.time_zone};
    if (!IsDecimalIn(info.update_interval, kMinUpdateInterval, kMaxUpdateInterval)) {
        return {"UpdateInterval", &info.update_interval};
    }
    return {};
}

}  // namespace kv
