// The receiver's answers reach the four envelope parsers and the classifier unchecked:
// any bytes must end in outputs or an ERROR line, never in a crash, a read past the
// answer or a leak. The classifier and the parsers must agree on what a fault is, every
// text an answer yields stays within its bound, and the attribute guard in front of
// tinyxml2 lets no element through that carries more attributes than it allows.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "fuzz/fuzz_support.h"
#include "src/soap/answer_class.h"
#include "src/soap_helper.h"
#include "src/soap/xml_guard.h"

namespace {

// The most attributes tinyxml2 put on one element, walking the document without recursion.
size_t MostAttributes(const tinyxml2::XMLDocument& doc) {
    size_t most = 0;
    const tinyxml2::XMLNode* node = doc.FirstChild();
    while (node != nullptr) {
        if (const tinyxml2::XMLElement* element = node->ToElement()) {
            size_t count = 0;
            for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) ++count;
            if (count > most) most = count;
        }
        if (node->FirstChild() != nullptr) {
            node = node->FirstChild();
            continue;
        }
        while (node != nullptr && node->NextSibling() == nullptr) node = node->Parent();
        if (node != nullptr) node = node->NextSibling();
    }
    return most;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv::fuzz::QuietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);

    const kv::soap::AnswerShape shape = kv::soap::ClassifyEnvelope(text, size);
    WARDEX_FUZZ_CHECK(kv::soap::IsSoapFault(text, size) == (shape == kv::soap::AnswerShape::kFault),
                      "IsSoapFault disagrees with ClassifyEnvelope");

    // A tiny bound, so that short inputs reach it: the guard must count at least what
    // tinyxml2 parses.
    if (kv::xml::AttributesWithin(text, size, 2)) {
        tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
        if (doc.Parse(text, size) == tinyxml2::XML_SUCCESS) {
            WARDEX_FUZZ_CHECK(MostAttributes(doc) <= 2, "the attribute guard let an element through");
        }
    }

    std::string relates_to, sequence_id;
    kv::soap::ParseCreateSequenceResponse(text, size, relates_to, sequence_id);
    WARDEX_FUZZ_CHECK(relates_to.size() <= kv::soap::kMaxRelatesToBytes, "RelatesTo within its bound");
    WARDEX_FUZZ_CHECK(sequence_id.size() <= kv::soap::kMaxSequenceIdBytes, "identifier within its bound");

    std::string result;
    relates_to.clear();
    kv::soap::ParseSendAlarmResponse(text, size, relates_to, result);
    WARDEX_FUZZ_CHECK(result.size() <= kv::soap::kMaxResultBytes, "result within its bound");
    // A fault never yields a method result; anything that is not SOAP yields nothing.
    WARDEX_FUZZ_CHECK(shape != kv::soap::AnswerShape::kFault || result.empty(), "a fault yielded a result");
    WARDEX_FUZZ_CHECK(shape != kv::soap::AnswerShape::kNotSoap || (relates_to.empty() && result.empty()),
                      "a non-SOAP answer yielded texts");

    // The classifier, as the sequencer calls it for each step.
    const std::vector<char> body(text, text + size);
    for (const kv::soap::Step step : {kv::soap::Step::kCreateSequence, kv::soap::Step::kApplicationMessage}) {
        const kv::soap::Answer answer = kv::soap::ClassifyAnswer(step, kv::http::ErrorCode::Ok, 200, body);
        const bool usable = answer.outcome == kv::soap::Outcome::kNextStep || answer.outcome == kv::soap::Outcome::kDelivered;
        WARDEX_FUZZ_CHECK(!usable || (!answer.relates_to.empty() && !answer.text.empty()), "a usable answer has its texts");
        WARDEX_FUZZ_CHECK(answer.relates_to.size() <= kv::soap::kMaxRelatesToBytes, "classified RelatesTo bounded");
        WARDEX_FUZZ_CHECK(answer.text.size() <= kv::soap::kMaxResultBytes, "classified text bounded");
    }

    std::string acknowledged;
    kv::soap::ParseLastMessageResponse(text, size, acknowledged);
    WARDEX_FUZZ_CHECK(acknowledged.size() <= kv::soap::kMaxSequenceIdBytes, "acknowledged identifier bounded");

    std::string message_id;
    kv::soap::ParseRequest(std::string(text, size), message_id);
    return 0;
}
