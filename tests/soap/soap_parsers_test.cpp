// Reading the receiver's answers: prefix discovery on the envelope only, the texts the
// sequencer needs, and one exact ERROR line for every way an answer can fall short.
#include <string>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "src/soap_helper.h"
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

TEST(SoapCreateSequenceAnswer, PrefixedCreateSequenceResponseIsNotFound) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
                "xmlns:a=\"http://www.w3.org/2005/08/addressing\" xmlns:r=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">"
                "<s:Header><a:RelatesTo>rel</a:RelatesTo></s:Header><s:Body><r:CreateSequenceResponse>"
                "<r:Identifier>seq</r:Identifier></r:CreateSequenceResponse></s:Body></s:Envelope>",
                relates_to, identifier);
    EXPECT_EQ("rel", relates_to);
    EXPECT_EQ("", identifier);
    EXPECT_EQ(1, log.Count("ERROR", "No existing SequenceId in XML response"));
}

TEST(SoapCreateSequenceAnswer, AddressingDeclaredOnTheHeaderIsNotSeen) {
    LogCapture log;
    std::string relates_to, identifier;
    ParseCreate("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                "<s:Header xmlns:a=\"http://www.w3.org/2005/08/addressing\"><a:RelatesTo>rel</a:RelatesTo></s:Header>"
                "<s:Body/></s:Envelope>",
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

TEST(SoapOwnRequest, MessageIdUsesTheFixedPrefix) {
    LogCapture log;
    std::string message_id;
    kv::soap::ParseRequest("<e><h><wsa5:MessageID>urn:uuid:x</wsa5:MessageID></h></e>", message_id);
    EXPECT_EQ("", message_id) << "the header is looked up by the discovered (empty) envelope prefix";
    EXPECT_EQ(1, log.Count("ERROR", "No existing header in XML response"));

    kv::soap::ParseRequest("<Envelope><Header><MessageID>urn:uuid:x</MessageID></Header></Envelope>", message_id);
    EXPECT_EQ(1, log.Count("ERROR", "No existing MessageId in XML response"));
    kv::soap::ParseRequest("<!-- nothing -->", message_id);
    EXPECT_EQ(1, log.Count("ERROR", "Failed getting envelope element of XML response"));
    EXPECT_EQ("", message_id);
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

}  // namespace
