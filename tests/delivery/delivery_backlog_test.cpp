// The in-memory window in front of the outbox: order, refill, refusal, held payloads and
// poison payloads that wait alone.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/delivery/delivery_backlog.h"
#include "tests/delivery/delivery_test_support.h"
#include "tests/foundation/test_dir.h"

namespace {

using kv::delivery::DeliveryBacklog;
using kv::delivery::Milliseconds;
using kv::delivery::Payload;
using kv::delivery::TimePoint;
using kv::testing::TestDir;
using kv::test::Alarms;

std::vector<std::string> Texts(const std::deque<Payload>& payloads) {
    std::vector<std::string> texts;
    for (const Payload& payload : payloads) texts.push_back(payload.payload);
    return texts;
}

TEST(DeliveryBacklog, AlarmsBeyondTheWindowWaitOnDiskAndEnterOldestFirstAsItFrees) {
    TestDir dir;
    DeliveryBacklog backlog(3);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<kv::Outbox>(dir.Join("outbox.db"))).ok());
    std::vector<Payload> incoming = Alarms("a", 5);
    const DeliveryBacklog::Intake intake = backlog.Accept(incoming);
    EXPECT_EQ(0u, intake.refused_by_window);
    EXPECT_EQ(1u, backlog.outbox()->Commits()) << "one transaction for the intake";
    EXPECT_EQ(5u, backlog.outbox()->Count());
    EXPECT_EQ(3u, backlog.in_window());
    EXPECT_EQ(2u, backlog.on_disk_only());
    EXPECT_EQ(5u, backlog.Waiting());

    // Taken in parts, as the engine has room: the line keeps its order.
    std::deque<Payload> ready = backlog.TakeReady(2);
    EXPECT_EQ((std::vector<std::string>{"a0", "a1"}), Texts(ready));
    EXPECT_TRUE(backlog.HasReady());
    ready.push_back(std::move(backlog.TakeReady(5).front()));
    EXPECT_FALSE(backlog.HasReady());
    EXPECT_EQ((std::vector<std::string>{"a0", "a1", "a2"}), Texts(ready));
    EXPECT_EQ(3u, backlog.in_window()) << "taken payloads keep their places until finished";
    // A newer alarm may not overtake the two on disk.
    std::vector<Payload> newer = Alarms("b", 1);
    backlog.Accept(newer);
    EXPECT_EQ(3u, backlog.on_disk_only());
    EXPECT_EQ(0u, backlog.Refill(0)) << "the window is full";

    backlog.Finished(ready[0]);
    backlog.Finished(ready[1]);
    ASSERT_TRUE(backlog.FlushDeletes().ok());
    EXPECT_EQ(4u, backlog.outbox()->Count());
    EXPECT_EQ(2u, backlog.Refill(0));
    EXPECT_EQ((std::vector<std::string>{"a3", "a4"}), Texts(backlog.TakeReady()));
    backlog.Finished(ready[2]);
    EXPECT_EQ(1u, backlog.Refill(0));
    EXPECT_EQ((std::vector<std::string>{"b0"}), Texts(backlog.TakeReady()));
    EXPECT_EQ(0u, backlog.on_disk_only());
}

// A previous run that stored `count` alarms named prefix0, prefix1, ... and stopped.
void LeaveInOutbox(const std::string& path, const std::string& prefix, int count) {
    DeliveryBacklog previous(static_cast<size_t>(count) + 1);
    ASSERT_TRUE(previous.UseOutbox(std::make_unique<kv::Outbox>(path)).ok());
    std::vector<Payload> incoming = Alarms(prefix, count);
    previous.Accept(incoming);
}

TEST(DeliveryBacklog, WhatAPreviousRunLeftWaitsOnDiskUntilRefilled) {
    TestDir dir;
    LeaveInOutbox(dir.Join("outbox.db"), "old", 4);
    DeliveryBacklog second(10);
    ASSERT_TRUE(second.UseOutbox(std::make_unique<kv::Outbox>(dir.Join("outbox.db"))).ok());
    EXPECT_EQ(4u, second.on_disk_only());
    EXPECT_EQ(4u, second.Refill(0));
    EXPECT_EQ((std::vector<std::string>{"old0", "old1", "old2", "old3"}), Texts(second.TakeReady()));
}

// A restart with a large outbox: the stored alarms fill the window but for its last
// tenth, where the payloads that cannot wait on disk (the recorder information, the
// heartbeat) still find a place.
TEST(DeliveryBacklog, StoredAlarmsLeaveRoomForPayloadsThatCannotWaitOnDisk) {
    TestDir dir;
    LeaveInOutbox(dir.Join("outbox.db"), "old", 60);
    DeliveryBacklog backlog(50);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<kv::Outbox>(dir.Join("outbox.db"))).ok());
    EXPECT_EQ(45u, backlog.Refill(0));
    EXPECT_EQ(0u, backlog.Refill(0)) << "the last tenth stays free";
    std::vector<Payload> newer = Alarms("new", 1);
    EXPECT_EQ(0u, backlog.Accept(newer).refused_by_window);
    EXPECT_EQ(16u, backlog.on_disk_only()) << "a new alarm waits behind the stored ones";

    std::vector<Payload> info = Alarms("info", 6, 0, false);
    EXPECT_EQ(1u, backlog.Accept(info).refused_by_window);
    EXPECT_EQ(50u, backlog.in_window());
    const std::vector<std::string> ready = Texts(backlog.TakeReady());
    ASSERT_EQ(50u, ready.size());
    EXPECT_EQ("old0", ready.front());
    EXPECT_EQ("info4", ready.back());
}

TEST(DeliveryBacklog, WithoutAnOutboxAFullWindowRefusesAndNonAlarmsAreNeverStored) {
    TestDir dir;
    DeliveryBacklog memory_only(2);
    std::vector<Payload> incoming = Alarms("m", 3);
    EXPECT_EQ(1u, memory_only.Accept(incoming).refused_by_window);
    EXPECT_EQ(2u, memory_only.in_window());

    DeliveryBacklog durable(2);
    ASSERT_TRUE(durable.UseOutbox(std::make_unique<kv::Outbox>(dir.Join("outbox.db"))).ok());
    std::vector<Payload> info = Alarms("info", 3, 0, false);
    EXPECT_EQ(1u, durable.Accept(info).refused_by_window);
    EXPECT_EQ(0u, durable.outbox()->Count());
}

TEST(DeliveryBacklog, AnUnusableOutboxLeavesMemoryOnly) {
    TestDir dir;
    DeliveryBacklog backlog(5);
    EXPECT_FALSE(backlog.UseOutbox(std::make_unique<kv::Outbox>(dir.Join("missing/outbox.db"))).ok());
    EXPECT_FALSE(backlog.durable());
    std::vector<Payload> incoming = Alarms("a", 2);
    backlog.Accept(incoming);
    EXPECT_EQ(2u, backlog.in_window());
}

TEST(DeliveryBacklog, HeldPayloadsAreReleasedTogetherWhilePoisonPayloadsKeepTheirOwnTime) {
    DeliveryBacklog backlog(10);
    std::vector<Payload> incoming = Alarms("p", 3, 0, false);
    backlog.Accept(incoming);
    std::deque<Payload> ready = backlog.TakeReady();
    const TimePoint now{std::chrono::hours(1)};
    ready[0].held_for_receiver = true;
    ready[0].failures = 4;
    ready[1].held_for_receiver = true;
    ready[2].failures = 5;  // the receiver answered and refused it
    backlog.Wait(ready[0], now + Milliseconds(8000));
    backlog.Wait(ready[1], now + Milliseconds(30000));
    backlog.Wait(ready[2], now + Milliseconds(16000));
    EXPECT_EQ(now + Milliseconds(8000), *backlog.NextDue());

    EXPECT_EQ(2u, backlog.ReleaseHeld());
    const std::deque<Payload> released = backlog.TakeReady();
    EXPECT_EQ((std::vector<std::string>{"p0", "p1"}), Texts(released));
    EXPECT_EQ(0, released[0].failures) << "the outage is not the payload's fault";
    EXPECT_EQ(now + Milliseconds(16000), *backlog.NextDue());
    backlog.MoveDue(now + Milliseconds(15999));
    EXPECT_TRUE(backlog.TakeReady().empty());
    backlog.MoveDue(now + Milliseconds(16000));
    EXPECT_EQ((std::vector<std::string>{"p2"}), Texts(backlog.TakeReady()));
}

TEST(DeliveryBacklog, TheProbeIsTheOldestReadyElseTheFirstWaiting) {
    DeliveryBacklog backlog(10);
    std::vector<Payload> incoming = Alarms("q", 2, 0, false);
    backlog.Accept(incoming);
    std::deque<Payload> ready = backlog.TakeReady();
    const TimePoint now{std::chrono::hours(1)};
    backlog.Wait(ready[1], now + Milliseconds(5));
    backlog.Wait(ready[0], now + Milliseconds(9));
    std::vector<Payload> fresh = Alarms("fresh", 1, 0, false);
    backlog.Accept(fresh);
    EXPECT_EQ("fresh0", backlog.TakeProbe()->payload);
    EXPECT_EQ("q1", backlog.TakeProbe()->payload);
    EXPECT_EQ("q0", backlog.TakeProbe()->payload);
    EXPECT_FALSE(backlog.TakeProbe());
}

}  // namespace
