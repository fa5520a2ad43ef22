// The byte-string helpers on arbitrary bytes: hex and percent decoding, splitting and
// whole-string integer conversion, each held to the property that defines it.
//
// Input layout: byte 0 is the split delimiter; the rest is the text.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/string_util.h"
#include "fuzz/fuzz_support.h"

namespace {

void CheckHex(const std::string& text) {
    WARDEX_FUZZ_CHECK(kv::hex_decode(text).size() == text.size() / 2, "one byte per pair of characters");
    WARDEX_FUZZ_CHECK(kv::hex_decode(kv::hex_encode(text)) == text, "hex decoding undoes hex encoding");
}

void CheckUrl(const std::string& text) {
    WARDEX_FUZZ_CHECK(kv::url_decode(text).size() <= text.size(), "percent decoding never grows the text");
    WARDEX_FUZZ_CHECK(kv::url_decode(kv::url_encode(text)) == text, "percent decoding undoes encoding");
}

void CheckSplit(const std::string& text, char delimiter) {
    const std::vector<std::string> fields = kv::split(text, delimiter);
    size_t delimiters = 0;
    for (char c : text) delimiters += c == delimiter ? 1 : 0;
    WARDEX_FUZZ_CHECK(fields.size() == delimiters + 1, "one field more than delimiters");
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) joined += delimiter;
        joined += fields[i];
    }
    WARDEX_FUZZ_CHECK(joined == text, "the fields joined give the text back");

    // The NUL-terminated form sees the text up to its first NUL.
    const std::string terminated(text.c_str());
    const std::vector<std::string> measured = kv::split(terminated.c_str(), std::string::npos, delimiter);
    WARDEX_FUZZ_CHECK(measured == kv::split(terminated, delimiter), "npos measures the text");
}

void CheckInt(const std::string& text) {
    int value = 12345;
    const int code = kv::string_converters::string_to_int(text, value);
    WARDEX_FUZZ_CHECK(code >= 0 && code <= 4, "a known result code");

    errno = 0;
    char* end = nullptr;
    const long wide = std::strtol(text.c_str(), &end, 10);
    const bool range = errno == ERANGE;
    const long clamped = wide < INT_MIN ? INT_MIN : wide > INT_MAX ? INT_MAX : wide;
    WARDEX_FUZZ_CHECK(value == clamped, "the value is strtol's, clamped to int");
    if (code == 0) {
        WARDEX_FUZZ_CHECK(!range && end == text.c_str() + text.size() && end != text.c_str(),
                          "0 only for a whole number in range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char delimiter = static_cast<char>(data[0]);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    CheckHex(text);
    CheckUrl(text);
    CheckSplit(text, delimiter);
    CheckInt(text);
    return 0;
}
