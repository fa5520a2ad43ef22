// The simulator's receiving side: it must catch a sender's protocol faults, or the
// sequencer tests prove nothing. Requests are built with the service's own builders.
#include <algorithm>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/receiver/receiver_core.h"
#include "src/soap_helper.h"

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

}  // namespace
