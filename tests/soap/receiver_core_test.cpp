// The simulator's receiving side: it must catch a sender's protocol faults, or the
// sequencer tests prove nothing. Requests are built with the service's own builders.
#include <algorithm>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/receiver/receiver_core.h"
#include "src/soap_helper.h"
#include "tests/soap/log_capture.h"

namespace {

const std::string kHost = "127.0.0.1:9";
const std::string kUrl = "http://127.0.0.1:9/WXAlarmReceiver/Receiver.svc";
const std::string kType = "application/soap+xml; charset=utf-8";
const std::string kGuid = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";

class ReceiverCoreTest : public ::testing::Test {
protected:
    wxsim::Reply Send(const std::string& body, const std::string& type = kType) {
        return core_.Handle("POST", wxsim::kServicePath, kHost, type, body);
    }

    // Opens a sequence and returns its identifier.
    std::string Open(const std::string& guid = kGuid) {
        std::string document;
        kv::soap::detail::MessageCreateSequence(guid, kUrl, document);
        const wxsim::Reply reply = Send(document);
        std::string relates_to, identifier;
        kv::soap::ParseCreateSequenceResponse(reply.body.data(), reply.body.size(), relates_to, identifier);
        EXPECT_EQ("urn:uuid:" + guid, relates_to);
        return identifier;
    }

    nlohmann::json Stats() { return nlohmann::json::parse(core_.Stats()); }

    std::ostringstream records_;
    wxsim::ReceiverCore core_{&records_};
};

TEST_F(ReceiverCoreTest, WellFormedExchangeIsRecordedWithoutViolations) {
    const std::string sequence = Open();
    ASSERT_FALSE(sequence.empty());
    std::string document;
    kv::soap::detail::MessageSendAlarm("SendAlarm", "{\"a\":\"x&y\"}", kUrl, kGuid, sequence, document);
    wxsim::Reply reply = Send(document);
    EXPECT_EQ(200, reply.status);
    std::string relates_to, result;
    kv::soap::ParseSendAlarmResponse(reply.body.data(), reply.body.size(), relates_to, result);
    EXPECT_EQ("OK", result);

    kv::soap::detail::LastMessage(kUrl, kGuid, sequence, document);
    reply = Send(document);
    std::string acknowledged;
    kv::soap::ParseLastMessageResponse(reply.body.data(), reply.body.size(), acknowledged);
    EXPECT_EQ(sequence, acknowledged);

    const nlohmann::json record = nlohmann::json::parse(records_.str());
    EXPECT_EQ(kGuid, record["guid"]);
    EXPECT_EQ("x&y", record["payload"]["a"]);
    EXPECT_EQ(0, Stats()["violations"]) << core_.Stats();
    EXPECT_EQ(0, Stats()["open_sequences"]);
}

TEST_F(ReceiverCoreTest, SequenceFaultsAreCounted) {
    std::string document;
    kv::soap::detail::MessageSendAlarm("SendAlarm", "{}", kUrl, kGuid, "urn:uuid:never-opened", document);
    Send(document);
    EXPECT_EQ(1, Stats()["violation_kinds"]["unknown-sequence"]);

    const std::string sequence = Open();
    kv::soap::detail::LastMessage(kUrl, kGuid, sequence, document);
    Send(document);
    EXPECT_EQ(1, Stats()["violation_kinds"]["order"]) << "LastMessage before message 1";

    const std::string second = Open();
    kv::soap::detail::MessageSendAlarm("SendAlarm", "{}", kUrl, kGuid, second, document);
    Send(document);
    Send(document);
    EXPECT_EQ(1, Stats()["violation_kinds"]["duplicate-message"]);
}

TEST_F(ReceiverCoreTest, EnvelopeAndHeaderFaultsAreCounted) {
    EXPECT_EQ(400, Send("<not xml").status);
    EXPECT_EQ(1, Stats()["violation_kinds"]["xml"]);

    std::string document;
    kv::soap::detail::MessageCreateSequence("not-a-uuid", "http://127.0.0.1:9/elsewhere", document);
    Send(document, "text/xml");
    const nlohmann::json kinds = Stats()["violation_kinds"];
    EXPECT_EQ(1, kinds["message-id"]);
    EXPECT_EQ(1, kinds["to"]);
    EXPECT_EQ(1, kinds["content-type"]);
    EXPECT_EQ(404, core_.Handle("POST", "/other", kHost, kType, document).status);
}

TEST_F(ReceiverCoreTest, InjectedFaultsSpoilOnlyTheirStepAndCount) {
    EXPECT_EQ("ok", core_.Command("fault create no-identifier times=1"));
    EXPECT_EQ("", Open());
    EXPECT_FALSE(Open().empty()) << "times=1 spoils one answer";

    EXPECT_EQ("ok", core_.Command("fault app status 503 method=SendHeartBeat"));
    const std::string sequence = Open();
    std::string document;
    kv::soap::detail::MessageSendAlarm("SendAlarm", "{}", kUrl, kGuid, sequence, document);
    EXPECT_EQ(200, Send(document).status) << "another method is not affected";
    const std::string heartbeat = Open();
    kv::soap::detail::MessageSendAlarm("SendHeartBeat", "{}", kUrl, kGuid, heartbeat, document);
    const wxsim::Reply reply = Send(document);
    EXPECT_EQ(503, reply.status);
    EXPECT_TRUE(reply.spoiled);

    EXPECT_EQ("ok", core_.Command("fault last close"));
    kv::soap::detail::LastMessage(kUrl, kGuid, heartbeat, document);
    EXPECT_TRUE(Send(document).close);
    EXPECT_EQ("ok", core_.Command("clear"));
    const std::string records = records_.str();
    EXPECT_EQ(1, std::count(records.begin(), records.end(), '\n')) << "a spoiled answer is no delivery";
    EXPECT_EQ(0, Stats()["violations"]) << core_.Stats();

    EXPECT_EQ(0u, core_.Command("fault sideways close").find("error"));
    EXPECT_EQ(0u, core_.Command("fault app explode").find("error"));
    EXPECT_EQ(0u, core_.Command("delay app soon").find("error"));
    EXPECT_EQ(0u, core_.Command("dance").find("error"));
}

// One whole exchange in the current answer style, read back with the service's parsers.
struct Exchange {
    wxsim::Reply create, app, last;
    std::string identifier, relates_to, result;
};

Exchange RunExchange(wxsim::ReceiverCore& core, const std::string& guid) {
    Exchange exchange;
    std::string document;
    kv::soap::detail::MessageCreateSequence(guid, kUrl, document);
    exchange.create = core.Handle("POST", wxsim::kServicePath, kHost, kType, document);
    std::string create_relates_to;
    kv::soap::ParseCreateSequenceResponse(exchange.create.body.data(), exchange.create.body.size(), create_relates_to,
                                          exchange.identifier);
    kv::soap::detail::MessageSendAlarm("SendAlarm", "{\"a\":1}", kUrl, guid, exchange.identifier, document);
    exchange.app = core.Handle("POST", wxsim::kServicePath, kHost, kType, document);
    kv::soap::ParseSendAlarmResponse(exchange.app.body.data(), exchange.app.body.size(), exchange.relates_to,
                                     exchange.result);
    kv::soap::detail::LastMessage(kUrl, guid, exchange.identifier, document);
    exchange.last = core.Handle("POST", wxsim::kServicePath, kHost, kType, document);
    return exchange;
}

TEST_F(ReceiverCoreTest, PlainStyleIsTheFrameworksOwn) {
    kv::test::LogCapture log;
    const Exchange exchange = RunExchange(core_, kGuid);
    for (const wxsim::Reply* reply : {&exchange.create, &exchange.app, &exchange.last}) {
        EXPECT_EQ(200, reply->status);
        EXPECT_FALSE(reply->chunked);
        EXPECT_FALSE(reply->close_after);
        EXPECT_EQ(kType, reply->content_type);
        EXPECT_EQ(0u, reply->body.find("<s:Envelope ")) << "no XML declaration";
        EXPECT_EQ(std::string::npos, reply->body.find("<a:To"));
    }
    EXPECT_EQ("OK", exchange.result);
    EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST_F(ReceiverCoreTest, EveryAnswerStyleIsReadByTheService) {
    EXPECT_EQ("ok", core_.Command("style chunked, close,xml-declaration,extra-headers,action-parameter"));
    kv::test::LogCapture log;
    const Exchange exchange = RunExchange(core_, kGuid);
    EXPECT_FALSE(exchange.identifier.empty());
    EXPECT_EQ("urn:uuid:" + kGuid, exchange.relates_to);
    EXPECT_EQ("OK", exchange.result);
    for (const wxsim::Reply* reply : {&exchange.create, &exchange.app, &exchange.last}) {
        EXPECT_EQ(200, reply->status);
        EXPECT_TRUE(reply->chunked);
        EXPECT_TRUE(reply->close_after);
        EXPECT_EQ(0u, reply->body.find("<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "));
        EXPECT_NE(std::string::npos, reply->body.find("<a:To s:mustUnderstand=\"1\">"));
        EXPECT_EQ(kv::soap::AnswerShape::kEnvelope,
                  kv::soap::ClassifyEnvelope(reply->body.data(), reply->body.size()));
    }
    EXPECT_EQ(kType + "; action=\"http://schemas.xmlsoap.org/ws/2005/02/rm/CreateSequenceResponse\"",
              exchange.create.content_type);
    EXPECT_EQ(kType + "; action=\"http://tempuri.org/IReceiverServiceResponse/SendAlarmResponse\"",
              exchange.app.content_type);
    EXPECT_EQ(kType + "; action=\"http://schemas.xmlsoap.org/ws/2005/02/rm/SequenceAcknowledgement\"",
              exchange.last.content_type);
    EXPECT_NE(std::string::npos, exchange.app.body.find("<r:Sequence s:mustUnderstand=\"1\"><r:Identifier>urn:uuid:" +
                                                        kGuid + "</r:Identifier><r:MessageNumber>1</r:MessageNumber>"))
        << "the offered reply sequence";
    std::string acknowledged;
    kv::soap::ParseLastMessageResponse(exchange.last.body.data(), exchange.last.body.size(), acknowledged);
    EXPECT_EQ(exchange.identifier, acknowledged);
    EXPECT_TRUE(log.Messages("ERROR").empty()) << log.Messages("ERROR").front();
    EXPECT_EQ(0, Stats()["violations"]) << core_.Stats();
    EXPECT_EQ(0, Stats()["open_sequences"]);
}

TEST_F(ReceiverCoreTest, LastMessageMayBeAnsweredWithoutABody) {
    for (int status : {202, 204}) {
        EXPECT_EQ("ok", core_.Command("style last-" + std::to_string(status)));
        const Exchange exchange = RunExchange(core_, kGuid);
        EXPECT_EQ("OK", exchange.result) << "the other steps answer as before";
        EXPECT_EQ(status, exchange.last.status);
        EXPECT_TRUE(exchange.last.body.empty());
        EXPECT_TRUE(exchange.last.content_type.empty());
        EXPECT_FALSE(exchange.last.close);
    }
    EXPECT_EQ(0, Stats()["violations"]) << core_.Stats();
    EXPECT_EQ(0, Stats()["open_sequences"]);

    EXPECT_EQ("ok", core_.Command("style plain"));
    EXPECT_EQ(200, RunExchange(core_, kGuid).last.status);
}

TEST_F(ReceiverCoreTest, StyleCommandRejectsUnknownWordsAndReplacesTheStyle) {
    EXPECT_EQ(0u, core_.Command("style chunked,sideways").find("error unknown style 'sideways'"));
    EXPECT_FALSE(core_.style().chunked) << "a rejected command changes nothing";
    EXPECT_EQ("ok", core_.Command("style chunked"));
    EXPECT_TRUE(core_.style().chunked);
    EXPECT_EQ("ok", core_.Command("style close"));
    EXPECT_FALSE(core_.style().chunked);
    EXPECT_TRUE(core_.style().close);
    EXPECT_EQ("ok", core_.Command("style"));
    EXPECT_FALSE(core_.style().close);
}

}  // namespace
