// The receiver's time answer against the shapes the recorder may be given: one table of
// answers, each with the field that must stop it (or none).
#include <string>

#include <gtest/gtest.h>

#include "src/service/time_answer.h"

namespace kv {
namespace {

soap::NtpInfo Answer(const std::string& ip, const std::string& port = "123", const std::string& zone = "16",
                     const std::string& interval = "3600") {
    return soap::NtpInfo{ip, port, zone, interval, 0};
}

TEST(TimeAnswer, OnlyAnAnswerWithEveryFieldInShapeIsApplied) {
    const std::string label(63, 'a');
    const std::string longest = label + "." + label + "." + label + "." + std::string(61, 'b');  // 253 bytes
    const struct {
        soap::NtpInfo info;
        const char* refused;  // nullptr: applied
    } cases[] = {
        {Answer("127.0.0.9"), nullptr},
        {Answer("2001:db8::1"), nullptr},
        {Answer("time-1.example"), nullptr},
        {Answer("3com.example"), nullptr},
        {Answer(longest), nullptr},
        {Answer("127.0.0.9", "65535", "40", "604800"), nullptr},
        {Answer("127.0.0.9", "1", "1", "16"), nullptr},
        {Answer("attacker.example\x01;rm -rf /"), "NTPServerIP"},
        {Answer(std::string("127.0.0.9\0.evil", 15)), "NTPServerIP"},
        {Answer(longest + "c"), "NTPServerIP"},
        {Answer(std::string(64, 'a') + ".example"), "NTPServerIP"},
        {Answer("-time.example"), "NTPServerIP"},
        {Answer("time..example"), "NTPServerIP"},
        {Answer("time.example:123"), "NTPServerIP"},
        {Answer("1.2.3.999"), "NTPServerIP"},
        {Answer(""), "NTPServerIP"},
        {Answer("127.0.0.9", "0"), "NTPServerPort"},
        {Answer("127.0.0.9", "65536"), "NTPServerPort"},
        {Answer("127.0.0.9", "+123"), "NTPServerPort"},
        {Answer("127.0.0.9", "99999999999999999999"), "NTPServerPort"},
        {Answer("127.0.0.9", "123", "41"), "TimeZone"},
        {Answer("127.0.0.9", "123", "UTC"), "TimeZone"},
        {Answer("127.0.0.9", "123", "16", "15"), "UpdateInterval"},
        {Answer("127.0.0.9", "123", "16", "604801"), "UpdateInterval"},
        {Answer("127.0.0.9", "123", "16", "3600.5"), "UpdateInterval"},
        {Answer("127.0.0.9", "0", "99", "x"), "NTPServerPort"},  // the first field out of shape
    };
    for (const auto& entry : cases) {
        const TimeAnswerFault fault = FindTimeAnswerFault(entry.info);
        const std::string where = entry.info.ntp_server_ip + " " + entry.info.ntp_server_port + " " +
                                  entry.info.time_zone + " " + entry.info.update_interval;
        ASSERT_EQ(static_cast<bool>(fault), entry.refused != nullptr) << where;
        if (fault) {
            EXPECT_STREQ(fault.field, entry.refused) << where;
        }
    }
    const soap::NtpInfo port = Answer("127.0.0.9", "0");
    EXPECT_EQ(FindTimeAnswerFault(port).value, &port.ntp_server_port);
}

}  // namespace
}  // namespace kv
