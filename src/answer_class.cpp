#include "src/answer_class.h"

#include <cstring>

#include <tinyxml2.h>

#include "src/soap_messages.h"

namespace kv {
namespace soap {

namespace {

enum class Shape { kNotSoap, kFault, kEnvelope };

const char* LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon != nullptr ? colon + 1 : name;
}

// Whether the body is a SOAP envelope at all, and whether it carries a fault.
Shape ShapeOf(const std::vector<char>& body) {
    if (body.empty()) return Shape::kNotSoap;
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS) return Shape::kNotSoap;
    const tinyxml2::XMLElement* envelope = doc.RootElement();
    if (envelope == nullptr || std::strcmp(LocalName(envelope->Name()), "Envelope") != 0) return Shape::kNotSoap;
    for (const tinyxml2::XMLElement* child = envelope->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (std::strcmp(LocalName(child->Name()), "Body") != 0) continue;
        const tinyxml2::XMLElement* first = child->FirstChildElement();
        if (first != nullptr && std::strcmp(LocalName(first->Name()), "Fault") == 0) return Shape::kFault;
    }
    return Shape::kEnvelope;
}

Answer Make(Outcome outcome, std::string reason) {
    Answer answer;
    answer.outcome = outcome;
    answer.reason = std::move(reason);
    return answer;
}

}  // namespace

Answer ClassifyAnswer(Step step, kv::http::ErrorCode transport, int status, const std::vector<char>& body) {
    if (transport != kv::http::ErrorCode::Ok) return Make(Outcome::kReceiverFailure, "transport failure");
    if (step == Step::kLastMessage) {
        // A one-way message's normal answers: 200, or 202/204 with nothing in them.
        const bool taken = status == 200 || ((status == 202 || status == 204) && body.empty());
        return Make(taken ? Outcome::kClosed : Outcome::kLastMessageFailed, "");
    }
    if (IsRedirect(status)) return Make(Outcome::kReceiverFailure, "redirect");
    if (status >= 500) return Make(Outcome::kReceiverFailure, "server error");

    const Shape shape = ShapeOf(body);
    if (shape == Shape::kFault && status >= 200 && status <= 499) return Make(Outcome::kRefused, "SOAP fault");
    if (status >= 400) return Make(Outcome::kPayloadFailure, "client error");
    if (status != 200 || shape != Shape::kEnvelope) return Make(Outcome::kReceiverFailure, "not a SOAP answer");

    Answer answer;
    if (step == Step::kCreateSequence) {
        ParseCreateSequenceResponse(body.data(), body.size(), answer.relates_to, answer.text);
        answer.outcome = Outcome::kNextStep;
        if (answer.relates_to.empty()) answer.reason = "no RelatesTo";
        if (answer.text.empty()) answer.reason = "no sequence identifier";
    } else {
        ParseSendAlarmResponse(body.data(), body.size(), answer.relates_to, answer.text);
        answer.outcome = Outcome::kDelivered;
        if (answer.relates_to.empty()) answer.reason = "no RelatesTo";
        if (answer.text.empty()) answer.reason = "no result";
    }
    if (!answer.reason.empty()) answer.outcome = Outcome::kRefused;
    return answer;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::kNextStep: return "next step";
        case Outcome::kDelivered: return "delivered";
        case Outcome::kClosed: return "closed";
        case Outcome::kRefused: return "refused";
        case Outcome::kReceiverFailure: return "receiver failure";
        case Outcome::kPayloadFailure: return "payload failure";
        case Outcome::kLastMessageFailed: return "LastMessage failed";
    }
    return "unknown";
}

}  // namespace soap
}  // namespace kv
