// The time-server answer is JSON from the receiver. Whatever it holds, ParseNtpInfo may
// only fill the four texts from string members, and must leave the rest alone.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "src/soap_helper.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv::fuzz::QuietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kv::soap::NtpInfo info;
    info.error_code = 7;  // the parser never touches it
    kv::soap::detail::ParseNtpInfo(std::string(reinterpret_cast<const char*>(data), size), info);
    WARDEX_FUZZ_CHECK(info.error_code == 7, "ParseNtpInfo leaves error_code alone");
    return 0;
}
