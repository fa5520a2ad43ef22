// The sequencer end to end: the real HTTP engine, outbox and logger against
// wardex-receiver-sim, with the io_service on a thread of its own as in the service. One
// case per answer style, the receiver's outage, two receivers, the time request, and what
// only the driver does (a stop before its thread ran). What the delivery decides for each
// answer and fault is in tests/delivery/courier_test.cpp, as rows of canned events.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "src/outbox/outbox.h"
#include "src/soap_helper.h"
#include "tests/foundation/test_dir.h"
#include "tests/soap/log_capture.h"
#include "tests/soap/receiver_sim.h"
#include "tests/soap/sequencer_rig.h"
#include "tests/support/fault_vfs.h"

namespace {

using kv::test::LogCapture;
using kv::test::ReceiverSim;
using kv::test::SequencerRig;
using kv::test::SequencerSetup;
using kv::test::WaitFor;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kBackupAddress[] = "127.0.0.2";

// The guid that starts a line such as "<guid>: Abandoning sequence ...".
std::vector<std::string> GuidsOf(const std::vector<std::string>& messages, const std::string& suffix) {
    std::vector<std::string> guids;
    for (const std::string& message : messages) {
        if (message.size() > 36 && message.compare(36, std::string::npos, suffix) == 0) guids.push_back(message.substr(0, 36));
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

int PortOf(const std::string& url) {
    const size_t colon = url.find(':', url.find("//") + 2);
    return std::atoi(url.c_str() + colon + 1);
}

SequencerSetup WithOutbox(const std::string& path) {
    SequencerSetup setup;
    setup.outbox = path;
    return setup;
}

// --- One alarm against each answer style ------------------------------------------------

using Lines = std::vector<std::pair<std::string, std::string>>;

struct Style {
    Style(const char* name_in, std::vector<std::string> sim_in, bool delivered_in, Lines lines_in,
          milliseconds deadline_in = milliseconds(0), bool strict_in = true)
        : name(name_in), sim(std::move(sim_in)), delivered(delivered_in), lines(std::move(lines_in)),
          deadline(deadline_in), strict(strict_in) {}

    const char* name;
    std::vector<std::string> sim;  // the simulator's arguments
    bool delivered;                // in the end; else refused and kept
    Lines lines;                   // expected once each, as (level, part of the message)
    milliseconds deadline;         // of an exchange; 0: the service's
    bool strict;                   // the simulator sees no breach of the protocol
};

void PrintTo(const Style& style, std::ostream* os) { *os << style.name; }

class AnswerStyle : public ::testing::TestWithParam<Style> {};

// A conforming receiver (any of the styles its framework may use) takes an alarm, the
// recorder information, a heartbeat and the time request, each in its three steps, and
// not one ERROR is written. The alarm's VERBOSE lines are the documented ones.
TEST(AnswerStyles, AConformingReceiverTakesEveryPayloadInEachOfItsStyles) {
    for (const char* style : {"plain", "chunked,close,xml-declaration,extra-headers,action-parameter", "last-202",
                              "chunked,close,last-204"}) {
        SCOPED_TRACE(style);
        ReceiverSim sim;
        ASSERT_TRUE(sim.Start({"--style", style}));
        LogCapture log;
        const std::string alarm = "{\"Camera\":\"Gate & <Yard>\",\"AlarmType\":7}";
        std::mutex mutex;
        std::vector<kv::soap::NtpInfo> ntp;
        {
            SequencerRig rig(sim.url(), SequencerSetup());
            rig.sequencer().SendEventMessage("SendAlarm", alarm);
            rig.sequencer().SendEventMessage("SendRecorderInfo", "{\"r\":1}");
            rig.sequencer().StartHeartbeat("{\"h\":1}");
            rig.sequencer().RequestNtpInfo("{\"n\":1}", [&](const kv::soap::NtpInfo& info) {
                std::lock_guard<std::mutex> lock(mutex);
                ntp.push_back(info);
            });
            EXPECT_TRUE(WaitFor([&] {
                return sim.Stats()["last"] == 4 && log.CountContaining("VERBOSE", ": LastMessage successful") == 4;
            }));
            rig.sequencer().StopHeartbeat();
        }
        const nlohmann::json stats = sim.Stats();
        EXPECT_EQ(0, stats["violations"]) << stats.dump();
        EXPECT_EQ(4, stats["create"]);
        EXPECT_EQ(0, stats["open_sequences"]);
        ASSERT_EQ(1u, ntp.size());
        EXPECT_FALSE(ntp[0].ntp_server_ip.empty());
        const std::vector<std::string> errors = log.Messages("ERROR");
        EXPECT_TRUE(errors.empty()) << errors.size() << " ERROR lines, the first: " << errors.front();
        for (const nlohmann::json& record : sim.Records()) {
            if (record["method"] != "SendAlarm") continue;
            const std::string guid = record["guid"];
            EXPECT_TRUE(IsLowerV4Uuid(guid)) << guid;
            EXPECT_EQ("[" + alarm + "]", record["request_data"]);
            std::vector<std::string> own;
            for (const std::string& line : log.Messages("VERBOSE")) {
                if (line.compare(0, 36, guid) == 0) own.push_back(line);
            }
            EXPECT_EQ((std::vector<std::string>{guid + ": Creating sequence with method SendAlarm", guid + ": Payload: " + alarm,
                                                guid + ": SendAlarm request to " + sim.url(), guid + ": SendAlarm response OK",
                                                guid + ": Posting LastMessage request",
                                                guid + ": Payload done. Queue size=" + own.at(5).substr(own.at(5).rfind('=') + 1),
                                                guid + ": LastMessage successful"}),
                      own);
        }
    }
}

// A receiver that fails once (or refuses) in one style: the alarm is kept, the documented
// line is written once, and the alarm is delivered at its next attempt (or kept refused).
TEST_P(AnswerStyle, TheAlarmIsKeptAndItsOneLineWritten) {
    const Style& style = GetParam();
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start(style.sim));
    SequencerSetup setup = WithOutbox(path);
    setup.deadline = style.deadline;
    {
        SequencerRig rig(sim.url(), setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"camera\":\"front door\"}");
        if (style.delivered) {
            ASSERT_TRUE(WaitFor([&] { return rig.Stats().delivered == 1 && rig.Stats().waiting == 0; }, seconds(40)));
            ASSERT_TRUE(WaitFor([&] { return sim.Stats()["last"] >= 1; }));
        } else {
            ASSERT_TRUE(WaitFor([&] { return rig.Stats().refused == 1; }));
            kv::Outbox::Summary summary;
            ASSERT_TRUE(kv::Outbox::Inspect(path, summary, nullptr).ok());
            EXPECT_EQ(1u, summary.refused);
            EXPECT_EQ(1u, summary.refused_by_reason.count("SOAP fault"));
        }
    }
    // "{guid}" stands for the first attempt's.
    std::string guid;
    for (const std::string& line : log.Messages("VERBOSE")) {
        if (guid.empty() && line.find(": Creating sequence with method SendAlarm") == 36) guid = line.substr(0, 36);
    }
    for (auto line : style.lines) {
        for (size_t at; (at = line.second.find("{guid}")) != std::string::npos;) line.second.replace(at, 6, guid);
        EXPECT_EQ(1, log.CountContaining(line.first, line.second)) << line.second;
    }
    const nlohmann::json stats = sim.Stats();
    if (style.strict) {
        EXPECT_EQ(0, stats["violations"]) << "a request went elsewhere: " << stats.dump();
    }
    EXPECT_EQ(style.delivered ? 1u : 0u, sim.Records().size());
}

const char kRetry[] = "Abandoning sequence SendAlarm due to HTTP failure. Retry sending payload";

INSTANTIATE_TEST_SUITE_P(
    Styles, AnswerStyle,
    ::testing::Values(
        Style{"Status500", {"--fault", "app status 500 times=1"}, true,
              {{"ERROR", "{guid}: HTTP Post failed: (0). HTTP Status: 500"}, {"ERROR", "{guid}: " + std::string(kRetry)}}},
        Style{"Status503AtTheFirstStep", {"--fault", "create status 503 times=1"}, true,
              {{"ERROR", "{guid}CreateSequence call to http://127.0.0.1:"}, {"ERROR", "failed: (0). HTTP Status: 503"}}},
        // The refusal's line quotes the answer's RelatesTo.
        Style{"FaultIn200", {"--fault", "app soap-fault 200"}, false,
              {{"ERROR", "Unexpected/Invalid XML response, abandoning request {guid}, relates=urn:uuid:{guid}"},
               {"WARNING", "Outbox: alarm 1 refused by the receiver (SOAP fault); kept, next attempt in "}}},
        Style{"FaultIn400", {"--fault", "app soap-fault 400"}, false,
              {{"ERROR", "Unexpected/Invalid XML response, abandoning request "},
               {"WARNING", "refused by the receiver (SOAP fault); kept, next attempt in "}}},
        Style{"HtmlIn200", {"--fault", "app html times=1"}, true,
              {{"ERROR", ": the answer is no SOAP envelope (HTTP Status 200, text/html; charset=utf-8, "}, {"ERROR", kRetry}}},
        Style{"Redirect", {"--fault", "app redirect times=1"}, true,
              {{"ERROR", ": the receiver redirects (HTTP Status 302, Location: http://127.0.0.1:"},
               {"ERROR", "/WXAlarmReceiver/Moved.svc); redirects are not followed: correct service_endpoint"},
               {"ERROR", ": HTTP Post failed: (0). HTTP Status: 302"}}},
        Style{"Trickle", {"--fault", "app trickle times=1"}, true, {{"ERROR", ": HTTP Post failed: (12). HTTP Status: 200"}},
              milliseconds(1500)},
        // Slower than the quick give-up, within the deadline: waited for at the second attempt.
        Style{"Slow", {"--delay", "app", "5000"}, true, {}},
        // The engine sends a request again, once, when a reused connection closes without an
        // answer: the receiver sees that message twice, and only the second close fails it.
        Style{"ConnectionClosed", {"--fault", "app close times=2"}, true, {{"ERROR", kRetry}}, milliseconds(0), false},
        Style{"TooLarge", {"--fault", "create long-identifier size=2000000 times=1"}, true,
              {{"ERROR", ": the answer is too large (Content-Length 2"}}}),
    [](const ::testing::TestParamInfo<Style>& info) { return std::string(info.param.name); });

// A CreateSequence answered without an identifier is refused: no LastMessage, no retry but
// the refusal's, and after the keep period the alarm is dropped with its whole text.
TEST(AnswerStyles, ARefusedFirstStepEndsWithTheAlarmDroppedAfterTheKeepPeriod) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "create no-identifier"}));
    SequencerSetup setup = WithOutbox(path);
    setup.refusal_base = setup.refusal_cap = seconds(1);
    setup.refusal_keep = seconds(2);
    {
        SequencerRig rig(sim.url(), setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"camera\":\"front door\"}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "of refusals by the receiver") == 1; }, seconds(15)));
    }
    const std::vector<std::string> no_retry =
        GuidsOf(log.Messages("ERROR"), ": Abandoning sequence SendAlarm due to HTTP failure. No retry.");
    ASSERT_FALSE(no_retry.empty());
    EXPECT_EQ(1, log.Count("ERROR", "Unexpected/Invalid XML response, abandoning request " + no_retry[0]));
    EXPECT_EQ(1, log.CountContaining("ERROR", "dropped after 2 s of refusals by the receiver (no sequence identifier): "
                                              "SendAlarm {\"camera\":\"front door\"}"));
    EXPECT_GE(log.CountContaining("WARNING", "refused by the receiver (no sequence identifier); kept"), 1);
    kv::Outbox::Summary summary;
    ASSERT_TRUE(kv::Outbox::Inspect(path, summary, nullptr).ok());
    EXPECT_EQ(0u, summary.waiting + summary.refused);
    EXPECT_EQ(0, sim.Stats()["app"]);
    EXPECT_EQ(0, sim.Stats()["last"]);
}

// --- The receiver away and back -----------------------------------------------------------

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
        SequencerSetup setup = WithOutbox(dir.Join("outbox.db"));
        setup.retry_base = milliseconds(1000);
        setup.retry_cap = milliseconds(60000);
        setup.summary = milliseconds(static_cast<long long>(summary_s * 1000));
        SequencerRig network(url, setup);
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
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Receiver unreachable (") == 1; }, seconds(60),
                            milliseconds(10)));
        std::this_thread::sleep_for(milliseconds(static_cast<long long>(outage_s * 1000)));
        EXPECT_FALSE(network.Stats().receiver_reachable);
        EXPECT_EQ(static_cast<uint64_t>(alarms), network.Stats().waiting);

        sim = std::make_unique<ReceiverSim>();
        ASSERT_TRUE(sim->Start({"--port", port}));
        const auto returned = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitFor([&] { return network.Stats().receiver_reachable; }, seconds(20), milliseconds(10)));
        moving_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - returned).count();
        ASSERT_TRUE(WaitFor([&] { return sim->Records().size() == static_cast<size_t>(alarms); }, seconds(180),
                            milliseconds(50)));
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
              << " log lines from the outage to the return; the backlog moved " << moving_s << " s and all " << alarms
              << " alarms were delivered " << after_return_s << " s after the receiver returned" << std::endl;
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

// The alarm numbers a receiver has recorded.
std::set<int> AlarmsAt(const ReceiverSim& sim) {
    std::set<int> alarms;
    for (const nlohmann::json& record : sim.Records()) {
        if (record.value("method", "") != "SendAlarm" || !record.contains("payload")) continue;
        alarms.insert(record["payload"].value("n", -1));
    }
    return alarms;
}

bool HasAll(const std::set<int>& alarms, int first, int count) {
    for (int n = first; n < first + count; ++n) {
        if (alarms.count(n) == 0) return false;
    }
    return true;
}

// Two receivers, the primary on 127.0.0.1 and the backup on 127.0.0.2, each stopped (its
// port then refuses connections) and started again on its port: the backup's breaker opens
// on its heartbeats and closes when its port accepts again; the primary's opening moves the
// alarms to the backup within seconds, and its return brings them back.
TEST(SoapSequencer, TwoReceiversTakeTurnsAsEachGoesAndComesBack) {
    auto primary = std::make_unique<ReceiverSim>();
    auto backup = std::make_unique<ReceiverSim>(kBackupAddress);
    ASSERT_TRUE(primary->Start());
    ASSERT_TRUE(backup->Start()) << "127.0.0.2 must be usable on this machine";
    const std::string primary_url = primary->url();
    const std::string backup_url = backup->url();
    kv::testing::TestDir dir;
    LogCapture log(INFO);
    SequencerSetup setup = WithOutbox(dir.Join("outbox.db"));
    setup.heartbeat = milliseconds(200);
    setup.retry_base = milliseconds(200);
    setup.retry_cap = milliseconds(2000);
    setup.summary = milliseconds(500);
    setup.backup = backup_url;
    SequencerRig network(primary_url, setup);
    const auto send = [&](int first, int count) {
        for (int n = first; n < first + count; ++n) {
            network.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(n) + "}");
        }
    };
    const auto restart = [](std::unique_ptr<ReceiverSim>& sim, const char* address, const std::string& url) {
        sim = std::make_unique<ReceiverSim>(address);
        return sim->Start({"--port", std::to_string(PortOf(url))});
    };

    backup.reset();
    network.sequencer().StartHeartbeat("{\"hb\":1}");
    // The counters change before the line about the change is written.
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Backup receiver unreachable (") == 1; }, seconds(30)));
    EXPECT_FALSE(network.Stats().backup_reachable);
    EXPECT_TRUE(network.Stats().receiver_reachable);
    ASSERT_TRUE(restart(backup, kBackupAddress, backup_url));
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "Backup receiver answers again after ") == 1; }, seconds(10)));
    EXPECT_TRUE(network.Stats().backup_reachable);
    EXPECT_TRUE(AlarmsAt(*backup).empty());

    primary.reset();
    send(0, 30);
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Primary receiver unreachable (") == 1; }, seconds(60),
                        milliseconds(10)));
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return HasAll(AlarmsAt(*backup), 0, 30); }, seconds(30), milliseconds(10)));
    const double after_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    EXPECT_LE(after_s, 5.0) << "alarms reached the backup " << after_s << " s after the breaker opened";
    EXPECT_EQ(1, log.CountContaining("ERROR", "go to the backup receiver " + backup_url));

    ASSERT_TRUE(restart(primary, "127.0.0.1", primary_url));
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "Primary receiver answers again after ") == 1; }, seconds(10),
                        milliseconds(10)));
    const size_t on_backup = AlarmsAt(*backup).size();
    send(30, 10);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AlarmsAt(*primary), 30, 10); }, seconds(5), milliseconds(10)));
    EXPECT_EQ(on_backup, AlarmsAt(*backup).size()) << "no alarm goes to the backup once the primary answers";
    EXPECT_EQ(1, log.CountContaining("INFO", " were delivered on the backup meanwhile"));
    ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 0; }));
}

// --- What only the driver does ------------------------------------------------------------

// The time-server answer reaches the latest handler, on the network thread, from the
// latest endpoint; one that is no object is handed over marked invalid.
TEST(SoapSequencer, TimeServerAnswersReachTheLatestHandlerOnTheNetworkThread) {
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--ntp", "{\"NTPServerIP\":\"127.0.0.2\",\"NTPServerPort\":\"123\",\"TimeZone\":\"UTC+01\","
                                    "\"UpdateInterval\":\"3600\"}"}));
    std::mutex mutex;
    std::vector<kv::soap::NtpInfo> first, second;
    std::vector<std::thread::id> threads;
    const auto sink = [&](std::vector<kv::soap::NtpInfo>& infos) {
        return [&](const kv::soap::NtpInfo& info) {
            std::lock_guard<std::mutex> lock(mutex);
            infos.push_back(info);
            threads.push_back(std::this_thread::get_id());
        };
    };
    const auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size();
    };
    std::thread::id network_thread;
    {
        // The later endpoint is the one used.
        SequencerRig network("http://127.0.0.1:9/WXAlarmReceiver/Receiver.svc", SequencerSetup());
        network.sequencer().UpdateServiceEndpoint(sim.url());
        network.sequencer().RequestNtpInfo("{\"SiteNumber\":\"1\"}", sink(first));
        network.sequencer().RequestNtpInfo("{\"SiteNumber\":\"1\"}", sink(second));
        ASSERT_TRUE(WaitFor([&] { return count() == 2; }));
        ASSERT_EQ("ok", sim.Command("ntp [\"127.0.0.2\"]"));
        network.sequencer().RequestNtpInfo("{}", sink(second));
        ASSERT_TRUE(WaitFor([&] { return count() == 3 && log.CountContaining("VERBOSE", "LastMessage successful") == 3; }));
        network_thread = network.thread_id();
    }
    EXPECT_TRUE(first.empty());
    ASSERT_EQ(3u, second.size());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ("127.0.0.2", second[i].ntp_server_ip);
        EXPECT_EQ("123", second[i].ntp_server_port);
        EXPECT_EQ("UTC+01", second[i].time_zone);
        EXPECT_EQ("3600", second[i].update_interval);
        EXPECT_EQ(0, second[i].error_code);
    }
    EXPECT_EQ(-1, second[2].error_code);
    EXPECT_EQ("", second[2].ntp_server_ip);
    for (const std::thread::id& thread : threads) EXPECT_EQ(network_thread, thread);
    const std::string guid = sim.Records().at(0)["guid"];
    EXPECT_EQ("GetNTPServerInfo", sim.Records().at(0)["method"]);
    EXPECT_EQ(1, log.Count("INFO", guid + ": Received ntp info: ip=127.0.0.2:123"));
    EXPECT_EQ(1, log.Count("ERROR", "Failed to receive valid ntp info from wardex"));
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

// The outbox's lines as the service writes them, through a disk that fills up and frees,
// a cap reached, a stop and a start. No receiver: every alarm ends on disk.
TEST(SoapSequencer, TheOutboxSaysWhatBecameOfItsAlarms) {
    kv::testing::FaultVfs& vfs = kv::testing::FaultVfs::Install();
    vfs.Disarm();
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    SequencerSetup setup = WithOutbox(path);
    setup.reopen = milliseconds(100);
    setup.outbox_cap = 6;
    setup.summary = milliseconds(300);
    {
        SequencerRig rig("", setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":0}");
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 1; }));
        vfs.ArmSticky(kv::testing::FaultVfs::Op::kWrite, 1, SQLITE_FULL);
        for (int i = 1; i <= 5; ++i) rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 6; }));
        std::this_thread::sleep_for(milliseconds(400));  // reopening fails while the disk is full
        vfs.Disarm();
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "usable again") == 1; }));
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":6}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "alarms refused in the last period") == 1; }));
    }
    { SequencerRig again("", WithOutbox(path)); }
    EXPECT_EQ(1, log.CountContaining("ERROR", "Outbox " + path + " unusable ("));
    EXPECT_EQ(1, log.CountContaining("ERROR", "): alarms are forwarded from memory only"));
    EXPECT_EQ(1, log.Count("INFO", "Outbox " + path + " usable again: 5 alarms held in memory stored, 6 alarms on disk"));
    EXPECT_EQ(1, log.Count("ERROR", "Outbox full (6 alarms): the newest alarms are refused"));
    EXPECT_EQ(1, log.Count("ERROR", "Outbox full: 1 alarms refused in the last period"));
    EXPECT_EQ(2, log.Count("INFO", "Outbox: 6 alarms left for the next start"));
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 6 alarms from the last run are delivered first"));
    kv::Outbox::Summary summary;
    std::vector<kv::Outbox::Item> items;
    ASSERT_TRUE(kv::Outbox::Inspect(path, summary, &items).ok());
    ASSERT_EQ(6u, items.size());
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ("{\"n\":" + std::to_string(i) + "}", items[i].payload);
}

// A damaged file is set aside under a name of its own, and a fresh one keeps the alarms;
// without an outbox a full window drops the next payload with its WARNING.
TEST(SoapSequencer, ADamagedOutboxIsSetAsideAndAFullWindowDropsWithAWarning) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    std::ofstream(path, std::ios::binary) << std::string(4096, 'x');
    LogCapture log;
    {
        SequencerRig rig("", WithOutbox(path));
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 1; }));
    }
    const std::vector<std::string> errors = log.Messages("ERROR");
    ASSERT_EQ(1u, errors.size());
    const std::string lead = "Outbox " + path + " was damaged and is kept as ";
    const std::string tail = "; a fresh one is used";
    ASSERT_EQ(0u, errors[0].find(lead + path + ".corrupt-")) << errors[0];
    ASSERT_EQ(tail, errors[0].substr(errors[0].size() - tail.size()));
    EXPECT_TRUE(std::ifstream(errors[0].substr(lead.size(), errors[0].size() - tail.size() - lead.size())).good());
    EXPECT_EQ(1, log.Count("INFO", "Outbox: 1 alarms left for the next start"));

    SequencerSetup small;
    small.window = 3;
    {
        SequencerRig rig("", small);
        for (int i = 0; i < 4; ++i) rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(WaitFor([&] { return log.Count("WARNING", "Queue size limit reached. Omitting sequence.") == 1; }));
        EXPECT_EQ(3u, rig.Stats().waiting);
    }
}

}  // namespace
