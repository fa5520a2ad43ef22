// The receiver's answers reach the four envelope parsers and the classifier unchecked:
// any bytes must end in outputs or an ERROR line, never in a crash, a read past the
// answer or a leak. The classifier and the parsers must agree on what a fault is.
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

    const kv::soap::AnswerShape shape = kv::soap::ClassifyEnvelope(text, size);
    WARDEX_FUZZ_CHECK(kv::soap::IsSoapFault(text, size) == (shape == kv::soap::AnswerShape::kFault),
                      "IsSoapFault disagrees with ClassifyEnvelope");

    std::string relates_to, sequence_id;
    kv::soap::ParseCreateSequenceResponse(text, size, relates_to, sequence_id);

    std::string result;
    relates_to.clear();
    kv::soap::ParseSendAlarmResponse(text, size, relates_to, result);
    // A fault never yields a method result; anything that is not SOAP yields nothing.
    WARDEX_FUZZ_CHECK(shape != kv::soap::AnswerShape::kFault || result.empty(), "a fault yielded a result");
    WARDEX_FUZZ_CHECK(shape != kv::soap::AnswerShape::kNotSoap || (relates_to.empty() && result.empty()),
                      "a non-SOAP answer yielded texts");

    std::string acknowledged;
    kv::soap::ParseLastMessageResponse(text, size, acknowledged);

    std::string message_id;
    kv::soap::ParseRequest(std::string(text, size), message_id);
    return 0;
}
