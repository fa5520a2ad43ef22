// The outbox on a temporary file: what is stored survives, in order, across reopening and
// a process killed mid-transaction; a damaged file is set aside; the cap; one transaction
// per batch.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "src/outbox/outbox.h"
#include "tests/foundation/test_dir.h"
#include "tests/delivery/delivery_test_support.h"
#include "tests/support/fault_vfs.h"

namespace {

using kv::Outbox;
using kv::testing::FaultVfs;
using kv::testing::TestDir;

using kv::test::Batch;
using kv::test::Payloads;

// The rows a PRAGMA returns, joined, read through a connection of the test's own.
std::string PragmaText(const std::string& path, const char* pragma) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, pragma,
            [](void* out, int, char** values, char**) {
                *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "";
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

std::string IntegrityCheck(const std::string& path) { return PragmaText(path, "PRAGMA integrity_check"); }

TEST(Outbox, StoredItemsSurviveReopeningInOrderAndDeletedOnesDoNot) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    std::vector<Outbox::Item> items = Batch("{\"n\":", 5);
    items[2].payload = std::string("binary\0and \xff bytes", 18);
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        size_t refused = 99;
        ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
        EXPECT_EQ(0u, refused);
        for (size_t i = 1; i < items.size(); ++i) EXPECT_GT(items[i].id, items[i - 1].id);
        ASSERT_TRUE(outbox.Delete({items[1].id, items[3].id, 424242}).ok());
        EXPECT_EQ(3u, outbox.Count());
    }
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    Outbox reopened(path);
    ASSERT_TRUE(reopened.Open().ok());
    EXPECT_EQ(3u, reopened.Count());
    EXPECT_EQ((std::vector<std::string>{items[0].payload, items[2].payload, items[4].payload}), Payloads(reopened));

    // Taking after an id, and a limit, for a window that fills up as it frees.
    std::vector<Outbox::Item> after;
    size_t damaged = 0;
    ASSERT_TRUE(reopened.TakeOldest(items[0].id, 1, after, damaged).ok());
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ(items[2].id, after[0].id);
    EXPECT_EQ("SendAlarm", after[0].method);

    // A new item never reuses an id, even that of a deleted newest one.
    ASSERT_TRUE(reopened.Delete({items[4].id}).ok());
    std::vector<Outbox::Item> more = Batch("later", 1);
    size_t refused = 0;
    ASSERT_TRUE(reopened.StoreBatch(more, refused).ok());
    EXPECT_GT(more[0].id, items[4].id);
}

TEST(Outbox, UsesWalWithFullSync) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> items = Batch("x", 1);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
    EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
    EXPECT_EQ("wal", PragmaText(path, "PRAGMA journal_mode"));
}

TEST(Outbox, AProcessKilledInsideATransactionLeavesOnlyWhatWasCommitted) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        std::vector<Outbox::Item> items = Batch("committed", 3);
        size_t refused = 0;
        ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Stores a committed batch, then dies in the middle of a big one: the rows are
        // already in the journal, the commit never comes.
        Outbox outbox(path);
        if (!outbox.Open().ok()) ::_exit(2);
        std::vector<Outbox::Item> items = Batch("second", 2);
        size_t refused = 0;
        if (!outbox.StoreBatch(items, refused).ok()) ::_exit(3);
        sqlite3* db = nullptr;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) ::_exit(4);
        sqlite3_exec(db, "PRAGMA synchronous=FULL; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (int i = 0; i < 5000; ++i) {
            sqlite3_exec(db, "INSERT INTO outbox(method, payload, stored_at) VALUES('SendAlarm', 'lost', 0)", nullptr,
                         nullptr, nullptr);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));

    Outbox reopened(path);
    ASSERT_TRUE(reopened.Open().ok());
    EXPECT_FALSE(reopened.salvaged());
    EXPECT_EQ(5u, reopened.Count());
    EXPECT_EQ((std::vector<std::string>{"committed0", "committed1", "committed2", "second0", "second1"}),
              Payloads(reopened));
    reopened.Close();
    EXPECT_EQ("ok", IntegrityCheck(path));
}

TEST(Outbox, ADamagedFileIsSetAsideAndAFreshOneUsed) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    const std::string garbage(8192, 'G');
    {
        std::ofstream file(path, std::ios::binary);
        file << garbage;
    }
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    ASSERT_TRUE(outbox.salvaged());
    const Outbox::Salvage salvage = outbox.TakeSalvage();
    EXPECT_EQ(0u, salvage.set_aside.rfind(path + ".corrupt-", 0)) << salvage.set_aside;
    EXPECT_EQ(0u, salvage.recovered);
    EXPECT_EQ(0u, outbox.Count());
    // The damaged bytes are kept as they were.
    std::ifstream kept(salvage.set_aside, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(garbage, content);
    // The fresh file works.
    std::vector<Outbox::Item> items = Batch("fresh", 2);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
    EXPECT_EQ(2u, outbox.Count());
}

TEST(Outbox, AFileThatCannotBeCreatedIsUnusableWithAReason) {
    TestDir dir;
    Outbox outbox(dir.Join("no-such-folder/outbox.db"));
    EXPECT_FALSE(outbox.Open().ok());
    EXPECT_FALSE(outbox.usable());
    std::vector<Outbox::Item> items = Batch("x", 1);
    size_t refused = 0;
    EXPECT_FALSE(outbox.StoreBatch(items, refused).ok());
}

TEST(Outbox, PastTheCapTheNewestAreRefused) {
    TestDir dir;
    Outbox outbox(dir.Join("outbox.db"), 5);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> first = Batch("a", 3);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(first, refused).ok());
    EXPECT_EQ(0u, refused);
    std::vector<Outbox::Item> second = Batch("b", 4);
    ASSERT_TRUE(outbox.StoreBatch(second, refused).ok());
    EXPECT_EQ(2u, refused);
    EXPECT_NE(0, second[0].id);
    EXPECT_NE(0, second[1].id);
    EXPECT_EQ(0, second[2].id);
    EXPECT_EQ(0, second[3].id);
    EXPECT_EQ(5u, outbox.Count());
    // A delete makes room again.
    ASSERT_TRUE(outbox.Delete({first[0].id}).ok());
    std::vector<Outbox::Item> third = Batch("c", 1);
    ASSERT_TRUE(outbox.StoreBatch(third, refused).ok());
    EXPECT_EQ(0u, refused);
    EXPECT_EQ((std::vector<std::string>{"a1", "a2", "b0", "b1", "c0"}), Payloads(outbox));
}

// The payload bytes the file holds, read through a connection of the test's own.
uint64_t BytesInFile(const std::string& path) {
    return std::stoull("0" + PragmaText(path, "SELECT sum(length(CAST(payload AS BLOB))) FROM outbox"));
}

Outbox::Item Sized(size_t bytes, char fill) { return Outbox::Item{0, "SendAlarm", std::string(bytes, fill), 0, 0, ""}; }

// The byte cap refuses the newest as the row cap does, and the count it goes by is the
// file's own: after stores, a delete, a row set aside and a reopening.
TEST(Outbox, PastTheByteCapTheNewestAreRefusedAndTheCountFollowsTheFile) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    Outbox outbox(path, kv::kOutboxCap, 100);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> first{Sized(40, 'a'), Sized(40, 'b'), Sized(30, 'c'), Sized(20, 'd')};
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(first, refused).ok());
    EXPECT_EQ(1u, refused);
    EXPECT_EQ(0, first[2].id) << "40 + 40 + 30 is past 100, 40 + 40 + 20 is not";
    EXPECT_EQ(100u, outbox.PayloadBytes());
    EXPECT_EQ(BytesInFile(path), outbox.PayloadBytes());

    ASSERT_TRUE(outbox.Delete({first[0].id}).ok());
    EXPECT_EQ(60u, outbox.PayloadBytes());
    // A row changed behind the outbox's back is set aside at the next take, its bytes too.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    const std::string tamper =
        "UPDATE outbox SET payload = CAST(replace(payload, 'b', 'z') AS BLOB) WHERE id = " + std::to_string(first[1].id);
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, tamper.c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_EQ((std::vector<std::string>{std::string(20, 'd')}), Payloads(outbox));
    EXPECT_EQ(BytesInFile(path), outbox.PayloadBytes());

    std::vector<Outbox::Item> second{Sized(80, 'f'), Sized(1, 'g')};
    ASSERT_TRUE(outbox.StoreBatch(second, refused).ok());
    EXPECT_EQ(1u, refused);
    outbox.Close();
    Outbox reopened(path, kv::kOutboxCap, 100);
    ASSERT_TRUE(reopened.Open().ok());
    EXPECT_EQ(100u, reopened.PayloadBytes());
    EXPECT_EQ(BytesInFile(path), reopened.PayloadBytes());
}

TEST(Outbox, ABatchIsOneTransactionAndOneSync) {
    TestDir dir;
    Outbox outbox(dir.Join("outbox.db"));
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> burst = Batch("burst", 2000);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(burst, refused).ok());
    EXPECT_EQ(1u, outbox.Commits());
    std::vector<int64_t> ids;
    for (const Outbox::Item& item : burst) ids.push_back(item.id);
    ASSERT_TRUE(outbox.Delete(ids).ok());
    EXPECT_EQ(2u, outbox.Commits());
    EXPECT_EQ(0u, outbox.Count());
}

// How often the outbox waits for the disk, counted by the fault VFS.
TEST(Outbox, AStoreIsSyncedBeforeItReturnsADeleteWaitsForTheNextStore) {
    FaultVfs& vfs = FaultVfs::Install();
    vfs.Disarm();
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        std::vector<Outbox::Item> first = Batch("a", 3);
        size_t refused = 0;
        vfs.ResetCounts();
        ASSERT_TRUE(outbox.StoreBatch(first, refused).ok());
        EXPECT_GE(vfs.Count(FaultVfs::Op::kSync), 1) << "stored means on disk";

        vfs.ResetCounts();
        ASSERT_TRUE(outbox.Delete({first[0].id, first[1].id}).ok());
        EXPECT_EQ(0, vfs.Count(FaultVfs::Op::kSync)) << "a delete waits for the next store's sync";
        EXPECT_GE(vfs.Count(FaultVfs::Op::kWrite), 1) << "but is written at once";
        EXPECT_EQ(1u, outbox.Count());

        // Every store after a delete is synced again before it returns.
        for (int round = 0; round < 3; ++round) {
            std::vector<Outbox::Item> next = Batch("b" + std::to_string(round), 1);
            vfs.ResetCounts();
            ASSERT_TRUE(outbox.StoreBatch(next, refused).ok());
            EXPECT_GE(vfs.Count(FaultVfs::Op::kSync), 1) << "round " << round;
            vfs.ResetCounts();
            ASSERT_TRUE(outbox.Delete({next[0].id}).ok());
            EXPECT_EQ(0, vfs.Count(FaultVfs::Op::kSync)) << "round " << round;
        }
    }
    Outbox reopened(path);
    ASSERT_TRUE(reopened.Open().ok());
    EXPECT_EQ(std::vector<std::string>{"a2"}, Payloads(reopened));
}

}  // namespace
