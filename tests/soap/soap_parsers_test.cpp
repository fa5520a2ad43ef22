// Reading the receiver's answers: names by namespace URI whatever the prefixes, the texts
// the sequencer needs, and one exact ERROR line for every way an answer can fall short.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "src/soap/answer_class.h"
#include "src/soap_helper.h"
#include "src/soap/xml_guard.h"
#include "src/soap/xml_names.h"
#include "tests/soap/log_capture.h"

namespace {

using kv::test::LogCapture;

// The receiver's framework: prefixes s, a, r on the envelope, default namespaces inside.
const char kCreateSequenceAnswer[] =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:a=\"http://www.w3.org/2005/08/addressing\" xmlns:r=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">"
    "<s:Header><a:Action s:mustUnderstand=\"1\">http://schemas.xmlsoap.org/ws/2005/02/rm/CreateSequenceResponse"
    "</a:Action><a:RelatesTo>urn:uuid:11111111-2222-4333-8444-555555555555</a:RelatesTo></s:Header>"
    "<s:Body><CreateSequenceResponse xmlns=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">"
    "<Identifier>urn:uuid:aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee</Identifier></CreateSequenceResponse></s:Body>"
    "</s:Envelope>";

const char kSendAlarmAnswer[] =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:a=\"http://www.w3.org/2005/08/addressing\">\n"
    "  <s:Header>\n    <a:RelatesTo>urn:uuid:1</a:RelatesTo>\n  </s:Header>\n"
    "  <s:Body>\n    <SendAlarmResponse xmlns=\"http://tempuri.org/\">\n"
    "      <SendAlarmResult>a &amp; b</SendAlarmResult>\n    </SendAlarmResponse>\n  </s:Body>\n"
    "</s:Envelope>";

const char kSequenceAcknowledgement[] =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:r=\"http://schemas.xmlsoap.org/ws/2005/02/rm\"><s:Header><r:SequenceAcknowledgement>"
    "<r:Identifier>urn:uuid:seq</r:Identifier><r:AcknowledgementRange Lower=\"1\" Upper=\"2\"/>"
    "</r:SequenceAcknowledgement></s:Header><s:Body/></s:Envelope>";

std::string PrefixOf(const char* xml, const char* fragment) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(xml));
    std::string prefix = "stale";
    kv::soap::GetXMLNamespaceWithColon(doc.FirstChildElement(), fragment, prefix);
    return prefix;
}

void ParseCreate(const std::string& xml, std::string& relates_to, std::string& identifier) {
    kv::soap::ParseCreateSequenceResponse(xml.data(), xml.size(), relates_to, identifier);
}

void ParseSend(const std::string& xml, std::string& relates_to, std::string& result) {
    kv::soap::ParseSendAlarmResponse(xml.data(), xml.size(), relates_to, result);
}

TEST(SoapNamespaces, PrefixesAreFoundOnTheEnvelopeOnly) {
    EXPECT_EQ("s:", PrefixOf(kCreateSequenceAnswer, "/soap-envelope"));
    EXPECT_EQ("a:", PrefixOf(kCreateSequenceAnswer, "/addressing"));
    EXPECT_EQ("r:", PrefixOf(kCreateSequenceAnswer, "/rm"));
    // A default namespace gives no prefix; so does a declaration on an inner element.
    EXPECT_EQ("", PrefixOf("<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"/>", "/soap-envelope"));
    EXPECT_EQ("", PrefixOf("<e><h xmlns:a=\"http://www.w3.org/2005/08/addressing\"/></e>", "/addressing"));
}

TEST(SoapNamespaces, HttpsNeverQualifiesAndTheFirstDeclarationWins) {
    EXPECT_EQ("", PrefixOf("<e xmlns:x=\"https://www.w3.org/2005/08/addressing\"/>", "/addressing"));
    EXPECT_EQ("y:", PrefixOf("<e xmlns:x=\"https://www.w3.org/2005/08/addressing\" "
                             "xmlns:y=\"http://www.w3.org/2005/08/addressing\" "
                             "xmlns:z=\"http://example.invalid/addressing\"/>",
                             "/addressing"));
    EXPECT_EQ("p:", PrefixOf("<e xmlns:p=\"http://one/addressing\" xmlns:q=\"http://two/addressing\"/>", "/addressing"));
}

TEST(SoapCreateSequenceAnswer, PrefixedEnvelopeYieldsRelatesToAndIdentifier) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate(kCreateSequenceAnswer, relates_to, identifier);
    EXPECT_EQ("urn:uuid:11111111-2222-4333-8444-555555555555", relates_to);
    EXPECT_EQ("urn:uuid:aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee", identifier);
    EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST(SoapCreateSequenceAnswer, DefaultNamespacesAreFoundUnderBareNames) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate("<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Header>"
                "<RelatesTo xmlns=\"http://www.w3.org/2005/08/addressing\">rel</RelatesTo></Header><Body>"
                "<CreateSequenceResponse xmlns=\"http://schemas.xmlsoap.org/ws/2005/02/rm\"><Identifier>seq"
                "</Identifier></CreateSequenceResponse></Body></Envelope>",
                relates_to, identifier);
    EXPECT_EQ("rel", relates_to);
    EXPECT_EQ("seq", identifier);
}

TEST(SoapCreateSequenceAnswer, PrefixedCreateSequenceResponseIsFound) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
                "xmlns:a=\"http://www.w3.org/2005/08/addressing\" xmlns:r=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">"
                "<s:Header><a:RelatesTo>rel</a:RelatesTo></s:Header><s:Body><r:CreateSequenceResponse>"
                "<r:Identifier>seq</r:Identifier></r:CreateSequenceResponse></s:Body></s:Envelope>",
                relates_to, identifier);
    EXPECT_EQ("rel", relates_to);
    EXPECT_EQ("seq", identifier);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(SoapCreateSequenceAnswer, AddressingDeclaredOnTheHeaderIsInScope) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                "<s:Header xmlns:a=\"http://www.w3.org/2005/08/addressing\"><a:RelatesTo>rel</a:RelatesTo></s:Header>"
                "<s:Body/></s:Envelope>",
                relates_to, identifier);
    EXPECT_EQ("rel", relates_to);
    EXPECT_EQ("", identifier);
    EXPECT_EQ(1, log.Count("ERROR", "No existing SequenceId in XML response"));
    EXPECT_EQ(1u, log.Lines().size());
}

TEST(SoapCreateSequenceAnswer, AddressingOnlyBareAndUndeclaredIsNotSeen) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                "<s:Header><RelatesTo>rel</RelatesTo></s:Header><s:Body/></s:Envelope>",
                relates_to, identifier);
    EXPECT_EQ("", relates_to);
    EXPECT_EQ(1, log.Count("ERROR", "No existing RelatesTo in XML response"));
}

TEST(SoapCreateSequenceAnswer, EmptyRelatesToStopsSilently) {
    LogCapture log;
    std::string relates_to, identifier;
    std::string answer = kCreateSequenceAnswer;
    answer.replace(answer.find("<a:RelatesTo>"), answer.find("</a:RelatesTo>") + 14 - answer.find("<a:RelatesTo>"),
                   "<a:RelatesTo></a:RelatesTo>");
    ParseCreate(answer, relates_to, identifier);
    EXPECT_EQ("", relates_to);
    EXPECT_EQ("", identifier);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(SoapCreateSequenceAnswer, EveryShortfallHasItsOwnError) {
    struct Case {
        const char* xml;
        const char* error;
    };
    const Case cases[] = {
        {"this is not XML <", "Failed parsing XML response"},
        {"<a><b></a>", "Failed parsing XML response"},
        {"<!-- only a comment -->", "Failed getting XML envelope element"},
        {"<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body/></s:Envelope>",
         "No existing header in XML response"},
        {"<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header/></s:Envelope>",
         "No existing body in XML response"},
        {"<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header/><s:Body/></s:Envelope>",
         "No existing RelatesTo in XML response"},
        {"<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:a=\"http://www.w3.org/2005/08/addressing\">"
         "<s:Header><a:RelatesTo>rel</a:RelatesTo></s:Header><s:Body><CreateSequenceResponse/></s:Body></s:Envelope>",
         "No existing SequenceId in XML response"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        std::string relates_to = "kept", identifier = "kept";
        ParseCreate(c.xml, relates_to, identifier);
        EXPECT_EQ(1, log.Count("ERROR", c.error)) << c.xml;
        EXPECT_EQ(1u, log.Lines().size()) << c.xml;
        EXPECT_EQ("kept", identifier) << "outputs are never cleared";
    }
}

TEST(SoapSendAlarmAnswer, ResultIsTheBodysFirstGrandchildText) {
    LogCapture log;
    std::string relates_to, result;
    ParseSend(kSendAlarmAnswer, relates_to, result);
    EXPECT_EQ("urn:uuid:1", relates_to);
    EXPECT_EQ("a & b", result);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(SoapSendAlarmAnswer, SoapFaultGivesNoResult) {
    LogCapture log;
    std::string relates_to, result;
    ParseSend("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
              "xmlns:a=\"http://www.w3.org/2005/08/addressing\"><s:Header><a:RelatesTo>rel</a:RelatesTo></s:Header>"
              "<s:Body><s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code><s:Reason><s:Text xml:lang=\"en-US\">"
              "boom</s:Text></s:Reason></s:Fault></s:Body></s:Envelope>",
              relates_to, result);
    EXPECT_EQ("rel", relates_to);
    EXPECT_EQ("", result);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(SoapSendAlarmAnswer, MissingResultElementIsReported) {
    for (const char* body : {"<s:Body/>", "<s:Body><SendAlarmResponse xmlns=\"http://tempuri.org/\"/></s:Body>",
                             "<s:Body><SendAlarmResponse>text only</SendAlarmResponse></s:Body>"}) {
        LogCapture log;
        std::string relates_to, result;
        ParseSend(std::string("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
                              "xmlns:a=\"http://www.w3.org/2005/08/addressing\"><s:Header><a:RelatesTo>rel"
                              "</a:RelatesTo></s:Header>") +
                      body + "</s:Envelope>",
                  relates_to, result);
        EXPECT_EQ("rel", relates_to);
        EXPECT_EQ("", result);
        EXPECT_EQ(1, log.Count("ERROR", "No existing Method Result in XML response")) << body;
    }
}

TEST(SoapSendAlarmAnswer, NonXmlLeavesEverythingEmpty) {
    LogCapture log;
    std::string relates_to, result;
    ParseSend("HTTP/1.1 502 Bad Gateway", relates_to, result);
    EXPECT_EQ("", relates_to);
    EXPECT_EQ("", result);
    EXPECT_EQ(1, log.Count("ERROR", "Failed parsing XML response"));
}

TEST(SoapLastMessageAnswer, AcknowledgedSequenceIsRead) {
    LogCapture log;
    std::string identifier;
    kv::soap::ParseLastMessageResponse(kSequenceAcknowledgement, sizeof(kSequenceAcknowledgement) - 1, identifier);
    EXPECT_EQ("urn:uuid:seq", identifier);

    const std::string no_ack =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header/><s:Body/></s:Envelope>";
    kv::soap::ParseLastMessageResponse(no_ack.data(), no_ack.size(), identifier);
    EXPECT_EQ(1, log.Count("ERROR", "No existing SequenceId in XML response"));
    const std::string no_envelope = "<?xml version=\"1.0\"?>";
    kv::soap::ParseLastMessageResponse(no_envelope.data(), no_envelope.size(), identifier);
    EXPECT_EQ(1, log.Count("ERROR", "Failed getting envelope element of XML response"));
    EXPECT_EQ("urn:uuid:seq", identifier);
}

TEST(SoapOwnRequest, MessageIdIsFoundByNamespace) {
    LogCapture log;
    std::string message_id;
    kv::soap::ParseRequest("<e><h><wsa5:MessageID>urn:uuid:x</wsa5:MessageID></h></e>", message_id);
    EXPECT_EQ("", message_id) << "a root outside the SOAP 1.2 namespace is no envelope";
    EXPECT_EQ(1, log.Count("ERROR", "Failed getting envelope element of XML response"));

    kv::soap::ParseRequest("<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Header>"
                           "<MessageID>urn:uuid:x</MessageID></Header></Envelope>",
                           message_id);
    EXPECT_EQ(1, log.Count("ERROR", "No existing MessageId in XML response"))
        << "MessageID in the SOAP namespace is not the addressing one";
    kv::soap::ParseRequest("<Envelope><Header><MessageID>urn:uuid:x</MessageID></Header></Envelope>", message_id);
    EXPECT_EQ(2, log.Count("ERROR", "Failed getting envelope element of XML response"));
    kv::soap::ParseRequest("<!-- nothing -->", message_id);
    EXPECT_EQ(3, log.Count("ERROR", "Failed getting envelope element of XML response"));
    EXPECT_EQ("", message_id);

    kv::soap::ParseRequest("<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Header>"
                           "<w:MessageID xmlns:w=\"http://www.w3.org/2005/08/addressing\">urn:uuid:y</w:MessageID>"
                           "</e:Header></e:Envelope>",
                           message_id);
    EXPECT_EQ("urn:uuid:y", message_id);
}

TEST(SoapOwnRequest, OwnDocumentsAreRead) {
    LogCapture log;
    std::string document, message_id;
    kv::soap::detail::MessageCreateSequence("3f2504e0-4f89-41d3-9a0c-0305e82c3301", "http://127.0.0.1:9/x", document);
    kv::soap::ParseRequest(document, message_id);
    EXPECT_EQ("urn:uuid:3f2504e0-4f89-41d3-9a0c-0305e82c3301", message_id);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(SoapNtpInfo, StringMembersAreCopied) {
    kv::soap::NtpInfo info;
    kv::soap::detail::ParseNtpInfo(
        "{\"NTPServerIP\":\"127.0.0.2\",\"NTPServerPort\":\"123\",\"TimeZone\":\"W. Europe Standard Time\","
        "\"UpdateInterval\":\"3600\",\"Other\":1}",
        info);
    EXPECT_EQ("127.0.0.2", info.ntp_server_ip);
    EXPECT_EQ("123", info.ntp_server_port);
    EXPECT_EQ("W. Europe Standard Time", info.time_zone);
    EXPECT_EQ("3600", info.update_interval);
    EXPECT_EQ(0, info.error_code);
}

TEST(SoapNtpInfo, NonStringMembersAndNonObjectsLeaveFieldsAlone) {
    LogCapture log;
    kv::soap::NtpInfo info;
    kv::soap::detail::ParseNtpInfo("{\"NTPServerIP\":\"127.0.0.2\",\"NTPServerPort\":123,\"TimeZone\":null}", info);
    EXPECT_EQ("127.0.0.2", info.ntp_server_ip);
    EXPECT_EQ("", info.ntp_server_port);
    EXPECT_EQ("", info.time_zone);

    for (const char* text : {"", "[\"127.0.0.1\"]", "\"127.0.0.1\"", "{\"NTPServerIP\":", "not json"}) {
        kv::soap::NtpInfo untouched;
        untouched.time_zone = "kept";
        kv::soap::detail::ParseNtpInfo(text, untouched);
        EXPECT_EQ("kept", untouched.time_zone) << text;
        EXPECT_EQ("", untouched.ntp_server_ip) << text;
    }
    EXPECT_TRUE(log.Lines().empty());
}

// ---- Answer styles: the same three answers, written the ways conforming stacks write them.

#define SOAP_NS "http://www.w3.org/2003/05/soap-envelope"
#define WSA_NS "http://www.w3.org/2005/08/addressing"
#define RM_NS "http://schemas.xmlsoap.org/ws/2005/02/rm"
#define TEMPURI_NS "http://tempuri.org/"

struct AnswerStyle {
    const char* name;
    const char* create;  // CreateSequenceResponse: RelatesTo "rel", Identifier "seq"
    const char* send;    // SendAlarmResponse: RelatesTo "rel", result "done"
    const char* last;    // SequenceAcknowledgement of "seq"
};

const AnswerStyle kStyles[] = {
    {"gSOAP default: every prefix on the envelope",
     "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" SOAP_NS "\" xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
     "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:wsa5=\"" WSA_NS "\" xmlns:wsrm=\"" RM_NS "\" "
     "xmlns:ns=\"" TEMPURI_NS "\"><SOAP-ENV:Header><wsa5:MessageID>urn:uuid:m</wsa5:MessageID>"
     "<wsa5:RelatesTo>rel</wsa5:RelatesTo><wsa5:To SOAP-ENV:mustUnderstand=\"true\">" WSA_NS "/anonymous</wsa5:To>"
     "<wsa5:Action SOAP-ENV:mustUnderstand=\"true\">" RM_NS "/CreateSequenceResponse</wsa5:Action></SOAP-ENV:Header>"
     "<SOAP-ENV:Body><wsrm:CreateSequenceResponse><wsrm:Identifier>seq</wsrm:Identifier>"
     "<wsrm:Expires>PT30S</wsrm:Expires></wsrm:CreateSequenceResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>",
     "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" SOAP_NS "\" xmlns:wsa5=\"" WSA_NS "\" xmlns:wsrm=\"" RM_NS "\" "
     "xmlns:ns=\"" TEMPURI_NS "\">\n <SOAP-ENV:Header>\n  <wsrm:Sequence><wsrm:Identifier>urn:uuid:offer</wsrm:Identifier>"
     "<wsrm:MessageNumber>1</wsrm:MessageNumber></wsrm:Sequence>\n  <wsa5:RelatesTo>rel</wsa5:RelatesTo>\n"
     " </SOAP-ENV:Header>\n <SOAP-ENV:Body>\n  <ns:SendAlarmResponse>\n   <ns:SendAlarmResult>done</ns:SendAlarmResult>\n"
     "  </ns:SendAlarmResponse>\n </SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n",
     "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" SOAP_NS "\" xmlns:wsa5=\"" WSA_NS "\" xmlns:wsrm=\"" RM_NS "\">"
     "<SOAP-ENV:Header><wsrm:SequenceAcknowledgement><wsrm:Identifier>seq</wsrm:Identifier>"
     "<wsrm:AcknowledgementRange Lower=\"1\" Upper=\"2\"/></wsrm:SequenceAcknowledgement></SOAP-ENV:Header>"
     "<SOAP-ENV:Body/></SOAP-ENV:Envelope>"},
    {"default namespaces throughout",
     "<Envelope xmlns=\"" SOAP_NS "\"><Header><RelatesTo xmlns=\"" WSA_NS "\">rel</RelatesTo></Header><Body>"
     "<CreateSequenceResponse xmlns=\"" RM_NS "\"><Identifier>seq</Identifier></CreateSequenceResponse></Body></Envelope>",
     "<Envelope xmlns=\"" SOAP_NS "\"><Header><RelatesTo xmlns=\"" WSA_NS "\">rel</RelatesTo></Header><Body>"
     "<SendAlarmResponse xmlns=\"" TEMPURI_NS "\"><SendAlarmResult>done</SendAlarmResult></SendAlarmResponse></Body>"
     "</Envelope>",
     "<Envelope xmlns=\"" SOAP_NS "\"><Header><SequenceAcknowledgement xmlns=\"" RM_NS "\"><Identifier>seq</Identifier>"
     "</SequenceAcknowledgement></Header><Body/></Envelope>"},
    {"default namespaces with the prefixes still declared on the envelope",
     "<Envelope xmlns=\"" SOAP_NS "\" xmlns:SOAP-ENV=\"" SOAP_NS "\" xmlns:wsa5=\"" WSA_NS "\" xmlns:wsrm=\"" RM_NS "\">"
     "<Header><RelatesTo xmlns=\"" WSA_NS "\">rel</RelatesTo></Header><Body><CreateSequenceResponse xmlns=\"" RM_NS "\">"
     "<Identifier>seq</Identifier></CreateSequenceResponse></Body></Envelope>",
     "<Envelope xmlns=\"" SOAP_NS "\" xmlns:wsa5=\"" WSA_NS "\"><Header><RelatesTo xmlns=\"" WSA_NS "\">rel</RelatesTo>"
     "</Header><Body><SendAlarmResponse xmlns=\"" TEMPURI_NS "\"><SendAlarmResult>done</SendAlarmResult>"
     "</SendAlarmResponse></Body></Envelope>",
     "<Envelope xmlns=\"" SOAP_NS "\" xmlns:wsrm=\"" RM_NS "\"><Header><SequenceAcknowledgement xmlns=\"" RM_NS "\">"
     "<Identifier>seq</Identifier></SequenceAcknowledgement></Header><Body/></Envelope>"},
    {"declared on the element where first used",
     "<e:Envelope xmlns:e=\"" SOAP_NS "\"><e:Header><w:RelatesTo xmlns:w=\"" WSA_NS "\">rel</w:RelatesTo></e:Header>"
     "<e:Body><r:CreateSequenceResponse xmlns:r=\"" RM_NS "\"><r:Identifier>seq</r:Identifier>"
     "</r:CreateSequenceResponse></e:Body></e:Envelope>",
     "<e:Envelope xmlns:e=\"" SOAP_NS "\"><e:Header><w:RelatesTo xmlns:w=\"" WSA_NS "\">rel</w:RelatesTo></e:Header>"
     "<e:Body><t:SendAlarmResponse xmlns:t=\"" TEMPURI_NS "\"><t:SendAlarmResult>done</t:SendAlarmResult>"
     "</t:SendAlarmResponse></e:Body></e:Envelope>",
     "<e:Envelope xmlns:e=\"" SOAP_NS "\"><e:Header><r:SequenceAcknowledgement xmlns:r=\"" RM_NS "\">"
     "<r:Identifier>seq</r:Identifier></r:SequenceAcknowledgement></e:Header><e:Body/></e:Envelope>"},
    {"one prefix re-declared in every scope",
     "<p:Envelope xmlns:p=\"" SOAP_NS "\"><p:Header><p:RelatesTo xmlns:p=\"" WSA_NS "\">rel</p:RelatesTo></p:Header>"
     "<p:Body><p:CreateSequenceResponse xmlns:p=\"" RM_NS "\"><p:Identifier>seq</p:Identifier>"
     "</p:CreateSequenceResponse></p:Body></p:Envelope>",
     "<p:Envelope xmlns:p=\"" SOAP_NS "\"><p:Header><p:RelatesTo xmlns:p=\"" WSA_NS "\">rel</p:RelatesTo></p:Header>"
     "<p:Body><p:SendAlarmResponse xmlns:p=\"" TEMPURI_NS "\"><p:SendAlarmResult>done</p:SendAlarmResult>"
     "</p:SendAlarmResponse></p:Body></p:Envelope>",
     "<p:Envelope xmlns:p=\"" SOAP_NS "\"><p:Header xmlns:q=\"" WSA_NS "\"><p:SequenceAcknowledgement xmlns:p=\"" RM_NS
     "\"><p:Identifier>seq</p:Identifier></p:SequenceAcknowledgement></p:Header><p:Body/></p:Envelope>"},
    {"an unrelated prefix bound to the same URI",
     "<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"" WSA_NS "\" xmlns:zz=\"" WSA_NS "\" xmlns:r=\"" RM_NS "\" "
     "xmlns:other=\"" RM_NS "\"><s:Header><zz:RelatesTo>rel</zz:RelatesTo></s:Header><s:Body>"
     "<other:CreateSequenceResponse><r:Identifier>seq</r:Identifier></other:CreateSequenceResponse></s:Body>"
     "</s:Envelope>",
     "<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"" WSA_NS "\" xmlns:zz=\"" WSA_NS "\"><s:Header>"
     "<zz:RelatesTo>rel</zz:RelatesTo></s:Header><s:Body><x:SendAlarmResponse xmlns:x=\"" TEMPURI_NS "\" xmlns:y=\""
     TEMPURI_NS "\"><y:SendAlarmResult>done</y:SendAlarmResult></x:SendAlarmResponse></s:Body></s:Envelope>",
     "<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:r=\"" RM_NS "\" xmlns:rr=\"" RM_NS "\"><s:Header><rr:SequenceAcknowledgement>"
     "<r:Identifier>seq</r:Identifier></rr:SequenceAcknowledgement></s:Header><s:Body/></s:Envelope>"},
    {"an XML declaration, comments and a CDATA text",
     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- answer -->\n<s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Header>"
     "<!-- c --><a:RelatesTo xmlns:a=\"" WSA_NS "\"><![CDATA[rel]]></a:RelatesTo></s:Header><s:Body><!-- c -->"
     "<CreateSequenceResponse xmlns=\"" RM_NS "\"><Identifier>seq</Identifier></CreateSequenceResponse></s:Body>"
     "</s:Envelope>",
     "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Header><a:RelatesTo xmlns:a=\""
     WSA_NS "\">rel</a:RelatesTo></s:Header><s:Body><!-- c --><SendAlarmResponse xmlns=\"" TEMPURI_NS "\"><!-- c -->"
     "<SendAlarmResult>done</SendAlarmResult></SendAlarmResponse></s:Body></s:Envelope>",
     "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Header><r:SequenceAcknowledgement xmlns:r=\"" RM_NS
     "\"><r:Identifier>seq</r:Identifier></r:SequenceAcknowledgement></s:Header><s:Body/></s:Envelope>"},
};

TEST(SoapAnswerStyles, EveryConformingStyleYieldsTheSameTexts) {
    for (const AnswerStyle& style : kStyles) {
        SCOPED_TRACE(style.name);
        LogCapture log;
        std::string relates_to, identifier;
        ParseCreate(style.create, relates_to, identifier);
        EXPECT_EQ("rel", relates_to);
        EXPECT_EQ("seq", identifier);

        std::string send_relates_to, result;
        ParseSend(style.send, send_relates_to, result);
        EXPECT_EQ("rel", send_relates_to);
        EXPECT_EQ("done", result);

        std::string acknowledged;
        kv::soap::ParseLastMessageResponse(style.last, std::strlen(style.last), acknowledged);
        EXPECT_EQ("seq", acknowledged);
        EXPECT_TRUE(log.Lines().empty()) << log.Lines().front().message;

        for (const char* answer : {style.create, style.send, style.last}) {
            EXPECT_EQ(kv::soap::AnswerShape::kEnvelope, kv::soap::ClassifyEnvelope(answer, std::strlen(answer)));
            EXPECT_FALSE(kv::soap::IsSoapFault(answer, std::strlen(answer)));
        }
        EXPECT_TRUE(log.Lines().empty()) << "classifying logs nothing";
    }
}

TEST(SoapAnswerStyles, ExpectedNameUnderAnotherUriDoesNotMatch) {
    struct Case {
        const char* xml;
        const char* error;
    };
    const Case create_cases[] = {
        // SOAP 1.1 is another envelope namespace.
        {"<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header/><s:Body/></s:Envelope>",
         "Failed getting XML envelope element"},
        // Header and Body must be the SOAP ones, not look-alikes from another namespace.
        {"<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:x=\"http://example.invalid/soap-envelope\"><x:Header/><s:Body/>"
         "</s:Envelope>",
         "No existing header in XML response"},
        {"<s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Header/><Body/></s:Envelope>", "No existing body in XML response"},
        // The old addressing draft, and a prefix whose URI only resembles WS-Addressing.
        {"<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\"><s:Header>"
         "<a:RelatesTo>rel</a:RelatesTo></s:Header><s:Body/></s:Envelope>",
         "No existing RelatesTo in XML response"},
        {"<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"https://www.w3.org/2005/08/addressing\"><s:Header>"
         "<a:RelatesTo>rel</a:RelatesTo></s:Header><s:Body/></s:Envelope>",
         "No existing RelatesTo in XML response"},
        // A prefix re-declared to another URI on the element hides the envelope's binding.
        {"<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"" WSA_NS "\"><s:Header><a:RelatesTo xmlns:a=\"urn:other\">rel"
         "</a:RelatesTo></s:Header><s:Body/></s:Envelope>",
         "No existing RelatesTo in XML response"},
        // xmlns="" takes the default namespace away again.
        {"<Envelope xmlns=\"" SOAP_NS "\"><Header xmlns=\"\"/><Body/></Envelope>", "No existing header in XML response"},
    };
    for (const Case& c : create_cases) {
        LogCapture log;
        std::string relates_to, identifier;
        ParseCreate(c.xml, relates_to, identifier);
        EXPECT_EQ("", relates_to) << c.xml;
        EXPECT_EQ(1, log.Count("ERROR", c.error)) << c.xml;
        EXPECT_EQ(1u, log.Lines().size()) << c.xml;
    }

    // WS-RM 1.1 (2007) and an undeclared default are not the 2005/02 CreateSequenceResponse.
    for (const char* body : {"<r:CreateSequenceResponse xmlns:r=\"http://docs.oasis-open.org/ws-rx/wsrm/200702\">"
                             "<r:Identifier>seq</r:Identifier></r:CreateSequenceResponse>",
                             "<CreateSequenceResponse><Identifier>seq</Identifier></CreateSequenceResponse>",
                             "<r:CreateSequenceResponse xmlns:r=\"" RM_NS "\"><Identifier>seq</Identifier>"
                             "</r:CreateSequenceResponse>"}) {
        LogCapture log;
        std::string relates_to, identifier;
        ParseCreate(std::string("<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"" WSA_NS "\"><s:Header><a:RelatesTo>rel"
                                "</a:RelatesTo></s:Header><s:Body>") +
                        body + "</s:Body></s:Envelope>",
                    relates_to, identifier);
        EXPECT_EQ("rel", relates_to) << body;
        EXPECT_EQ("", identifier) << body;
        EXPECT_EQ(1, log.Count("ERROR", "No existing SequenceId in XML response")) << body;
    }

    // A result outside the contract's namespace is no result.
    for (const char* body : {"<SendAlarmResponse xmlns=\"http://tempuri.org\"><SendAlarmResult>done</SendAlarmResult>"
                             "</SendAlarmResponse>",
                             "<t:SendAlarmResponse xmlns:t=\"" TEMPURI_NS "\"><SendAlarmResult>done</SendAlarmResult>"
                             "</t:SendAlarmResponse>",
                             "<t:SendAlarmResponse xmlns:t=\"" TEMPURI_NS "\"><t:Other>done</t:Other>"
                             "</t:SendAlarmResponse>"}) {
        LogCapture log;
        std::string relates_to, result;
        ParseSend(std::string("<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"" WSA_NS "\"><s:Header><a:RelatesTo>rel"
                              "</a:RelatesTo></s:Header><s:Body>") +
                      body + "</s:Body></s:Envelope>",
                  relates_to, result);
        EXPECT_EQ("", result) << body;
        EXPECT_EQ(1, log.Count("ERROR", "No existing Method Result in XML response")) << body;
    }

    // An acknowledgement under the 2007 namespace is not ours.
    LogCapture log;
    const std::string wsrx = "<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:r=\"http://docs.oasis-open.org/ws-rx/wsrm/200702\">"
                             "<s:Header><r:SequenceAcknowledgement><r:Identifier>seq</r:Identifier>"
                             "</r:SequenceAcknowledgement></s:Header><s:Body/></s:Envelope>";
    std::string acknowledged;
    kv::soap::ParseLastMessageResponse(wsrx.data(), wsrx.size(), acknowledged);
    EXPECT_EQ("", acknowledged);
    EXPECT_EQ(1, log.Count("ERROR", "No existing SequenceId in XML response"));
}

TEST(SoapAnswerStyles, FaultsAreRecognisedInEveryStyle) {
    const char* const faults[] = {
        // The production receiver's fault.
        "<s:Envelope xmlns:s=\"" SOAP_NS "\" xmlns:a=\"" WSA_NS "\"><s:Header><a:RelatesTo>rel</a:RelatesTo></s:Header>"
        "<s:Body><s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code><s:Reason><s:Text xml:lang=\"en-US\">boom"
        "</s:Text></s:Reason></s:Fault></s:Body></s:Envelope>",
        // gSOAP's.
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" SOAP_NS "\" xmlns:wsa5=\"" WSA_NS
        "\"><SOAP-ENV:Header><wsa5:RelatesTo>rel</wsa5:RelatesTo></SOAP-ENV:Header><SOAP-ENV:Body><SOAP-ENV:Fault>"
        "<SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value></SOAP-ENV:Code><SOAP-ENV:Reason>"
        "<SOAP-ENV:Text xml:lang=\"en\">no</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault></SOAP-ENV:Body>"
        "</SOAP-ENV:Envelope>",
        // Default namespaces.
        "<Envelope xmlns=\"" SOAP_NS "\"><Header><RelatesTo xmlns=\"" WSA_NS "\">rel</RelatesTo></Header><Body><Fault>"
        "<Code><Value>Receiver</Value></Code><Reason><Text xml:lang=\"en\">no</Text></Reason></Fault></Body></Envelope>",
        // Declared on the fault itself.
        "<e:Envelope xmlns:e=\"" SOAP_NS "\"><e:Header><w:RelatesTo xmlns:w=\"" WSA_NS "\">rel</w:RelatesTo></e:Header>"
        "<e:Body><f:Fault xmlns:f=\"" SOAP_NS "\"><f:Code><f:Value>f:Receiver</f:Value></f:Code></f:Fault></e:Body>"
        "</e:Envelope>",
    };
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        LogCapture log;
        EXPECT_TRUE(kv::soap::IsSoapFault(fault, std::strlen(fault)));
        EXPECT_EQ(kv::soap::AnswerShape::kFault, kv::soap::ClassifyEnvelope(fault, std::strlen(fault)));
        std::string relates_to, result;
        ParseSend(fault, relates_to, result);
        EXPECT_EQ("rel", relates_to);
        EXPECT_EQ("", result);
        EXPECT_TRUE(log.Lines().empty()) << "a fault is a refusal, reported by the classifier";
    }
}

TEST(SoapAnswerStyles, ClassifierTellsNotSoapFromLookAlikes) {
    const char* const not_soap[] = {
        "",
        "HTTP/1.1 502 Bad Gateway",
        "<a><b></a>",
        "<?xml version=\"1.0\"?><!-- nothing -->",
        "<html><body>Service Unavailable</body></html>",
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault/></s:Body></s:Envelope>",
        "<Envelope><Body><Fault/></Body></Envelope>",
    };
    for (const char* text : not_soap) {
        EXPECT_EQ(kv::soap::AnswerShape::kNotSoap, kv::soap::ClassifyEnvelope(text, std::strlen(text))) << text;
        EXPECT_FALSE(kv::soap::IsSoapFault(text, std::strlen(text))) << text;
    }
    EXPECT_EQ(kv::soap::AnswerShape::kNotSoap, kv::soap::ClassifyEnvelope(nullptr, 0));

    const char* const envelopes[] = {
        "<s:Envelope xmlns:s=\"" SOAP_NS "\"/>",
        "<s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Header/></s:Envelope>",
        // A fault element from another namespace, or not first in the body, is no SOAP fault.
        "<s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Body><Fault xmlns=\"http://tempuri.org/\"/></s:Body></s:Envelope>",
        "<s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Body><Fault/></s:Body></s:Envelope>",
        kCreateSequenceAnswer,
        kSendAlarmAnswer,
        kSequenceAcknowledgement,
    };
    for (const char* text : envelopes) {
        EXPECT_EQ(kv::soap::AnswerShape::kEnvelope, kv::soap::ClassifyEnvelope(text, std::strlen(text))) << text;
    }
    // Only the bytes given count: a fault after the size is not read.
    const std::string fault = "<s:Envelope xmlns:s=\"" SOAP_NS "\"><s:Body><s:Fault/></s:Body></s:Envelope>";
    EXPECT_EQ(kv::soap::AnswerShape::kFault, kv::soap::ClassifyEnvelope(fault.data(), fault.size()));
    EXPECT_EQ(kv::soap::AnswerShape::kNotSoap, kv::soap::ClassifyEnvelope(fault.data(), fault.size() - 1));
}

// --- What a hostile or broken receiver may send ------------------------------------------

std::string Answer(const std::string& relates_to, const std::string& body) {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://www.w3.org/2005/08/addressing\"><s:Header><a:RelatesTo>" +
           relates_to + "</a:RelatesTo></s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string CreateAnswer(const std::string& relates_to, const std::string& identifier) {
    return Answer(relates_to, "<CreateSequenceResponse xmlns=\"http://schemas.xmlsoap.org/ws/2005/02/rm\"><Identifier>" +
                                  identifier + "</Identifier></CreateSequenceResponse>");
}

std::string SendAnswer(const std::string& relates_to, const std::string& result) {
    return Answer(relates_to, "<SendAlarmResponse xmlns=\"http://tempuri.org/\"><SendAlarmResult>" + result +
                                  "</SendAlarmResult></SendAlarmResponse>");
}

// Each text is read up to its bound; one byte more and the answer reads as one without it.
TEST(SoapAnswerBounds, TextsAreReadUpToTheirBoundOnly) {
    enum Text { kCreateRelatesTo, kIdentifier, kSendRelatesTo, kResult };
    const struct {
        Text text;
        size_t bound;
    } rows[] = {{kCreateRelatesTo, kv::soap::kMaxRelatesToBytes},
                {kIdentifier, kv::soap::kMaxSequenceIdBytes},
                {kSendRelatesTo, kv::soap::kMaxRelatesToBytes},
                {kResult, kv::soap::kMaxResultBytes}};
    for (const auto& row : rows) {
        for (size_t extra : {0, 1}) {
            LogCapture log;
            const std::string text(row.bound + extra, 'x');
            std::string relates_to, second;
            if (row.text == kCreateRelatesTo || row.text == kIdentifier) {
                ParseCreate(CreateAnswer(row.text == kCreateRelatesTo ? text : "r", row.text == kIdentifier ? text : "i"),
                            relates_to, second);
            } else {
                ParseSend(SendAnswer(row.text == kSendRelatesTo ? text : "r", row.text == kResult ? text : "ok"),
                          relates_to, second);
            }
            const std::string& read = row.text == kCreateRelatesTo || row.text == kSendRelatesTo ? relates_to : second;
            EXPECT_EQ(extra == 0 ? text : std::string(), read) << row.text << " +" << extra;
            EXPECT_EQ(extra == 0 ? 0 : 1, log.CountContaining("ERROR", "too long")) << row.text << " +" << extra;
            // A RelatesTo past its bound stops the reading, as a missing one does.
            if (extra == 1 && (row.text == kCreateRelatesTo || row.text == kSendRelatesTo)) {
                EXPECT_EQ("", second);
            }
        }
    }
}

// The shapes that cost quadratic time: many attributes on one element (tinyxml2 compares
// each with those before it) and decoy siblings with the wanted local names under
// undeclared prefixes (names were resolved by rescanning the ancestors for each). Up to
// the attribute bound the answer yields exactly its real texts; past it, it is no answer.
TEST(SoapAnswerBounds, DeclarationsAndDecoySiblingsDoNotHideTheTexts) {
    for (size_t extra : {0, 1}) {
        std::string declarations, decoy_headers, decoy_responses;
        // The envelope's own s declaration is one of its attributes.
        for (size_t i = 1; i < kv::soap::kMaxAttributesPerElement + extra; ++i) {
            declarations += " xmlns:p" + std::to_string(i) + "='urn:p" + std::to_string(i) + "'";
        }
        for (int i = 0; i < 20000; ++i) {
            decoy_headers += "<x:Header/>";
            decoy_responses += "<p7:CreateSequenceResponse/>";
        }
        const std::string answer =
            "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"" + declarations + ">" + decoy_headers +
            "<s:Header><RelatesTo xmlns=\"http://www.w3.org/2005/08/addressing\">rel</RelatesTo></s:Header><s:Body>" +
            decoy_responses +
            "<CreateSequenceResponse xmlns=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">"
            "<Identifier>seq</Identifier></CreateSequenceResponse></s:Body></s:Envelope>";
        EXPECT_EQ(extra == 0 ? kv::soap::AnswerShape::kEnvelope : kv::soap::AnswerShape::kNotSoap,
                  kv::soap::ClassifyEnvelope(answer.data(), answer.size()));
        std::string relates_to, identifier;
        ParseCreate(answer, relates_to, identifier);
        EXPECT_EQ(extra == 0 ? "rel" : "", relates_to);
        EXPECT_EQ(extra == 0 ? "seq" : "", identifier);
    }
}

// The attribute count is taken as tinyxml2 reads the bytes: quotes in text, comments,
// CDATA and declarations count for nothing; a quoted '>' does not end a tag.
TEST(SoapAnswerBounds, AttributeGuardCountsOnlyAttributes) {
    const std::string many_quotes(200, '"');
    const struct {
        std::string xml;
        bool within;
    } rows[] = {
        {"<a x='1' y=\"2\"/>", true},
        {"<a x='1' y=\"2\" z='3'/>", false},
        {"<a x='>\"\"\"'>" + many_quotes + "</a>", true},
        {"<a><!--" + many_quotes + "--><![CDATA[<b " + many_quotes + ">]]><?pi " + many_quotes + "?></a>", true},
        {"<!DOCTYPE a " + many_quotes + "><a></a>", true},
        // tinyxml2 reads (and checks for duplicates) the attributes of an end tag too.
        {"<a></a x='1' y='2' z='3'>", false},
        {"<a x='1'/><b x='1' y='2'/><c x='1' y='2' z='3'/>", false},
        {"<a x='unterminated", true},
    };
    for (const auto& row : rows) EXPECT_EQ(row.within, kv::xml::AttributesWithin(row.xml.data(), row.xml.size(), 2)) << row.xml;
}

// A fault answered with 200 is a refusal that still names the message it refuses.
TEST(SoapAnswerBounds, AFaultWith200CarriesItsRelatesTo) {
    const std::string fault = Answer("urn:uuid:refused", "<s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code></s:Fault>");
    const kv::soap::Answer refused = kv::soap::ClassifyAnswer(kv::soap::Step::kApplicationMessage, kv::http::ErrorCode::Ok,
                                                              200, std::vector<char>(fault.begin(), fault.end()));
    EXPECT_EQ(kv::soap::Outcome::kRefused, refused.outcome);
    EXPECT_EQ("urn:uuid:refused", refused.relates_to);
}

TEST(SoapNtpInfo, DepthSizeAndRepeatedMembers) {
    const std::string deep = "{\"NTPServerIP\":\"127.0.0.1\",\"X\":" + std::string(200000, '[');
    const std::string nested_in_bound =
        "{\"X\":" + std::string(kv::soap::kMaxNtpInfoDepth - 1, '[') + std::string(kv::soap::kMaxNtpInfoDepth - 1, ']') +
        ",\"NTPServerIP\":\"127.0.0.1\"}";
    const std::string nested_past_bound =
        "{\"X\":" + std::string(kv::soap::kMaxNtpInfoDepth, '[') + std::string(kv::soap::kMaxNtpInfoDepth, ']') +
        ",\"NTPServerIP\":\"127.0.0.1\"}";
    const std::string padded = "{\"NTPServerIP\":\"127.0.0.1\",\"X\":\"" + std::string(kv::soap::kMaxResultBytes, ' ') + "\"}";
    const struct {
        std::string text;
        std::string ip;
    } rows[] = {
        {deep, ""},
        {nested_in_bound, "127.0.0.1"},
        {nested_past_bound, ""},
        {padded, ""},
        {"{\"NTPServerIP\":\"127.0.0.1\",\"NTPServerIP\":\"127.0.0.2\"}", "127.0.0.2"},
        {"{\"NTPServerIP\":\"127.0.0.1\",\"NTPServerIP\":{\"a\":\"127.0.0.3\"}}", ""},
        {"{\"NTPServerIP\":\"127.0.0.1\"} trailing", ""},
    };
    for (const auto& row : rows) {
        kv::soap::NtpInfo info;
        kv::soap::detail::ParseNtpInfo(row.text, info);
        EXPECT_EQ(row.ip, info.ntp_server_ip) << row.text.substr(0, 80);
    }
}

TEST(XmlNames, ScopeRules) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS,
              doc.Parse("<a:root xmlns:a=\"urn:a\" xmlns=\"urn:d\"><child><a:x xmlns:a=\"urn:b\"><a:y/></a:x>"
                        "<z:q/><p xmlns=\"\"/><xml:lang/></child></a:root>"));
    const kv::xml::Scope root(*doc.RootElement(), nullptr);
    EXPECT_STREQ("urn:a", root.Namespace());
    EXPECT_STREQ("root", kv::xml::LocalName(root.element()));
    const kv::xml::Scope child(*root.element().FirstChildElement(), &root);
    EXPECT_STREQ("urn:d", child.Namespace()) << "the default namespace is inherited";
    const tinyxml2::XMLElement* x = child.element().FirstChildElement("a:x");
    EXPECT_STREQ("urn:b", child.NamespaceOfChild(*x)) << "the nearest declaration wins";
    const kv::xml::Scope x_scope(*x, &child);
    EXPECT_STREQ("urn:b", x_scope.NamespaceOfChild(*x->FirstChildElement()));
    EXPECT_STREQ("", child.NamespaceOfChild(*child.element().FirstChildElement("z:q")))
        << "an undeclared prefix has no namespace";
    EXPECT_STREQ("", child.NamespaceOfChild(*child.element().FirstChildElement("p"))) << "xmlns=\"\" undeclares";
    EXPECT_STREQ("http://www.w3.org/XML/1998/namespace",
                 child.NamespaceOfChild(*child.element().FirstChildElement("xml:lang")));
    EXPECT_TRUE(x_scope.Is("urn:b", "x"));
    EXPECT_FALSE(x_scope.Is("urn:a", "x"));
    EXPECT_EQ(x, child.FirstChildNamed("urn:b", "x"));
    EXPECT_EQ(nullptr, child.FirstChildNamed("urn:a", "x"));
}

}  // namespace
