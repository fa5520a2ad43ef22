#include "src/soap/answer_class.h"

#include "src/soap/soap_messages.h"

namespace kv {
namespace soap {

namespace {

Answer Make(Outcome outcome, std::string reason) {
    Answer answer;
    answer.outcome = outcome;
    answer.reason = std::move(reason);
    return answer;
}

// Frees the readers' copy of a large answer once it has been judged.
struct LargeAnswerRelease {
    ~LargeAnswerRelease() { ReleaseLargeAnswer(); }
};

}  // namespace

Answer ClassifyAnswer(Step step, kv::http::ErrorCode transport, int status, const std::vector<char>& body) {
    const LargeAnswerRelease release;
    if (transport != kv::http::ErrorCode::Ok) return Make(Outcome::kReceiverFailure, "transport failure");
    if (step == Step::kLastMessage) {
        // A one-way message's normal answers: 200, or 202/204 with nothing in them.
        const bool taken = status == 200 || ((status == 202 || status == 204) && body.empty());
        return Make(taken ? Outcome::kClosed : Outcome::kLastMessageFailed, "");
    }
    if (IsRedirect(status)) return Make(Outcome::kReceiverFailure, "redirect");
    if (status >= 500) return Make(Outcome::kReceiverFailure, "server error");

    const AnswerShape shape = ClassifyEnvelope(body.data(), body.size());
    if (shape == AnswerShape::kFault && status >= 200 && status <= 499) {
        Answer refusal = Make(Outcome::kRefused, "SOAP fault");
        // The fault's RelatesTo names the message refused, for the line that reports it.
        std::string no_result;
        if (step == Step::kApplicationMessage) {
            ParseSendAlarmResponse(body.data(), body.size(), refusal.relates_to, no_result);
        }
        return refusal;
    }
    if (status >= 400) return Make(Outcome::kPayloadFailure, "client error");
    if (status != 200 || shape != AnswerShape::kEnvelope) return Make(Outcome::kReceiverFailure, "not a SOAP answer");

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

}  // namespace soap
}  // namespace kv
