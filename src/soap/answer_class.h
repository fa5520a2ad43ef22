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
// The verdict's values (Step, Outcome, Answer) are the delivery's (src/delivery/answer.h).
// Pure apart from the answer readers' own ERROR lines (see src/soap/soap_messages.h), which
// name what an envelope lacked.
#ifndef WARDEX_SRC_ANSWER_CLASS_H_
#define WARDEX_SRC_ANSWER_CLASS_H_

#include <vector>

#include "src/delivery/answer.h"
#include "src/http_work_queue.h"

namespace kv {
namespace soap {

Answer ClassifyAnswer(Step step, kv::http::ErrorCode transport, int status, const std::vector<char>& body);

}  // namespace soap
}  // namespace kv

#endif  // WARDEX_SRC_ANSWER_CLASS_H_
