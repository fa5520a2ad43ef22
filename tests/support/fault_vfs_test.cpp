// The fault-injecting VFS on plain SQLite: a WAL database with synchronous=FULL whose
// commits meet failed writes, syncs, reads and truncations, and recover once disarmed.
#include "tests/support/fault_vfs.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/foundation/test_dir.h"

namespace kv {
namespace testing {
namespace {

using Op = FaultVfs::Op;

constexpr int kRowsPerCycle = 40;

class FaultVfsTest : public ::testing::Test {
protected:
    FaultVfsTest() : vfs_(FaultVfs::Install()) {
        vfs_.Disarm();
        vfs_.ResetCounts();
    }

    ~FaultVfsTest() override {
        vfs_.Disarm();
        Close();
    }

    void Open(const std::string& name = "store.db") {
        ASSERT_TRUE(dir_.ok());
        ASSERT_EQ(sqlite3_open(dir_.Join(name).c_str(), &db_), SQLITE_OK);
        ASSERT_EQ(Exec("PRAGMA journal_mode=WAL"), SQLITE_OK);
        ASSERT_EQ(Exec("PRAGMA synchronous=FULL"), SQLITE_OK);
        ASSERT_EQ(Exec("CREATE TABLE IF NOT EXISTS alarm(id INTEGER PRIMARY KEY, body TEXT NOT NULL)"), SQLITE_OK);
    }

    void Close() {
        if (db_ != nullptr) sqlite3_close(db_);
        db_ = nullptr;
    }

    int Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

    // One transaction of kRowsPerCycle rows; the result of the first statement that failed.
    int InsertCycle(int first_id) {
        int rc = Exec("BEGIN");
        for (int i = 0; rc == SQLITE_OK && i < kRowsPerCycle; ++i) {
            const int id = first_id + i;
            rc = Exec("INSERT INTO alarm(id, body) VALUES(" + std::to_string(id) + ", '" +
                      std::string(200, static_cast<char>('a' + id % 26)) + "')");
        }
        if (rc == SQLITE_OK) rc = Exec("COMMIT");
        // A failed commit may or may not have rolled back already.
        if (rc != SQLITE_OK && sqlite3_get_autocommit(db_) == 0) Exec("ROLLBACK");
        return rc;
    }

    int Rows() {
        sqlite3_stmt* statement = nullptr;
        int rows = -1;
        if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM alarm", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            rows = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
        return rows;
    }

    std::string IntegrityCheck() {
        sqlite3_stmt* statement = nullptr;
        std::string result = "(no answer)";
        if (sqlite3_prepare_v2(db_, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
        return result;
    }

    FaultVfs& vfs_;
    TestDir dir_;
    sqlite3* db_ = nullptr;
};

TEST_F(FaultVfsTest, InstallIsIdempotentAndBecomesTheDefault) {
    EXPECT_EQ(&FaultVfs::Install(), &vfs_);
    sqlite3_vfs* found = sqlite3_vfs_find(nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->zName, FaultVfs::Name());
    EXPECT_EQ(sqlite3_vfs_find(FaultVfs::Name()), found);
}

TEST_F(FaultVfsTest, CountsEveryKindOfOperation) {
    Open();
    ASSERT_EQ(InsertCycle(1), SQLITE_OK);
    EXPECT_GT(vfs_.Count(Op::kWrite), 0);
    EXPECT_GT(vfs_.Count(Op::kSync), 0) << "synchronous=FULL syncs the WAL at commit";
    Close();
    vfs_.ResetCounts();
    EXPECT_EQ(vfs_.Count(Op::kWrite), 0);
    Open();
    EXPECT_EQ(Rows(), kRowsPerCycle);
    EXPECT_GT(vfs_.Count(Op::kRead), 0);
    ASSERT_EQ(sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr), SQLITE_OK);
    EXPECT_GT(vfs_.Count(Op::kTruncate), 0);
    EXPECT_FALSE(vfs_.fired());
}

// Each kind of operation, failed once: the statement that needs it fails with the armed
// code, the fault spends itself, and the database works again, whole.
TEST_F(FaultVfsTest, AOneShotFaultFailsTheStatementThatMeetsItAndNothingElse) {
    const auto checkpoint = [this] {
        return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    };
    const struct {
        Op op;
        int code;
        std::function<int()> statement;
        int expected;  // 0: any failure
        bool reopen;   // a new connection first: nothing cached
    } table[] = {
        {Op::kWrite, SQLITE_IOERR_WRITE, [this] { return InsertCycle(1000); }, SQLITE_IOERR, false},
        {Op::kSync, SQLITE_IOERR_FSYNC, [this] { return InsertCycle(1000); }, SQLITE_IOERR, false},
        {Op::kRead, SQLITE_IOERR_READ, [this] { return Exec("SELECT sum(length(body)) FROM alarm"); }, SQLITE_IOERR,
         true},
        {Op::kTruncate, SQLITE_IOERR_TRUNCATE, checkpoint, 0, false},
    };
    int name = 0;
    for (const auto& row : table) {
        const std::string where = "op " + std::to_string(static_cast<int>(row.op));
        const std::string file = "store" + std::to_string(++name) + ".db";
        Open(file);
        ASSERT_EQ(InsertCycle(1), SQLITE_OK) << where;
        if (row.reopen) {
            Close();
            Open(file);
        }
        vfs_.Arm(row.op, 1, row.code);
        const int rc = row.statement();
        if (row.expected != 0) {
            EXPECT_EQ(rc, row.expected) << where;
            EXPECT_EQ(sqlite3_extended_errcode(db_), row.code) << where;
        } else {
            EXPECT_NE(rc, SQLITE_OK) << where;
        }
        EXPECT_TRUE(vfs_.fired()) << where;
        EXPECT_EQ(Rows(), kRowsPerCycle) << where << ": the failed statement left nothing behind";
        EXPECT_EQ(row.statement(), SQLITE_OK) << where << ": a one-shot fault spends itself before Disarm";
        vfs_.Disarm();
        EXPECT_EQ(InsertCycle(3000), SQLITE_OK) << where;
        EXPECT_EQ(checkpoint(), SQLITE_OK) << where;
        EXPECT_EQ(IntegrityCheck(), "ok") << where;
        Close();
    }
}

TEST_F(FaultVfsTest, StickyDiskFullFailsEveryCommitUntilDisarmed) {
    Open();
    ASSERT_EQ(InsertCycle(1), SQLITE_OK);
    vfs_.ArmSticky(Op::kWrite, 1, SQLITE_FULL);
    EXPECT_EQ(InsertCycle(1000), SQLITE_FULL);
    EXPECT_EQ(InsertCycle(2000), SQLITE_FULL);
    EXPECT_EQ(InsertCycle(3000), SQLITE_FULL);
    EXPECT_TRUE(vfs_.fired());
    vfs_.Disarm();
    EXPECT_EQ(InsertCycle(4000), SQLITE_OK);
    EXPECT_EQ(Rows(), 2 * kRowsPerCycle);
    EXPECT_EQ(IntegrityCheck(), "ok");
}

TEST_F(FaultVfsTest, StickyFaultLetsTheFirstOperationsThrough) {
    // How many writes one cycle takes on a new database...
    Open("measure.db");
    vfs_.ResetCounts();
    ASSERT_EQ(InsertCycle(1), SQLITE_OK);
    const int writes_per_cycle = vfs_.Count(Op::kWrite);
    ASSERT_GT(writes_per_cycle, 1);
    Close();
    // ...and the same steps on another new database, with room for exactly those writes.
    Open("full.db");
    vfs_.ArmSticky(Op::kWrite, writes_per_cycle + 1, SQLITE_FULL);
    EXPECT_EQ(InsertCycle(1), SQLITE_OK);
    EXPECT_FALSE(vfs_.fired());
    EXPECT_EQ(InsertCycle(1000), SQLITE_FULL);
    EXPECT_TRUE(vfs_.fired());
    vfs_.Disarm();
    EXPECT_EQ(Rows(), kRowsPerCycle);
}

// Every write of a cycle, failed in turn: each failure loses the whole cycle and nothing
// else, and the database stays sound, also across a reopen.
TEST_F(FaultVfsTest, EveryWriteOfACycleFailedInTurn) {
    Open();
    int committed = 0;
    int next_id = 1;
    int nth = 1;
    for (; nth <= 500; ++nth) {
        vfs_.Arm(Op::kWrite, nth, SQLITE_IOERR_WRITE);
        const int rc = InsertCycle(next_id);
        next_id += kRowsPerCycle;
        if (!vfs_.fired()) {
            ASSERT_EQ(rc, SQLITE_OK) << "write " << nth;
            committed += kRowsPerCycle;
            break;
        }
        EXPECT_EQ(rc, SQLITE_IOERR) << "write " << nth;
        vfs_.Disarm();
        ASSERT_EQ(Rows(), committed) << "after failing write " << nth;
        ASSERT_EQ(IntegrityCheck(), "ok") << "after failing write " << nth;
    }
    vfs_.Disarm();
    RecordProperty("writes_failed_in_turn", nth - 1);
    EXPECT_GT(nth, 1) << "a cycle writes at least once";
    EXPECT_LE(nth, 500) << "the cycle never completed";
    Close();
    Open();
    EXPECT_EQ(Rows(), committed);
    EXPECT_EQ(IntegrityCheck(), "ok");
}

}  // namespace
}  // namespace testing
}  // namespace kv
