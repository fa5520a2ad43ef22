// The documents of the exchange with the alarm receiver, and the readers of its answers.
//
// Every payload travels in a WS-ReliableMessaging (2005/02) sequence of its own, inside
// SOAP 1.2 envelopes with WS-Addressing 1.0 headers: CreateSequence, the application
// message (number 1), LastMessage (number 2). This unit builds those documents and reads
// the few texts the sequencer needs from the receiver's answers. It keeps no state that
// changes an outcome: only the documents' templates and, per thread, the last answer
// parsed, so that classifying an answer and then reading it parses it once.
//
// Answers are read by namespace URI and local name (src/soap/xml_names.h), whatever prefixes
// the receiver chose and wherever it declared them: SOAP 1.2 Envelope, Header, Body and
// Fault; WS-Addressing 1.0 RelatesTo; WS-RM 2005/02 CreateSequenceResponse, Identifier and
// SequenceAcknowledgement; the method's <M>Response and <M>Result in http://tempuri.org/.
// Parsers never throw: they log what they could not find at ERROR and fill their output
// references only as far as they got (they never clear them). Callers pass empty strings.
#ifndef WARDEX_SRC_SOAP_MESSAGES_H_
#define WARDEX_SRC_SOAP_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "src/http_work_queue.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kv {
namespace soap {

// The receiver's time-server information. `error_code` is -1 when the answer carried no
// server address (the sequencer sets it; the parser does not).
struct NtpInfo {
    std::string ntp_server_ip;
    std::string ntp_server_port;
    std::string time_zone;
    std::string update_interval;
    int32_t error_code = 0;
};

using NtpHandler = std::function<void(const NtpInfo&)>;

// Bounds on what a receiver's answer may hold. A conforming answer is a few kilobytes:
// its longest text is the time-server JSON, about a hundred bytes, and its identifiers are
// URIs of some fifty. Each bound leaves a receiver hundreds of times that room, and caps
// what a broken or hostile one can make the service hold or work through.
//
// The whole answer, enforced by the HTTP engine while it receives (MakeSoapRequest): a
// longer one is cut off and counts as no answer, a receiver failure. With 64 exchanges in
// flight per receiver, answers then hold at most 64 MiB, and reading the largest one
// takes milliseconds.
constexpr size_t kMaxAnswerBytes = 1024 * 1024;
// Attributes on one element of an answer: a conforming envelope declares a dozen
// namespaces at most, and parsing costs the square of them per element
// (src/soap/xml_guard.h). An answer with more is no SOAP answer.
constexpr size_t kMaxAttributesPerElement = 64;
// The texts taken from an answer; a longer one is ignored (with an ERROR), and the answer
// reads as one without it. A sequence identifier is copied into two further documents
// and kept with its payload; a RelatesTo is quoted in log lines.
constexpr size_t kMaxSequenceIdBytes = 1024;
constexpr size_t kMaxRelatesToBytes = 1024;
constexpr size_t kMaxResultBytes = 64 * 1024;
// The time-server JSON is a flat object; deeper nesting ends its reading (the answer
// then carries no time-server information).
constexpr size_t kMaxNtpInfoDepth = 16;

// Writes into `prefix` the prefix (with its colon) of the first "xmlns:" declaration on
// `element` itself whose value begins with "http://" and contains `ns_fragment`; empty
// when there is none. Both pointers are required. Kept for callers outside the parsers,
// which no longer use it: a prefix says nothing about the names of a conforming answer.
void GetXMLNamespaceWithColon(tinyxml2::XMLElement* element, const char* ns_fragment, std::string& prefix);

// What an answer body is, for judging an exchange before its texts are read:
//   kNotSoap   empty, not well-formed XML, or its root is not a SOAP 1.2 Envelope;
//   kFault     a SOAP 1.2 envelope whose Body carries a Fault (a refusal, whatever the
//              HTTP status);
//   kEnvelope  any other SOAP 1.2 envelope (its texts may still be missing).
// Logs nothing, never throws, keeps no state.
enum class AnswerShape { kNotSoap, kFault, kEnvelope };
AnswerShape ClassifyEnvelope(const char* data, size_t size);
// ClassifyEnvelope(data, size) == AnswerShape::kFault.
bool IsSoapFault(const char* data, size_t size);

// The readers keep the document of the last answer they parsed on this thread, so that
// classifying an answer and reading its texts parse it once. This frees it when it is
// larger than 64 KiB (smaller ones are kept for the next answer); ClassifyAnswer calls
// it when it is done with an answer.
void ReleaseLargeAnswer();

// RelatesTo and the new sequence's Identifier of a CreateSequenceResponse.
void ParseCreateSequenceResponse(const char* data, size_t size, std::string& relates_to, std::string& sequence_id);
// RelatesTo and the method's result text (<M>Result inside <M>Response) of any method. A
// Fault in the body gives no result and logs nothing: ClassifyEnvelope reports it.
void ParseSendAlarmResponse(const char* data, size_t size, std::string& relates_to, std::string& result);
// Identifier of the header's SequenceAcknowledgement.
void ParseLastMessageResponse(const char* data, size_t size, std::string& sequence_id);
// The WS-Addressing MessageID text of one of our own request documents.
void ParseRequest(const std::string& message, std::string& message_id);

// Content-Type of every request; the action travels only in the addressing header.
extern const char* const kSoapContentType;

// An HTTP POST of `body` to `url`, tagged with `id` for the completion, whose answer may
// have at most kMaxAnswerBytes.
kv::http::Request MakeSoapRequest(const std::string& id, const std::string& url, std::shared_ptr<std::string> body);

// Unit-internal builders, declared here so that the tests can hold them to the wire
// text byte for byte. Each replaces `out` with the printed document. The documents are
// printed once through a tinyxml2 DOM with markers for the values and cut there; each
// call splices its values in, escaped as the DOM's printer escapes element text, so the
// bytes are those the DOM would print, without building one per message.
namespace detail {
void MessageCreateSequence(const std::string& guid, const std::string& endpoint, std::string& out);
void MessageSendAlarm(const std::string& method, const std::string& payload, const std::string& endpoint,
                      const std::string& guid, const std::string& sequence_id, std::string& out);
void LastMessage(const std::string& endpoint, const std::string& guid, const std::string& sequence_id,
                 std::string& out);
// Copies the string members "NTPServerIP", "NTPServerPort", "TimeZone", "UpdateInterval"
// of a JSON object into `info`; anything else, a text longer than kMaxResultBytes or
// nested deeper than kMaxNtpInfoDepth included, leaves `info` as it was. Logs nothing.
void ParseNtpInfo(const std::string& json_text, NtpInfo& info);

// The same documents built and printed through a tinyxml2 DOM: what the templates are cut
// from, and what the builders above fall back to where a template cannot serve.
namespace dom {
void MessageCreateSequence(const std::string& guid, const std::string& endpoint, std::string& out);
void MessageSendAlarm(const std::string& method, const std::string& payload, const std::string& endpoint,
                      const std::string& guid, const std::string& sequence_id, std::string& out);
void LastMessage(const std::string& endpoint, const std::string& guid, const std::string& sequence_id,
                 std::string& out);
}  // namespace dom
}  // namespace detail

}  // namespace soap
}  // namespace kv

#endif  // WARDEX_SRC_SOAP_MESSAGES_H_
