// Registration against a scripted recorder: the description it reads, and the address
// payloads report for a recorder the service runs on.
#include "src/service/registration.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/service/config.h"
#include "tests/service/fake_recorder_link.h"

namespace kv {
namespace {

using Adapter = RecorderLink::Adapter;
const std::string kLicensed = "00:1A:2B:3C:4D:5E";

TEST(RegistrationTest, TheReportedAddressOfALocalRecorder) {
    struct Case {
        const char* name;
        std::vector<Adapter> adapters;
        std::map<uint32_t, int> failures;
        std::string reported;
        size_t lines;
    };
    const Case cases[] = {
        {"the licensed adapter", {{true, "AA:AA:AA:AA:AA:AA", "127.0.0.9"}, {true, kLicensed, "127.0.0.5"}}, {},
         "127.0.0.5", 0},
        {"its address unusable: the first usable",
         {{true, kLicensed, "0.0.0.0"}, {true, "", "127.0.0.9"}, {true, "", "127.0.0.10"}}, {}, "127.0.0.9", 2},
        {"no adapters", {}, {}, kLocalRecorderAddress, 2},
        {"only unusable ones", {{true, kLicensed, "0.0.0.0"}}, {}, kLocalRecorderAddress, 2},
        {"a MAC differing in case", {{true, "00:1a:2b:3c:4d:5e", "127.0.0.5"}}, {}, "127.0.0.5", 2},
        {"an adapter without address", {{false, kLicensed, ""}, {true, kLicensed, "127.0.0.6"}}, {}, "127.0.0.6", 0},
        {"a failed read is skipped", {{true, kLicensed, "127.0.0.5"}, {true, kLicensed, "127.0.0.6"}}, {{0, -4}},
         "127.0.0.6", 1},
    };
    for (const Case& c : cases) {
        FakeRecorderLink recorder;
        recorder.adapters = c.adapters;
        recorder.adapter_results = c.failures;
        Diagnostics lines;
        const auto reported = ChooseReportedAddress(recorder, kLocalRecorderAddress, kLicensed, lines);
        ASSERT_TRUE(reported.has_value()) << c.name;
        EXPECT_EQ(*reported, c.reported) << c.name;
        EXPECT_EQ(lines.size(), c.lines) << c.name;
    }
    FakeRecorderLink unlisted;
    unlisted.results["adapters"] = -2;
    Diagnostics lines;
    EXPECT_FALSE(ChooseReportedAddress(unlisted, kLocalRecorderAddress, kLicensed, lines).has_value());
    EXPECT_EQ(lines.size(), 1u);
}

TEST(RegistrationTest, RegisteringFillsTheDescriptionOnce) {
    struct Case {
        const char* address;
        int mac_result;
        int zone_result;
        std::string mac;
        std::string ip;
    };
    const Case cases[] = {
        {"10.1.2.3", 0, 0, kLicensed, "10.1.2.3"},  // a remote recorder: no adapter is asked
        {kLocalRecorderAddress, 0, 0, kLicensed, "127.0.0.5"},
        {"10.1.2.3", -1, 0, "", ""},  // no licensed MAC: the address is not set
        {"10.1.2.3", 1, 0, "", ""},   // only 0 counts as read
        {"10.1.2.3", 0, -3, kLicensed, "10.1.2.3"},
    };
    for (const Case& c : cases) {
        FakeRecorderLink recorder;
        recorder.adapters = {{true, kLicensed, "127.0.0.5"}};
        recorder.results["mac"] = c.mac_result;
        recorder.results["zone"] = c.zone_result;
        NvrInfo configured;
        configured.address = c.address;
        configured.site_no = "7";
        Registration registration(configured);
        EXPECT_FALSE(registration.registered());
        Diagnostics lines;
        const Registration::Outcome outcome = registration.Register(recorder, "7.4.2.0", lines);
        EXPECT_TRUE(registration.registered());

        const NvrInfo& nvr = registration.recorder();
        EXPECT_EQ(nvr.mac_address, c.mac) << c.address;
        EXPECT_EQ(nvr.ip_address, c.ip) << c.address;
        EXPECT_EQ(recorder.calls.count("adapters"), c.address == std::string(kLocalRecorderAddress) ? 1u : 0u);
        EXPECT_EQ(nvr.site_no, "7");
        EXPECT_EQ(nvr.firmware_version, "7.4.2.0");
        EXPECT_EQ(nvr.serial_no, recorder.serial);
        EXPECT_EQ(nvr.recorder_name, recorder.description);
        EXPECT_EQ(nvr.channel_count, static_cast<int32_t>(recorder.cameras.size()));
        EXPECT_EQ(outcome.server_offset.has_value(), c.zone_result >= 0);
        EXPECT_EQ(outcome.server_offset.value_or(0), c.zone_result >= 0 ? recorder.bias : 0);
        EXPECT_EQ(lines.size(), c.zone_result < 0 ? 1u : 0u);

        std::string heartbeat, info;
        detail::MakeHeartBeatOrNTPPayload(nvr, heartbeat);
        detail::MakeRecorderInfoPayload(nvr, info);
        EXPECT_EQ(registration.heartbeat_payload(), heartbeat);
        EXPECT_EQ(outcome.recorder_payload, info);
    }
}

}  // namespace
}  // namespace kv
