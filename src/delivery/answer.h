// What one step of a payload's exchange came to, as the delivery's rules read it: the
// step, its outcome, and the few texts the answer carried. A failure keeps the payload
// for another attempt on its back-off; a refusal is a well-formed "no" that is not
// repeated at once; only "delivered" lets an alarm go.
//
// The verdict is reached by the SOAP layer, which reads the answer's bytes
// (src/soap/answer_class.h); the delivery decides on it without knowing SOAP, so these
// values live here, below both. Their names stay in kv::soap, where the exchange is.
#ifndef WARDEX_SRC_DELIVERY_ANSWER_H_
#define WARDEX_SRC_DELIVERY_ANSWER_H_

#include <string>

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

// True for a 3xx status: the answer names another place, which is never followed.
inline bool IsRedirect(int status) { return status >= 300 && status <= 399; }

inline const char* OutcomeName(Outcome outcome) {
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

#endif  // WARDEX_SRC_DELIVERY_ANSWER_H_
