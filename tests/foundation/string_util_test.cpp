#include "common/string_util.h"

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kv {
namespace {

using Fields = std::vector<std::string>;

TEST(HexTest, DigitValuesFollowTheLetterRule) {
    EXPECT_EQ(0u, hex_to_int('0'));
    EXPECT_EQ(9u, hex_to_int('9'));
    EXPECT_EQ(10u, hex_to_int('a'));
    EXPECT_EQ(15u, hex_to_int('F'));
    EXPECT_EQ(16u, hex_to_int('g'));
    EXPECT_EQ(35u, hex_to_int('Z'));
    EXPECT_EQ(0u, hex_to_int('%'));
    EXPECT_EQ(0u, hex_to_int('\xC3'));
}

TEST(HexTest, EncodeAndDecodeRoundTripEveryByte) {
    EXPECT_EQ("00abff", hex_encode(std::string("\x00\xAB\xFF", 3)));
    EXPECT_EQ(std::string("\x00\xAB\xFF", 3), hex_decode("00abff"));
    EXPECT_EQ("", hex_encode(""));
    EXPECT_EQ("", hex_decode(""));

    std::string all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    const std::string text = hex_encode(all);
    ASSERT_EQ(512u, text.size());
    EXPECT_EQ(std::string::npos, text.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(all, hex_decode(text));
}

TEST(HexTest, DecodeIsLenientAboutCaseOddLengthAndJunk) {
    EXPECT_EQ("\xAB", hex_decode("ABc"));
    EXPECT_EQ("\x33", hex_decode("zz"));  // (35 * 16 | 35) & 0xff
    EXPECT_EQ("", hex_decode("7"));
    EXPECT_EQ(std::string("\x00", 1), hex_decode("--"));
}

TEST(UrlTest, EncodeKeepsUnreservedAndEscapesTheRest) {
    EXPECT_EQ("a%20b~", url_encode("a b~"));
    EXPECT_EQ("AZaz09-_.~", url_encode("AZaz09-_.~"));
    EXPECT_EQ("%2f%3f%26%3d%2b%25", url_encode("/?&=+%"));
    EXPECT_EQ("%c3%a9%00", url_encode(std::string("\xC3\xA9\x00", 3)));
}

TEST(UrlTest, DecodeHandlesShortEscapesAndPlus) {
    EXPECT_EQ("a b%2", url_decode("a%20b%2"));
    EXPECT_EQ("%", url_decode("%"));
    EXPECT_EQ("x%4", url_decode("x%4"));
    EXPECT_EQ("a+b", url_decode("a+b"));
    EXPECT_EQ("\xC3\xA9", url_decode("%C3%a9"));
    EXPECT_EQ("/", url_decode("%2F"));
    const std::string binary("\x01\x7f\x80\xff", 4);
    EXPECT_EQ(binary, url_decode(url_encode(binary)));
}

TEST(QuoteTest, NullTextAndNullSpecials) {
    EXPECT_EQ("\"\"", quote(nullptr, 5, "\""));
    EXPECT_EQ("\"a\"b\\\"", quote("a\"b\\", std::string::npos, nullptr));
    EXPECT_EQ("\"a\"b\\\"", quote("a\"b\\", std::string::npos, ""));
}

TEST(QuoteTest, EscapesOnlyTheGivenSpecials) {
    EXPECT_EQ("\"say \\\"hi\\\"\"", quote(std::string("say \"hi\""), "\""));
    EXPECT_EQ("\"a\\\\b\\$\"", quote(std::string("a\\b$"), "\\$"));
    EXPECT_EQ("\"ab\"", quote("abcdef", 2, "\""));
}

TEST(QuoteTest, EmbeddedNulAlwaysGetsABackslash) {
    const std::string text("a\0b", 3);
    EXPECT_EQ(std::string("\"a\\\0b\"", 6), quote(text, nullptr));
    EXPECT_EQ(std::string("\"a\\\0b\"", 6), quote(text, "\""));
}

TEST(EscapeTest, EveryListedByteAndTheFallback) {
    EXPECT_EQ("\\t\\?\\u0001", escape_characters("\t?\x01"));
    EXPECT_EQ("\\a\\b\\t\\n\\v\\f\\r\\\"\\'\\?\\\\", escape_characters("\a\b\t\n\v\f\r\"'?\\"));
    EXPECT_EQ("\\u001b", escape_characters("\x1b"));
    EXPECT_EQ("\\u0000\\u001f", escape_characters(std::string("\x00\x1f", 2)));
    const std::string unchanged("plain ~\x7f\x80\xC3\xA9\xff", 12);
    EXPECT_EQ(unchanged, escape_characters(unchanged));
}

TEST(SplitTest, EmptyFieldsStay) {
    EXPECT_EQ((Fields{"", ""}), split(std::string(","), ','));
    EXPECT_EQ((Fields{"a", "", "b"}), split(std::string("a,,b"), ','));
    EXPECT_EQ((Fields{"a", ""}), split(std::string("a,"), ','));
    EXPECT_EQ((Fields{"", "a"}), split(std::string(",a"), ','));
    EXPECT_EQ((Fields{""}), split(std::string(), ','));
    EXPECT_EQ((Fields{"no delimiter"}), split(std::string("no delimiter"), ','));
}

TEST(SplitTest, PointerFormsAndNull) {
    EXPECT_TRUE(split(nullptr, 3, ',').empty());
    EXPECT_EQ((Fields{"x", "y"}), split("x;y", std::string::npos, ';'));
    EXPECT_EQ((Fields{"x", ""}), split("x;y", 2, ';'));
    EXPECT_EQ((Fields{"a", std::string("\0b", 2)}), split(std::string("a,\0b", 4), ','));
}

namespace sc = string_converters;

TEST(ConvertTest, StringToLongCodes) {
    long value = -1;
    EXPECT_EQ(0, sc::string_to_long(" 42", value));
    EXPECT_EQ(42, value);
    EXPECT_EQ(0, sc::string_to_long("-17", value));
    EXPECT_EQ(-17, value);
    EXPECT_EQ(3, sc::string_to_long("12abc", value));
    EXPECT_EQ(12, value);
    EXPECT_EQ(3, sc::string_to_long("12 ", value));
    EXPECT_EQ(2, sc::string_to_long("", value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(2, sc::string_to_long("abc", value));
    EXPECT_EQ(1, sc::string_to_long("99999999999999999999999", value));
    EXPECT_EQ(LONG_MAX, value);
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(3, sc::string_to_long(std::string("5\0x", 3), value));
    EXPECT_EQ(5, value);
}

TEST(ConvertTest, StringToIntClampsAndSetsErange) {
    int value = -1;
    EXPECT_EQ(3, sc::string_to_int("12abc", value));
    EXPECT_EQ(12, value);
    value = -1;
    EXPECT_EQ(2, sc::string_to_int("", value));
    EXPECT_EQ(0, value);
    errno = 0;
    EXPECT_EQ(1, sc::string_to_int("4294967296", value));
    EXPECT_EQ(INT_MAX, value);
    EXPECT_EQ(ERANGE, errno);
    errno = 0;
    EXPECT_EQ(1, sc::string_to_int("-2147483649", value));
    EXPECT_EQ(INT_MIN, value);
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(0, sc::string_to_int("2147483647", value));
    EXPECT_EQ(INT_MAX, value);
    EXPECT_EQ(0, sc::string_to_int("-2147483648", value));
    EXPECT_EQ(INT_MIN, value);
}

TEST(ConvertTest, StringToIntNeverWrapsOnFailureCodes) {
    int value = 0;
    // Beyond long: strtol clamps to LONG_MAX, which must not arrive as -1.
    EXPECT_EQ(1, sc::string_to_int("99999999999999999999999", value));
    EXPECT_EQ(INT_MAX, value);
    EXPECT_EQ(1, sc::string_to_int("-99999999999999999999999", value));
    EXPECT_EQ(INT_MIN, value);
    // A long number with text after it: 4294967308 cut to 32 bits would read as 12.
    EXPECT_EQ(3, sc::string_to_int("4294967308abc", value));
    EXPECT_EQ(INT_MAX, value);
}

TEST(ConvertTest, StringToDoubleCodes) {
    double value = -1;
    EXPECT_EQ(0, sc::string_to_double(" 2.5", value));
    EXPECT_DOUBLE_EQ(2.5, value);
    EXPECT_EQ(3, sc::string_to_double("2.5x", value));
    EXPECT_DOUBLE_EQ(2.5, value);
    EXPECT_EQ(2, sc::string_to_double("", value));
    EXPECT_EQ(2, sc::string_to_double(".", value));
    EXPECT_EQ(1, sc::string_to_double("1e999", value));
    EXPECT_EQ(1, sc::string_to_double("1e-999", value));
    EXPECT_EQ(0, sc::string_to_double("-0", value));
}

}  // namespace

TEST(CutQuotedText, LongTextsAreCutWithTheCountLeftOut) {
    EXPECT_EQ("", cut_quoted_text(""));
    EXPECT_EQ(std::string(kQuotedTextBytes, 'a'), cut_quoted_text(std::string(kQuotedTextBytes, 'a')));
    EXPECT_EQ(std::string(kQuotedTextBytes, 'a') + "...(4000000 more bytes)",
              cut_quoted_text(std::string(kQuotedTextBytes + 4000000, 'a')));
    // "\xe2\x82\xac" (the euro sign) across the cut goes whole into the part left out.
    EXPECT_EQ("ab...(5 more bytes)", cut_quoted_text("ab\xe2\x82\xac" "cd", 3));
    EXPECT_EQ("ab...(5 more bytes)", cut_quoted_text("ab\xe2\x82\xac" "cd", 4));
    EXPECT_EQ("ab\xe2\x82\xac...(2 more bytes)", cut_quoted_text("ab\xe2\x82\xac" "cd", 5));
}

TEST(EscapeLogText, OrdinaryTextIsUnchanged) {
    for (const std::string& text : {std::string(), std::string("Recording server online"),
                                   std::string("C:\\path \"quoted\" \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 ~")}) {
        EXPECT_EQ(text, escape_log_text(text));
    }
}

TEST(EscapeLogText, ControlCharactersBecomeVisibleEscapes) {
    EXPECT_EQ("a\\nb\\rc\\td", escape_log_text("a\nb\rc\td"));
    EXPECT_EQ("\\x1b[31mred\\x1b[0m", escape_log_text("\x1b[31mred\x1b[0m"));
    EXPECT_EQ("\\x00\\x01\\x07\\x08\\x0b\\x0c\\x1f\\x7f", escape_log_text(std::string("\0\x01\x07\b\v\f\x1f\x7f", 8)));
    // The C1 controls (U+0080 to U+009F; U+009B is a one-byte CSI on some terminals).
    EXPECT_EQ("\\u0080\\u009b\\u009f\xc2\xa0", escape_log_text("\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0"));
}

TEST(EscapeLogText, EveryByteOutsideWellFormedUtf8BecomesOneReplacementCharacter) {
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(fffd + "(", escape_log_text("\xc3("));
    EXPECT_EQ(fffd, escape_log_text("\xff"));
    EXPECT_EQ(fffd + fffd, escape_log_text("\xc0\xaf"));                // overlong
    EXPECT_EQ(fffd + fffd + fffd, escape_log_text("\xed\xa0\x80"));    // surrogate
    EXPECT_EQ(fffd + fffd + fffd + fffd, escape_log_text("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_EQ("x" + fffd + fffd, escape_log_text("x\xe2\x82"));        // cut short
    EXPECT_EQ(fffd + "\\n", escape_log_text("\xe2\n"));
}

}  // namespace kv
