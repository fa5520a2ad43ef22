// The sequencer against the receiver simulator: every branch of a payload's exchange,
// the retry back-off, heartbeats, the queue limit and time-server requests. The io_service
// runs on its own thread, as the network thread does in the service.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include "src/soap_helper.h"
#include "tests/soap/log_capture.h"
#include "tests/soap/receiver_sim.h"

namespace {

using kv::test::LogCapture;
using kv::test::ReceiverSim;
using kv::test::WaitFor;
using std::chrono::milliseconds;

// The sequencer on an io_service run by a thread of its own.
class Network {
public:
    Network(const std::string& endpoint, milliseconds heartbeat, milliseconds retry_base, milliseconds retry_cap)
        : work_(new boost::asio::io_service::work(io_)), sequencer_(new kv::soap::SoapSequencer(io_)) {
        sequencer_->SetTimingForTesting(heartbeat, retry_base, retry_cap);
        sequencer_->UpdateServiceEndpoint(endpoint);
        thread_ = std::thread([this] {
            thread_id_ = std::this_thread::get_id();
            io_.run();
        });
    }

    // Callers wait for the exchanges they started to finish first: an exchange still in
    // flight would keep the sequencer alive past the io_service.
    ~Network() {
        sequencer_->StopHeartbeat();
        work_.reset();
        io_.stop();
        thread_.join();
        sequencer_.reset();
    }

    kv::soap::SoapSequencer& sequencer() { return *sequencer_; }
    std::thread::id thread_id() const { return thread_id_; }

private:
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::unique_ptr<kv::soap::SoapSequencer> sequencer_;
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
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

TEST(SoapSequencer, QueueLimitDropsThe20001stAndAdmitsAgainAfterCompletion) {
    // Payloads waiting for their retry count against the limit: fill it with those.
    LogCapture log(ERROR);
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start());
    {
        Network network("wxnone://127.0.0.1/WXAlarmReceiver/Receiver.svc", kLong, kLong, kLong);
        for (int i = 0; i < 19999; ++i) network.sequencer().SendEventMessage("SendAlarm", "{\"fill\":1}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Retry sending payload") == 19999; },
                            std::chrono::seconds(200), milliseconds(1000)));
        logger::get_logger().set_level(VERBOSE);

        network.sequencer().UpdateServiceEndpoint(sim.url());
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");  // the 20000th
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":2}");  // one too many
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": Payload done. Queue size=1") == 1; }));
        network.sequencer().SendEventMessage("SendAlarm", "{\"n\":3}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("VERBOSE", ": LastMessage successful") == 2; }));
    }
    EXPECT_EQ(1, log.Count("WARNING", "Queue size limit reached. Omitting sequence."));
    const std::vector<nlohmann::json> records = sim.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(1, records[0]["payload"]["n"]);
    EXPECT_EQ(3, records[1]["payload"]["n"]);
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
