// Two receivers: the primary on 127.0.0.1 and the backup on 127.0.0.2, each a receiver
// simulator that the tests stop (its port then refuses connections) and start again on
// the same port. Alarms move to the backup when the primary's breaker opens, wait in the
// outbox while both are down, and return to the primary when it answers; heartbeats go
// to both. The io_service runs on its own thread, as the network thread does in the service.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

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
using std::chrono::seconds;

constexpr char kBackupAddress[] = "127.0.0.2";

// The sequencer with both receivers and an outbox, on the shared rig.
class Network : public kv::test::SequencerRig {
public:
    Network(const std::string& primary, const std::string& backup, const std::string& outbox,
            milliseconds heartbeat = milliseconds(600000))
        : SequencerRig(primary, Setup(backup, outbox, heartbeat)) {}

    void SendAlarms(int first, int count) {
        for (int n = first; n < first + count; ++n) {
            sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(n) + "}");
        }
    }

private:
    static kv::test::SequencerSetup Setup(const std::string& backup, const std::string& outbox,
                                          milliseconds heartbeat) {
        kv::test::SequencerSetup setup;
        setup.heartbeat = heartbeat;
        setup.retry_base = milliseconds(200);
        setup.retry_cap = milliseconds(2000);
        setup.summary = milliseconds(500);
        setup.outbox = outbox;
        setup.backup = backup;
        return setup;
    }
};

int PortOf(const std::string& url) {
    const size_t colon = url.find(':', url.find("//") + 2);
    return std::atoi(url.c_str() + colon + 1);
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

size_t CountOf(const ReceiverSim& sim, const std::string& method) {
    size_t count = 0;
    for (const nlohmann::json& record : sim.Records()) count += record.value("method", "") == method ? 1 : 0;
    return count;
}

bool HasAll(const std::set<int>& alarms, int first, int count) {
    for (int n = first; n < first + count; ++n) {
        if (alarms.count(n) == 0) return false;
    }
    return true;
}

std::set<int> Union(const std::set<int>& a, const std::set<int>& b) {
    std::set<int> both = a;
    both.insert(b.begin(), b.end());
    return both;
}

// A second loopback address must answer on this machine; Linux routes all of 127/8 to lo.
bool SecondLoopbackUsable() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, kBackupAddress, &address.sin_addr);
    const bool bound = ::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

class DualPath : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SecondLoopbackUsable()) << "127.0.0.2 cannot be bound on this machine";
        primary_ = std::make_unique<ReceiverSim>();
        backup_ = std::make_unique<ReceiverSim>(kBackupAddress);
        ASSERT_TRUE(primary_->Start());
        ASSERT_TRUE(backup_->Start());
        primary_url_ = primary_->url();
        backup_url_ = backup_->url();
        ASSERT_EQ(0u, primary_url_.find("http://127.0.0.1:"));
        ASSERT_EQ(0u, backup_url_.find("http://127.0.0.2:"));
    }

    // Stops a receiver (its port refuses connections), keeping what it had recorded.
    void StopPrimary() {
        primary_before_ = Union(primary_before_, AlarmsAt(*primary_));
        primary_.reset();
    }
    void StopBackup() {
        backup_before_ = Union(backup_before_, AlarmsAt(*backup_));
        backup_.reset();
    }
    void RestartPrimary() {
        primary_ = std::make_unique<ReceiverSim>();
        ASSERT_TRUE(primary_->Start({"--port", std::to_string(PortOf(primary_url_))}));
    }
    void RestartBackup() {
        backup_ = std::make_unique<ReceiverSim>(kBackupAddress);
        ASSERT_TRUE(backup_->Start({"--port", std::to_string(PortOf(backup_url_))}));
    }
    std::set<int> AtPrimary() const { return primary_ ? Union(primary_before_, AlarmsAt(*primary_)) : primary_before_; }
    std::set<int> AtBackup() const { return backup_ ? Union(backup_before_, AlarmsAt(*backup_)) : backup_before_; }
    std::set<int> Delivered() const { return Union(AtPrimary(), AtBackup()); }

    kv::testing::TestDir dir_;
    std::unique_ptr<ReceiverSim> primary_;
    std::unique_ptr<ReceiverSim> backup_;
    std::string primary_url_;
    std::string backup_url_;
    std::set<int> primary_before_;
    std::set<int> backup_before_;
};

TEST_F(DualPath, WhileThePrimaryIsUpTheBackupGetsNoAlarm) {
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    network.SendAlarms(0, 20);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtPrimary(), 0, 20); }));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(AtBackup().empty());
    EXPECT_TRUE(network.Stats().backup_configured);
    EXPECT_TRUE(network.Stats().receiver_reachable);
    EXPECT_TRUE(network.Stats().backup_reachable);
}

TEST_F(DualPath, ThePrimaryStoppedAlarmsReachTheBackupWithinFiveSecondsOfTheBreakerOpening) {
    LogCapture log(INFO);
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    network.SendAlarms(0, 1);
    ASSERT_TRUE(WaitFor([&] { return AtPrimary().count(0) == 1; }));
    std::this_thread::sleep_for(milliseconds(200));  // its LastMessage
    StopPrimary();

    network.SendAlarms(1, 30);
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Primary receiver unreachable (") == 1; },
                        seconds(60), milliseconds(10)));
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtBackup(), 1, 30); }, seconds(30), milliseconds(10)));
    const double after_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    EXPECT_LE(after_s, 5.0) << "alarms reached the backup " << after_s << " s after the breaker opened";

    // New alarms go straight to the backup while the primary is down.
    network.SendAlarms(31, 10);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtBackup(), 31, 10); }, seconds(5), milliseconds(10)));
    ASSERT_TRUE(WaitFor([&] { return network.Stats().waiting == 0; }));
    EXPECT_FALSE(network.Stats().receiver_reachable);
    EXPECT_TRUE(network.Stats().backup_reachable);
    EXPECT_EQ(1, log.CountContaining("ERROR", "Primary receiver unreachable ("));
    EXPECT_EQ(1, log.CountContaining("ERROR", "go to the backup receiver " + backup_url_));
    EXPECT_EQ(0, log.CountContaining("ERROR", "still unreachable")) << "the backup carries the alarms";
}

TEST_F(DualPath, BothStoppedAlarmsAreStoredAndNothingIsLost) {
    LogCapture log(INFO);
    {
        Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
        network.SendAlarms(0, 1);
        ASSERT_TRUE(WaitFor([&] { return AtPrimary().count(0) == 1; }));
        std::this_thread::sleep_for(milliseconds(200));
        StopPrimary();
        StopBackup();

        network.SendAlarms(1, 40);
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", " too: ") == 1; }, seconds(60), milliseconds(10)));
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Both receivers still unreachable after ") >= 1; },
                            seconds(10), milliseconds(10)));
        EXPECT_EQ(40u, network.Stats().waiting);
        EXPECT_FALSE(network.Stats().receiver_reachable);
        EXPECT_FALSE(network.Stats().backup_reachable);
    }
    // The stop keeps them: the next start delivers every one.
    EXPECT_EQ(1, log.CountContaining("INFO", "Outbox: 40 alarms left for the next start"));
    RestartPrimary();
    RestartBackup();
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    ASSERT_TRUE(WaitFor([&] { return HasAll(Delivered(), 0, 41); }, seconds(60), milliseconds(20)));
    EXPECT_EQ(1, log.CountContaining("ERROR", "Primary receiver unreachable ("));
}

TEST_F(DualPath, ThePrimaryBackTakesNewAlarmsWithinFiveSecondsAndTheWaitingOnesFollow) {
    LogCapture log(INFO);
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    network.SendAlarms(0, 1);
    ASSERT_TRUE(WaitFor([&] { return AtPrimary().count(0) == 1; }));
    std::this_thread::sleep_for(milliseconds(200));
    StopPrimary();
    StopBackup();
    network.SendAlarms(1, 40);
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", " too: ") == 1; }, seconds(60), milliseconds(10)));
    std::this_thread::sleep_for(milliseconds(500));

    RestartPrimary();
    const auto returned = std::chrono::steady_clock::now();
    network.SendAlarms(41, 5);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtPrimary(), 41, 5); }, seconds(30), milliseconds(10)));
    const double new_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - returned).count();
    EXPECT_LE(new_s, 5.0) << "new alarms reached the primary " << new_s << " s after its return";
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtPrimary(), 1, 40); }, seconds(60), milliseconds(20)));
    EXPECT_TRUE(AtBackup().empty()) << "the backup never answered";
    EXPECT_EQ(1, log.CountContaining("INFO", "Primary receiver answers again after "));
    EXPECT_TRUE(network.Stats().receiver_reachable);
}

TEST_F(DualPath, AlarmsReturnToThePrimaryAsSoonAsItAnswersItsProbe) {
    LogCapture log(INFO);
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    network.sequencer().StartHeartbeat("{\"hb\":1}");
    network.SendAlarms(0, 1);
    ASSERT_TRUE(WaitFor([&] { return AtPrimary().count(0) == 1; }));
    std::this_thread::sleep_for(milliseconds(200));
    StopPrimary();
    network.SendAlarms(1, 20);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtBackup(), 1, 20); }, seconds(30), milliseconds(10)));

    // The primary's probe (a heartbeat, since the backup carries every alarm) notices it back.
    RestartPrimary();
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "Primary receiver answers again after ") == 1; },
                        seconds(10), milliseconds(10)));
    const size_t backup_alarms = AtBackup().size();
    network.SendAlarms(21, 10);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtPrimary(), 21, 10); }, seconds(5), milliseconds(10)));
    EXPECT_EQ(backup_alarms, AtBackup().size()) << "no alarm goes to the backup once the primary answers";
    EXPECT_EQ(1, log.CountContaining("INFO", " were delivered on the backup meanwhile"));
    EXPECT_TRUE(HasAll(Delivered(), 0, 31));
}

TEST_F(DualPath, HeartbeatsArriveAtBothAndTheRecorderInformationAtThePrimaryOnly) {
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"), milliseconds(300));
    network.sequencer().StartHeartbeat("{\"hb\":1}");
    network.sequencer().SendEventMessage("SendRecorderInfo", "{\"recorder\":1}");
    ASSERT_TRUE(WaitFor([&] { return CountOf(*primary_, "SendHeartBeat") >= 3 && CountOf(*backup_, "SendHeartBeat") >= 3; }));
    EXPECT_EQ(1u, CountOf(*primary_, "SendRecorderInfo"));
    EXPECT_EQ(0u, CountOf(*backup_, "SendRecorderInfo"));
}

TEST_F(DualPath, WhileThePrimaryIsDownTheRecorderInformationGoesToTheBackup) {
    LogCapture log(INFO);
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    StopPrimary();
    network.SendAlarms(0, 5);
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Primary receiver unreachable (") == 1; },
                        seconds(60), milliseconds(10)));
    network.sequencer().SendEventMessage("SendRecorderInfo", "{\"recorder\":1}");
    ASSERT_TRUE(WaitFor([&] { return CountOf(*backup_, "SendRecorderInfo") == 1; }, seconds(10)));
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtBackup(), 0, 5); }, seconds(10)));
}

TEST_F(DualPath, FailedHeartbeatsOpenTheBackupsBreakerAndItsReturnIsNoticed) {
    LogCapture log(INFO);
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"), milliseconds(200));
    StopBackup();
    network.sequencer().StartHeartbeat("{\"hb\":1}");
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Backup receiver unreachable (") == 1; },
                        seconds(30), milliseconds(10)));
    EXPECT_TRUE(network.Stats().receiver_reachable);
    EXPECT_FALSE(network.Stats().backup_reachable);
    network.SendAlarms(0, 10);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtPrimary(), 0, 10); }, seconds(10)));

    RestartBackup();
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "Backup receiver answers again after ") == 1; },
                        seconds(10), milliseconds(10)));
    EXPECT_TRUE(network.Stats().backup_reachable);
    EXPECT_TRUE(AtBackup().empty());
}

// The primary takes each application message and drops the connection without an answer:
// those alarms may have reached it, and once the backup delivers them too they are counted
// as possibly delivered on both, in the line that marks the primary's return.
TEST_F(DualPath, AlarmsThatMayHaveReachedBothReceiversAreCounted) {
    LogCapture log(INFO);
    Network network(primary_url_, backup_url_, dir_.Join("outbox.db"));
    network.sequencer().StartHeartbeat("{\"hb\":1}");
    ASSERT_EQ("ok", primary_->Command("fault app close").substr(0, 2));
    network.SendAlarms(0, 10);
    ASSERT_TRUE(WaitFor([&] { return HasAll(AtBackup(), 0, 10); }, seconds(30), milliseconds(10)));
    EXPECT_EQ(1, log.CountContaining("ERROR", "Primary receiver unreachable ("));

    ASSERT_EQ("ok", primary_->Command("clear").substr(0, 2));
    ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "Primary receiver answers again after ") == 1; },
                        seconds(20), milliseconds(10)));
    int counted = -1;
    for (const std::string& message : log.Messages("INFO")) {
        const size_t at = message.find(" were delivered on the backup meanwhile, ");
        if (at != std::string::npos) counted = std::atoi(message.c_str() + at + 41);
    }
    // At least the payloads whose failures opened the breaker had their message taken.
    EXPECT_GE(counted, 3);
    EXPECT_LE(counted, 10);
}

}  // namespace
