// The receiver's side of the reliable-messaging exchange, without the network.
//
// ReceiverCore takes one HTTP request (target, Host, Content-Type, body), checks it the
// way a strict receiver would, and says how to answer: status and body as the receiver's
// web-service framework writes them, an optional delay, or closing the connection without
// an answer. It keeps the open sequences, counts every protocol violation, records every
// delivered application message as one JSON line, and applies the injected faults that
// the control commands set. Not thread-safe: one thread drives it.
#ifndef WARDEX_SIM_RECEIVER_RECEIVER_CORE_H_
#define WARDEX_SIM_RECEIVER_RECEIVER_CORE_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <unordered_map>

namespace wxsim {

constexpr char kServicePath[] = "/WXAlarmReceiver/Receiver.svc";

struct Reply {
    bool close = false;  // drop the connection without answering
    int status = 200;
    std::string body;
    std::string content_type;  // of a non-empty body
    bool chunked = false;      // send the body with chunked transfer coding
    bool close_after = false;  // answer with "Connection: close" and close
    std::chrono::milliseconds delay{0};
    std::string location;  // a Location header (a redirect)
    bool trickle = false;  // write the answer a few bytes at a time, slowly
    bool spoiled = false;  // an injected fault changed (or withheld) the answer
};

// Ways a conforming receiver may write its answers, beyond the framework's own style;
// the service must take every one of them. All off by default.
struct AnswerStyle {
    bool chunked = false;          // Transfer-Encoding: chunked
    bool close = false;            // Connection: close after each answer
    bool xml_declaration = false;  // <?xml version="1.0" encoding="utf-8"?> before the envelope
    bool extra_headers = false;    // a:To, a:Action, r:Sequence of the offered reply sequence, r:SequenceAcknowledgement
    bool action_parameter = false; // Content-Type carries action="<answer's action>"
    int last_status = 200;         // 202 or 204: LastMessage answered with that status and no body
};

class ReceiverCore {
public:
    // `record` receives one JSON line per delivered payload; it may be null.
    explicit ReceiverCore(std::ostream* record) : record_(record) {}

    Reply Handle(const std::string& method, const std::string& target, const std::string& host,
                 const std::string& content_type, const std::string& body);

    const AnswerStyle& style() const { return style_; }

    // Runs one control command (see the usage text); returns the reply line.
    std::string Command(const std::string& line);

    // Counters and violations as one JSON object.
    std::string Stats() const;
    uint64_t violations() const { return violations_; }

private:
    enum Step { kCreate = 0, kApp = 1, kLast = 2, kSteps = 3 };
    enum class FaultKind { kNone, kStatus, kClose, kMalformed, kNoRelates, kNoIdentifier, kNoResult, kSoapFault,
                           kRedirect, kHtml, kTrickle, kCostly, kLongIdentifier, kLongRelates };

    struct Fault {
        FaultKind kind = FaultKind::kNone;
        int status = 500;
        int64_t remaining = -1;  // answers left to spoil; -1 for no end
        std::string method;      // only application messages of this method; empty for all
        size_t size = 0;         // costly: declarations and decoys; long-*: bytes of the text
    };

    struct Sequence {
        std::string method;
        int messages = 0;
    };

    Reply Answer(Step step, const std::string& method, const std::string& relates_to, const std::string& content);
    bool TakeFault(Step step, const std::string& method, Fault& fault);
    std::string host_;  // of the request being answered
    void Violation(const std::string& kind, const std::string& detail);
    void Record(const std::string& method, const std::string& guid, const std::string& sequence,
                const std::string& request_data);
    std::string NewSequence(const std::string& method);
    std::string SetFault(const std::string& args);
    std::string SetStyle(const std::string& args);
    void Dress(Step step, const std::string& action, Reply& reply) const;

    std::ostream* record_;
    AnswerStyle style_;
    Fault faults_[kSteps];
    std::chrono::milliseconds delays_[kSteps] = {};
    std::string ntp_result_ =
        "{\"NTPServerIP\":\"127.0.0.1\",\"NTPServerPort\":\"123\",\"TimeZone\":\"UTC\",\"UpdateInterval\":\"3600\"}";
    std::string alarm_result_ = "OK";

    std::unordered_map<std::string, Sequence> sequences_;
    std::deque<std::string> sequence_order_;  // oldest first, for eviction; may hold closed ids
    uint64_t next_sequence_ = 0;

    uint64_t requests_ = 0;
    uint64_t steps_[kSteps] = {};
    uint64_t delivered_ = 0;
    uint64_t faults_applied_ = 0;
    uint64_t violations_ = 0;
    std::map<std::string, uint64_t> violation_kinds_;
    std::string last_violation_;
};

}  // namespace wxsim

#endif  // WARDEX_SIM_RECEIVER_RECEIVER_CORE_H_
