// What the sequencer does with each kind of answer, against the receiver simulator: an
// alarm leaves the outbox only once its application message was answered with a result.
// Redirects, pages that are no SOAP, refusals, a receiver failing every payload, trickling
// answers and a disk that fills up each keep the alarm until it can be delivered.
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/outbox.h"
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

kv::Outbox::Summary Inspect(const std::string& path) {
    kv::Outbox::Summary summary;
    EXPECT_TRUE(kv::Outbox::Inspect(path, summary, nullptr).ok());
    return summary;
}

SequencerSetup WithOutbox(const std::string& path) {
    SequencerSetup setup;
    setup.outbox = path;
    return setup;
}

// A 302 is never followed: nothing reaches the other address, an ERROR names it, and the
// alarm waits for the receiver to answer at the configured one.
TEST(DeliveryOutcomes, RedirectsAreNeverFollowedAndTheAlarmIsKept) {
    kv::testing::TestDir dir;
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app redirect times=2"}));
    {
        SequencerRig rig(sim.url(), WithOutbox(dir.Join("outbox.db")));
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 1; }));
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 0; }));
    }
    const nlohmann::json stats = sim.Stats();
    EXPECT_EQ(0, stats["violations"]) << "a request went to the redirect's target: " << stats.dump();
    EXPECT_EQ(3, stats["app"]);
    EXPECT_EQ(2, log.CountContaining("ERROR", ": the receiver redirects (HTTP Status 302, Location: http://127.0.0.1:"));
    EXPECT_EQ(2, log.CountContaining("ERROR", "/WXAlarmReceiver/Moved.svc); redirects are not followed: correct "
                                              "service_endpoint"));
    EXPECT_EQ(2, log.CountContaining("ERROR", ": HTTP Post failed: (0). HTTP Status: 302"));
    EXPECT_EQ(0u, Inspect(dir.Join("outbox.db")).waiting);
}

// A maintenance page with 200 is no answer from the receiver: the alarm goes again.
TEST(DeliveryOutcomes, AnHtmlPageWith200IsNoAnswerAndTheAlarmGoesAgain) {
    kv::testing::TestDir dir;
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app html times=2"}));
    {
        SequencerRig rig(sim.url(), WithOutbox(dir.Join("outbox.db")));
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 1; }));
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 0; }));
        EXPECT_EQ(1u, rig.Stats().delivered);
    }
    EXPECT_EQ(2, log.CountContaining("ERROR", ": the answer is no SOAP envelope (HTTP Status 200, text/html; "
                                              "charset=utf-8, "));
    EXPECT_EQ(2, log.CountContaining("ERROR", "due to HTTP failure. Retry sending payload"));
    EXPECT_EQ(0, log.CountContaining("ERROR", "Failed parsing XML response"));
}

// A SOAP fault in a 200 is a refusal: the alarm stays stored, marked refused, is not sent
// again at once, and goes again when its refusal wait is over.
TEST(DeliveryOutcomes, ARefusedAlarmStaysStoredAndIsTriedAgainAfterItsWait) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app soap-fault 200"}));
    SequencerSetup setup = WithOutbox(path);
    // Wall-clock seconds: a 3 s wait is at least 2 s long, well past the 600 ms below.
    setup.refusal_base = seconds(3);
    setup.refusal_cap = seconds(3);
    setup.refusal_keep = seconds(3600);
    {
        SequencerRig rig(sim.url(), setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("WARNING", "refused by the receiver") == 1; }));
        EXPECT_TRUE(WaitFor([&] { return rig.Stats().refused == 1; }));
        const kv::Outbox::Summary summary = Inspect(path);
        EXPECT_EQ(1u, summary.refused);
        EXPECT_EQ(1u, summary.refused_by_reason.count("SOAP fault"));
        // Not sent again at once: the retry back-off (50 ms) is not the refusal's.
        std::this_thread::sleep_for(milliseconds(600));
        EXPECT_EQ(1, sim.Stats()["app"]);
        ASSERT_EQ("ok", sim.Command("clear"));
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 1; }, seconds(10)));
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().refused == 0; }));
    }
    EXPECT_EQ(1, log.CountContaining("WARNING", "refused by the receiver (SOAP fault); kept, next attempt in 3 s"));
    const kv::Outbox::Summary summary = Inspect(path);
    EXPECT_EQ(0u, summary.waiting);
    EXPECT_EQ(0u, summary.refused);
}

// After the keep period of refusals the alarm is dropped, with an ERROR that names it.
TEST(DeliveryOutcomes, AnAlarmRefusedForTheWholeKeepPeriodIsDroppedWithAnError) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "create no-identifier"}));
    SequencerSetup setup = WithOutbox(path);
    setup.refusal_base = seconds(1);
    setup.refusal_cap = seconds(1);
    setup.refusal_keep = seconds(2);
    {
        SequencerRig rig(sim.url(), setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"camera\":\"front door\"}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "of refusals by the receiver") == 1; },
                            seconds(15)));
    }
    const std::vector<std::string> errors = log.Messages("ERROR");
    EXPECT_EQ(1, log.CountContaining("ERROR", "dropped after 2 s of refusals by the receiver (no sequence "
                                              "identifier): SendAlarm {\"camera\":\"front door\"}"));
    EXPECT_GE(log.CountContaining("WARNING", "refused by the receiver (no sequence identifier); kept"), 1);
    EXPECT_EQ(0u, Inspect(path).waiting + Inspect(path).refused);
    EXPECT_EQ(0, sim.Stats()["app"]);
}

// A receiver whose back end is down answers every payload with 500: three payloads
// failing in a row open the breaker, the log stays short, and every alarm is kept.
TEST(DeliveryOutcomes, A500FromEveryPayloadOpensTheBreakerAndKeepsEveryAlarm) {
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app status 500"}));
    SequencerSetup setup = WithOutbox(path);
    setup.summary = milliseconds(300);
    {
        SequencerRig rig(sim.url(), setup);
        for (int i = 0; i < 200; ++i) rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "Receiver unreachable (error 0, HTTP status 500)") == 1; }));
        std::this_thread::sleep_for(milliseconds(1500));
        EXPECT_FALSE(rig.Stats().receiver_reachable);
        // The probe alone goes on while the breaker is open.
        const int app_before = sim.Stats()["app"];
        std::this_thread::sleep_for(milliseconds(600));
        EXPECT_LE(sim.Stats()["app"].get<int>() - app_before, 2);

        ASSERT_EQ("ok", sim.Command("clear"));
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 200; }, seconds(60)));
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 0; }));
    }
    // Only the exchanges in flight when it opened log their failure; then a line a period.
    EXPECT_LT(log.Messages("ERROR").size(), 600u);
    EXPECT_EQ(1, log.CountContaining("INFO", "Receiver answers again after"));
    EXPECT_EQ(0u, Inspect(path).waiting);
}

// An answer that trickles in a few bytes at a time ends at the exchange's deadline, and
// the alarm goes again.
TEST(DeliveryOutcomes, ATricklingAnswerEndsAtTheDeadlineAndTheAlarmGoesAgain) {
    kv::testing::TestDir dir;
    LogCapture log;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--fault", "app trickle times=1"}));
    SequencerSetup setup = WithOutbox(dir.Join("outbox.db"));
    setup.deadline = milliseconds(1500);
    {
        SequencerRig rig(sim.url(), setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
        ASSERT_TRUE(WaitFor([&] { return sim.Records().size() == 1; }, seconds(20)));
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 0; }));
        EXPECT_EQ(1u, rig.Stats().delivered);
    }
    EXPECT_EQ(1, log.CountContaining("ERROR", ": HTTP Post failed: (12). HTTP Status: 200"));
}

// A receiver that answers every application message after 5 s: the first attempt gives
// up quickly, as on a stalled receiver; the next one waits for the answer and delivers.
TEST(DeliveryOutcomes, ASlowReceiverGetsTheAlarmOnItsSecondAttempt) {
    kv::testing::TestDir dir;
    ReceiverSim sim;
    ASSERT_TRUE(sim.Start({"--delay", "app", "5000"}));
    SequencerRig rig(sim.url(), WithOutbox(dir.Join("outbox.db")));
    rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":1}");
    ASSERT_TRUE(WaitFor([&] { return rig.Stats().delivered == 1; }, seconds(30)));
    EXPECT_LE(sim.Stats()["app"].get<int>(), 2);
}

// The disk fills up under the outbox: one ERROR, alarms are held in memory (and still
// sent), and once it works again the ones still waiting are written to it.
TEST(DeliveryOutcomes, AFailingOutboxIsReopenedAndTheAlarmsHeldInMemoryAreStored) {
    kv::testing::FaultVfs& vfs = kv::testing::FaultVfs::Install();
    kv::testing::TestDir dir;
    const std::string path = dir.Join("outbox.db");
    LogCapture log;
    SequencerSetup setup = WithOutbox(path);
    setup.reopen = milliseconds(100);
    {
        // No endpoint: nothing is delivered, so every alarm must end on disk.
        SequencerRig rig("", setup);
        rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":0}");
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 1; }));
        vfs.ArmSticky(kv::testing::FaultVfs::Op::kWrite, 1, SQLITE_FULL);
        for (int i = 1; i <= 5; ++i) rig.sequencer().SendEventMessage("SendAlarm", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("ERROR", "unusable") == 1; }));
        ASSERT_TRUE(WaitFor([&] { return rig.Stats().waiting == 6; }));
        std::this_thread::sleep_for(milliseconds(500));  // reopening fails while the disk is full
        EXPECT_EQ(1, log.CountContaining("ERROR", "unusable")) << "one ERROR, not one per attempt";
        vfs.Disarm();
        ASSERT_TRUE(WaitFor([&] { return log.CountContaining("INFO", "usable again") == 1; }));
    }
    EXPECT_EQ(1, log.CountContaining("INFO", "usable again: 5 alarms held in memory stored, 6 alarms on disk"));
    kv::Outbox::Summary summary;
    std::vector<kv::Outbox::Item> items;
    ASSERT_TRUE(kv::Outbox::Inspect(path, summary, &items).ok());
    ASSERT_EQ(6u, items.size());
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ("{\"n\":" + std::to_string(i) + "}", items[i].payload);
}

}  // namespace
