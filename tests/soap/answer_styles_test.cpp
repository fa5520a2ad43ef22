// The sequencer against wardex-receiver-sim answering in the styles a conforming
// receiver may use besides the framework's own: every payload is delivered and no ERROR
// line is logged. The io_service runs on its own thread, as the network thread does.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/soap_helper.h"
#include "tests/soap/log_capture.h"
#include "tests/soap/receiver_sim.h"
#include "tests/soap/sequencer_rig.h"

namespace {

using kv::test::LogCapture;
using kv::test::ReceiverSim;
using kv::test::WaitFor;
using std::chrono::milliseconds;

class AnswerStyleTest : public ::testing::TestWithParam<const char*> {};

TEST_P(AnswerStyleTest, EveryPayloadIsDeliveredWithoutAnError) {
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--style", GetParam()}));
    LogCapture log;
    std::atomic<int> ntp_answers{0};
    {
        kv::test::SequencerRig network(sim.url(), kv::test::SequencerSetup());
        network.sequencer().SendEventMessage("SendAlarm", "{\"a\":1}");
        network.sequencer().SendEventMessage("SendAlarm", "{\"a\":2}");
        network.sequencer().SendEventMessage("SendRecorderInfo", "{\"r\":1}");
        network.sequencer().StartHeartbeat("{\"h\":1}");
        network.sequencer().RequestNtpInfo("{\"n\":1}", [&](const kv::soap::NtpInfo& info) {
            if (!info.ntp_server_ip.empty()) ntp_answers.fetch_add(1);
        });
        EXPECT_TRUE(WaitFor([&] {
            return sim.Records().size() == 5 && ntp_answers.load() == 1 &&
                   log.CountContaining("VERBOSE", ": LastMessage successful") +
                           log.CountContaining("ERROR", "LastMessage") >=
                       5;
        }));
        network.sequencer().StopHeartbeat();
    }
    EXPECT_EQ(5u, sim.Records().size());
    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(0, stats["violations"]) << stats.dump();
    EXPECT_EQ(5, stats["last"]);
    const std::vector<std::string> errors = log.Messages("ERROR");
    EXPECT_TRUE(errors.empty()) << errors.size() << " ERROR lines, the first: " << errors.front();
}

// "last-202" and "last-204" pass only with a sequencer that takes LastMessage's 202
// Accepted / 204 No Content with an empty body as success.
INSTANTIATE_TEST_SUITE_P(Styles, AnswerStyleTest,
                         ::testing::Values("plain", "chunked", "close", "xml-declaration", "extra-headers",
                                           "action-parameter", "chunked,close,xml-declaration,extra-headers,action-parameter",
                                           "last-202", "last-204", "chunked,close,last-204"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name;
                             for (const char* c = info.param; *c != '\0'; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

}  // namespace
