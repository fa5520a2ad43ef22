// The time-server answer is JSON from the receiver. Whatever it holds, ParseNtpInfo may
// only fill the four texts from string members, and must leave the rest alone; deep
// nesting ends the reading without building anything (so no stack or memory hazard), and
// it agrees with a full JSON parse of the same text wherever that parse is shallow.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "src/soap_helper.h"

namespace {

// The depth of the deepest array or object, counting brackets outside strings; the
// input is only trusted to a full parse when this is small.
size_t BracketDepth(const std::string& text) {
    size_t depth = 0, most = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            most = std::max(most, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return most;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv::fuzz::QuietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    kv::soap::NtpInfo info;
    info.error_code = 7;  // the parser never touches it
    kv::soap::detail::ParseNtpInfo(text, info);
    WARDEX_FUZZ_CHECK(info.error_code == 7, "ParseNtpInfo leaves error_code alone");

    // Where a document parse is safe, the stream reader must find what it finds.
    if (text.size() <= kv::soap::kMaxResultBytes && BracketDepth(text) < kv::soap::kMaxNtpInfoDepth) {
        const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
        const bool object = !value.is_discarded() && value.is_object();
        const auto member = [&](const char* key) {
            if (!object) return std::string();
            const auto found = value.find(key);
            return found != value.end() && found->is_string() ? found->get<std::string>() : std::string();
        };
        WARDEX_FUZZ_CHECK(info.ntp_server_ip == member("NTPServerIP"), "NTPServerIP as a full parse reads it");
        WARDEX_FUZZ_CHECK(info.ntp_server_port == member("NTPServerPort"), "NTPServerPort as a full parse reads it");
        WARDEX_FUZZ_CHECK(info.time_zone == member("TimeZone"), "TimeZone as a full parse reads it");
        WARDEX_FUZZ_CHECK(info.update_interval == member("UpdateInterval"), "UpdateInterval as a full parse reads it");
    }
    return 0;
}
