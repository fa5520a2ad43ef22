// The request documents as they go on the wire, and the HTTP request around them.
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/soap_helper.h"
#include "src/soap/soap_messages.h"

namespace {

const std::string kGuid = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
const std::string kEndpoint = "http://127.0.0.1:8080/WXAlarmReceiver/Receiver.svc";
const std::string kSequence = "urn:uuid:8c7b1f2e-5d4a-4b3c-9e8f-7a6b5c4d3e2f";

TEST(SoapDocuments, CreateSequenceIsByteExact) {
    std::string out = "previous content is replaced";
    kv::soap::detail::MessageCreateSequence(kGuid, kEndpoint, out);
    const std::string expected =
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
        "xmlns:wsa5=\"http://www.w3.org/2005/08/addressing\" "
        "xmlns:wsrm=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">\n"
        "    <SOAP-ENV:Header>\n"
        "        <wsa5:MessageID>urn:uuid:3f2504e0-4f89-41d3-9a0c-0305e82c3301</wsa5:MessageID>\n"
        "        <wsa5:ReplyTo SOAP-ENV:mustUnderstand=\"true\">\n"
        "            <wsa5:Address>http://www.w3.org/2005/08/addressing/anonymous</wsa5:Address>\n"
        "        </wsa5:ReplyTo>\n"
        "        <wsa5:To SOAP-ENV:mustUnderstand=\"true\">http://127.0.0.1:8080/WXAlarmReceiver/Receiver.svc</wsa5:To>\n"
        "        <wsa5:Action SOAP-ENV:mustUnderstand=\"true\">http://schemas.xmlsoap.org/ws/2005/02/rm/CreateSequence</wsa5:Action>\n"
        "    </SOAP-ENV:Header>\n"
        "    <SOAP-ENV:Body>\n"
        "        <wsrm:CreateSequence>\n"
        "            <wsrm:AcksTo>\n"
        "                <wsa5:Address>http://www.w3.org/2005/08/addressing/anonymous</wsa5:Address>\n"
        "            </wsrm:AcksTo>\n"
        "            <wsrm:Expires>PT00H00M30S</wsrm:Expires>\n"
        "            <wsrm:Offer>\n"
        "                <wsrm:Identifier>urn:uuid:3f2504e0-4f89-41d3-9a0c-0305e82c3301</wsrm:Identifier>\n"
        "                <wsrm:Endpoint>\n"
        "                    <wsa5:Address>http://www.w3.org/2005/08/addressing/anonymous</wsa5:Address>\n"
        "                </wsrm:Endpoint>\n"
        "            </wsrm:Offer>\n"
        "        </wsrm:CreateSequence>\n"
        "    </SOAP-ENV:Body>\n"
        "</SOAP-ENV:Envelope>\n";
    EXPECT_EQ(expected, out);
}

TEST(SoapDocuments, ApplicationMessageIsByteExactWithEscapedPayload) {
    std::string out;
    kv::soap::detail::MessageSendAlarm("SendAlarm", "{\"Name\":\"A&B <cam> 'x' \xC3\xA9\"}", kEndpoint, kGuid,
                                       kSequence, out);
    const std::string expected =
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
        "xmlns:tempuri=\"http://tempuri.org/\" "
        "xmlns:wsa5=\"http://www.w3.org/2005/08/addressing\" "
        "xmlns:wsrm=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">\n"
        "    <SOAP-ENV:Header>\n"
        "        <wsa5:Action SOAP-ENV:mustUnderstand=\"true\">http://tempuri.org/IReceiverServiceResponse/SendAlarm</wsa5:Action>\n"
        "        <wsa5:MessageID>urn:uuid:3f2504e0-4f89-41d3-9a0c-0305e82c3301</wsa5:MessageID>\n"
        "        <wsa5:To SOAP-ENV:mustUnderstand=\"true\">http://127.0.0.1:8080/WXAlarmReceiver/Receiver.svc</wsa5:To>\n"
        "        <wsrm:Sequence>\n"
        "            <wsrm:Identifier>urn:uuid:8c7b1f2e-5d4a-4b3c-9e8f-7a6b5c4d3e2f</wsrm:Identifier>\n"
        "            <wsrm:MessageNumber>1</wsrm:MessageNumber>\n"
        "        </wsrm:Sequence>\n"
        "    </SOAP-ENV:Header>\n"
        "    <SOAP-ENV:Body>\n"
        "        <tempuri:SendAlarm>\n"
        "            <tempuri:requestData>[{\"Name\":\"A&amp;B &lt;cam&gt; 'x' \xC3\xA9\"}]</tempuri:requestData>\n"
        "        </tempuri:SendAlarm>\n"
        "    </SOAP-ENV:Body>\n"
        "</SOAP-ENV:Envelope>\n";
    EXPECT_EQ(expected, out);
}

TEST(SoapDocuments, LastMessageIsByteExact) {
    std::string out;
    kv::soap::detail::LastMessage(kEndpoint, kGuid, kSequence, out);
    const std::string expected =
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
        "xmlns:wsa5=\"http://www.w3.org/2005/08/addressing\" "
        "xmlns:wsrm=\"http://schemas.xmlsoap.org/ws/2005/02/rm\">\n"
        "    <SOAP-ENV:Header>\n"
        "        <wsa5:MessageID>urn:uuid:3f2504e0-4f89-41d3-9a0c-0305e82c3301</wsa5:MessageID>\n"
        "        <wsa5:To SOAP-ENV:mustUnderstand=\"true\">http://127.0.0.1:8080/WXAlarmReceiver/Receiver.svc</wsa5:To>\n"
        "        <wsa5:Action SOAP-ENV:mustUnderstand=\"true\">http://schemas.xmlsoap.org/ws/2005/02/rm/LastMessage</wsa5:Action>\n"
        "        <wsrm:Sequence>\n"
        "            <wsrm:Identifier>urn:uuid:8c7b1f2e-5d4a-4b3c-9e8f-7a6b5c4d3e2f</wsrm:Identifier>\n"
        "            <wsrm:MessageNumber>2</wsrm:MessageNumber>\n"
        "            <wsrm:LastMessage/>\n"
        "        </wsrm:Sequence>\n"
        "        <wsrm:AckRequested>\n"
        "            <wsrm:Identifier>urn:uuid:8c7b1f2e-5d4a-4b3c-9e8f-7a6b5c4d3e2f</wsrm:Identifier>\n"
        "        </wsrm:AckRequested>\n"
        "    </SOAP-ENV:Header>\n"
        "    <SOAP-ENV:Body/>\n"
        "</SOAP-ENV:Envelope>\n";
    EXPECT_EQ(expected, out);
}

TEST(SoapDocuments, EmptyPayloadBecomesEmptyArrayAndMethodNamesTheElements) {
    std::string out;
    kv::soap::detail::MessageSendAlarm("GetNTPServerInfo", "", kEndpoint, kGuid, kSequence, out);
    EXPECT_NE(std::string::npos,
              out.find("IReceiverServiceResponse/GetNTPServerInfo</wsa5:Action>\n"));
    EXPECT_NE(std::string::npos, out.find("        <tempuri:GetNTPServerInfo>\n"
                                          "            <tempuri:requestData>[]</tempuri:requestData>\n"
                                          "        </tempuri:GetNTPServerInfo>\n"));
    EXPECT_NE(std::string::npos, out.find("<wsrm:MessageNumber>1</wsrm:MessageNumber>"));
}

TEST(SoapDocuments, EmptyTextIsWrittenAsStartAndEndTag) {
    std::string out;
    kv::soap::detail::MessageCreateSequence(kGuid, "", out);
    EXPECT_NE(std::string::npos, out.find("        <wsa5:To SOAP-ENV:mustUnderstand=\"true\"></wsa5:To>\n"));
    kv::soap::detail::LastMessage(kEndpoint, kGuid, "", out);
    EXPECT_NE(std::string::npos, out.find("            <wsrm:Identifier></wsrm:Identifier>\n"
                                          "            <wsrm:MessageNumber>2</wsrm:MessageNumber>\n"));
}

TEST(SoapDocuments, OnePayloadSharesOneMessageIdAcrossItsThreeMessages) {
    std::string create, application, last;
    kv::soap::detail::MessageCreateSequence(kGuid, kEndpoint, create);
    kv::soap::detail::MessageSendAlarm("SendHeartBeat", "{}", kEndpoint, kGuid, kSequence, application);
    kv::soap::detail::LastMessage(kEndpoint, kGuid, kSequence, last);
    for (const std::string* document : {&create, &application, &last}) {
        std::string message_id;
        kv::soap::ParseRequest(*document, message_id);
        EXPECT_EQ("urn:uuid:" + kGuid, message_id);
    }
    EXPECT_NE(std::string::npos, create.find("<wsrm:Identifier>urn:uuid:" + kGuid + "</wsrm:Identifier>"));
}

// The builders splice values into documents printed once; the DOM prints each document
// afresh. Both must give the same bytes for any value: every byte 1..255 (the printer's
// entities, quotes, control characters, bytes that are not UTF-8), a NUL, marker-like
// text, and the empty string.
std::vector<std::string> AwkwardValues() {
    std::vector<std::string> values = {"", "&", "<", ">", "&amp;", "\"'", "]]>", "a\nb\r\tc", "@@", "@@wardex-guid@@",
                                       "@@wardex-payload@@", "x@@wardex-endpoint@@y", std::string("a\0b", 3),
                                       std::string("\0", 1), "\xC3\xA9\xFF\xFE", "[{\"k\":\"<v>\"}]"};
    std::string every_byte;
    for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
    values.push_back(every_byte);
    std::mt19937 random(20261210);
    for (int i = 0; i < 200; ++i) {
        std::string value;
        const size_t length = random() % 40;
        for (size_t j = 0; j < length; ++j) value += static_cast<char>(random() % 256);
        values.push_back(value);
    }
    return values;
}

TEST(SoapDocuments, SplicedDocumentsEqualTheDomsPrintingForAnyValue) {
    namespace detail = kv::soap::detail;
    const std::vector<std::string> values = AwkwardValues();
    size_t checked = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string& a = values[i];
        const std::string& b = values[(i * 7 + 3) % values.size()];
        const std::string& c = values[(i * 13 + 5) % values.size()];
        std::string spliced, printed;
        detail::MessageCreateSequence(a, b, spliced);
        detail::dom::MessageCreateSequence(a, b, printed);
        EXPECT_EQ(printed, spliced) << "CreateSequence, value " << i;
        detail::MessageSendAlarm("SendAlarm", a, b, c, a, spliced);
        detail::dom::MessageSendAlarm("SendAlarm", a, b, c, a, printed);
        EXPECT_EQ(printed, spliced) << "application message, value " << i;
        detail::LastMessage(c, a, b, spliced);
        detail::dom::LastMessage(c, a, b, printed);
        EXPECT_EQ(printed, spliced) << "LastMessage, value " << i;
        ++checked;
    }
    EXPECT_EQ(values.size(), checked);
}

TEST(SoapDocuments, EveryMethodGetsItsOwnDocumentAlsoBeyondTheCachedOnes) {
    namespace detail = kv::soap::detail;
    for (int i = 0; i < 50; ++i) {
        const std::string method = "Method" + std::to_string(i);
        std::string spliced, printed;
        detail::MessageSendAlarm(method, "{\"n\":" + std::to_string(i) + "}", kEndpoint, kGuid, kSequence, spliced);
        detail::dom::MessageSendAlarm(method, "{\"n\":" + std::to_string(i) + "}", kEndpoint, kGuid, kSequence,
                                      printed);
        EXPECT_EQ(printed, spliced) << method;
    }
    for (const std::string method : {"Send@@Alarm", "@@wardex-payload@@", "A&B", ""}) {
        std::string spliced, printed;
        detail::MessageSendAlarm(method, "{}", kEndpoint, kGuid, kSequence, spliced);
        detail::dom::MessageSendAlarm(method, "{}", kEndpoint, kGuid, kSequence, printed);
        EXPECT_EQ(printed, spliced) << method;
    }
}

TEST(SoapDocuments, ABuilderMayWriteOverOneOfItsOwnValues) {
    std::string value = kEndpoint;
    kv::soap::detail::MessageCreateSequence(kGuid, value, value);
    std::string expected;
    kv::soap::detail::dom::MessageCreateSequence(kGuid, kEndpoint, expected);
    EXPECT_EQ(expected, value);
}

// Threads of their own build documents at once, first use of each method included.
TEST(SoapDocuments, BuildersMayRunOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 200; ++i) {
                const std::string method = "Parallel" + std::to_string(i % 10);
                std::string spliced, printed;
                kv::soap::detail::MessageSendAlarm(method, "{}", kEndpoint, kGuid, kSequence, spliced);
                kv::soap::detail::dom::MessageSendAlarm(method, "{}", kEndpoint, kGuid, kSequence, printed);
                if (spliced != printed) ++mismatches[static_cast<size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::vector<int>(4, 0), mismatches);
}

TEST(SoapRequest, PostsTheBodyWithOneContentType) {
    auto body = std::make_shared<std::string>("<x/>");
    const kv::http::Request request = kv::soap::MakeSoapRequest(kGuid, kEndpoint, body);
    EXPECT_EQ(kGuid, request.id);
    EXPECT_EQ(kv::http::Method::POST, request.method);
    EXPECT_EQ(kEndpoint, request.url);
    EXPECT_EQ(body, request.body);
    ASSERT_EQ(1u, request.headers.size());
    const auto content_type = request.headers.find("Content-Type");
    ASSERT_NE(request.headers.end(), content_type);
    EXPECT_EQ(std::vector<std::string>{"application/soap+xml; charset=utf-8"}, content_type->second);
    EXPECT_TRUE(request.options.verifyPeer);
    EXPECT_FALSE(request.options.followRedirects);
    EXPECT_EQ(5000, request.options.connectTimeout.count());
}

}  // namespace
