#include "common/time_helpers.h"

#include <string>

#include <gtest/gtest.h>

namespace kv {
namespace datetime {
namespace {

TEST(IsoTimeTest, FormatsEpochAndAKnownMoment) {
    std::string out = "stale";
    UTCToIsoString(0, 0, out);
    EXPECT_EQ("1970-01-01T00:00:00.000Z", out);
    UTCToIsoString(1709622489, 7, out);  // 2024-03-05 07:08:09 UTC
    EXPECT_EQ("2024-03-05T07:08:09.007Z", out);
    UTCToIsoString(1709622489, 999, out);
    EXPECT_EQ("2024-03-05T07:08:09.999Z", out);
}

TEST(IsoTimeTest, MillisecondsBeyondASecondCarryOver) {
    std::string out;
    UTCToIsoString(1709622489, 1500, out);
    EXPECT_EQ("2024-03-05T07:08:10.500Z", out);
    UTCToIsoString(59, 65535, out);
    EXPECT_EQ("1970-01-01T00:02:04.535Z", out);
}

TEST(IsoTimeTest, ParsesWhatItFormats) {
    time_t seconds = -1;
    uint16_t millis = 1;
    ASSERT_EQ(0, IsoStringToUTC("1970-01-01T00:00:00.000Z", seconds, millis));
    EXPECT_EQ(0, seconds);
    EXPECT_EQ(0, millis);

    std::string text;
    UTCToIsoString(1709622489, 321, text);
    ASSERT_EQ(0, IsoStringToUTC(text, seconds, millis));
    EXPECT_EQ(1709622489, seconds);
    EXPECT_EQ(321, millis);
}

TEST(IsoTimeTest, FinalZIsOptionalAndFieldsNormalise) {
    time_t seconds = 0;
    uint16_t millis = 0;
    ASSERT_EQ(0, IsoStringToUTC("2024-03-05T07:08:09.5", seconds, millis));
    EXPECT_EQ(1709622489, seconds);
    EXPECT_EQ(5, millis);
    // 24:00:00 on 4 March is midnight starting 5 March.
    ASSERT_EQ(0, IsoStringToUTC("2024-03-04T24:00:00.000Z", seconds, millis));
    EXPECT_EQ(1709596800, seconds);
}

TEST(IsoTimeTest, MissingFieldsFailAndLeaveOutputsAlone) {
    time_t seconds = 77;
    uint16_t millis = 88;
    EXPECT_EQ(-1, IsoStringToUTC("2024-03-05T07:08:09Z", seconds, millis));
    EXPECT_EQ(-1, IsoStringToUTC("", seconds, millis));
    EXPECT_EQ(-1, IsoStringToUTC("2024-03-05", seconds, millis));
    EXPECT_EQ(-1, IsoStringToUTC("yesterday", seconds, millis));
    EXPECT_EQ(-1, IsoStringToUTC("-2147483648-01-01T00:00:00.000Z", seconds, millis));
    EXPECT_EQ(77, seconds);
    EXPECT_EQ(88, millis);
}

// The fraction is read as an unsigned number, which takes a sign: "-4" would wrap to a
// millisecond count of 65532 that no reader of the result expects.
TEST(IsoTimeTest, SignedFractionFailsAndLeavesOutputsAlone) {
    time_t seconds = 77;
    uint16_t millis = 88;
    EXPECT_EQ(-1, IsoStringToUTC("2024-03-05T07:08:09.-4Z", seconds, millis));
    EXPECT_EQ(-1, IsoStringToUTC("-4-1- 0T0:0:00.-4-Z", seconds, millis));
    EXPECT_EQ(77, seconds);
    EXPECT_EQ(88, millis);
    ASSERT_EQ(0, IsoStringToUTC("2024-03-05T07:08:09.+4Z", seconds, millis));
    EXPECT_EQ(4, millis);
}

}  // namespace
}  // namespace datetime
}  // namespace kv
