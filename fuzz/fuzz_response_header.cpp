// Every header line of every response passes through the response header rule. Any
// bytes (libcurl hands lines over unchecked, NUL bytes included) must either add nothing
// or add exactly one value under the text before the first colon, trimmed of white space.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "src/http_work_queue.h"

namespace {
bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* line = reinterpret_cast<const char*>(data);
    kv::http::Header headers;
    kv::http::detail::AppendResponseHeaderLine(line, size, headers);

    const char* colon = static_cast<const char*>(std::memchr(line, ':', size));
    if (colon == nullptr) {
        WARDEX_FUZZ_CHECK(headers.empty(), "a line without a colon adds nothing");
        return 0;
    }
    WARDEX_FUZZ_CHECK(headers.size() == 1, "a line with a colon adds one name");
    const auto& field = *headers.begin();
    WARDEX_FUZZ_CHECK(field.first == std::string(line, colon), "the name is the text before the first colon");
    WARDEX_FUZZ_CHECK(field.second.size() == 1, "one line adds one value");
    const std::string& value = field.second.front();
    WARDEX_FUZZ_CHECK(value.empty() || (!IsTrimmed(value.front()) && !IsTrimmed(value.back())),
                      "the value is trimmed at both ends");
    const std::string rest(colon + 1, line + size);
    WARDEX_FUZZ_CHECK(rest.find(value) != std::string::npos, "the value is taken from the line");

    // A second line under the same name appends to it.
    kv::http::detail::AppendResponseHeaderLine(line, size, headers);
    WARDEX_FUZZ_CHECK(headers.size() == 1 && headers.begin()->second.size() == 2, "a repeated name appends");
    return 0;
}
