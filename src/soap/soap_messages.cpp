#include "src/soap/soap_messages.h"

#include <cassert>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <tinyxml2.h>

#include "common/logger.h"
#include "common/string_util.h"
#include "src/soap/xml_guard.h"
#include "src/soap/xml_names.h"

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

// True when the root element is a SOAP 1.2 Envelope, whatever its prefix.
bool IsSoapEnvelope(const kv::xml::Scope& root) { return root.Is(kSoapEnvelopeNs, "Envelope"); }

// True when the body's first child element is a SOAP 1.2 Fault (the only child a body
// that carries one may have).
bool CarriesFault(const kv::xml::Scope& body) {
    const tinyxml2::XMLElement* first = body.element().FirstChildElement();
    return first != nullptr && std::strcmp(kv::xml::LocalName(*first), "Fault") == 0 &&
           std::strcmp(body.NamespaceOfChild(*first), kSoapEnvelopeNs) == 0;
}

// The first child element of the scope's element in namespace `ns` whose local name ends
// in `suffix`.
const tinyxml2::XMLElement* FirstChildEndingIn(const kv::xml::Scope& parent, const char* ns, const char* suffix) {
    const size_t suffix_size = std::strlen(suffix);
    for (const tinyxml2::XMLElement* child = parent.element().FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const char* local = kv::xml::LocalName(*child);
        const size_t size = std::strlen(local);
        if (size > suffix_size && std::strcmp(local + size - suffix_size, suffix) == 0 &&
            std::strcmp(parent.NamespaceOfChild(*child), ns) == 0) {
            return child;
        }
    }
    return nullptr;
}

// Copies the element's text into `out` when it has one of at most `bound` bytes. A longer
// one is logged and left out, so that the answer reads as one without that text.
bool ReadBoundedText(const tinyxml2::XMLElement& element, size_t bound, std::string& out) {
    const char* text = element.GetText();
    if (text == nullptr) return false;
    const size_t size = std::strlen(text);
    if (size > bound) {
        // The name too comes from the receiver (a method's result is named after it).
        Log(ERROR, cut_quoted_text(kv::xml::LocalName(element)) + " in XML response is too long (" +
                       std::to_string(size) + " bytes, at most " + std::to_string(bound) + "): ignored");
        return false;
    }
    out.assign(text, size);
    return true;
}

// A received answer as a DOM. Classifying an answer and then reading its texts would parse
// the same bytes twice, so each thread keeps the document of the last answer it parsed
// (up to kMaxAnswerBytes) and hands it out again for the same bytes; one larger than
// kKeptAnswerBytes is kept only until ReleaseLargeAnswer. Only one AnswerDocument may be
// alive per thread at a time; each parser below holds one for its own duration only.
class AnswerDocument {
public:
    static constexpr size_t kKeptAnswerBytes = 64 * 1024;

    AnswerDocument(const char* data, size_t size) {
        if (data == nullptr) size = 0;
        // Refused unparsed: no receiver sends it, and tinyxml2 would take seconds on it.
        refused_ = !kv::xml::AttributesWithin(data, size, kMaxAttributesPerElement);
        if (refused_) return;
        if (size > kMaxAnswerBytes) {
            own_ = std::make_unique<tinyxml2::XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
            own_->Parse(data, size);
            doc_ = own_.get();
            return;
        }
        Last& last = LastOfThisThread();
        if (!last.doc) last.doc = std::make_unique<tinyxml2::XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
        const bool same = last.filled && last.bytes.size() == size && (size == 0 || std::memcmp(last.bytes.data(), data, size) == 0);
        if (!same) {
            last.filled = false;
            last.bytes.assign(size == 0 ? "" : data, size);
            last.doc->Parse(last.bytes.data(), size);
            last.filled = true;
        }
        doc_ = last.doc.get();
    }

    static void ReleaseLarge() {
        Last& last = LastOfThisThread();
        if (last.bytes.size() <= kKeptAnswerBytes) return;
        last = Last();
    }

    AnswerDocument(const AnswerDocument&) = delete;
    AnswerDocument& operator=(const AnswerDocument&) = delete;

    bool parsed() const { return !refused_ && !doc_->Error(); }
    const tinyxml2::XMLDocument& doc() const { return *doc_; }

private:
    struct Last {
        bool filled = false;
        std::string bytes;
        std::unique_ptr<tinyxml2::XMLDocument> doc;
    };
    static Last& LastOfThisThread() {
        thread_local Last last;
        return last;
    }

    bool refused_ = false;
    std::unique_ptr<tinyxml2::XMLDocument> own_;  // an answer past the cap, never kept
    const tinyxml2::XMLDocument* doc_ = nullptr;
};

// The common steps of every answer parser: the envelope, its header and (when asked for)
// its body, each found by namespace and name, with the namespace scopes that their
// children are read in.
class OpenedEnvelope {
public:
    // False (after logging) when a part is missing.
    bool Open(const AnswerDocument& answer, const char* no_envelope_text, bool need_body) {
        if (!answer.parsed()) {
            Log(ERROR, "Failed parsing XML response");
            return false;
        }
        const tinyxml2::XMLElement* root = answer.doc().FirstChildElement();
        if (root != nullptr) envelope_.emplace(*root, nullptr);
        if (!envelope_ || !IsSoapEnvelope(*envelope_)) {
            Log(ERROR, no_envelope_text);
            return false;
        }
        const tinyxml2::XMLElement* header = envelope_->FirstChildNamed(kSoapEnvelopeNs, "Header");
        if (header == nullptr) {
            Log(ERROR, "No existing header in XML response");
            return false;
        }
        header_.emplace(*header, &*envelope_);
        if (!need_body) return true;
        const tinyxml2::XMLElement* body = envelope_->FirstChildNamed(kSoapEnvelopeNs, "Body");
        if (body == nullptr) {
            Log(ERROR, "No existing body in XML response");
            return false;
        }
        body_.emplace(*body, &*envelope_);
        return true;
    }

    const kv::xml::Scope& header() const { return *header_; }
    const kv::xml::Scope& body() const { return *body_; }

    // Finds the header's RelatesTo and copies its text. False when the parse should stop.
    bool ReadRelatesTo(std::string& relates_to) const {
        const tinyxml2::XMLElement* element = header_->FirstChildNamed(kAddressingNs, "RelatesTo");
        if (element == nullptr) {
            Log(ERROR, "No existing RelatesTo in XML response");
            return false;
        }
        return ReadBoundedText(*element, kMaxRelatesToBytes, relates_to);
    }

private:
    std::optional<kv::xml::Scope> envelope_;
    std::optional<kv::xml::Scope> header_;
    std::optional<kv::xml::Scope> body_;
};

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
    const AnswerDocument answer(data, size);
    if (!answer.parsed()) return AnswerShape::kNotSoap;
    const tinyxml2::XMLElement* root = answer.doc().FirstChildElement();
    if (root == nullptr) return AnswerShape::kNotSoap;
    const kv::xml::Scope envelope(*root, nullptr);
    if (!IsSoapEnvelope(envelope)) return AnswerShape::kNotSoap;
    const tinyxml2::XMLElement* body = envelope.FirstChildNamed(kSoapEnvelopeNs, "Body");
    if (body == nullptr) return AnswerShape::kEnvelope;
    return CarriesFault(kv::xml::Scope(*body, &envelope)) ? AnswerShape::kFault : AnswerShape::kEnvelope;
}

bool IsSoapFault(const char* data, size_t size) { return ClassifyEnvelope(data, size) == AnswerShape::kFault; }

void ReleaseLargeAnswer() { AnswerDocument::ReleaseLarge(); }

void ParseCreateSequenceResponse(const char* data, size_t size, std::string& relates_to, std::string& sequence_id) {
    const AnswerDocument answer(data, size);
    OpenedEnvelope parsed;
    if (!parsed.Open(answer, "Failed getting XML envelope element", true)) return;
    if (!parsed.ReadRelatesTo(relates_to)) return;

    const tinyxml2::XMLElement* response = parsed.body().FirstChildNamed(kReliableMessagingNs, "CreateSequenceResponse");
    const tinyxml2::XMLElement* identifier = nullptr;
    if (response != nullptr) {
        identifier = kv::xml::Scope(*response, &parsed.body()).FirstChildNamed(kReliableMessagingNs, "Identifier");
    }
    if (identifier == nullptr) {
        Log(ERROR, "No existing SequenceId in XML response");
        return;
    }
    ReadBoundedText(*identifier, kMaxSequenceIdBytes, sequence_id);
}

void ParseSendAlarmResponse(const char* data, size_t size, std::string& relates_to, std::string& result) {
    const AnswerDocument answer(data, size);
    OpenedEnvelope parsed;
    if (!parsed.Open(answer, "Failed getting XML envelope element", true)) return;
    if (!parsed.ReadRelatesTo(relates_to)) return;

    // A fault is a refusal, not a malformed answer: it yields no result and no line here;
    // the caller tells it apart with ClassifyEnvelope.
    if (CarriesFault(parsed.body())) return;
    // <M>Response/<M>Result in the contract's namespace, whatever the method M.
    const tinyxml2::XMLElement* method_response = FirstChildEndingIn(parsed.body(), kContractNs, "Response");
    const tinyxml2::XMLElement* method_result = nullptr;
    if (method_response != nullptr) {
        method_result = FirstChildEndingIn(kv::xml::Scope(*method_response, &parsed.body()), kContractNs, "Result");
    }
    if (method_result == nullptr) {
        Log(ERROR, "No existing Method Result in XML response");
        return;
    }
    ReadBoundedText(*method_result, kMaxResultBytes, result);
}

void ParseLastMessageResponse(const char* data, size_t size, std::string& sequence_id) {
    const AnswerDocument answer(data, size);
    OpenedEnvelope parsed;
    if (!parsed.Open(answer, "Failed getting envelope element of XML response", true)) return;

    const tinyxml2::XMLElement* ack = parsed.header().FirstChildNamed(kReliableMessagingNs, "SequenceAcknowledgement");
    const tinyxml2::XMLElement* identifier = nullptr;
    if (ack != nullptr) {
        identifier = kv::xml::Scope(*ack, &parsed.header()).FirstChildNamed(kReliableMessagingNs, "Identifier");
    }
    if (identifier == nullptr) {
        Log(ERROR, "No existing SequenceId in XML response");
        return;
    }
    ReadBoundedText(*identifier, kMaxSequenceIdBytes, sequence_id);
}

void ParseRequest(const std::string& message, std::string& message_id) {
    const AnswerDocument answer(message.data(), message.size());
    OpenedEnvelope parsed;
    if (!parsed.Open(answer, "Failed getting envelope element of XML response", false)) return;
    const tinyxml2::XMLElement* element = parsed.header().FirstChildNamed(kAddressingNs, "MessageID");
    if (element == nullptr) {
        Log(ERROR, "No existing MessageId in XML response");
        return;
    }
    ReadBoundedText(*element, kMaxRelatesToBytes, message_id);
}

kv::http::Request MakeSoapRequest(const std::string& id, const std::string& url, std::shared_ptr<std::string> body) {
    kv::http::Request request(id, kv::http::Method::POST, url, std::move(body));
    request.headers.Set("Content-Type", kSoapContentType);
    request.options.maxBodyBytes = kMaxAnswerBytes;
    return request;
}

namespace detail {
namespace dom {

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

}  // namespace dom

}  // namespace detail

namespace {

// Marker texts printed in place of the values, so that the DOM's own printing fixes every
// byte around them. They hold no character that the printer escapes and never occur in
// the fixed parts of a document.
constexpr char kGuidMarker[] = "@@wardex-guid@@";
constexpr char kEndpointMarker[] = "@@wardex-endpoint@@";
constexpr char kSequenceMarker[] = "@@wardex-sequence@@";
constexpr char kPayloadMarker[] = "@@wardex-payload@@";

// Appends `value` as the printer writes element text: up to its first NUL character, with
// '&', '<' and '>' as entities and every other byte as it is.
void AppendEscapedText(const std::string& value, std::string& out) {
    const char* p = value.c_str();
    for (const char* q = p;; ++q) {
        const char c = *q;
        const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : nullptr;
        if (entity == nullptr && c != '\0') continue;
        out.append(p, static_cast<size_t>(q - p));
        if (c == '\0') return;
        out += entity;
        p = q + 1;
    }
}

// A request document printed once through the DOM with markers for its values, cut at the
// markers. Fill writes the same bytes the DOM would print for those values.
class DocumentTemplate {
public:
    // Hole numbers: the index of the marker in `markers`.
    DocumentTemplate(const std::string& printed, const std::vector<const char*>& markers) {
        size_t at = 0;
        for (;;) {
            size_t next = std::string::npos;
            int hole = -1;
            for (size_t i = 0; i < markers.size(); ++i) {
                const size_t found = printed.find(markers[i], at);
                if (found < next) {
                    next = found;
                    hole = static_cast<int>(i);
                }
            }
            if (hole < 0) break;
            parts_.push_back(printed.substr(at, next - at));
            holes_.push_back(hole);
            at = next + std::strlen(markers[static_cast<size_t>(hole)]);
        }
        parts_.push_back(printed.substr(at));
        for (const std::string& part : parts_) fixed_size_ += part.size();
    }

    // Built aside and moved into `out` at the end, so that `out` may be one of the values.
    void Fill(std::initializer_list<const std::string*> values, std::string& out) const {
        const std::string* const* value = values.begin();
        size_t size = fixed_size_;
        for (int hole : holes_) size += value[hole]->size() + 16;
        std::string text;
        text.reserve(size);
        for (size_t i = 0; i < holes_.size(); ++i) {
            text += parts_[i];
            AppendEscapedText(*value[holes_[i]], text);
        }
        text += parts_.back();
        out = std::move(text);
    }

private:
    std::vector<std::string> parts_;  // text, hole, text, hole, ..., text
    std::vector<int> holes_;
    size_t fixed_size_ = 0;
};

std::string PrintedCreateSequence() {
    std::string out;
    detail::dom::MessageCreateSequence(kGuidMarker, kEndpointMarker, out);
    return out;
}

std::string PrintedLastMessage() {
    std::string out;
    detail::dom::LastMessage(kEndpointMarker, kGuidMarker, kSequenceMarker, out);
    return out;
}

// The application message names its method in an element name and the action, so there
// is one template per method. A service uses a handful of methods; past kMaxMethods
// (some caller inventing names), further ones are printed through the DOM each time.
class ApplicationTemplates {
public:
    bool Fill(const std::string& method, const std::string& payload, const std::string& endpoint,
              const std::string& guid, const std::string& sequence_id, std::string& out) {
        // A method carrying a marker would be cut in the wrong places.
        if (method.find("@@") != std::string::npos) return false;
        const DocumentTemplate* found = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = templates_.find(method);
            if (it == templates_.end()) {
                if (templates_.size() >= kMaxMethods) return false;
                std::string printed;
                detail::dom::MessageSendAlarm(method, kPayloadMarker, kEndpointMarker, kGuidMarker, kSequenceMarker,
                                              printed);
                it = templates_
                         .emplace(method, std::make_unique<DocumentTemplate>(
                                              printed, std::vector<const char*>{kGuidMarker, kEndpointMarker,
                                                                                kSequenceMarker, kPayloadMarker}))
                         .first;
            }
            found = it->second.get();  // never removed, so usable outside the lock
        }
        found->Fill({&guid, &endpoint, &sequence_id, &payload}, out);
        return true;
    }

private:
    static constexpr size_t kMaxMethods = 32;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<DocumentTemplate>> templates_;
};

}  // namespace

namespace detail {

void MessageCreateSequence(const std::string& guid, const std::string& endpoint, std::string& out) {
    static const DocumentTemplate kTemplate(PrintedCreateSequence(), {kGuidMarker, kEndpointMarker});
    kTemplate.Fill({&guid, &endpoint}, out);
}

void MessageSendAlarm(const std::string& method, const std::string& payload, const std::string& endpoint,
                      const std::string& guid, const std::string& sequence_id, std::string& out) {
    static ApplicationTemplates templates;
    // The DOM cuts the payload's text at a NUL, and its closing bracket with it.
    if (payload.find('\0') != std::string::npos ||
        !templates.Fill(method, payload, endpoint, guid, sequence_id, out)) {
        dom::MessageSendAlarm(method, payload, endpoint, guid, sequence_id, out);
    }
}

void LastMessage(const std::string& endpoint, const std::string& guid, const std::string& sequence_id,
                 std::string& out) {
    static const DocumentTemplate kTemplate(PrintedLastMessage(), {kEndpointMarker, kGuidMarker, kSequenceMarker});
    kTemplate.Fill({&endpoint, &guid, &sequence_id}, out);
}

namespace {

// The members of the time-server answer, and the fields they fill.
const std::pair<const char*, std::string NtpInfo::*> kNtpFields[] = {
    {"NTPServerIP", &NtpInfo::ntp_server_ip},
    {"NTPServerPort", &NtpInfo::ntp_server_port},
    {"TimeZone", &NtpInfo::time_zone},
    {"UpdateInterval", &NtpInfo::update_interval},
};

// Reads the time-server answer as a stream of JSON events, so that no document is built
// and no nesting is followed past kMaxNtpInfoDepth: a deep answer ends the reading at
// once, instead of costing memory and a recursive destruction per level. Of the top-level
// object it keeps the last value of each wanted member, a string or (to be ignored) not.
class NtpInfoReader : public nlohmann::json_sax<nlohmann::json> {
public:
    using Json = nlohmann::json;

    // The member's value when its last occurrence was a string; null otherwise.
    const std::string* Member(const std::string& key) const {
        const auto found = members_.find(key);
        return found != members_.end() && found->second.first ? &found->second.second : nullptr;
    }

    bool null() override { return Scalar(nullptr); }
    bool boolean(bool) override { return Scalar(nullptr); }
    bool number_integer(Json::number_integer_t) override { return Scalar(nullptr); }
    bool number_unsigned(Json::number_unsigned_t) override { return Scalar(nullptr); }
    bool number_float(Json::number_float_t, const Json::string_t&) override { return Scalar(nullptr); }
    bool string(Json::string_t& value) override { return Scalar(&value); }
    bool binary(Json::binary_t&) override { return Scalar(nullptr); }
    bool start_object(std::size_t) override { return Open(true); }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_array() override { return Close(); }
    bool key(Json::string_t& name) override {
        if (depth_ == 1) key_ = name;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    // Only an object may stand at the top.
    bool Open(bool object) {
        if (depth_ == 0 && !object) return false;
        if (++depth_ > kMaxNtpInfoDepth) return false;
        if (depth_ == 2) Keep(nullptr);  // a member whose value is an object or array
        return true;
    }
    bool Close() {
        --depth_;
        return true;
    }
    bool Scalar(const std::string* value) {
        if (depth_ == 0) return false;
        if (depth_ == 1) Keep(value);
        return true;
    }
    // Records the current top-level member's value, when it is one of those wanted.
    void Keep(const std::string* value) {
        for (const auto& field : kNtpFields) {
            if (key_ == field.first) {
                members_[key_] = value != nullptr ? std::make_pair(true, *value) : std::make_pair(false, std::string());
                return;
            }
        }
    }

    size_t depth_ = 0;
    std::string key_;
    std::map<std::string, std::pair<bool, std::string>> members_;
};

}  // namespace

void ParseNtpInfo(const std::string& json_text, NtpInfo& info) {
    if (json_text.empty() || json_text.size() > kMaxResultBytes) return;
    NtpInfoReader reader;
    if (!nlohmann::json::sax_parse(json_text, &reader)) return;
    for (const auto& field : kNtpFields) {
        if (const std::string* value = reader.Member(field.first)) info.*(field.second) = *value;
    }
}

}  // namespace detail

}  // namespace soap
}  // namespace kv
