// The service against a receiver it did not write: wardex-gsoap-receiver, built on
// gSOAP's engine and its WS-Addressing and WS-ReliableMessaging plugins. Every payload
// type goes through the sequencer's public interface to each of gSOAP's four output
// styles, with HTTP keep-alive off and on. The sequencer's io_service runs on a thread of
// its own, as the network thread does in the service.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/soap/log_capture.h"
#include "tests/soap/receiver_sim.h"
#include "tests/soap/sequencer_rig.h"
#include "tests/support/child_process.h"

namespace {

using kv::test::LogCapture;
using kv::test::SequencerRig;
using kv::test::SequencerSetup;
using kv::test::WaitFor;
using std::chrono::milliseconds;

// One wardex-gsoap-receiver for one test, on 127.0.0.1 with a free port, in a folder of
// its own; ended with the test, or by its own lifetime.
class GsoapReceiver {
public:
    GsoapReceiver(const std::string& style, bool keep_alive)
        : process_({WARDEX_BIN_DIR "/wardex-gsoap-receiver", "--style", style, "--keep-alive", keep_alive ? "on" : "off",
                    "--record", folder_.File("records"), "--lifetime", "240"},
                   folder_.path(), folder_.File("output")) {}

    ~GsoapReceiver() {
        process_.Signal(SIGTERM);
        process_.Wait(std::chrono::seconds(3));
    }

    GsoapReceiver(const GsoapReceiver&) = delete;
    GsoapReceiver& operator=(const GsoapReceiver&) = delete;

    // The URL it announced, or "" when it did not start.
    std::string Url() const {
        std::string output;
        const bool started = process_.WaitForOutput(
            [](const std::string& text) { return text.find('\n') != std::string::npos; }, std::chrono::seconds(20),
            &output);
        if (!started || output.compare(0, 10, "listening ") != 0) return "";
        return output.substr(10, output.find('\n') - 10);
    }

    // How often each (method, requestData) arrived.
    std::map<std::pair<std::string, std::string>, int> Deliveries() const {
        std::map<std::pair<std::string, std::string>, int> seen;
        std::ifstream file(folder_.File("records"));
        std::string line;
        while (std::getline(file, line)) {
            const size_t tab = line.find('\t');
            if (tab != std::string::npos) ++seen[{line.substr(0, tab), line.substr(tab + 1)}];
        }
        return seen;
    }

private:
    kv::testing::TempDir folder_;
    kv::testing::ChildProcess process_;
};

struct Style {
    const char* name;
    bool keep_alive;
};

void PrintTo(const Style& style, std::ostream* out) {
    *out << style.name << (style.keep_alive ? " keep-alive" : " close");
}

std::string PrintStyle(const ::testing::TestParamInfo<Style>& info) {
    return std::string(info.param.name) + (info.param.keep_alive ? "_KeepAlive" : "_Close");
}

class GsoapReceiverTest : public ::testing::TestWithParam<Style> {};

// Payloads shaped like the service's (JSON; quotes, an ampersand and angle brackets
// travel as escaped text).
const std::vector<std::pair<std::string, std::string>> kPayloads = {
    {"SendAlarm", "{\"AlarmType\":7,\"Camera\":\"Gate & yard\",\"Guid\":\"a1\"}"},
    {"SendAlarm", "{\"AlarmType\":1,\"Camera\":\"<north>\",\"Guid\":\"a2\"}"},
    {"SendRecorderInfo", "{\"Recorder\":\"NVR-1\",\"Cameras\":16}"},
};
const char kHeartbeat[] = "{\"HeartBeat\":\"NVR-1\"}";
const char kNtpRequest[] = "{\"Recorder\":\"NVR-1\"}";

TEST_P(GsoapReceiverTest, EveryPayloadTypeIsDelivered) {
    const Style style = GetParam();
    GsoapReceiver receiver(style.name, style.keep_alive);
    const std::string url = receiver.Url();
    ASSERT_FALSE(url.empty());
    LogCapture log;

    std::atomic<int> ntp_answers{0};
    std::string ntp_server;
    {
        // A request gSOAP swallows ends at the deadline and goes again.
        SequencerSetup setup;
        setup.deadline = std::chrono::seconds(3);
        SequencerRig network(url, setup);
        for (const auto& payload : kPayloads) network.sequencer().SendEventMessage(payload.first, payload.second);
        network.sequencer().StartHeartbeat(kHeartbeat);
        network.sequencer().RequestNtpInfo(kNtpRequest, [&](const kv::soap::NtpInfo& info) {
            ntp_server = info.ntp_server_ip + ":" + info.ntp_server_port;
            ntp_answers.fetch_add(1);
        });

        const size_t expected = kPayloads.size() + 2;
        // A heartbeat is never retried: with keep-alive, gSOAP may swallow its message, and
        // then only the ERROR that gives it up shows it (the next period sends another).
        auto heartbeat_given_up = [&] {
            return log.CountContaining("ERROR", ": Abandoning sequence SendHeartBeat due to HTTP failure. No retry.") > 0;
        };
        // Every exchange runs to its end: a LastMessage answered (or failed) per payload.
        const bool done = WaitFor(
            [&] {
                const size_t arrived = receiver.Deliveries().size() + (heartbeat_given_up() ? 1 : 0);
                return arrived == expected && ntp_answers.load() >= 1 &&
                       log.CountContaining("VERBOSE", ": LastMessage successful") +
                               log.CountContaining("ERROR", ": Process LastMessage response.") >=
                           static_cast<int>(expected);
            },
            std::chrono::seconds(60));
        EXPECT_TRUE(done) << "deliveries " << receiver.Deliveries().size();
        network.sequencer().StopHeartbeat();
    }

    const auto deliveries = receiver.Deliveries();
    for (const auto& payload : kPayloads) {
        EXPECT_EQ(1u, deliveries.count({payload.first, "[" + payload.second + "]"})) << payload.second;
    }
    const bool heartbeat_lost = style.keep_alive &&
                                log.CountContaining("ERROR", ": Abandoning sequence SendHeartBeat due to HTTP "
                                                             "failure. No retry.") == 1;
    EXPECT_EQ(heartbeat_lost ? 0u : 1u, deliveries.count({"SendHeartBeat", std::string("[") + kHeartbeat + "]"}));
    EXPECT_EQ(1u, deliveries.count({"GetNTPServerInfo", std::string("[") + kNtpRequest + "]"}));
    EXPECT_EQ(1, ntp_answers.load());
    EXPECT_EQ("127.0.0.1:123", ntp_server);

    int duplicates = 0;
    for (const auto& delivery : deliveries) duplicates += delivery.second - 1;
    const std::vector<std::string> errors = log.Messages("ERROR");
    if (!style.keep_alive) {
        EXPECT_EQ(0, duplicates);
        // Accepting LastMessage's 202 Accepted (gSOAP's answer to a one-way message) is
        // part of the sequencer: without it every payload logs an ERROR here.
        EXPECT_TRUE(errors.empty()) << errors.size() << " ERROR lines, the first: " << errors.front();
    } else {
        // gSOAP swallows the request that follows a LastMessage on a kept-alive
        // connection; the sequencer's transfer timeout and retry carry that payload. A
        // payload may arrive twice only when its answer was lost that way.
        int timeouts = 0;
        for (const std::string& error : errors) {
            if (error.find("HTTP Post failed") != std::string::npos || error.find("failed: (") != std::string::npos) {
                ++timeouts;
            }
        }
        EXPECT_LE(duplicates, timeouts);
        for (const std::string& error : errors) {
            EXPECT_TRUE(error.find("XML response") == std::string::npos) << "an answer was misread: " << error;
        }
    }
    EXPECT_EQ(0, log.CountContaining("ERROR", "XML response"));
}

INSTANTIATE_TEST_SUITE_P(Styles, GsoapReceiverTest,
                         ::testing::Values(Style{"default", false}, Style{"defaultns", false},
                                           Style{"canonical", false}, Style{"both", false}, Style{"default", true},
                                           Style{"defaultns", true}, Style{"canonical", true}, Style{"both", true}),
                         PrintStyle);

}  // namespace
