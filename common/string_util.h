// Byte-string helpers shared by every unit: hex text, percent-encoding, quoting,
// backslash escaping, splitting and whole-string number conversion.
//
// A std::string is a byte string here; nothing converts character sets. Every function
// is stateless and reentrant, returns a new value and never throws on bad input:
// malformed digits decode by the hex_to_int rule, conversions report through their
// result code.
#ifndef WARDEX_COMMON_STRING_UTIL_H_
#define WARDEX_COMMON_STRING_UTIL_H_

#include <string>
#include <vector>

namespace kv {

// The value of one hex digit: 0-9 give 0-9, any ASCII letter its lower-case code
// minus 87 (a-f give 10-15, g-z 16-35), everything else 0.
unsigned hex_to_int(char c);

// Two lower-case hex digits per byte; "" for "".
std::string hex_encode(const std::string& bytes);
// One byte per pair of digits (by hex_to_int); a final unpaired character is ignored.
std::string hex_decode(const std::string& text);

// Letters, digits and "-_.~" stay; every other byte becomes "%xx" (lower case).
std::string url_encode(const std::string& text);
// "%xx" becomes one byte; a '%' with fewer than two characters after it stays, '+' stays.
std::string url_decode(const std::string& text);

// The text in double quotes, with a backslash before every byte found in `specials`
// (NUL-terminated; null means none). A NUL byte in the text always gets a backslash.
// A null text gives "\"\""; length std::string::npos means `text` is NUL-terminated.
std::string quote(const char* text, size_t length, const char* specials);
std::string quote(const std::string& text, const char* specials);

// C-style backslash escapes (\a \b \t \n \v \f \r \" \' \? \\), other bytes below 32
// as \u00xx; everything else unchanged.
std::string escape_characters(const std::string& text);

// Text that may have come from outside, made safe for one log line: bytes below 0x20
// and 0x7F become \n \r \t or \xhh, the C1 controls U+0080 to U+009F become \u00hh,
// and every byte that is not part of well-formed UTF-8 becomes U+FFFD. Everything else,
// the backslash included, stays as it is, so ordinary texts are unchanged.
std::string escape_log_text(const std::string& text);

// How much of a text from outside (a receiver's RelatesTo, a Location header, ...) a log
// line quotes: enough to recognise it, little enough that no answer can bloat the log.
constexpr size_t kQuotedTextBytes = 256;

// The text as a log line quotes it: at most `keep` bytes, never ending inside a UTF-8
// sequence, followed by "...(N more bytes)" when something was left out.
std::string cut_quoted_text(const std::string& text, size_t keep = kQuotedTextBytes);

// Length of the well-formed UTF-8 sequence that starts at text[i] (no overlong forms,
// surrogates or code points above U+10FFFF), or 0 when none starts there. i < size.
size_t utf8_sequence_length(const std::string& text, size_t i);

// The fields between delimiters, empty ones included: "a,,b" gives a, "", b; "" gives
// one empty field; a null text gives none. Length npos means NUL-terminated.
std::vector<std::string> split(const char* text, size_t length, char delimiter);
std::vector<std::string> split(const std::string& text, char delimiter);

namespace string_converters {

// Result codes of the conversions below.
enum ConversionResult {
    kConverted = 0,       // the whole text was a number and it fits
    kOutOfRange = 1,      // `out` holds the value clamped to the type's range
    kNoNumber = 2,        // no number at the start (the empty text included)
    kTrailingText = 3,    // a number followed by other characters
    kNoEndPosition = 4,   // the conversion reported no end position
};

// Base-10 conversions of the whole text (leading white space and a sign accepted).
// `out` always receives the converted value; errno is set to ERANGE on overflow.
int string_to_long(const std::string& text, long& out);
int string_to_int(const std::string& text, int& out);
int string_to_double(const std::string& text, double& out);

}  // namespace string_converters
}  // namespace kv

#endif  // WARDEX_COMMON_STRING_UTIL_H_
