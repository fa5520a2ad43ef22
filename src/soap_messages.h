// The documents of the exchange with the alarm receiver, and the readers of its answers.
//
// Every payload travels in a WS-ReliableMessaging (2005/02) sequence of its own, inside
// SOAP 1.2 envelopes with WS-Addressing 1.0 headers: CreateSequence, the application
// message (number 1), LastMessage (number 2). This unit builds those documents and reads
// the few texts the sequencer needs from the receiver's answers. It keeps no state.
//
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

// Writes into `prefix` the prefix (with its colon) of the first "xmlns:" declaration on
// `element` itself whose value begins with "http://" and contains `ns_fragment`; empty
// when there is none, so that names are then looked up bare. Both pointers are required.
void GetXMLNamespaceWithColon(tinyxml2::XMLElement* element, const char* ns_fragment, std::string& prefix);

// RelatesTo and the new sequence's Identifier of a CreateSequenceResponse.
void ParseCreateSequenceResponse(const char* data, size_t size, std::string& relates_to, std::string& sequence_id);
// RelatesTo and the method's result text (the body's first grandchild) of any method.
void ParseSendAlarmResponse(const char* data, size_t size, std::string& relates_to, std::string& result);
// Identifier of the header's SequenceAcknowledgement.
void ParseLastMessageResponse(const char* data, size_t size, std::string& sequence_id);
// The "wsa5:MessageID" text of one of our own request documents.
void ParseRequest(const std::string& message, std::string& message_id);

// Content-Type of every request; the action travels only in the addressing header.
extern const char* const kSoapContentType;

// An HTTP POST of `body` to `url`, tagged with `id` for the completion.
kv::http::Request MakeSoapRequest(const std::string& id, const std::string& url, std::shared_ptr<std::string> body);

// Unit-internal builders, declared here so that the tests can hold them to the wire
// text byte for byte. Each replaces `out` with the printed document.
namespace detail {
void MessageCreateSequence(const std::string& guid, const std::string& endpoint, std::string& out);
void MessageSendAlarm(const std::string& method, const std::string& payload, const std::string& endpoint,
                      const std::string& guid, const std::string& sequence_id, std::string& out);
void LastMessage(const std::string& endpoint, const std::string& guid, const std::string& sequence_id,
                 std::string& out);
// Copies the string members "NTPServerIP", "NTPServerPort", "TimeZone", "UpdateInterval"
// of a JSON object into `info`; anything else leaves `info` as it was. Logs nothing.
void ParseNtpInfo(const std::string& json_text, NtpInfo& info);
}  // namespace detail

}  // namespace soap
}  // namespace kv

#endif  // WARDEX_SRC_SOAP_MESSAGES_H_
