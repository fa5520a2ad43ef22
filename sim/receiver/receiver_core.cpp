#include "sim/receiver/receiver_core.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>
#include <tinyxml2.h>

namespace wxsim {

namespace {

constexpr char kSoapNs[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kAddressingNs[] = "http://www.w3.org/2005/08/addressing";
constexpr char kRmNs[] = "http://schemas.xmlsoap.org/ws/2005/02/rm";
constexpr char kContractNs[] = "http://tempuri.org/";
constexpr char kCreateSequenceAction[] = "http://schemas.xmlsoap.org/ws/2005/02/rm/CreateSequence";
constexpr char kLastMessageAction[] = "http://schemas.xmlsoap.org/ws/2005/02/rm/LastMessage";
constexpr char kContractActionPrefix[] = "http://tempuri.org/IReceiverServiceResponse/";
constexpr char kContentType[] = "application/soap+xml; charset=utf-8";
constexpr size_t kMaxOpenSequences = 100000;

const char* const kStepNames[] = {"create", "app", "last"};

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string NowIso() {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(millis));
    return text;
}

// Namespace-aware reading of the request: names are matched by namespace URI and local
// name, whatever prefixes the sender chose.
std::string LocalName(const tinyxml2::XMLElement* element) {
    const std::string name = element->Name();
    const size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::string NamespaceOf(const tinyxml2::XMLElement* element) {
    const std::string name = element->Name();
    const size_t colon = name.find(':');
    const std::string attribute = colon == std::string::npos ? "xmlns" : "xmlns:" + name.substr(0, colon);
    for (const tinyxml2::XMLNode* node = element; node != nullptr; node = node->Parent()) {
        const tinyxml2::XMLElement* scope = node->ToElement();
        if (scope == nullptr) break;
        if (const char* uri = scope->Attribute(attribute.c_str())) return uri;
    }
    return "";
}

const tinyxml2::XMLElement* Child(const tinyxml2::XMLElement* parent, const char* ns, const char* local) {
    if (parent == nullptr) return nullptr;
    for (const tinyxml2::XMLElement* child = parent->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (LocalName(child) == local && NamespaceOf(child) == ns) return child;
    }
    return nullptr;
}

std::string TextOf(const tinyxml2::XMLElement* element) {
    const char* text = element != nullptr ? element->GetText() : nullptr;
    return text != nullptr ? text : "";
}

bool IsV4Uuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return text[14] == '4' && (text[19] == '8' || text[19] == '9' || text[19] == 'a' || text[19] == 'b');
}

bool MustUnderstand(const tinyxml2::XMLElement* element) {
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
        const std::string name = a->Name();
        const size_t colon = name.find(':');
        if (colon == std::string::npos || name.substr(colon + 1) != "mustUnderstand") continue;
        const std::string value = a->Value();
        return value == "true" || value == "1";
    }
    return false;
}

std::string EnvelopeOpen() {
    return std::string("<s:Envelope xmlns:s=\"") + kSoapNs + "\" xmlns:a=\"" + kAddressingNs + "\" xmlns:r=\"" + kRmNs +
           "\">";
}

std::string SoapFaultBody(const std::string& relates_to) {
    std::string out = EnvelopeOpen();
    out += "<s:Header><a:Action s:mustUnderstand=\"1\">http://www.w3.org/2005/08/addressing/soap/fault</a:Action>";
    if (!relates_to.empty()) out += "<a:RelatesTo>" + Escape(relates_to) + "</a:RelatesTo>";
    out += "</s:Header><s:Body><s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code><s:Reason>"
           "<s:Text xml:lang=\"en-US\">Injected fault</s:Text></s:Reason></s:Fault></s:Body></s:Envelope>";
    return out;
}

std::string RandomPrefix() {
    std::random_device device;
    std::uniform_int_distribution<unsigned> digit(0, 15);
    const char* hex = "0123456789abcdef";
    std::string text = "xxxxxxxx-xxxx-4xxx-bxxx-";
    for (char& c : text) {
        if (c == 'x') c = hex[digit(device)];
    }
    return text;
}

}  // namespace

Reply ReceiverCore::Handle(const std::string& method, const std::string& target, const std::string& host,
                           const std::string& content_type, const std::string& body) {
    ++requests_;
    host_ = host;
    Reply reply;
    if (target != kServicePath) {
        Violation("path", target);
        reply.status = 404;
        return reply;
    }
    if (method != "POST") {
        Violation("http-method", method);
        reply.status = 405;
        return reply;
    }
    if (content_type != kContentType) Violation("content-type", content_type);

    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS) {
        Violation("xml", doc.ErrorStr() != nullptr ? doc.ErrorStr() : "parse error");
        reply.status = 400;
        return reply;
    }
    const tinyxml2::XMLElement* envelope = doc.RootElement();
    if (envelope == nullptr || LocalName(envelope) != "Envelope" || NamespaceOf(envelope) != kSoapNs) {
        Violation("envelope", "not a SOAP 1.2 envelope");
        reply.status = 400;
        return reply;
    }
    const tinyxml2::XMLElement* header = Child(envelope, kSoapNs, "Header");
    const tinyxml2::XMLElement* soap_body = Child(envelope, kSoapNs, "Body");
    if (header == nullptr || soap_body == nullptr) {
        Violation("envelope", "header or body missing");
        reply.status = 400;
        return reply;
    }

    const tinyxml2::XMLElement* action_element = Child(header, kAddressingNs, "Action");
    const tinyxml2::XMLElement* to_element = Child(header, kAddressingNs, "To");
    const std::string action = TextOf(action_element);
    const std::string message_id = TextOf(Child(header, kAddressingNs, "MessageID"));
    const std::string to = TextOf(to_element);
    if (message_id.compare(0, 9, "urn:uuid:") != 0 || !IsV4Uuid(message_id.substr(9))) {
        Violation("message-id", message_id);
    }
    if (to != "http://" + host + target) Violation("to", to);
    if (action_element == nullptr || !MustUnderstand(action_element) || to_element == nullptr ||
        !MustUnderstand(to_element)) {
        Violation("must-understand", "Action and To must carry mustUnderstand");
    }
    const std::string guid = message_id.size() > 9 ? message_id.substr(9) : message_id;

    if (action == kCreateSequenceAction) {
        ++steps_[kCreate];
        const tinyxml2::XMLElement* create = Child(soap_body, kRmNs, "CreateSequence");
        if (create == nullptr || Child(create, kRmNs, "AcksTo") == nullptr) {
            Violation("create-sequence", "CreateSequence or AcksTo missing");
        }
        const std::string offered = TextOf(Child(Child(create, kRmNs, "Offer"), kRmNs, "Identifier"));
        if (offered != message_id) Violation("offer", offered);
        const std::string sequence = NewSequence("");
        return Answer(kCreate, "", message_id, sequence);
    }

    const tinyxml2::XMLElement* sequence_element = Child(header, kRmNs, "Sequence");
    const std::string sequence = TextOf(Child(sequence_element, kRmNs, "Identifier"));
    const std::string number = TextOf(Child(sequence_element, kRmNs, "MessageNumber"));
    const auto open = sequences_.find(sequence);
    if (open == sequences_.end()) Violation("unknown-sequence", sequence);

    if (action == kLastMessageAction) {
        ++steps_[kLast];
        if (number != "2") Violation("message-number", "LastMessage numbered " + number);
        if (Child(sequence_element, kRmNs, "LastMessage") == nullptr) Violation("last-message", "element missing");
        if (TextOf(Child(Child(header, kRmNs, "AckRequested"), kRmNs, "Identifier")) != sequence) {
            Violation("ack-requested", sequence);
        }
        if (open != sequences_.end()) {
            if (open->second.messages != 1) Violation("order", "LastMessage before message 1 of " + sequence);
            sequences_.erase(open);
        }
        return Answer(kLast, "", message_id, sequence);
    }

    if (action.compare(0, sizeof(kContractActionPrefix) - 1, kContractActionPrefix) != 0) {
        Violation("action", action);
        reply.status = 500;
        reply.body = SoapFaultBody(message_id);
        return reply;
    }
    ++steps_[kApp];
    const std::string called = action.substr(sizeof(kContractActionPrefix) - 1);
    const tinyxml2::XMLElement* call = Child(soap_body, kContractNs, called.c_str());
    if (call == nullptr) Violation("method-mismatch", called);
    const tinyxml2::XMLElement* data = Child(call, kContractNs, "requestData");
    if (data == nullptr) Violation("request-data", called);
    if (number != "1") Violation("message-number", "application message numbered " + number);
    if (open != sequences_.end()) {
        if (++open->second.messages != 1) Violation("duplicate-message", sequence);
        open->second.method = called;
    }
    const std::string content = called == "GetNTPServerInfo" ? ntp_result_ : alarm_result_;
    Reply answer = Answer(kApp, called, message_id, content);
    if (!answer.spoiled) {
        Record(called, guid, sequence, TextOf(data));
    }
    return answer;
}

Reply ReceiverCore::Answer(Step step, const std::string& method, const std::string& relates_to,
                           const std::string& content) {
    Reply reply;
    reply.delay = delays_[step];
    Fault fault;
    const bool spoiled = TakeFault(step, method, fault);
    if (spoiled) ++faults_applied_;
    reply.spoiled = spoiled;
    if (spoiled && fault.kind == FaultKind::kClose) {
        reply.close = true;
        return reply;
    }
    if (spoiled && fault.kind == FaultKind::kStatus) {
        reply.status = fault.status;
        if (fault.status >= 400) reply.body = SoapFaultBody(relates_to);
        Dress(step, "", reply);
        return reply;
    }
    if (spoiled && fault.kind == FaultKind::kSoapFault) {
        reply.status = fault.status;
        reply.body = SoapFaultBody(relates_to);
        Dress(step, "", reply);
        return reply;
    }
    if (spoiled && fault.kind == FaultKind::kRedirect) {
        // Elsewhere on this simulator: a request that follows it is a "path" violation.
        reply.status = fault.status;
        reply.location = "http://" + host_ + "/WXAlarmReceiver/Moved.svc";
        reply.body = "<html><body>Moved</body></html>";
        reply.content_type = "text/html; charset=utf-8";
        return reply;
    }
    if (spoiled && fault.kind == FaultKind::kHtml) {
        // A proxy's or a maintenance page in front of the service.
        reply.body =
            "<!DOCTYPE html><html><head><title>Maintenance</title></head>"
            "<body><h1>The service is down for maintenance</h1></body></html>";
        reply.content_type = "text/html; charset=utf-8";
        return reply;
    }
    if (spoiled && fault.kind == FaultKind::kTrickle) reply.trickle = true;
    if (spoiled && fault.kind == FaultKind::kMalformed) {
        reply.body = EnvelopeOpen() + "<s:Header><a:RelatesTo>" + Escape(relates_to) + "</a:RelatesTo></s:Header><s:Body>";
        Dress(step, "", reply);
        return reply;
    }
    if (step == kLast && (style_.last_status == 202 || style_.last_status == 204)) {
        reply.status = style_.last_status;
        Dress(step, "", reply);
        return reply;
    }
    const bool no_relates = spoiled && fault.kind == FaultKind::kNoRelates;
    const bool no_identifier = spoiled && fault.kind == FaultKind::kNoIdentifier;
    const bool no_result = spoiled && fault.kind == FaultKind::kNoResult;
    // Crafted answers of a hostile receiver: a text grown to `size` bytes, or an envelope
    // with `size` namespace declarations and as many decoy headers before the real one.
    const auto grown = [&fault](const std::string& text) {
        return text.size() < fault.size ? text + std::string(fault.size - text.size(), 'x') : text;
    };
    const std::string relates_text = spoiled && fault.kind == FaultKind::kLongRelates ? grown(relates_to) : relates_to;
    const std::string content_text = spoiled && fault.kind == FaultKind::kLongIdentifier ? grown(content) : content;

    std::string action;
    switch (step) {
        case kCreate: action = std::string(kCreateSequenceAction) + "Response"; break;
        case kApp: action = std::string(kContractActionPrefix) + method + "Response"; break;
        default: action = std::string(kRmNs) + "/SequenceAcknowledgement"; break;
    }
    std::string out = EnvelopeOpen();
    if (spoiled && fault.kind == FaultKind::kCostly) {
        out.pop_back();
        for (size_t i = 0; i < fault.size; ++i) out += " xmlns:p" + std::to_string(i) + "=\"urn:p" + std::to_string(i) + "\"";
        out += '>';
        for (size_t i = 0; i < fault.size; ++i) out += "<x:Header/>";
    }
    out += "<s:Header>";
    if (style_.extra_headers) {
        // What a full WS-RM stack adds to the framework's Action and acknowledgement: the
        // reply's own destination, and on the application answer the first message of the
        // reply sequence the request offered (its identifier is the request's MessageID).
        out += "<a:To s:mustUnderstand=\"1\">http://www.w3.org/2005/08/addressing/anonymous</a:To>";
        if (step == kApp) {
            out += "<r:Sequence s:mustUnderstand=\"1\"><r:Identifier>" + Escape(relates_to) +
                   "</r:Identifier><r:MessageNumber>1</r:MessageNumber><r:LastMessage/></r:Sequence>";
        }
    }
    switch (step) {
        case kCreate:
            out += "<a:Action s:mustUnderstand=\"1\">";
            out += kCreateSequenceAction;
            out += "Response</a:Action>";
            break;
        case kApp:
            out += "<r:SequenceAcknowledgement><r:Identifier>" + Escape(relates_to) +
                   "</r:Identifier><r:AcknowledgementRange Lower=\"1\" Upper=\"1\"/></r:SequenceAcknowledgement>";
            out += "<a:Action s:mustUnderstand=\"1\">" + std::string(kContractActionPrefix) + method +
                   "Response</a:Action>";
            break;
        case kLast:
            out += "<r:SequenceAcknowledgement><r:Identifier>" + Escape(content_text) +
                   "</r:Identifier><r:AcknowledgementRange Lower=\"1\" Upper=\"2\"/></r:SequenceAcknowledgement>"
                   "<a:Action s:mustUnderstand=\"1\">http://schemas.xmlsoap.org/ws/2005/02/rm/SequenceAcknowledgement"
                   "</a:Action>";
            break;
        default: break;
    }
    if (!no_relates) out += "<a:RelatesTo>" + Escape(relates_text) + "</a:RelatesTo>";
    out += "</s:Header><s:Body>";
    if (step == kCreate) {
        out += std::string("<CreateSequenceResponse xmlns=\"") + kRmNs + "\">";
        if (!no_identifier) out += "<Identifier>" + Escape(content_text) + "</Identifier>";
        out += "<Accept><AcksTo><a:Address>http://www.w3.org/2005/08/addressing/anonymous</a:Address></AcksTo>"
               "</Accept></CreateSequenceResponse>";
    } else if (step == kApp) {
        out += "<" + method + "Response xmlns=\"" + kContractNs + "\">";
        if (!no_result) out += "<" + method + "Result>" + Escape(content_text) + "</" + method + "Result>";
        out += "</" + method + "Response>";
    }
    out += "</s:Body></s:Envelope>";
    reply.body = std::move(out);
    Dress(step, action, reply);
    return reply;
}

void ReceiverCore::Dress(Step, const std::string& action, Reply& reply) const {
    reply.chunked = style_.chunked;
    reply.close_after = style_.close;
    if (reply.body.empty()) return;
    if (style_.xml_declaration) reply.body.insert(0, "<?xml version=\"1.0\" encoding=\"utf-8\"?>");
    reply.content_type = kContentType;
    if (style_.action_parameter && !action.empty()) reply.content_type += "; action=\"" + action + "\"";
}

std::string ReceiverCore::SetStyle(const std::string& args) {
    AnswerStyle style;
    std::istringstream in(args);
    std::string word;
    while (std::getline(in, word, ',')) {
        const size_t start = word.find_first_not_of(' ');
        const size_t end = word.find_last_not_of(' ');
        word = start == std::string::npos ? "" : word.substr(start, end - start + 1);
        if (word == "plain" || word.empty()) continue;
        if (word == "chunked") {
            style.chunked = true;
        } else if (word == "close") {
            style.close = true;
        } else if (word == "xml-declaration") {
            style.xml_declaration = true;
        } else if (word == "extra-headers") {
            style.extra_headers = true;
        } else if (word == "action-parameter") {
            style.action_parameter = true;
        } else if (word == "last-202") {
            style.last_status = 202;
        } else if (word == "last-204") {
            style.last_status = 204;
        } else {
            return "error unknown style '" + word + "'";
        }
    }
    style_ = style;
    return "ok";
}

bool ReceiverCore::TakeFault(Step step, const std::string& method, Fault& fault) {
    Fault& planned = faults_[step];
    if (planned.kind == FaultKind::kNone || planned.remaining == 0) return false;
    if (!planned.method.empty() && planned.method != method) return false;
    fault = planned;
    if (planned.remaining > 0 && --planned.remaining == 0) planned = Fault();
    return true;
}

void ReceiverCore::Violation(const std::string& kind, const std::string& detail) {
    ++violations_;
    ++violation_kinds_[kind];
    last_violation_ = kind + ": " + detail;
    std::cerr << "violation " << last_violation_ << std::endl;
}

void ReceiverCore::Record(const std::string& method, const std::string& guid, const std::string& sequence,
                          const std::string& request_data) {
    ++delivered_;
    if (record_ == nullptr) return;
    nlohmann::json line;
    line["time"] = NowIso();
    line["method"] = method;
    line["guid"] = guid;
    line["sequence"] = sequence;
    line["request_data"] = request_data;
    nlohmann::json parsed = nlohmann::json::parse(request_data, nullptr, false);
    if (parsed.is_discarded()) {
        line["payload"] = nullptr;
    } else if (parsed.is_array() && parsed.size() == 1) {
        line["payload"] = parsed[0];
    } else {
        line["payload"] = parsed;
    }
    *record_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    record_->flush();
}

std::string ReceiverCore::NewSequence(const std::string& method) {
    static const std::string prefix = "urn:uuid:" + RandomPrefix();
    char counter[16];
    std::snprintf(counter, sizeof(counter), "%012llx", static_cast<unsigned long long>(next_sequence_++));
    std::string id = prefix + counter;
    // Sequences the sender abandoned never close; forget the oldest beyond the bound.
    while (sequences_.size() >= kMaxOpenSequences && !sequence_order_.empty()) {
        sequences_.erase(sequence_order_.front());
        sequence_order_.pop_front();
    }
    sequences_[id] = Sequence{method, 0};
    sequence_order_.push_back(id);
    if (sequence_order_.size() > 2 * kMaxOpenSequences) {
        std::deque<std::string> live;
        for (const std::string& old : sequence_order_) {
            if (sequences_.count(old) != 0) live.push_back(old);
        }
        sequence_order_.swap(live);
    }
    return id;
}

std::string ReceiverCore::Stats() const {
    nlohmann::json stats;
    stats["requests"] = requests_;
    stats["create"] = steps_[kCreate];
    stats["app"] = steps_[kApp];
    stats["last"] = steps_[kLast];
    stats["delivered"] = delivered_;
    stats["faults_applied"] = faults_applied_;
    stats["violations"] = violations_;
    stats["violation_kinds"] = nlohmann::json::object();
    for (const auto& kind : violation_kinds_) stats["violation_kinds"][kind.first] = kind.second;
    stats["last_violation"] = last_violation_;
    stats["open_sequences"] = sequences_.size();
    return stats.dump();
}

std::string ReceiverCore::SetFault(const std::string& args) {
    std::istringstream in(args);
    std::string step_name, kind_name;
    in >> step_name >> kind_name;
    std::vector<int> steps;
    for (int s = 0; s < kSteps; ++s) {
        if (step_name == kStepNames[s] || step_name == "all") steps.push_back(s);
    }
    if (steps.empty()) return "error unknown step '" + step_name + "' (create, app, last, all)";

    Fault fault;
    static const std::map<std::string, FaultKind> kinds = {
        {"none", FaultKind::kNone},           {"status", FaultKind::kStatus},
        {"close", FaultKind::kClose},         {"malformed", FaultKind::kMalformed},
        {"no-relates", FaultKind::kNoRelates}, {"no-identifier", FaultKind::kNoIdentifier},
        {"no-result", FaultKind::kNoResult},  {"soap-fault", FaultKind::kSoapFault},
        {"redirect", FaultKind::kRedirect},   {"html", FaultKind::kHtml},
        {"trickle", FaultKind::kTrickle},     {"costly", FaultKind::kCostly},
        {"long-identifier", FaultKind::kLongIdentifier}, {"long-relates", FaultKind::kLongRelates},
    };
    const auto kind = kinds.find(kind_name);
    if (kind == kinds.end()) return "error unknown fault '" + kind_name + "'";
    fault.kind = kind->second;
    std::string word;
    while (in >> word) {
        if (word.compare(0, 6, "times=") == 0) {
            fault.remaining = std::stoll(word.substr(6));
        } else if (word.compare(0, 5, "size=") == 0) {
            fault.size = static_cast<size_t>(std::stoull(word.substr(5)));
        } else if (word.compare(0, 7, "method=") == 0) {
            fault.method = word.substr(7);
        } else if (!word.empty() && std::isdigit(static_cast<unsigned char>(word[0]))) {
            fault.status = std::stoi(word);
        } else {
            return "error unexpected '" + word + "'";
        }
    }
    if (fault.kind == FaultKind::kStatus && (fault.status < 100 || fault.status > 599)) return "error bad status";
    if (fault.kind == FaultKind::kRedirect && (fault.status < 300 || fault.status > 399)) fault.status = 302;
    for (int s : steps) faults_[s] = fault;
    return "ok";
}

std::string ReceiverCore::Command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::string rest;
    std::getline(in, rest);
    const size_t start = rest.find_first_not_of(' ');
    rest = start == std::string::npos ? "" : rest.substr(start);
    try {
        if (verb == "fault") return SetFault(rest);
        if (verb == "delay") {
            std::istringstream args(rest);
            std::string step_name;
            long long ms = -1;
            if (!(args >> step_name >> ms) || ms < 0) return "error usage: delay STEP MS";
            bool any = false;
            for (int s = 0; s < kSteps; ++s) {
                if (step_name == kStepNames[s] || step_name == "all") {
                    delays_[s] = std::chrono::milliseconds(ms);
                    any = true;
                }
            }
            return any ? "ok" : "error unknown step '" + step_name + "'";
        }
        if (verb == "style") return SetStyle(rest);
        if (verb == "ntp") {
            ntp_result_ = rest;
            return "ok";
        }
        if (verb == "result") {
            alarm_result_ = rest;
            return "ok";
        }
        if (verb == "clear") {
            for (int s = 0; s < kSteps; ++s) {
                faults_[s] = Fault();
                delays_[s] = std::chrono::milliseconds(0);
            }
            return "ok";
        }
        if (verb == "reset") {
            requests_ = delivered_ = faults_applied_ = violations_ = 0;
            for (uint64_t& count : steps_) count = 0;
            violation_kinds_.clear();
            last_violation_.clear();
            return "ok";
        }
        if (verb == "stats") return "ok " + Stats();
    } catch (const std::exception&) {
        return "error bad number";
    }
    if (verb.empty()) return "error empty command";
    return "error unknown command '" + verb + "'";
}

}  // namespace wxsim
