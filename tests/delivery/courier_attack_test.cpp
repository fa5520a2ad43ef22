// Faults found where two conditions meet, kept as canned events against the courier: a
// damaged file salvaged in the middle of a run while alarms are held in memory, refusals
// while the outbox is down, and a refusal timed by a wall clock that later went back.
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tests/delivery/courier_harness.h"
#include "tests/delivery/delivery_test_support.h"
#include "tests/foundation/test_dir.h"
#include "tests/support/fault_vfs.h"

namespace {

using kv::delivery::Commands;
using kv::delivery::CourierOptions;
using kv::delivery::NoteKind;
using kv::delivery::PathId;
using kv::delivery::Send;
using kv::soap::Outcome;
using kv::soap::Step;
using kv::test::Harness;
using kv::test::kPrimary;
using kv::test::Takes;
using kv::testing::FaultVfs;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Runs statements on a connection of the test's own; the text of the first column of the
// last row, if any.
std::string Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int, char** values, char**) {
                if (values[0] != nullptr) *static_cast<std::string*>(out) = values[0];
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

// The courier on an outbox on the fault VFS, nothing armed.
class CourierAttack : public ::testing::Test {
protected:
    CourierAttack() : vfs_(FaultVfs::Install()) {
        vfs_.Disarm();
        h.UseOutbox(OutboxPath());
    }
    ~CourierAttack() override { vfs_.Disarm(); }

    std::string OutboxPath() const { return dir_.Join("outbox.db"); }

    // Every write fails from now on, as on a full disk, until DiskFreed.
    void DiskFull() { vfs_.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_FULL); }
    void DiskFreed() { vfs_.Disarm(); }

    // The courier stops; the payloads its outbox then holds, and how many are refused.
    std::set<std::string> StoredAfterStop(size_t* refused = nullptr) {
        h.Event([&](Commands& out) { h.courier().Abandon(h.now, {}, out); });
        kv::Outbox reopened(OutboxPath());
        EXPECT_TRUE(reopened.Open().ok());
        if (refused != nullptr) *refused = reopened.Refused();
        const std::vector<std::string> stored = kv::test::Payloads(reopened);
        return std::set<std::string>(stored.begin(), stored.end());
    }

    // Garbage over the whole leaf that holds the lowest ids, behind the back of the
    // courier's connection, which then finds its cached pages stale.
    void DamageOldestLeaf() {
        const std::string path = OutboxPath();
        Sql(path, "PRAGMA wal_checkpoint(TRUNCATE)");
        const int page = std::stoi(Sql(path, "SELECT pageno FROM dbstat WHERE name = 'outbox' AND path = '/000/'"));
        const int page_size = std::stoi(Sql(path, "PRAGMA page_size"));
        {
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(page - 1) * page_size);
            for (int i = 0; i < page_size; ++i) file.put(static_cast<char>(0xA5));
        }
        Sql(path, "UPDATE outbox SET stored_at = stored_at WHERE id = (SELECT max(id) FROM outbox)");
    }

    FaultVfs& vfs_;
    kv::testing::TestDir dir_;
    Harness h;
};

// The outbox is salvaged in the middle of a run while alarms whose rows sat on the damaged
// page are held in memory: those alarms are still known whole, and a stop must leave them
// on disk.
TEST_F(CourierAttack, AlarmsInMemoryWhoseRowsASalvageLostAreStoredAgain) {
    const std::string padding(300, 'p');
    h.Raise(40, padding);
    ASSERT_EQ(40u, h.courier().outbox()->Count());
    DamageOldestLeaf();
    h.Endpoint(PathId::kPrimary, kPrimary);
    // The first alarm is delivered; deleting its row meets the damage.
    h.Answer(Outcome::kNextStep);
    h.Answer(Outcome::kDelivered);
    h.Settle();
    ASSERT_EQ(1u, h.courier().Stats().delivered);
    ASSERT_NE(nullptr, h.Last(NoteKind::kOutboxSalvaged));
    const std::set<std::string> on_disk = StoredAfterStop();
    for (int i = 1; i < 8; ++i) EXPECT_EQ(1u, on_disk.count(padding + std::to_string(i))) << "alarm " << i;
}

// The same damage met by the refusal of an alarm whose row sat on the damaged page: the
// refusal's own write salvages the file, and the alarm is kept, refused, under a new id.
TEST_F(CourierAttack, AnAlarmWhoseRefusalMetTheDamageIsKeptRefused) {
    const std::string padding(300, 'p');
    h.Raise(40, padding);
    DamageOldestLeaf();
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.sends.erase(h.sends.begin() + 1, h.sends.end());  // the first alarm's only
    h.Answer(Outcome::kRefused);
    h.Settle();
    ASSERT_NE(nullptr, h.Last(NoteKind::kOutboxSalvaged));
    EXPECT_EQ(1u, h.courier().Stats().refused);
    size_t refused = 0;
    const std::set<std::string> on_disk = StoredAfterStop(&refused);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(1u, on_disk.count(padding + std::to_string(i))) << "alarm " << i;
    EXPECT_EQ(1u, refused);
}

// An alarm refused while the wall clock was a year ahead: once the clock is set right its
// next attempt lies a year away, and it is tried again within the longest refusal wait, not
// a year later, and the courier is not woken again and again meanwhile.
TEST_F(CourierAttack, ARefusalMarkedBeforeTheClockWentBackIsTriedAgain) {
    h.Endpoint(PathId::kPrimary, kPrimary);
    h.now.wall += 365LL * 24 * 3600;
    h.Raise(1);
    h.Answer(Outcome::kNextStep);
    h.Answer(Outcome::kRefused);
    h.Settle();  // the clock as the harness keeps it: a year earlier
    ASSERT_EQ(1u, h.courier().Stats().refused);
    const CourierOptions options;
    h.Settle(std::chrono::duration_cast<milliseconds>(options.refusal_cap));
    EXPECT_EQ("C", h.Pending());
    EXPECT_LE(h.timer_events, 3);
    h.AnswerAll(Takes);
    EXPECT_EQ(1u, h.courier().Stats().delivered);
    EXPECT_EQ(0u, h.courier().outbox()->Count());
}

// The receiver refuses a window's worth of alarms while the outbox cannot be written, so
// they wait their refusal time in memory. Once the outbox works again they wait on disk,
// marked refused, as any refusal does, and leave their places to the alarms behind them,
// which go at once rather than a refusal time later.
TEST_F(CourierAttack, AlarmsRefusedWhileTheOutboxWasDownLeaveTheWindowOnceItWorks) {
    h.Endpoint(PathId::kPrimary, kPrimary);
    DiskFull();
    h.Raise(8, "refused");
    h.AnswerAll([](const Send& send) { return send.step == Step::kCreateSequence ? Outcome::kNextStep : Outcome::kRefused; });
    h.Raise(8, "parked");  // past the window, held in memory too
    ASSERT_EQ(8u, h.courier().Stats().parked);
    DiskFreed();
    h.Settle(seconds(2));
    ASSERT_FALSE(h.courier().Stats().outbox_down);
    h.AnswerAll(Takes);
    h.Settle(seconds(2));
    h.AnswerAll(Takes);
    EXPECT_EQ(8u, h.courier().Stats().delivered) << "the alarms behind the refused ones went at once";
    EXPECT_EQ(8u, h.courier().Stats().refused);
    EXPECT_EQ(8u, h.courier().outbox()->Refused()) << "marked on disk";
}

}  // namespace
