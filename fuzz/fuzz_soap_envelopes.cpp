// The receiver's answers reach the four envelope parsers unchecked: any bytes must end in
// outputs or an ERROR line, never in a crash, a read past the answer or a leak.
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
    const char* text = reinterpret_cast<const char*>(data);

    std::string relates_to, sequence_id;
    kv::soap::ParseCreateSequenceResponse(text, size, relates_to, sequence_id);

    std::string result;
    relates_to.clear();
    kv::soap::ParseSendAlarmResponse(text, size, relates_to, result);

    std::string acknowledged;
    kv::soap::ParseLastMessageResponse(text, size, acknowledged);

    std::string message_id;
    kv::soap::ParseRequest(std::string(text, size), message_id);
    return 0;
}
