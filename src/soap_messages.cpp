#include "src/soap_messages.h"

#include <cassert>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>
#include <tinyxml2.h>

#include "common/logger.h"
#include "src/xml_names.h"

namespace kv {
namespace soap {

const char* const kSoapContentType = "application/soap+xml; charset=utf-8";

namespace {

constexpr char kSoapEnvelopeNs[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kSoapEncodingNs[] = "http://www.w3.org/2003/05/soap-encoding";
constexpr char kAddressingNs[] = "http://www.w3.org/2005/08/addressing";
constexpr char kAnonymousAddress[] = "http://www.w3.org/2005/08/addressing/anonymous";
constexpr char kReliableMessagingNs[] = "http://schemas.xmlsoap.org/ws/2005/02/rm";
constexpr char kCreateSequenceAction[] = "http://schemas.xmlsoap.org/ws/2005/02/rm/CreateSequence";
constexpr char kLastMessageAction[] = "http://schemas.xmlsoap.org/ws/2005/02/rm/LastMessage";
// The receiver publishes its contract without a namespace of its own, so its framework
// files it under this default.
constexpr char kContractNs[] = "http://tempuri.org/";
constexpr char kContractActionPrefix[] = "http://tempuri.org/IReceiverServiceResponse/";
constexpr char kSequenceExpiry[] = "PT00H00M30S";
constexpr char kMessageIdPrefix[] = "urn:uuid:";

void Log(LoggerLevel level, const std::string& text) { logger::get_logger().log(level, text); }

// One request document under construction: the envelope with its header and body.
// Every document declares the same namespaces in the same order; the application
// message also declares the receiver's contract namespace, after the encoding.
class SoapDocument {
public:
    explicit SoapDocument(bool declares_contract) : doc_(true, tinyxml2::PRESERVE_WHITESPACE) {
        envelope_ = doc_.NewElement("SOAP-ENV:Envelope");
        envelope_->SetAttribute("xmlns:SOAP-ENV", kSoapEnvelopeNs);
        envelope_->SetAttribute("xmlns:SOAP-ENC", kSoapEncodingNs);
        if (declares_contract) envelope_->SetAttribute("xmlns:tempuri", kContractNs);
        envelope_->SetAttribute("xmlns:wsa5", kAddressingNs);
        envelope_->SetAttribute("xmlns:wsrm", kReliableMessagingNs);
        // Header and body go in after the declarations, so that the attribute order holds.
        header_ = Add(envelope_, "SOAP-ENV:Header");
        body_ = Add(envelope_, "SOAP-ENV:Body");
    }

    tinyxml2::XMLElement* header() { return header_; }
    tinyxml2::XMLElement* body() { return body_; }

    tinyxml2::XMLElement* Add(tinyxml2::XMLElement* parent, const char* name) {
        tinyxml2::XMLElement* child = doc_.NewElement(name);
        parent->InsertEndChild(child);
        return child;
    }

    // A text element, even for empty text: it prints as start tag plus end tag.
    tinyxml2::XMLElement* AddText(tinyxml2::XMLElement* parent, const char* name, const std::string& text) {
        tinyxml2::XMLElement* child = Add(parent, name);
        child->SetText(text.c_str());
        return child;
    }

    tinyxml2::XMLElement* AddMustUnderstand(tinyxml2::XMLElement* parent, const char* name, const std::string& text) {
        tinyxml2::XMLElement* child = AddText(parent, name, text);
        child->SetAttribute("SOAP-ENV:mustUnderstand", "true");
        return child;
    }

    void PrintTo(std::string& out) {
        doc_.InsertEndChild(envelope_);
        tinyxml2::XMLPrinter printer(nullptr, false);
        doc_.Print(&printer);
        out.assign(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1));
    }

private:
    tinyxml2::XMLDocument doc_;
    tinyxml2::XMLElement* envelope_ = nullptr;
    tinyxml2::XMLElement* header_ = nullptr;
    tinyxml2::XMLElement* body_ = nullptr;
};

// The envelope of a parsed answer with the header (and body) the common steps found.
struct ParsedEnvelope {
    const tinyxml2::XMLElement* envelope = nullptr;
    const tinyxml2::XMLElement* header = nullptr;
    const tinyxml2::XMLElement* body = nullptr;
};

// The root element when it is a SOAP 1.2 Envelope, whatever its prefix; null otherwise.
const tinyxml2::XMLElement* SoapEnvelope(const tinyxml2::XMLDocument& doc) {
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    return kv::xml::IsNamed(root, kSoapEnvelopeNs, "Envelope") ? root : nullptr;
}

// True when the body's first child element is a SOAP 1.2 Fault (the only child a body
// that carries one may have).
bool CarriesFault(const tinyxml2::XMLElement* body) {
    return body != nullptr && kv::xml::IsNamed(body->FirstChildElement(), kSoapEnvelopeNs, "Fault");
}

// The first child element of `parent` in namespace `ns` whose local name ends in `suffix`.
const tinyxml2::XMLElement* FirstChildEndingIn(const tinyxml2::XMLElement* parent, const char* ns,
                                               const char* suffix) {
    if (parent == nullptr) return nullptr;
    const size_t suffix_size = std::strlen(suffix);
    for (const tinyxml2::XMLElement* child = parent->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const std::string local = kv::xml::LocalName(*child);
        if (local.size() > suffix_size && local.compare(local.size() - suffix_size, suffix_size, suffix) == 0 &&
            kv::xml::NamespaceOf(*child) == ns) {
            return child;
        }
    }
    return nullptr;
}

// The common steps of every answer parser: the envelope, its header and (when needed) its
// body, each found by namespace and name. False (after logging) when one is missing.
bool OpenEnvelope(tinyxml2::XMLDocument& doc, const char* data, size_t size, const char* no_envelope_text,
                  bool need_body, ParsedEnvelope& parsed) {
    if (doc.Parse(data, size) != tinyxml2::XML_SUCCESS) {
        Log(ERROR, "Failed parsing XML response");
        return false;
    }
    parsed.envelope = SoapEnvelope(doc);
    if (parsed.envelope == nullptr) {
        Log(ERROR, no_envelope_text);
        return false;
    }
    parsed.header = kv::xml::FirstChildNamed(parsed.envelope, kSoapEnvelopeNs, "Header");
    if (parsed.header == nullptr) {
        Log(ERROR, "No existing header in XML response");
        return false;
    }
    if (!need_body) return true;
    parsed.body = kv::xml::FirstChildNamed(parsed.envelope, kSoapEnvelopeNs, "Body");
    if (parsed.body == nullptr) {
        Log(ERROR, "No existing body in XML response");
        return false;
    }
    return true;
}

// Finds the header's RelatesTo and copies its text. False when the parse should stop.
bool ReadRelatesTo(const ParsedEnvelope& parsed, std::string& relates_to) {
    const tinyxml2::XMLElement* element = kv::xml::FirstChildNamed(parsed.header, kAddressingNs, "RelatesTo");
    if (element == nullptr) {
        Log(ERROR, "No existing RelatesTo in XML response");
        return false;
    }
    const char* text = element->GetText();
    if (text == nullptr) return false;
    relates_to = text;
    return true;
}

}  // namespace

void GetXMLNamespaceWithColon(tinyxml2::XMLElement* element, const char* ns_fragment, std::string& prefix) {
    prefix.clear();
    assert(element != nullptr && ns_fragment != nullptr);
    static const char kDeclaration[] = "xmlns:";
    static const char kScheme[] = "http://";
    for (const tinyxml2::XMLAttribute* attribute = element->FirstAttribute(); attribute != nullptr;
         attribute = attribute->Next()) {
        const char* name = attribute->Name();
        const char* value = attribute->Value();
        if (std::strncmp(name, kDeclaration, sizeof(kDeclaration) - 1) != 0) continue;
        if (std::strncmp(value, kScheme, sizeof(kScheme) - 1) != 0) continue;
        if (std::strstr(value, ns_fragment) == nullptr) continue;
        prefix = name + (sizeof(kDeclaration) - 1);
        if (!prefix.empty()) prefix += ':';
        return;
    }
}

AnswerShape ClassifyEnvelope(const char* data, size_t size) {
    if (data == nullptr || size == 0) return AnswerShape::kNotSoap;
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(data, size) != tinyxml2::XML_SUCCESS) return AnswerShape::kNotSoap;
    const tinyxml2::XMLElement* envelope = SoapEnvelope(doc);
    if (envelope == nullptr) return AnswerShape::kNotSoap;
    return CarriesFault(kv::xml::FirstChildNamed(envelope, kSoapEnvelopeNs, "Body")) ? AnswerShape::kFault
                                                                                      : AnswerShape::kEnvelope;
}

bool IsSoapFault(const char* data, size_t size) { return ClassifyEnvelope(data, size) == AnswerShape::kFault; }

void ParseCreateSequenceResponse(const char* data, size_t size, std::string& relates_to, std::string& sequence_id) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    ParsedEnvelope parsed;
    if (!OpenEnvelope(doc, data, size, "Failed getting XML envelope element", true, parsed)) return;
    if (!ReadRelatesTo(parsed, relates_to)) return;

    const tinyxml2::XMLElement* response =
        kv::xml::FirstChildNamed(parsed.body, kReliableMessagingNs, "CreateSequenceResponse");
    const tinyxml2::XMLElement* identifier = kv::xml::FirstChildNamed(response, kReliableMessagingNs, "Identifier");
    if (identifier == nullptr) {
        Log(ERROR, "No existing SequenceId in XML response");
        return;
    }
    if (const char* text = identifier->GetText()) sequence_id = text;
}

void ParseSendAlarmResponse(const char* data, size_t size, std::string& relates_to, std::string& result) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    ParsedEnvelope parsed;
    if (!OpenEnvelope(doc, data, size, "Failed getting XML envelope element", true, parsed)) return;
    if (!ReadRelatesTo(parsed, relates_to)) return;

    // A fault is a refusal, not a malformed answer: it yields no result and no line here;
    // the caller tells it apart with ClassifyEnvelope.
    if (CarriesFault(parsed.body)) return;
    // <M>Response/<M>Result in the contract's namespace, whatever the method M.
    const tinyxml2::XMLElement* method_response = FirstChildEndingIn(parsed.body, kContractNs, "Response");
    const tinyxml2::XMLElement* method_result = FirstChildEndingIn(method_response, kContractNs, "Result");
    if (method_result == nullptr) {
        Log(ERROR, "No existing Method Result in XML response");
        return;
    }
    if (const char* text = method_result->GetText()) result = text;
}

void ParseLastMessageResponse(const char* data, size_t size, std::string& sequence_id) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    ParsedEnvelope parsed;
    if (!OpenEnvelope(doc, data, size, "Failed getting envelope element of XML response", true, parsed)) return;

    const tinyxml2::XMLElement* ack =
        kv::xml::FirstChildNamed(parsed.header, kReliableMessagingNs, "SequenceAcknowledgement");
    const tinyxml2::XMLElement* identifier = kv::xml::FirstChildNamed(ack, kReliableMessagingNs, "Identifier");
    if (identifier == nullptr) {
        Log(ERROR, "No existing SequenceId in XML response");
        return;
    }
    if (const char* text = identifier->GetText()) sequence_id = text;
}

void ParseRequest(const std::string& message, std::string& message_id) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    ParsedEnvelope parsed;
    if (!OpenEnvelope(doc, message.data(), message.size(), "Failed getting envelope element of XML response", false,
                      parsed)) {
        return;
    }
    const tinyxml2::XMLElement* element = kv::xml::FirstChildNamed(parsed.header, kAddressingNs, "MessageID");
    if (element == nullptr) {
        Log(ERROR, "No existing MessageId in XML response");
        return;
    }
    if (const char* text = element->GetText()) message_id = text;
}

kv::http::Request MakeSoapRequest(const std::string& id, const std::string& url, std::shared_ptr<std::string> body) {
    kv::http::Request request(id, kv::http::Method::POST, url, std::move(body));
    request.headers.Set("Content-Type", kSoapContentType);
    return request;
}

namespace detail {

void MessageCreateSequence(const std::string& guid, const std::string& endpoint, std::string& out) {
    const std::string message_id = kMessageIdPrefix + guid;
    SoapDocument doc(false);

    tinyxml2::XMLElement* header = doc.header();
    doc.AddText(header, "wsa5:MessageID", message_id);
    tinyxml2::XMLElement* reply_to = doc.Add(header, "wsa5:ReplyTo");
    reply_to->SetAttribute("SOAP-ENV:mustUnderstand", "true");
    doc.AddText(reply_to, "wsa5:Address", kAnonymousAddress);
    doc.AddMustUnderstand(header, "wsa5:To", endpoint);
    doc.AddMustUnderstand(header, "wsa5:Action", kCreateSequenceAction);

    tinyxml2::XMLElement* create = doc.Add(doc.body(), "wsrm:CreateSequence");
    tinyxml2::XMLElement* acks_to = doc.Add(create, "wsrm:AcksTo");
    doc.AddText(acks_to, "wsa5:Address", kAnonymousAddress);
    doc.AddText(create, "wsrm:Expires", kSequenceExpiry);
    tinyxml2::XMLElement* offer = doc.Add(create, "wsrm:Offer");
    doc.AddText(offer, "wsrm:Identifier", message_id);
    tinyxml2::XMLElement* offer_endpoint = doc.Add(offer, "wsrm:Endpoint");
    doc.AddText(offer_endpoint, "wsa5:Address", kAnonymousAddress);

    doc.PrintTo(out);
}

void MessageSendAlarm(const std::string& method, const std::string& payload, const std::string& endpoint,
                      const std::string& guid, const std::string& sequence_id, std::string& out) {
    SoapDocument doc(true);

    tinyxml2::XMLElement* header = doc.header();
    doc.AddMustUnderstand(header, "wsa5:Action", kContractActionPrefix + method);
    doc.AddText(header, "wsa5:MessageID", kMessageIdPrefix + guid);
    doc.AddMustUnderstand(header, "wsa5:To", endpoint);
    tinyxml2::XMLElement* sequence = doc.Add(header, "wsrm:Sequence");
    doc.AddText(sequence, "wsrm:Identifier", sequence_id);
    doc.AddText(sequence, "wsrm:MessageNumber", "1");

    // The receiver takes a JSON array; the one payload travels as escaped text.
    tinyxml2::XMLElement* call = doc.Add(doc.body(), ("tempuri:" + method).c_str());
    doc.AddText(call, "tempuri:requestData", "[" + payload + "]");

    doc.PrintTo(out);
}

void LastMessage(const std::string& endpoint, const std::string& guid, const std::string& sequence_id,
                 std::string& out) {
    SoapDocument doc(false);

    tinyxml2::XMLElement* header = doc.header();
    doc.AddText(header, "wsa5:MessageID", kMessageIdPrefix + guid);
    doc.AddMustUnderstand(header, "wsa5:To", endpoint);
    doc.AddMustUnderstand(header, "wsa5:Action", kLastMessageAction);
    tinyxml2::XMLElement* sequence = doc.Add(header, "wsrm:Sequence");
    doc.AddText(sequence, "wsrm:Identifier", sequence_id);
    doc.AddText(sequence, "wsrm:MessageNumber", "2");
    doc.Add(sequence, "wsrm:LastMessage");
    tinyxml2::XMLElement* ack_requested = doc.Add(header, "wsrm:AckRequested");
    doc.AddText(ack_requested, "wsrm:Identifier", sequence_id);

    doc.PrintTo(out);
}

void ParseNtpInfo(const std::string& json_text, NtpInfo& info) {
    if (json_text.empty()) return;
    const nlohmann::json value = nlohmann::json::parse(json_text, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return;
    const std::pair<const char*, std::string NtpInfo::*> fields[] = {
        {"NTPServerIP", &NtpInfo::ntp_server_ip},
        {"NTPServerPort", &NtpInfo::ntp_server_port},
        {"TimeZone", &NtpInfo::time_zone},
        {"UpdateInterval", &NtpInfo::update_interval},
    };
    for (const auto& field : fields) {
        const auto member = value.find(field.first);
        if (member != value.end() && member->is_string()) info.*(field.second) = member->get<std::string>();
    }
}

}  // namespace detail

}  // namespace soap
}  // namespace kv
