// The receiver's time answer against the shapes the recorder may be given: one table of
// answers, each with the field that must stop it (or none).
#include <string>

#include <gtest/gtest.h>

#include "src/time_answer.h"

namespace kv {
namespace {

soap::NtpInfo Answer(const std::string& ip, const std::string& port = "123", const std::string& zone = "16",
                     const std::string& interval = "3600") {
    soap::NtpInfo info;
    info.ntp_server_ip = ip;
    info.ntp_server_port = port;
    info.time_zone = zone;
    info.update_interval = interval;
    return info;
}

std::string Label(const std::string& name, size_t length) { return std::string(length, 'a') + name; }

TEST(TimeAnswer, OnlyAnAnswerWithEveryFieldInShapeIsApplied) {
    const std::string label63(63, 'a');
    // Four labels of 63 and one of 61 with their dots: 253 bytes, the most a name has.
    const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(longest.size(), kMaxTimeServerNameBytes);
    const struct {
        soap::NtpInfo info;
        const char* refused;  // nullptr: applied
    } cases[] = {
        {Answer("127.0.0.9"), nullptr},
        {Answer("2001:db8::1"), nullptr},
        {Answer("::ffff:192.0.2.1"), nullptr},
        {Answer("pool.ntp.org"), nullptr},
        {Answer("time-1.example"), nullptr},
        {Answer("ntp1"), nullptr},
        {Answer("3com.example"), nullptr},
        {Answer(longest), nullptr},
        {Answer("127.0.0.9", "1", "1", "16"), nullptr},
        {Answer("127.0.0.9", "65535", "40", "604800"), nullptr},

        {Answer("attacker.example\x01;rm -rf /"), "NTPServerIP"},
        {Answer(std::string("127.0.0.9\0.evil", 15)), "NTPServerIP"},
        {Answer(longest + "c"), "NTPServerIP"},
        {Answer(Label(".example", 64)), "NTPServerIP"},
        {Answer("-time.example"), "NTPServerIP"},
        {Answer("time-.example"), "NTPServerIP"},
        {Answer("time..example"), "NTPServerIP"},
        {Answer("time.example."), "NTPServerIP"},
        {Answer(".time.example"), "NTPServerIP"},
        {Answer("time_server.example"), "NTPServerIP"},
        {Answer("time.example:123"), "NTPServerIP"},
        {Answer("1.2.3.999"), "NTPServerIP"},
        {Answer("127.1"), "NTPServerIP"},
        {Answer("[::1]"), "NTPServerIP"},
        {Answer(" 127.0.0.9"), "NTPServerIP"},
        {Answer("t\xc3\xa9l\xc3\xa9.example"), "NTPServerIP"},
        {Answer(""), "NTPServerIP"},

        {Answer("127.0.0.9", "0"), "NTPServerPort"},
        {Answer("127.0.0.9", "65536"), "NTPServerPort"},
        {Answer("127.0.0.9", "-123"), "NTPServerPort"},
        {Answer("127.0.0.9", "+123"), "NTPServerPort"},
        {Answer("127.0.0.9", "123 "), "NTPServerPort"},
        {Answer("127.0.0.9", "12a"), "NTPServerPort"},
        {Answer("127.0.0.9", "99999999999999999999"), "NTPServerPort"},
        {Answer("127.0.0.9", ""), "NTPServerPort"},

        {Answer("127.0.0.9", "123", "0"), "TimeZone"},
        {Answer("127.0.0.9", "123", "41"), "TimeZone"},
        {Answer("127.0.0.9", "123", "UTC"), "TimeZone"},
        {Answer("127.0.0.9", "123", ""), "TimeZone"},

        {Answer("127.0.0.9", "123", "16", "15"), "UpdateInterval"},
        {Answer("127.0.0.9", "123", "16", "604801"), "UpdateInterval"},
        {Answer("127.0.0.9", "123", "16", "3600.5"), "UpdateInterval"},
        {Answer("127.0.0.9", "123", "16", "1e9"), "UpdateInterval"},
        {Answer("127.0.0.9", "123", "16", ""), "UpdateInterval"},

        // The first field out of shape is the one named.
        {Answer("bad name", "0", "99", "x"), "NTPServerIP"},
        {Answer("127.0.0.9", "0", "99", "x"), "NTPServerPort"},
    };
    for (const auto& entry : cases) {
        const TimeAnswerFault fault = FindTimeAnswerFault(entry.info);
        const std::string where = "answer with ip \"" + entry.info.ntp_server_ip + "\", port \"" +
                                  entry.info.ntp_server_port + "\", zone \"" + entry.info.time_zone +
                                  "\", interval \"" + entry.info.update_interval + "\"";
        if (entry.refused == nullptr) {
            EXPECT_FALSE(fault) << where << " refused for " << fault.field;
            continue;
        }
        ASSERT_TRUE(fault) << where;
        EXPECT_STREQ(fault.field, entry.refused) << where;
        ASSERT_NE(fault.value, nullptr);
        const std::string expected = std::string(entry.refused) == "NTPServerIP"     ? entry.info.ntp_server_ip
                                     : std::string(entry.refused) == "NTPServerPort" ? entry.info.ntp_server_port
                                     : std::string(entry.refused) == "TimeZone"      ? entry.info.time_zone
                                                                                     : entry.info.update_interval;
        EXPECT_EQ(*fault.value, expected) << where;
    }
}

}  // namespace
}  // namespace kv
