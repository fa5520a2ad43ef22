// The outbox and the backlog in front of it meet a failed read, write, sync or truncation
// at every point of a store, take and delete cycle in turn (the n-th operation, n = 1, 2,
// ... until a cycle runs without the fault firing). At every n nothing crashes, nothing
// leaks, and every alarm is accounted for by its text: delivered, still stored, or held
// in memory and stored once the file works again.
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/delivery/delivery_backlog.h"
#include "src/outbox/outbox.h"
#include "tests/delivery/delivery_test_support.h"
#include "tests/foundation/test_dir.h"
#include "tests/support/fault_vfs.h"

namespace {

using kv::Outbox;
using kv::Status;
using kv::delivery::DeliveryBacklog;
using kv::delivery::Payload;
using kv::testing::FaultVfs;
using kv::testing::TestDir;
using Op = FaultVfs::Op;

// Bounds of one search: the cycles are small, so these are never reached unless a fault
// keeps firing for ever.
constexpr int kMaxN = 3000;
constexpr std::chrono::seconds kMaxTime{90};

struct Fault {
    Op op;
    int code;
    bool sticky;  // the n-th and every later operation fail, like a disk that filled up
    const char* name;
};

std::string PrintFault(const ::testing::TestParamInfo<Fault>& info) { return info.param.name; }
void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

const Fault kFaults[] = {
    {Op::kRead, SQLITE_IOERR_READ, false, "ReadIoErr"},
    {Op::kRead, SQLITE_FULL, false, "ReadFull"},
    {Op::kWrite, SQLITE_IOERR_WRITE, false, "WriteIoErr"},
    {Op::kWrite, SQLITE_FULL, false, "WriteFull"},
    {Op::kSync, SQLITE_IOERR_FSYNC, false, "SyncIoErr"},
    {Op::kSync, SQLITE_FULL, false, "SyncFull"},
    {Op::kTruncate, SQLITE_IOERR_TRUNCATE, false, "TruncateIoErr"},
    {Op::kTruncate, SQLITE_FULL, false, "TruncateFull"},
    {Op::kWrite, SQLITE_FULL, true, "WriteFullSticky"},
    {Op::kSync, SQLITE_IOERR_FSYNC, true, "SyncIoErrSticky"},
};

int64_t WallNow() { return static_cast<int64_t>(::time(nullptr)); }

// What the file holds, read by a connection of the test's own after the fault is gone.
std::multiset<std::string> StoredTexts(const std::string& path) {
    std::multiset<std::string> texts;
    Outbox::Summary summary;
    std::vector<Outbox::Item> items;
    const Status status = Outbox::Inspect(path, summary, &items);
    EXPECT_TRUE(status.ok()) << status.ToString();
    for (const Outbox::Item& item : items) texts.insert(item.payload);
    return texts;
}

// Every raised alarm is delivered or stored; every stored one was raised.
void ExpectAccounted(const std::set<std::string>& raised, const std::set<std::string>& delivered,
                     const std::multiset<std::string>& stored, const std::string& where) {
    for (const std::string& text : raised) {
        EXPECT_TRUE(delivered.count(text) != 0 || stored.count(text) != 0) << where << ": " << text << " is lost";
    }
    for (const std::string& text : stored) EXPECT_EQ(1u, raised.count(text)) << where << ": stray row " << text;
}

class FaultTest : public ::testing::TestWithParam<Fault> {
protected:
    FaultTest() : vfs_(FaultVfs::Install()) { vfs_.Disarm(); }
    ~FaultTest() override { vfs_.Disarm(); }

    void Arm(int n) {
        const Fault& fault = GetParam();
        if (fault.sticky) {
            vfs_.ArmSticky(fault.op, n, fault.code);
        } else {
            vfs_.Arm(fault.op, n, fault.code);
        }
    }

    // Runs `cycle(n, where)` for n = 1, 2, ... until one runs without the fault firing.
    template <typename Cycle>
    void ForEveryN(Cycle cycle) {
        const auto start = std::chrono::steady_clock::now();
        int n = 1;
        for (; n <= kMaxN; ++n) {
            ASSERT_LT(std::chrono::steady_clock::now() - start, kMaxTime) << "stopped at n = " << n;
            const std::string where = std::string(GetParam().name) + " n=" + std::to_string(n);
            bool fired = true;
            cycle(n, where, fired);
            if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) {
                ADD_FAILURE() << "first failure at " << where;
                return;
            }
            if (!fired) break;
        }
        EXPECT_LE(n, kMaxN);
        EXPECT_GT(n, 1) << "the fault never fired: the cycle does no such operation";
        std::printf("%s: %d failure points\n", GetParam().name, n - 1);
    }

    FaultVfs& vfs_;
};

// The outbox driven as its owner drives it: a failed operation closes it; once the fault
// is gone it is opened again and what was not stored is stored then.
class OutboxFault : public FaultTest {};

TEST_P(OutboxFault, StoreTakeDeleteCycleLosesNothingAtAnyFailurePoint) {
    ForEveryN([&](int n, const std::string& where, bool& fired) {
        TestDir dir;
        ASSERT_TRUE(dir.ok());
        const std::string path = dir.Join("outbox.db");
        std::set<std::string> raised;
        std::set<std::string> delivered;
        std::vector<Outbox::Item> held;  // not stored for want of a working file
        std::vector<int64_t> deletes;    // delivered, their delete not yet written
        {
            // A file with something in it already, so that reads have pages to fetch.
            Outbox outbox(path);
            ASSERT_TRUE(outbox.Open().ok());
            std::vector<Outbox::Item> first;
            for (int i = 0; i < 30; ++i) {
                first.push_back(Outbox::Item{0, "SendAlarm", "old-" + std::to_string(i) + std::string(1500, 'x'), 0, 0, ""});
            }
            size_t refused = 0;
            ASSERT_TRUE(outbox.StoreBatch(first, refused).ok());
            for (const auto& item : first) raised.insert(item.payload);
        }

        Outbox outbox(path);
        vfs_.ResetCounts();
        Arm(n);
        bool failed = false;
        auto check = [&](const Status& status) {
            if (status.ok()) return true;
            EXPECT_FALSE(status.IsCorruption()) << where << ": " << status.ToString();
            failed = true;
            outbox.Close();
            return false;
        };
        auto store = [&](const std::string& prefix, int count) {
            std::vector<Outbox::Item> batch;
            for (int i = 0; i < count; ++i) {
                batch.push_back(Outbox::Item{0, "SendAlarm", prefix + std::to_string(i), 0, 0, ""});
                raised.insert(batch.back().payload);
            }
            if (!outbox.usable()) {
                held.insert(held.end(), batch.begin(), batch.end());
                return;
            }
            size_t refused = 0;
            const Status status = outbox.StoreBatch(batch, refused);
            if (!check(status)) {
                for (const auto& item : batch) EXPECT_EQ(0, item.id) << where << ": an id after a failed store";
                held.insert(held.end(), batch.begin(), batch.end());
            }
        };
        auto take_and_deliver = [&](size_t limit) {
            if (!outbox.usable()) return;
            std::vector<Outbox::Item> items;
            size_t damaged = 0;
            if (!check(outbox.TakeOldest(0, limit, items, damaged))) return;
            EXPECT_EQ(0u, damaged) << where;
            for (const auto& item : items) {
                delivered.insert(item.payload);
                deletes.push_back(item.id);
            }
            if (check(outbox.Delete(deletes))) deletes.clear();
        };

        if (check(outbox.Open())) {
            store("a-", 5);
            take_and_deliver(12);
            store("b-", 40);
            // A restart in the middle: the close checkpoints, the open reads it all again.
            if (outbox.usable()) {
                outbox.Close();
                check(outbox.Open());
            }
            if (outbox.usable()) {
                std::vector<Outbox::Item> refused_items;
                size_t damaged = 0;
                if (check(outbox.TakeOldest(0, 1, refused_items, damaged)) && !refused_items.empty() &&
                    check(outbox.MarkRefused(refused_items[0].id, "refused", WallNow(), WallNow() + 900))) {
                    // The reads a refill makes: the refused row when due, and the rows above.
                    std::vector<Outbox::Item> due;
                    size_t above = 0;
                    int64_t next = 0;
                    if (check(outbox.TakeRefusedDue(INT64_MAX, WallNow() + 900, 10, due, damaged)) &&
                        check(outbox.NextRefusedDue(0, next))) {
                        check(outbox.CountAbove(0, above));
                    }
                }
            }
            take_and_deliver(100);
        }
        fired = vfs_.fired();
        EXPECT_TRUE(fired || !failed) << where << ": failed without the fault";
        if (GetParam().sticky && fired) {
            // Still full: opening again must not crash nor lose anything either way.
            if (!outbox.usable() && outbox.Open().ok()) store("c-", 3);
        }
        vfs_.Disarm();

        if (!outbox.usable()) {
            ASSERT_TRUE(outbox.Open().ok()) << where;
        }
        EXPECT_FALSE(outbox.salvaged()) << where << ": a failed operation damaged the file";
        if (!held.empty()) {
            size_t refused = 0;
            ASSERT_TRUE(outbox.StoreBatch(held, refused).ok()) << where;
            held.clear();
        }
        if (!deletes.empty()) {
            ASSERT_TRUE(outbox.Delete(deletes).ok()) << where;
        }
        outbox.Close();
        ExpectAccounted(raised, delivered, StoredTexts(path), where);
    });
}

INSTANTIATE_TEST_SUITE_P(EveryFault, OutboxFault, ::testing::ValuesIn(kFaults), PrintFault);

// The backlog as the sequencer drives it: intake, refill, delivery, a refusal, deletes.
class BacklogFault : public FaultTest {};

// kv::test::Alarms, each text noted in `raised`.
std::vector<Payload> Alarms(const std::string& prefix, int count, std::set<std::string>& raised, size_t pad = 0) {
    std::vector<Payload> payloads = kv::test::Alarms(prefix, count, pad);
    for (const Payload& payload : payloads) raised.insert(payload.payload);
    return payloads;
}

// Takes and delivers everything that is ready or due, until nothing waits.
void Drain(DeliveryBacklog& backlog, int64_t now, std::set<std::string>& delivered) {
    for (const std::string& text : kv::test::Drain(backlog, now)) delivered.insert(text);
}

TEST_P(BacklogFault, AcceptRefillFinishFlushCycleLosesNothingAtAnyFailurePoint) {
    ForEveryN([&](int n, const std::string& where, bool& fired) {
        TestDir dir;
        ASSERT_TRUE(dir.ok());
        const std::string path = dir.Join("outbox.db");
        std::set<std::string> raised;
        std::set<std::string> delivered;
        {
            // Alarms from an earlier run wait on disk.
            DeliveryBacklog earlier(8);
            ASSERT_TRUE(earlier.UseOutbox(std::make_unique<Outbox>(path)).ok());
            std::vector<Payload> old = Alarms("old-", 20, raised, 1500);
            earlier.Accept(old);
        }

        const int64_t now = WallNow();
        auto backlog = std::make_unique<DeliveryBacklog>(6);
        std::vector<Payload> c_none;  // nothing between intake and sequencer at the stop
        vfs_.ResetCounts();
        Arm(n);
        backlog->UseOutbox(std::make_unique<Outbox>(path));
        auto deliver = [&](size_t limit, bool refuse_first) {
            backlog->Refill(now);
            std::deque<Payload> ready = backlog->TakeReady(limit);
            for (Payload& payload : ready) {
                if (refuse_first) {
                    refuse_first = false;
                    backlog->Refused(payload, "fault in 200", now, kv::delivery::Clock::now());
                    continue;
                }
                delivered.insert(payload.payload);
                backlog->Finished(payload);
            }
            backlog->FlushDeletes();
        };
        std::vector<Payload> a = Alarms("a-", 9, raised);
        EXPECT_EQ(0u, backlog->Accept(a).refused_by_window) << where;
        deliver(4, true);
        std::vector<Payload> b = Alarms("b-", 5, raised);
        EXPECT_EQ(0u, backlog->Accept(b).refused_by_window) << where;
        deliver(8, false);
        // A restart in the middle: the close checkpoints, the open reads it all again.
        // (Only when nothing is held in memory alone: a stop while the disk fails loses that.)
        backlog->StoreAtStop(c_none);
        if (backlog->durable() && backlog->Unstored() == 0 && backlog->Delayed() == 0) {
            backlog = std::make_unique<DeliveryBacklog>(6);
            backlog->UseOutbox(std::make_unique<Outbox>(path));
        }
        std::vector<Payload> c = Alarms("c-", 3, raised);
        deliver(2, false);
        EXPECT_EQ(0u, backlog->Accept(c).refused_by_window) << where;
        deliver(2, false);
        fired = vfs_.fired();
        EXPECT_TRUE(fired || !backlog->NeedsReopen()) << where << ": failed without the fault";
        if (GetParam().sticky && fired) {
            // Still full: a reopen fails or stores nothing; either way alarms stay held.
            backlog->Reopen();
            std::vector<Payload> d = Alarms("d-", 3, raised);
            EXPECT_EQ(0u, backlog->Accept(d).refused_by_window) << where;
            deliver(1, false);
        }
        vfs_.Disarm();

        if (backlog->NeedsReopen()) {
            const Status status = backlog->Reopen();
            ASSERT_TRUE(status.ok()) << where << ": " << status.ToString();
        }
        EXPECT_EQ(0u, backlog->Unstored()) << where << ": held alarms not written after the reopen";
        EXPECT_FALSE(backlog->outbox()->salvaged()) << where << ": a failed operation damaged the file";
        // A crash now loses nothing: what is not delivered is on disk.
        ExpectAccounted(raised, delivered, StoredTexts(path), where + " (crash after reopen)");

        // Delivered to the end, past the refusal's next attempt.
        const int64_t later = now + 7 * 3600;
        Drain(*backlog, later, delivered);
        backlog.reset();
        // And a start hands out nothing twice and leaves nothing behind.
        DeliveryBacklog restarted(6);
        ASSERT_TRUE(restarted.UseOutbox(std::make_unique<Outbox>(path)).ok()) << where;
        Drain(restarted, later, delivered);
        for (const std::string& text : raised) EXPECT_EQ(1u, delivered.count(text)) << where << ": " << text << " never delivered";
        EXPECT_EQ(0u, restarted.outbox()->Count()) << where;
    });
}

INSTANTIATE_TEST_SUITE_P(EveryFault, BacklogFault, ::testing::ValuesIn(kFaults), PrintFault);

}  // namespace
