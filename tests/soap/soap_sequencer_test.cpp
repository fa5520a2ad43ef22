// The sequencer against the receiver simulator: every branch of a payload's exchange,
// the retry back-off, heartbeats, the in-memory window and the outbox behind it, the
// receiver's circuit breaker and its log lines, and time-server requests. The io_service
// runs on its own thread, as the network thread does in the service.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include "src/outbox.h"
#include "src/soap_helper.h"
#include "tests/foundation/test_dir.h"
#include "tests/soap/log_capture.h"
#include "tests/soap/receiver_sim.h"
#include "tests/soap/sequencer_rig.h"

namespace {

using kv::test::LogCapture;
using kv::test::ReceiverSim;
using kv::test::WaitFor;
using std::chrono::milliseconds;

// What a Network is built with besides its timing.
struct NetworkSetup {
    std::string outbox;  // path of the outbox; empty: memory only
    size_t window = 0;   // 0: the service's
    milliseconds summary{0};  // 0: the service's
    size_t outbox_cap = 0;    // 0: the service's
};

// The shared rig, built the way these tests name their timing.
class Network : public kv::test::SequencerRig {
public:
    Network(const std::string& endpoint, milliseconds heartbeat, milliseconds retry_base, milliseconds retry_cap,
            const NetworkSetup& setup = NetworkSetup())
        : SequencerRig(endpoint, Setup(heartbeat, retry_base, retry_cap, setup)) {}

private:
    static kv::test::SequencerSetup Setup(milliseconds heartbeat, milliseconds retry_base, milliseconds retry_cap,
                                          const NetworkSetup& in) {
        kv::test::SequencerSetup setup;
        setup.heartbeat = heartbeat;
        setup.retry_base = retry_base;
        setup.retry_cap = retry_cap;
        setup.outbox = in.outbox;
        setup.window = in.window;
        setup.summary = in.summary;
        setup.outbox_cap = in.outbox_cap;
        return setup;
    }
};

// Collects what the time-server handler receives, and on which thread.
struct NtpSink {
    std::mutex mutex;
    std::vector<kv::soap::NtpInfo> infos;
    std::vector<std::thread::id> threads;

    kv::soap::NtpHandler Handler() {
        return [this](const kv::soap::NtpInfo& info) {
            std::lock_guard<std::mutex> lock(mutex);
            infos.push_back(info);
            threads.push_back(std::this_thread::get_id());
        };
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return infos.size();
    }
};

// The guid that starts a message such as "<guid>: Abandoning sequence ...".
std::vector<std::string> GuidsOf(const std::vector<std::string>& messages, const std::string& suffix) {
    std::vector<std::string> guids;
    for (const std::string& message : messages) {
        if (message.size() > 36 && message.compare(36, std::string::npos, suffix) == 0) {
            guids.push_back(message.substr(0, 36));
        }
    }
    return guids;
}

bool IsLowerV4Uuid(const std::string& text) {
    if (text.size() != 36 || text[14] != '4' || std::string("89ab").find(text[19]) == std::string::npos) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen != (text[i] == '-')) return false;
        if (!hyphen && std::string("0123456789abcdef").find(text[i]) == std::string::npos) return false;
    }
    return true;
}

int ClosedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

const milliseconds kLong{600000};

TEST(SoapSequencer, PayloadTravelsItsThreeStepsAndArrivesOnce) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    const std::string payload = "{\"Camera\":\"Gate & <Yard>\",\"AlarmType\":7}";
    {
        Network network(sim.url(), kLong, milliseconds(50), milliseconds(50));
        network.sequencer().SendEventMessage("SendAlarm", payload);
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 1; }));
    }
    const std::vector<nlohmann::json> records = sim.Records();
    ASSERT_EQ(1u, records.size());
    const std::string guid = records[0]["guid"];
    EXPECT_TRUE(IsLowerV4Uuid(guid)) << guid;
    EXPECT_EQ("SendAlarm", records[0]["method"]);
    EXPECT_EQ("[" + payload + "]", records[0]["request_data"]);

    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(1, stats["create"]);
    EXPECT_EQ(1, stats["app"]);
    EXPECT_EQ(1, stats["last"]);
    EXPECT_EQ(0, stats["violations"]) << stats.dump();
    EXPECT_EQ(0, stats["open_sequences"]);

    const std::vector<std::string> expected = {
        guid + ": Creating sequence with method SendAlarm",
        guid + ": Payload: " + payload,
        guid + ": SendAlarm request to " + sim.url(),
        guid + ": SendAlarm response OK",
        guid + ": Posting LastMessage request",
        guid + ": Payload done. Queue size=1",
        guid + ": LastMessage successful",
    };
    EXPECT_EQ(expected, log.Messages("VERBOSE"));
    EXPECT_TRUE(log.Messages("ERROR").empty());
}

class FailedApplicationMessage : public ::testing::TestWithParam<int> {};

TEST_P(FailedApplicationMessage, ClosesTheSequenceAndRetriesUnderANewGuidAfterTheBackoff) {
    const int status = GetParam();
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app status " + std::to_string(status) + " times=1"}));
    const milliseconds backoff(300);
    std::chrono::steady_clock::duration until_delivery{};
    {
        Network network(sim.url(), kLong, backoff, backoff);
        const auto sent = std::chrono::steady_clock::now();
        network.sequencer().SendEventMessage("SendRecorderInfo", "{\"Recorder\":1}");
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 1; }));
        until_delivery = std::chrono::steady_clock::now() - sent;
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 2; }));
    }
    const std::vector<std::string> retried =
        GuidsOf(log.Messages("ERROR"), ": Abandoning sequence SendRecorderInfo due to HTTP failure. Retry sending payload");
    ASSERT_EQ(1u, retried.size());
    const std::string failed = retried[0];
    EXPECT_EQ(1, log.Count("ERROR", failed + ": HTTP Post failed: (0). HTTP Status: " + std::to_string(status)));
    EXPECT_EQ(1, log.Count("VERBOSE", failed + ": LastMessage successful")) << "the failed sequence is closed";

    const std::vector<nlohmann::json> records = sim.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(failed, records[0]["guid"]);
    EXPECT_EQ(nlohmann::json::parse("{\"Recorder\":1}"), records[0]["payload"]);
    // Jitter only ever shortens the pause, by at most a tenth.
    EXPECT_GE(until_delivery, backoff * 9 / 10);

    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(2, stats["create"]);
    EXPECT_EQ(2, stats["app"]);
    EXPECT_EQ(2, stats["last"]);
    EXPECT_EQ(0, stats["violations"]) << stats.dump();
}

INSTANTIATE_TEST_SUITE_P(Status, FailedApplicationMessage, ::testing::Values(500, 202));

TEST(SoapSequencer, RefusedConnectionsAreRetriedWithGrowingPausesNotInAHotLoop) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    const std::string refused = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/WXAlarmReceiver/Receiver.svc";
    {
        Network network(refused, kLong, milliseconds(100), milliseconds(400));
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        // Attempts at about 0, 0.1, 0.3, 0.7 and 1.1 s: a handful, where a hot loop makes thousands.
        std::this_thread::sleep_for(milliseconds(1300));
        const std::vector<std::string> failures = log.Messages("ERROR");
        const std::vector<std::string> guids =
            GuidsOf(failures, ": Abandoning sequence SendAlarm due to HTTP failure. Retry sending payload");
        EXPECT_GE(guids.size(), 3u);
        EXPECT_LE(guids.size(), 8u);
        EXPECT_EQ(guids.size(), std::set<std::string>(guids.begin(), guids.end()).size()) << "a new guid per attempt";
        for (const std::string& guid : guids) {
            EXPECT_EQ(1, log.Count("ERROR", guid + "CreateSequence call to " + refused + " failed: (6). HTTP Status: 0"));
        }
        // The receiver comes back: the waiting retry is delivered there.
        network.sequencer().UpdateServiceEndpoint(sim.url());
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 1; }));
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 1; }));
    }
    EXPECT_EQ(nlohmann::json::parse("{\"n\":1}"), sim.Records()[0]["payload"]);
}

TEST(SoapSequencer, CreateSequenceAnswerWithoutIdentifierAbandonsWithoutRetry) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "create no-identifier times=1"}));
    {
        Network network(sim.url(), kLong, milliseconds(20), milliseconds(20));
        network.sequencer().SendEventMessage("SendAlarm", "{}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "No retry.") == 1; }));
        std::this_thread::sleep_for(milliseconds(300));  // many retry periods
    }
    const std::vector<std::string> errors = log.Messages("ERROR");
    ASSERT_EQ(3u, errors.size());
    EXPECT_EQ("No existing SequenceId in XML response", errors[0]);
    const std::string guid = errors[1].substr(errors[1].size() - 36);
    EXPECT_EQ("Unexpected/Invalid XML response, abandoning request " + guid, errors[1]);
    EXPECT_EQ(guid + ": Abandoning sequence SendAlarm due to HTTP failure. No retry.", errors[2]);
    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(1, stats["create"]);
    EXPECT_EQ(0, stats["app"]);
    EXPECT_EQ(0, stats["last"]);
}

TEST(SoapSequencer, ApplicationAnswerWithoutResultAbandonsWithoutLastMessageOrRetry) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app no-result times=1"}));
    {
        Network network(sim.url(), kLong, milliseconds(20), milliseconds(20));
        network.sequencer().SendEventMessage("SendAlarm", "{}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Unexpected/Invalid XML response") == 1; }));
        std::this_thread::sleep_for(milliseconds(300));
    }
    const std::vector<std::string> errors = log.Messages("ERROR");
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ("No existing Method Result in XML response", errors[0]);
    const std::string prefix = "Unexpected/Invalid XML response, abandoning request ";
    ASSERT_EQ(0u, errors[1].find(prefix));
    const std::string guid = errors[1].substr(prefix.size(), 36);
    EXPECT_EQ(prefix + guid + ", relates=urn:uuid:" + guid, errors[1]);
    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(1, stats["create"]);
    EXPECT_EQ(1, stats["app"]);
    EXPECT_EQ(0, stats["last"]);
    EXPECT_EQ(0, stats["delivered"]);
}

TEST(SoapSequencer, HeartbeatsAreNeverRetried) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app status 500 method=SendHeartBeat"}));
    {
        Network network(sim.url(), kLong, milliseconds(20), milliseconds(20));
        network.sequencer().StartHeartbeat("{\"hb\":1}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 1; }));
        // The CreateSequence of the next one fails on the HTTP level.
        ASSERT_EQ("ok", sim.Command("fault create status 503 times=1"));
        network.sequencer().StartHeartbeat("{\"hb\":2}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "No retry.") == 2; }));
        std::this_thread::sleep_for(milliseconds(300));
    }
    const std::vector<std::string> no_retry =
        GuidsOf(log.Messages("ERROR"), ": Abandoning sequence SendHeartBeat due to HTTP failure. No retry.");
    EXPECT_EQ(2u, no_retry.size());
    EXPECT_EQ(0, log.CountContaining("ERROR", "Retry sending payload"));
    EXPECT_EQ(1, log.Count("ERROR", no_retry[1] + "CreateSequence call to " + sim.url() + " failed: (0). HTTP Status: 503"));
    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(2, stats["create"]);
    EXPECT_EQ(1, stats["app"]);
    EXPECT_EQ(1, stats["last"]);
    EXPECT_TRUE(sim.Records().empty());
}

TEST(SoapSequencer, HeartbeatRepeatsWithItsLatestPayloadUntilStopped) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    size_t at_stop = 0;
    {
        Network network(sim.url(), milliseconds(150), milliseconds(20), milliseconds(20));
        network.sequencer().StartHeartbeat("{\"hb\":\"first\"}");
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() >= 3; }));
        network.sequencer().StartHeartbeat("{\"hb\":\"second\"}");
        ASSERT_TRUE(WaitFor([&] {
            for (const nlohmann::json& record : sim.Records()) {
                if (record["payload"]["hb"] == "second") return true;
            }
            return false;
        }));
        network.sequencer().StopHeartbeat();
        std::this_thread::sleep_for(milliseconds(100));
        at_stop = sim.Records().size();
        std::this_thread::sleep_for(milliseconds(600));  // four periods
        ASSERT_TRUE(WaitFor([&] {
            return log.CountContaining("VERBOSE", ": LastMessage successful") ==
                   log.CountContaining("VERBOSE", ": Creating sequence with method SendHeartBeat");
        }));
    }
    const std::vector<nlohmann::json> records = sim.Records();
    EXPECT_LE(records.size(), at_stop + 1) << "at most the one already handed over";
    EXPECT_EQ(2, log.Count("VERBOSE", "Starting heartbeat"));
    for (const nlohmann::json& record : records) EXPECT_EQ("SendHeartBeat", record["method"]);
    EXPECT_EQ(0, sim.Stats()["violations"]);
}

// A restart while the running chain's timer has already expired (its handler queued on
// the io_service, out of cancel()'s reach) must not leave a second chain behind, and a
// stop must end every chain. A short period makes the expired-timer case frequent.
TEST(SoapSequencer, RestartedHeartbeatNeverOutlivesItsStop) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    const std::string created = ": Creating sequence with method SendHeartBeat";
    int after_stop = 0;
    int later = 0;
    {
        Network network(sim.url(), milliseconds(5), milliseconds(20), milliseconds(20));
        for (int round = 0; round < 20; ++round) {
            network.sequencer().StartHeartbeat("{\"hb\":" + std::to_string(round) + "}");
            std::this_thread::sleep_for(milliseconds(round % 7));
            network.sequencer().StartHeartbeat("{\"hb\":" + std::to_string(round) + "}");
            std::this_thread::sleep_for(milliseconds(round % 5));
        }
        network.sequencer().StopHeartbeat();
        // Handlers run in order: once this payload is under way, the stop has been applied
        // and every start has sent its heartbeat.
        network.sequencer().SendEventMessage("SendAlarm", "{\"marker\":1}");
        ASSERT_TRUE(WaitFor([&] {
            return log.CountContaining("VERBOSE", ": Creating sequence with method SendAlarm") == 1;
        }));
        // One heartbeat may have been handed over just before the stop.
        std::this_thread::sleep_for(milliseconds(100));
        after_stop = log.CountContaining("VERBOSE", created);
        std::this_thread::sleep_for(milliseconds(400));  // eighty periods
        later = log.CountContaining("VERBOSE", created);
        ASSERT_TRUE(WaitFor([&] {
            return log.CountContaining("VERBOSE", ": LastMessage successful") ==
                   log.CountContaining("VERBOSE", created) + 1;
        }));
    }
    EXPECT_GE(after_stop, 40) << "every start sends one heartbeat at once";
    EXPECT_LE(later, after_stop + 1) << "no heartbeat after the stop";
    EXPECT_EQ(40, log.Count("VERBOSE", "Starting heartbeat"));
}

// The in-memory window. Payloads waiting for a retry, or held while the receiver is down,
// keep their place in it. (This replaces the queue-limit case of the time before the
// outbox: past 20000 a payload is still refused, but only where nothing can keep it.)
TEST(SoapSequencer, WithoutAnOutboxTheWindowHolds20000AndRefusesThe20001st) {
    LogCapture log(WARNING);
    {
        Network network("wxnone://127.0.0.1/WXAlarmReceiver/Receiver.svc", kLong, kLong, kLong);
        for (int i = 0; i < 19999; ++i) network.sequencer().SendEventMessage("SendAlarm", "{\"fill\":1}");
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");  // the 20000th
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":2}");  // one too many
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Receiver unreachable (error 2, HTTP status 0): ") == 1; },
                            std::chrono::seconds(200), milliseconds(200)));
        ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 20000; }));
        EXPECT_FALSE(network.Stats().receiver_reachable);
    }
    EXPECT_EQ(1, log.Count("WARNING", "Queue size limit reached. Omitting sequence."));
}

TEST(SoapSequencer, WithoutAnOutboxAFullWindowRefusesAndAdmitsAgainAfterCompletion) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--delay", "app", "400"}));
    {
        Network network(sim.url(), kLong, kLong, kLong, NetworkSetup{"", 3, milliseconds(0)});
        for (int i = 1; i <= 4; ++i) network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 3; }));
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":5}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 4; }));
    }
    EXPECT_EQ(1, log.Count("WARNING", "Queue size limit reached. Omitting sequence."));
    std::set<int> delivered;
    for (const nlohmann::json& record : sim.Records()) delivered.insert(record["payload"]["n"].get<int>());
    EXPECT_EQ((std::set<int>{1, 2, 3, 5}), delivered);
}

// The "Payload: " lines, in the order the sequences were started.
std::vector<std::string> StartedPayloads(const LogCapture& log) {
    std::vector<std::string> payloads;
    for (const std::string& message : log.Messages("VERBOSE")) {
        const size_t at = message.find(": Payload: ");
        if (at == 36) payloads.push_back(message.substr(at + 11));
    }
    return payloads;
}

TEST(SoapSequencer, WithoutAnEndpointAlarmsAreStoredAndNothingIsSentUntilOneIsKnown) {
    kv::testing::TestDir dir;
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    std::vector<std::string> expected;
    {
        Network network("", kLong, milliseconds(50), milliseconds(50), NetworkSetup{dir.Join("outbox.db"), 5, milliseconds(0)});
        for (int i = 0; i < 12; ++i) {
            expected.push_back("{\"n\":" + std::to_string(i) + "}");
            network.sequencer().SendEventMessage("SendAlarm", expected.back());
        }
        ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 12; }));
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_TRUE(StartedPayloads(log).empty()) << "no exchange without an endpoint";
        EXPECT_TRUE(log.Messages("WARNING").empty());
        EXPECT_TRUE(log.Messages("ERROR").empty());
        {
            kv::Outbox outbox(dir.Join("outbox.db"));
            ASSERT_TRUE(outbox.Open().ok());
            EXPECT_EQ(12u, outbox.Count());
        }

        // Five in memory, seven on disk: all go, oldest first, as the window frees.
        network.sequencer().UpdateServiceEndpoint(sim.url());
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 12; }));
        ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 0; }));
        EXPECT_EQ(12u, network.Stats().delivered);
    }
    EXPECT_EQ(expected, StartedPayloads(log));
    EXPECT_EQ(12u, sim.Records().size());
    EXPECT_EQ(0, sim.Stats()["violations"]);
    EXPECT_TRUE(log.Messages("WARNING").empty());
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 0 alarms left for the next start"));
}

// A full outbox refuses the newest alarms: one ERROR when it starts, then their number in
// the summary of the period; the alarms it kept still go, and the refused never do.
TEST(SoapSequencer, AFullOutboxRefusesTheNewestAlarmsAndCountsThemInTheSummary) {
    kv::testing::TestDir dir;
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    NetworkSetup setup{dir.Join("outbox.db"), 0, milliseconds(300)};
    setup.outbox_cap = 5;
    {
        Network network("", kLong, kLong, kLong, setup);
        for (int i = 0; i < 8; ++i) network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(WaitFor([&] { return log.Count("ERROR", "Outbox full: 3 alarms refused in the last period") == 1; }));
        EXPECT_EQ(5u, network.Stats().waiting);
        // A period without refusals writes nothing.
        std::this_thread::sleep_for(milliseconds(500));
        EXPECT_EQ(2u, log.Messages("ERROR").size());

        network.sequencer().UpdateServiceEndpoint(sim.url());
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 5; }));
        // Delivered alarms free their places in the outbox.
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":8}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 6; }));
    }
    EXPECT_EQ((std::vector<std::string>{"Outbox full (5 alarms): the newest alarms are refused",
                                        "Outbox full: 3 alarms refused in the last period"}),
              log.Messages("ERROR"));
    EXPECT_EQ((std::vector<std::string>{"{\"n\":0}", "{\"n\":1}", "{\"n\":2}", "{\"n\":3}", "{\"n\":4}", "{\"n\":8}"}),
              StartedPayloads(log));
    EXPECT_EQ(6u, sim.Records().size());
}

// A burst is not handed to the HTTP engine at once: only as many sequences are started
// as keep its connections busy (four exchanges per connection), and each freed place is
// taken by the next ready payload, so that the whole burst still arrives.
TEST(SoapSequencer, ABurstEntersTheEngineOnlyAsFastAsItsConnectionsCarryIt) {
    constexpr int kAlarms = 700;
    constexpr int kMostInEngine = 4 * static_cast<int>(kv::http::kMaxConnectionsPerHost);
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--delay", "app", "300"}));
    int most = 0;
    {
        Network network(sim.url(), kLong, kLong, kLong);
        for (int i = 0; i < kAlarms; ++i) network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        // Every exchange in the engine is either a started sequence's current step or a
        // LastMessage not yet answered; the answered ones are read last, so the
        // difference never overstates what the engine holds.
        ASSERT_TRUE(WaitFor(
            [&] {
                const int started = log.CountContaining("VERBOSE", ": Creating sequence with method SendAlarm");
                const int closed = log.CountContaining("VERBOSE", ": LastMessage successful");
                most = std::max(most, started - closed);
                EXPECT_LE(started - closed, kMostInEngine);
                return closed == kAlarms;
            },
            std::chrono::seconds(60), milliseconds(20)));
    }
    EXPECT_GE(most, kMostInEngine - 16) << "the engine is kept full";
    std::set<int> delivered;
    for (const nlohmann::json& record : sim.Records()) delivered.insert(record["payload"]["n"].get<int>());
    EXPECT_EQ(static_cast<size_t>(kAlarms), delivered.size());
    EXPECT_EQ(0, sim.Stats()["violations"]);
    EXPECT_TRUE(log.Messages("ERROR").empty());
}

TEST(SoapSequencer, StoredAlarmsAreDeliveredAtTheNextStartOldestFirstUnderNewMessageIds) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app status 500 method=SendAlarm"}));
    std::vector<std::string> first_guids;
    const std::vector<std::string> alarms = {"{\"n\":0}", "{\"n\":1}", "{\"n\":2}"};
    {
        LogCapture log;
        {
            Network network(sim.url(), kLong, kLong, kLong, NetworkSetup{path, 0, milliseconds(0)});
            network.sequencer().SendEventMessage("SendRecorderInfo", "{\"Recorder\":1}");
            for (const std::string& alarm : alarms) network.sequencer().SendEventMessage("SendAlarm", alarm);
            ASSERT_TRUE(WaitFor([&] {
                return log.CountContaining("ERROR", "SendAlarm due to HTTP failure. Retry sending payload") == 3 &&
                       log.CountContaining("VERBOSE", ": LastMessage successful") == 4;
            }));
        }
        first_guids = GuidsOf(log.Messages("ERROR"), ": Abandoning sequence SendAlarm due to HTTP failure. Retry sending payload");
        EXPECT_EQ(1, log.Count("INFO", "Outbox: 3 alarms left for the next start"));
    }
    ASSERT_EQ("ok", sim.Command("clear"));
    ASSERT_EQ("ok", sim.Command("reset"));
    LogCapture log;
    {
        // Nothing is posted: the stored alarms go as soon as the endpoint is known.
        Network network(sim.url(), kLong, kLong, kLong, NetworkSetup{path, 0, milliseconds(0)});
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 3; }));
    }
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 3 alarms from the last run are delivered first"));
    EXPECT_EQ(alarms, StartedPayloads(log));
    const std::vector<nlohmann::json> records = sim.Records();
    std::vector<std::string> delivered;
    for (const nlohmann::json& record : records) {
        if (record["method"] != "SendAlarm") continue;
        delivered.push_back(record["payload"].dump());
        const std::string guid = record["guid"];
        EXPECT_TRUE(std::find(first_guids.begin(), first_guids.end(), guid) == first_guids.end()) << guid;
        EXPECT_TRUE(IsLowerV4Uuid(guid));
    }
    EXPECT_EQ(3u, delivered.size());
    EXPECT_EQ(3, sim.Stats()["create"]) << "the recorder information was not stored";
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 0 alarms left for the next start"));
}

// A stop can come before the network thread ran a single handler: the outbox it was
// about to open is opened at the stop, and the alarms that came in are kept there.
TEST(SoapSequencer, AStopBeforeTheNetworkThreadRanKeepsTheAlarmsThatCameIn) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    {
        boost::asio::io_service io;
        kv::soap::SoapSequencer sequencer(io);
        sequencer.UseOutbox(path);
        sequencer.UpdateServiceEndpoint("http://127.0.0.1:9/WXAlarmReceiver/Receiver.svc");
        sequencer.SendEventMessage("SendAlarm", "{\"n\":0}");
        sequencer.SendEventMessage("SendHeartBeat", "{\"beat\":1}");
        sequencer.SendEventMessage("SendAlarm", "{\"n\":1}");
        sequencer.Abandon();
    }
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 2 alarms left for the next start"));
    kv::Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    EXPECT_EQ(2u, outbox.Count());
}

TEST(SoapSequencer, AnUnusableOutboxIsReportedOnceAndAlarmsStillGoFromMemory) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("missing-folder/outbox.db");
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    {
        Network network(sim.url(), kLong, kLong, kLong, NetworkSetup{path, 0, milliseconds(0)});
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":2}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 2; }));
    }
    EXPECT_EQ((std::vector<std::string>{"Outbox " + path +
                                        " unusable (cannot create or open the file): alarms are forwarded from memory only"}),
              log.Messages("ERROR"));
    EXPECT_EQ(0, log.CountContaining("INFO", "alarms left for the next start"));
    EXPECT_EQ(2u, sim.Records().size());
}

TEST(SoapSequencer, ADamagedOutboxIsSetAsideAndAlarmsAreKeptInAFreshOne) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    {
        std::ofstream damaged(path, std::ios::binary);
        damaged << std::string(4096, 'x');
    }
    LogCapture log;
    {
        Network network("", kLong, kLong, kLong, NetworkSetup{path, 0, milliseconds(0)});
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 1; }));
    }
    const std::vector<std::string> errors = log.Messages("ERROR");
    ASSERT_EQ(1u, errors.size());
    const std::string lead = "Outbox " + path + " was damaged and is kept as ";
    const std::string tail = "; a fresh one is used";
    ASSERT_EQ(0u, errors[0].find(lead + path + ".corrupt-")) << errors[0];
    ASSERT_EQ(tail, errors[0].substr(errors[0].size() - tail.size()));
    const std::string aside = errors[0].substr(lead.size(), errors[0].size() - tail.size() - lead.size());
    EXPECT_TRUE(std::ifstream(aside).good()) << aside;
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 1 alarms left for the next start"));
}

TEST(SoapSequencer, APoisonPayloadWaitsOnItsOwnBackoffWhileOthersAreDelivered) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app status 500 method=SendRecorderInfo"}));
    const std::string poison = ": Abandoning sequence SendRecorderInfo due to HTTP failure. Retry sending payload";
    double elapsed_ms = 0;
    {
        Network network(sim.url(), kLong, milliseconds(100), milliseconds(400));
        const auto start = std::chrono::steady_clock::now();
        network.sequencer().SendEventMessage("SendRecorderInfo", "{\"Recorder\":1}");
        for (int i = 0; i < 10; ++i) {
            network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
            std::this_thread::sleep_for(milliseconds(100));
        }
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 10 && log.CountContaining("ERROR", poison) >= 4; }));
        elapsed_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::this_thread::sleep_for(milliseconds(200));
    }
    // The refused one keeps failing, with growing pauses (about 0, 0.1, 0.3, 0.7, 1.1 s, then
    // every 0.36 to 0.4 s): a handful of attempts, not a hot loop.
    const std::vector<std::string> retried = GuidsOf(log.Messages("ERROR"), poison);
    EXPECT_LE(retried.size(), 4u + static_cast<size_t>((elapsed_ms + 200) / 360));
    EXPECT_EQ(0, log.CountContaining("ERROR", "Receiver unreachable")) << "the receiver answers: no breaker";
    EXPECT_EQ(0, log.CountContaining("ERROR", "SendAlarm"));
    std::set<int> delivered;
    for (const nlohmann::json& record : sim.Records()) {
        EXPECT_EQ("SendAlarm", record["method"]);
        delivered.insert(record["payload"]["n"].get<int>());
    }
    EXPECT_EQ(10u, delivered.size());
}

// A receiver that opens sequences but answers every application message 503 cannot take
// alarms: it counts as down, like one that refuses connections. Three failed messages open
// the breaker and the rest wait quietly, instead of each payload logging every attempt.
TEST(SoapSequencer, AReceiverThatOpensSequencesButFailsEveryMessageCountsAsDown) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app status 503"}));
    const int alarms = 200;
    {
        Network network(sim.url(), kLong, milliseconds(100), milliseconds(400),
                        NetworkSetup{"", 0, milliseconds(300)});
        for (int i = 0; i < alarms; ++i) {
            network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        }
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Receiver still unreachable after ") >= 2; }));
        EXPECT_EQ(1, log.Count("ERROR", "Receiver unreachable (error 0, HTTP status 503): 200 alarms wait; "
                                        "one probe at a time until it answers"))
            << log.CountContaining("ERROR", "Receiver unreachable");
        EXPECT_EQ(3, log.CountContaining("ERROR", ": HTTP Post failed: (0). HTTP Status: 503"));
        EXPECT_EQ(3, log.CountContaining("ERROR", "Abandoning sequence SendAlarm"));
        EXPECT_TRUE(sim.Records().empty());

        ASSERT_EQ("ok", sim.Command("fault app none"));
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == static_cast<size_t>(alarms); }));
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") >= alarms; }));
    }
    EXPECT_EQ(1, log.CountContaining("INFO", "Receiver answers again after "));
    EXPECT_EQ(3, log.CountContaining("ERROR", ": HTTP Post failed")) << "the probe's failures are quiet";
}

int PortOf(const std::string& url) {
    const size_t colon = url.find(':', url.find("//") + 2);
    return std::atoi(url.c_str() + colon + 1);
}

double EnvSeconds(const char* name, double fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atof(text) : fallback;
}

// The outage check: the receiver goes away (its port refuses connections) while 2000
// alarms wait. The log gets the failures that opened the breaker, one line when it opens,
// one summary per period and one line when the receiver answers again; all 2000 are
// delivered after its return. CI uses a short outage with the summary period scaled down
// to a tenth of it; scripts/outage runs the real one (WARDEX_OUTAGE_SECONDS=600,
// WARDEX_OUTAGE_SUMMARY_SECONDS=60), where delivery within 10 s of the return is checked.
TEST(SoapSequencer, ReceiverOutageIsQuietAndTheBacklogMovesOnItsReturn) {
    const double outage_s = EnvSeconds("WARDEX_OUTAGE_SECONDS", 3);
    const double summary_s = EnvSeconds("WARDEX_OUTAGE_SUMMARY_SECONDS", outage_s / 10);
    const bool real = std::getenv("WARDEX_OUTAGE_SECONDS") != nullptr;
    const int alarms = 2000;
    kv::testing::TestDir dir;
    LogCapture log(INFO);  // the service's level
    auto sim = std::make_unique<ReceiverSim>();
    ASSERT_TRUE(sim->Start());
    const std::string url = sim->url();
    const std::string port = std::to_string(PortOf(url));
    size_t before = 0;
    double after_return_s = 0;
    double moving_s = 0;
    {
        Network network(url, kLong, milliseconds(1000), milliseconds(60000),
                        NetworkSetup{dir.Join("outbox.db"), 0, milliseconds(static_cast<long long>(summary_s * 1000))});
        network.sequencer().SendEventMessage("SendAlarm", "{\"warm\":1}");
        ASSERT_TRUE(WaitFor([&] { return sim->Records().size() == 1; }));
        std::this_thread::sleep_for(milliseconds(200));  // its LastMessage
        sim.reset();
        before = log.Lines().size();

        for (int i = 0; i < alarms; ++i) {
            network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        }
        // The outage is counted from the breaker's opening: a loaded machine may take a
        // while to see the first refusals.
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Receiver unreachable (") == 1; },
                            std::chrono::seconds(60), milliseconds(10)));
        std::this_thread::sleep_for(milliseconds(static_cast<long long>(outage_s * 1000)));
        EXPECT_FALSE(network.Stats().receiver_reachable);
        EXPECT_EQ(static_cast<uint64_t>(alarms), network.Stats().waiting);

        sim = std::make_unique<ReceiverSim>();
        ASSERT_TRUE(sim->Start({"--port", port}));
        const auto returned = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitFor([&] { return network.Stats().receiver_reachable; },
                            std::chrono::seconds(20), milliseconds(10)));
        moving_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - returned).count();
        ASSERT_TRUE(WaitFor([&] { return sim->Records().size() == static_cast<size_t>(alarms); },
                            std::chrono::seconds(180), milliseconds(50)));
        after_return_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - returned).count();
        ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 0; }));
        std::this_thread::sleep_for(milliseconds(300));
    }
    const std::vector<kv::test::LogLine> lines = log.Lines();
    size_t closed = lines.size();
    for (size_t i = before; i < lines.size(); ++i) {
        if (lines[i].message.find("Receiver answers again after ") == 0) {
            closed = i;
            break;
        }
    }
    ASSERT_LT(closed, lines.size()) << "no line for the receiver's return";
    const size_t during = closed + 1 - before;
    int opened = 0, summaries = 0;
    for (size_t i = before; i <= closed; ++i) {
        if (lines[i].message.find("Receiver unreachable (") == 0) ++opened;
        if (lines[i].message.find("Receiver still unreachable after ") == 0) ++summaries;
    }
    std::cout << "outage " << outage_s << " s, summary every " << summary_s << " s: " << during
              << " log lines from the outage to the return; the backlog moved " << moving_s
              << " s and all " << alarms << " alarms were delivered " << after_return_s
              << " s after the receiver returned" << std::endl;
    EXPECT_EQ(1, opened);
    EXPECT_GE(summaries, 1);
    EXPECT_LE(during, 30u);
    EXPECT_EQ(1, log.CountContaining("INFO", "Receiver answers again after "));
    EXPECT_EQ(static_cast<size_t>(alarms), sim->Records().size());
    // After the receiver is back, nothing more to complain about.
    for (size_t i = closed + 1; i < lines.size(); ++i) EXPECT_NE("ERROR", lines[i].level) << lines[i].message;
    EXPECT_LE(moving_s, 5.0) << "the watch notices the return within a second or so";
    if (real) {
        EXPECT_LE(after_return_s, 10.0);
    }
}

TEST(SoapSequencer, TimeServerInformationReachesTheHandlerOnTheNetworkThread) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--ntp", "{\"NTPServerIP\":\"127.0.0.2\",\"NTPServerPort\":\"123\",\"TimeZone\":\"UTC+01\","
                                    "\"UpdateInterval\":\"3600\"}"}));
    NtpSink sink;
    std::thread::id network_thread;
    {
        Network network(sim.url(), kLong, milliseconds(20), milliseconds(20));
        network.sequencer().RequestNtpInfo("{\"SiteNumber\":\"1\"}", sink.Handler());
        ASSERT_TRUE(WaitFor([&] { return sink.size() == 1 && log.CountContaining("VERBOSE", "LastMessage successful"); }));
        network_thread = network.thread_id();
    }
    const kv::soap::NtpInfo& info = sink.infos[0];
    EXPECT_EQ("127.0.0.2", info.ntp_server_ip);
    EXPECT_EQ("123", info.ntp_server_port);
    EXPECT_EQ("UTC+01", info.time_zone);
    EXPECT_EQ("3600", info.update_interval);
    EXPECT_EQ(0, info.error_code);
    EXPECT_EQ(network_thread, sink.threads[0]);
    const std::string guid = sim.Records().at(0)["guid"];
    EXPECT_EQ("GetNTPServerInfo", sim.Records().at(0)["method"]);
    EXPECT_EQ(1, log.Count("INFO", guid + ": Received ntp info: ip=127.0.0.2:123"));
}

TEST(SoapSequencer, NonObjectTimeServerResultIsHandedOverMarkedInvalid) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--ntp", "[\"127.0.0.2\"]"}));
    NtpSink sink;
    {
        Network network(sim.url(), kLong, milliseconds(20), milliseconds(20));
        network.sequencer().RequestNtpInfo("{}", sink.Handler());
        ASSERT_TRUE(WaitFor([&] { return sink.size() == 1 && log.CountContaining("VERBOSE", "LastMessage successful"); }));
    }
    const kv::soap::NtpInfo& info = sink.infos[0];
    EXPECT_EQ(-1, info.error_code);
    EXPECT_EQ("", info.ntp_server_ip);
    EXPECT_EQ("", info.ntp_server_port);
    EXPECT_EQ("", info.time_zone);
    EXPECT_EQ("", info.update_interval);
    EXPECT_EQ(1, log.Count("ERROR", "Failed to receive valid ntp info from wardex"));
}

TEST(SoapSequencer, SecondTimeServerRequestReplacesTheHandler) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    NtpSink first, second;
    {
        Network network(sim.url(), kLong, milliseconds(20), milliseconds(20));
        network.sequencer().RequestNtpInfo("{}", first.Handler());
        network.sequencer().RequestNtpInfo("{}", second.Handler());
        ASSERT_TRUE(WaitFor([&] {
            return second.size() == 2 && log.CountContaining("VERBOSE", "LastMessage successful") == 2;
        }));
    }
    EXPECT_EQ(0u, first.size());
    EXPECT_EQ("127.0.0.1", second.infos[0].ntp_server_ip);
    EXPECT_EQ("127.0.0.1", second.infos[1].ntp_server_ip);
}

}  // namespace
