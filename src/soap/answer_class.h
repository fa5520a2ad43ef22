// What the receiver's answer to one step of a payload's exchange means: the one place
// where the delivery rules read an answer.
//
//   transport error, 3xx (never followed), 5xx, or an answer that is not a SOAP
//   envelope (empty, HTML, not XML)                              -> receiver failure
//   4xx without a SOAP envelope                                  -> payload failure
//   a SOAP fault (with 200 or 4xx)                               -> refused
//   CreateSequence: 200 with RelatesTo and an Identifier         -> next step
//   application message: 200 with RelatesTo and a result         -> delivered
//   200 envelope without them                                    -> refused
//   LastMessage: 200, or 202/204 with an empty body              -> closed
//
// A failure keeps the payload for another attempt on its back-off; a refusal is a
// well-formed "no" that is not repeated at once; only "delivered" lets an alarm go.
// Pure apart from the answer readers' own ERROR lines (see src/soap/soap_messages.h), which
// name what an envelope lacked.
#ifndef WARDEX_SRC_ANSWER_CLASS_H_
#define WARDEX_SRC_ANSWER_CLASS_H_

#include <string>
#include <vector>

#include "src/http_work_queue.h"

namespace kv {
namespace soap {

enum class Step { kCreateSequence, kApplicationMessage, kLastMessage };

enum class Outcome {
    kNextStep,         // a sequence was opened: the application message follows
    kDelivered,        // the application message was answered with a result
    kClosed,           // the LastMessage was taken
    kRefused,          // a well-formed answer that says no
    kReceiverFailure,  // the receiver did not answer
    kPayloadFailure,   // the receiver answered this request only with an HTTP error
    kLastMessageFailed,
};

struct Answer {
    Outcome outcome = Outcome::kReceiverFailure;
    std::string relates_to;
    std::string text;    // the sequence identifier (next step) or the result (delivered)
    std::string reason;  // why it was refused or failed, in a few words
};

Answer ClassifyAnswer(Step step, kv::http::ErrorCode transport, int status, const std::vector<char>& body);

// True for a 3xx status: the answer names another place, which is never followed.
inline bool IsRedirect(int status) { return status >= 300 && status <= 399; }

const char* OutcomeName(Outcome outcome);

}  // namespace soap
}  // namespace kv

#endif  // WARDEX_SRC_ANSWER_CLASS_H_
