// The outbox against what a machine does to files: b-tree pages whose cells were
// overwritten, a payload changed behind the checksum's back, symbolic links planted in
// its place, a disk that fills up; and the refused state across reopening.
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/delivery/delivery_backlog.h"
#include "src/outbox/outbox.h"
#include "tests/delivery/delivery_test_support.h"
#include "tests/foundation/test_dir.h"

namespace {

using kv::Outbox;
using kv::Status;
using kv::delivery::DeliveryBacklog;
using kv::delivery::Payload;
using kv::delivery::RefusalTiming;
using kv::testing::Exists;
using kv::testing::ReadFile;
using kv::testing::TestDir;
using kv::testing::WriteFile;
using kv::test::Alarms;
using kv::test::Batch;
using kv::test::Drain;
using kv::test::SetAsideFiles;
using kv::test::Sql;

// ---- A damaged file ----

// Overwrites the cell content area of every `every`-th leaf page of a table b-tree,
// keeping each page's header and cell pointers, in a file no connection holds. Returns
// how many pages it hit; `skip` are pages left alone (the root pages).
int DamageLeafPages(const std::string& path, int every, const std::set<int>& skip, unsigned seed = 0) {
    std::mt19937 random(seed);
    std::string file = ReadFile(path);
    if (file.size() < 100) return 0;
    size_t page_size = (static_cast<unsigned char>(file[16]) << 8) | static_cast<unsigned char>(file[17]);
    if (page_size == 1) page_size = 65536;
    int leaves = 0;
    int hit = 0;
    for (size_t page = 2; page * page_size <= file.size(); ++page) {
        const size_t start = (page - 1) * page_size;
        if (static_cast<unsigned char>(file[start]) != 0x0D || skip.count(static_cast<int>(page)) != 0) continue;
        if (++leaves % every != 0) continue;
        size_t content = (static_cast<unsigned char>(file[start + 5]) << 8) | static_cast<unsigned char>(file[start + 6]);
        if (content == 0) content = 65536;
        for (size_t i = content; i < page_size; ++i) {
            file[start + i] = static_cast<char>(seed == 0 ? 0xA5 ^ (i & 0x3f) : random() & 0xff);
        }
        ++hit;
    }
    return WriteFile(path, file) ? hit : -1;
}

std::set<int> RootPages(const std::string& path) {
    std::set<int> roots;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "SELECT rootpage FROM sqlite_schema",
            [](void* out, int, char** values, char**) {
                static_cast<std::set<int>*>(out)->insert(values[0] != nullptr ? std::atoi(values[0]) : 0);
                return 0;
            },
            &roots, nullptr);
    }
    sqlite3_close(db);
    return roots;
}

// CRC-32 of the method, a NUL and the payload, as every row carries it.
uint32_t RowChecksum(const std::string& method, const std::string& payload) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(method.data()), static_cast<uInt>(method.size()));
    const Bytef separator = 0;
    crc = crc32(crc, &separator, 1);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
    return static_cast<uint32_t>(crc);
}

std::string Column(sqlite3_stmt* statement, int column) {
    const void* bytes = sqlite3_column_blob(statement, column);
    return bytes == nullptr ? std::string()
                            : std::string(static_cast<const char*>(bytes), static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// What a plain row-by-row read by id gets out of the damaged file: id -> payload, for the
// rows that can be read and whose checksum matches.
std::map<int64_t, std::string> ReadableRows(const std::string& path, int64_t highest_id) {
    std::map<int64_t, std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* one = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT method, payload, checksum FROM outbox WHERE id = ?1", -1, &one, nullptr) ==
            SQLITE_OK) {
        for (int64_t id = 1; id <= highest_id; ++id) {
            sqlite3_bind_int64(one, 1, id);
            if (sqlite3_step(one) == SQLITE_ROW) {
                const std::string method = Column(one, 0);
                const std::string payload = Column(one, 1);
                if (sqlite3_column_type(one, 2) == SQLITE_NULL ||
                    static_cast<uint32_t>(sqlite3_column_int64(one, 2)) == RowChecksum(method, payload)) {
                    rows[id] = payload;
                }
            }
            sqlite3_reset(one);
        }
    }
    sqlite3_finalize(one);
    sqlite3_close(db);
    return rows;
}

constexpr int kRows = 3000;

// A closed outbox of kRows rows "row-<n>" (ids 1..kRows) whose leaf pages are partly
// overwritten; `readable` gets what a plain read can still get out of it.
void BuildDamagedOutbox(const std::string& path, std::map<int64_t, std::string>& readable, int& pages_hit,
                        unsigned seed = 0) {
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        for (int part = 0; part < 3; ++part) {
            std::vector<Outbox::Item> items = Batch("row-" + std::to_string(part) + "-", kRows / 3, 60);
            size_t refused = 0;
            ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
        }
        ASSERT_EQ(static_cast<size_t>(kRows), outbox.Count());
    }
    ASSERT_FALSE(Exists(path + "-wal")) << "the last close folds the journal into the file";
    pages_hit = DamageLeafPages(path, 7, RootPages(path), seed);
    ASSERT_GT(pages_hit, 2);
    readable = ReadableRows(path, kRows);
    ASSERT_LT(readable.size(), static_cast<size_t>(kRows)) << "the damage hit no row";
    ASSERT_GT(readable.size(), static_cast<size_t>(kRows / 2));
}

TEST(OutboxDamage, OverwrittenLeafCellsCostOnlyTheirRowsAndTheFileIsKeptAside) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    std::map<int64_t, std::string> readable;
    int pages_hit = 0;
    ASSERT_NO_FATAL_FAILURE(BuildDamagedOutbox(path, readable, pages_hit));
    const std::string damaged_bytes = ReadFile(path);

    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    // The count at open does not read the cells: the damage may show at the first take.
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    const Status take = outbox.TakeOldest(0, kRows * 2, items, damaged);
    ASSERT_TRUE(take.ok()) << take.ToString();
    ASSERT_TRUE(outbox.salvaged());
    const Outbox::Salvage salvage = outbox.TakeSalvage();
    EXPECT_EQ(readable.size(), salvage.recovered);
    // Rows whose cells were overwritten are counted, found by id or not.
    EXPECT_EQ(static_cast<size_t>(kRows), salvage.recovered + salvage.unreadable);

    // Every readable row is handed out, under its own id, and counted with its bytes.
    std::map<int64_t, std::string> handed;
    uint64_t bytes = 0;
    for (const Outbox::Item& item : items) {
        handed[item.id] = item.payload;
        bytes += item.payload.size();
    }
    EXPECT_EQ(readable, handed);
    EXPECT_EQ(bytes, outbox.PayloadBytes());

    // The damaged copy is kept beside, byte for byte.
    const std::vector<std::string> aside = SetAsideFiles(dir.path());
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ(dir.Join(aside[0]), salvage.set_aside);
    EXPECT_TRUE(ReadFile(salvage.set_aside) == damaged_bytes) << "the damaged file was changed";

    // The fresh file goes on above every id the damaged one gave out.
    std::vector<Outbox::Item> later = Batch("later-", 2);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(later, refused).ok());
    EXPECT_GT(later[0].id, kRows);
    outbox.Close();
    Outbox reopened(path);
    ASSERT_TRUE(reopened.Open().ok());
    EXPECT_FALSE(reopened.salvaged());
    EXPECT_EQ(readable.size() + 2, reopened.Count());
    Outbox::Summary summary;
    ASSERT_TRUE(Outbox::Inspect(path, summary, nullptr).ok());
    EXPECT_EQ(1u, summary.set_aside_files.size());
}

// Random bytes instead of a pattern: a damaged leaf then answers "the next id above" with
// any id, below the one asked for as well.
class OutboxRandomDamage : public ::testing::TestWithParam<unsigned> {};

TEST_P(OutboxRandomDamage, TheSalvageEndsAndHandsOutEveryReadableRowOnce) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    std::map<int64_t, std::string> readable;
    int pages_hit = 0;
    ASSERT_NO_FATAL_FAILURE(BuildDamagedOutbox(path, readable, pages_hit, GetParam()));
    Outbox outbox(path);
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    const Status opened = outbox.Open();
    ASSERT_TRUE(opened.ok()) << opened.ToString();
    ASSERT_TRUE(outbox.TakeOldest(0, kRows * 2, items, damaged).ok());
    std::map<int64_t, std::string> handed;
    for (const Outbox::Item& item : items) EXPECT_TRUE(handed.emplace(item.id, item.payload).second) << item.id;
    // Every row a plain read by id finds; a garbage cell that happens to read back whole
    // under an id of its own may come on top.
    for (const auto& row : readable) EXPECT_EQ(row.second, handed[row.first]) << row.first;
    EXPECT_LE(handed.size(), readable.size() + static_cast<size_t>(pages_hit));
}

INSTANTIATE_TEST_SUITE_P(Seeds, OutboxRandomDamage, ::testing::Range(1u, 9u));

TEST(OutboxDamage, TheBacklogDeliversEveryReadableRowOfADamagedFile) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    std::map<int64_t, std::string> readable;
    int pages_hit = 0;
    ASSERT_NO_FATAL_FAILURE(BuildDamagedOutbox(path, readable, pages_hit));

    DeliveryBacklog backlog(500);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
    std::vector<Payload> fresh = Alarms("new-", 3);
    backlog.Accept(fresh);
    const std::multiset<std::string> delivered = Drain(backlog, static_cast<int64_t>(::time(nullptr)));
    std::multiset<std::string> expected;
    for (const auto& row : readable) expected.insert(row.second);
    for (const Payload& payload : fresh) expected.insert(payload.payload);
    EXPECT_EQ(expected, delivered);
    EXPECT_EQ(1u, SetAsideFiles(dir.path()).size());
    EXPECT_EQ(0u, backlog.outbox()->Count());
}

// ---- A checksum that does not match ----

TEST(OutboxDamage, APayloadChangedBehindTheChecksumIsNeverHandedOutAndIsSetAside) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    std::vector<Outbox::Item> items = Batch("alarm-", 5);
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        size_t refused = 0;
        ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
    }
    ASSERT_TRUE(Sql(path, "UPDATE outbox SET payload = 'alarm-X' WHERE id = " + std::to_string(items[2].id)));

    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> taken;
    size_t damaged = 0;
    ASSERT_TRUE(outbox.TakeOldest(0, 100, taken, damaged).ok());
    EXPECT_EQ(1u, damaged);
    std::vector<std::string> texts;
    for (const Outbox::Item& item : taken) texts.push_back(item.payload);
    EXPECT_EQ((std::vector<std::string>{"alarm-0", "alarm-1", "alarm-3", "alarm-4"}), texts);
    EXPECT_EQ(4u, outbox.Count());
    // Taken again: gone for good, not counted twice.
    taken.clear();
    ASSERT_TRUE(outbox.TakeOldest(0, 100, taken, damaged).ok());
    EXPECT_EQ(0u, damaged);
    EXPECT_EQ(4u, taken.size());

    Outbox::Summary summary;
    ASSERT_TRUE(Outbox::Inspect(path, summary, nullptr).ok());
    EXPECT_EQ(4u, summary.waiting);
    EXPECT_EQ(1u, summary.damaged);
}

TEST(OutboxDamage, TheBacklogCountsARowWhoseChecksumFails) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    {
        DeliveryBacklog backlog(2);
        ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
        std::vector<Payload> alarms = Alarms("alarm-", 4);
        backlog.Accept(alarms);
    }
    ASSERT_TRUE(Sql(path, "UPDATE outbox SET method = 'SendAlarX' WHERE id = 3"));
    DeliveryBacklog backlog(10);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
    const std::multiset<std::string> delivered = Drain(backlog, static_cast<int64_t>(::time(nullptr)));
    EXPECT_EQ((std::multiset<std::string>{"alarm-0", "alarm-1", "alarm-3"}), delivered);
    EXPECT_EQ(1u, backlog.TakeDamaged());
}

// ---- Symbolic links ----

class OutboxLinks : public ::testing::TestWithParam<const char*> {};

TEST_P(OutboxLinks, APlantedLinkIsRefusedAndItsTargetUntouched) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    const std::string target = dir.Join("precious");
    ASSERT_TRUE(WriteFile(target, "not a database\n"));
    ASSERT_EQ(0, ::symlink(target.c_str(), (path + GetParam()).c_str())) << std::strerror(errno);
    struct stat before {};
    ASSERT_EQ(0, ::stat(target.c_str(), &before));

    Outbox outbox(path);
    const Status status = outbox.Open();
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(outbox.usable());
    EXPECT_EQ("not a database\n", ReadFile(target));
    struct stat after {};
    ASSERT_EQ(0, ::stat(target.c_str(), &after));
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_uid, after.st_uid);
    EXPECT_EQ(before.st_size, after.st_size);
    // Nothing was set aside through the link either.
    EXPECT_TRUE(SetAsideFiles(dir.path()).empty());
    Outbox::Summary summary;
    EXPECT_FALSE(Outbox::Inspect(path, summary, nullptr).ok());
    EXPECT_EQ("not a database\n", ReadFile(target));

    // The backlog keeps alarms in memory rather than write through the link.
    DeliveryBacklog backlog(10);
    EXPECT_FALSE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
    std::vector<Payload> alarms = Alarms("alarm-", 2);
    backlog.Accept(alarms);
    EXPECT_EQ(2u, backlog.Unstored());
    EXPECT_EQ("not a database\n", ReadFile(target));
}

TEST(OutboxLinks, ALinkToANameThatDoesNotExistCreatesNothing) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    const std::string target = dir.Join("elsewhere.db");
    ASSERT_EQ(0, ::symlink(target.c_str(), path.c_str()));
    Outbox outbox(path);
    EXPECT_FALSE(outbox.Open().ok());
    EXPECT_FALSE(Exists(target));
}

std::string LinkName(const ::testing::TestParamInfo<const char*>& info) {
    const std::string suffix = info.param;
    return suffix.empty() ? "File" : suffix == "-wal" ? "Wal" : "Shm";
}

INSTANTIATE_TEST_SUITE_P(EachName, OutboxLinks, ::testing::Values("", "-wal", "-shm"), LinkName);

// ---- Refused rows ----

TEST(OutboxRefused, ARefusedRowWaitsForItsAttemptSurvivesReopeningAndIsCounted) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    std::vector<Outbox::Item> items = Batch("alarm-", 4);
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        size_t refused = 0;
        ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
        ASSERT_TRUE(outbox.MarkRefused(items[1].id, "SOAP fault", 1000, 1900).ok());
        EXPECT_EQ(1u, outbox.Refused());
        // Refused again: the first refusal's time stays, the count grows.
        ASSERT_TRUE(outbox.MarkRefused(items[1].id, "SOAP fault again", 1900, 3700).ok());
        ASSERT_TRUE(outbox.MarkRefused(items[3].id, "no Identifier", 2000, 2900).ok());
        EXPECT_EQ(2u, outbox.Refused());
        EXPECT_EQ(4u, outbox.Count());

        std::vector<Outbox::Item> due;
        size_t damaged = 0;
        ASSERT_TRUE(outbox.TakeRefusedDue(items[3].id, 2899, 10, due, damaged).ok());
        EXPECT_TRUE(due.empty());
        ASSERT_TRUE(outbox.TakeRefusedDue(items[3].id, 2900, 10, due, damaged).ok());
        ASSERT_EQ(1u, due.size());
        EXPECT_EQ(items[3].id, due[0].id);
        due.clear();
        ASSERT_TRUE(outbox.TakeRefusedDue(items[3].id, 3700, 10, due, damaged).ok());
        EXPECT_EQ(2u, due.size());
        due.clear();
        // Not past the id the caller has loaded so far.
        ASSERT_TRUE(outbox.TakeRefusedDue(items[2].id, 3700, 10, due, damaged).ok());
        ASSERT_EQ(1u, due.size());
        EXPECT_EQ(items[1].id, due[0].id);
        due.clear();
        ASSERT_TRUE(outbox.TakeRefusedDue(items[3].id, 3700, 1, due, damaged).ok());
        EXPECT_EQ(1u, due.size());

        int64_t next = -1;
        ASSERT_TRUE(outbox.NextRefusedDue(0, next).ok());
        EXPECT_EQ(2900, next);
        ASSERT_TRUE(outbox.NextRefusedDue(2900, next).ok());
        EXPECT_EQ(3700, next);
        ASSERT_TRUE(outbox.NextRefusedDue(3700, next).ok());
        EXPECT_EQ(0, next);
    }
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    EXPECT_EQ(2u, outbox.Refused());
    EXPECT_EQ(4u, outbox.Count());
    // A start hands refused rows out with the rest.
    std::vector<Outbox::Item> all;
    size_t damaged = 0;
    ASSERT_TRUE(outbox.TakeOldest(0, 10, all, damaged).ok());
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ(0, all[0].first_refused);
    EXPECT_EQ(1000, all[1].first_refused);
    EXPECT_EQ(2, all[1].refusals);
    EXPECT_EQ("SOAP fault again", all[1].reason);
    EXPECT_EQ(2000, all[3].first_refused);
    EXPECT_EQ(1, all[3].refusals);

    Outbox::Summary summary;
    ASSERT_TRUE(Outbox::Inspect(path, summary, nullptr).ok());
    EXPECT_EQ(2u, summary.waiting);
    EXPECT_EQ(2u, summary.refused);
    EXPECT_EQ((std::map<std::string, size_t>{{"SOAP fault again", 1}, {"no Identifier", 1}}), summary.refused_by_reason);
    // The counts after deletes and refusals of ids not stored: OutboxRegression.TheKeptCountsMatchTheFile.
}

TEST(BacklogRefused, ARefusedAlarmWaitsFifteenMinutesDoublingToSixHoursAndIsDroppedAfterAWeek) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    DeliveryBacklog backlog(10);
    backlog.SetRefusalTiming(RefusalTiming{});
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
    std::vector<Payload> alarms = Alarms("alarm-", 2);
    backlog.Accept(alarms);
    const int64_t start = 1700000000;
    std::deque<Payload> ready = backlog.TakeReady();
    ASSERT_EQ(2u, ready.size());
    backlog.Finished(ready[1]);
    ASSERT_TRUE(backlog.FlushDeletes().ok());

    Payload refused = ready[0];
    int64_t now = start;
    const int64_t expected_waits[] = {900, 1800, 3600, 7200, 14400, 21600, 21600, 21600};
    for (const int64_t wait : expected_waits) {
        const DeliveryBacklog::Refusal refusal = backlog.Refused(refused, "fault", now, kv::delivery::Clock::now());
        ASSERT_EQ(DeliveryBacklog::RefusalFate::kKept, refusal.fate);
        EXPECT_EQ(wait, refusal.next_in);
        EXPECT_EQ(alarms[0].outbox_id, refusal.id);
        EXPECT_EQ(1u, backlog.outbox()->Refused());
        EXPECT_EQ(1u, backlog.RefusedOnDisk());
        EXPECT_EQ(0u, backlog.in_window());
        ASSERT_TRUE(backlog.NextRefusedDue().has_value());
        EXPECT_EQ(now + wait, *backlog.NextRefusedDue());
        // Not before it is due.
        EXPECT_EQ(0u, backlog.Refill(now + wait - 1));
        EXPECT_FALSE(backlog.HasReady());
        now += wait;
        ASSERT_EQ(1u, backlog.Refill(now));
        ready = backlog.TakeReady();
        ASSERT_EQ(1u, ready.size());
        refused = ready[0];
        EXPECT_EQ("alarm-0", refused.payload);
        EXPECT_EQ(start, refused.first_refused);
        EXPECT_EQ(0u, backlog.RefusedOnDisk()) << "in the window now";
    }
    // A week after its first refusal it is dropped, and its row goes.
    now = start + 7 * 24 * 3600;
    const DeliveryBacklog::Refusal last = backlog.Refused(refused, "fault", now, kv::delivery::Clock::now());
    EXPECT_EQ(DeliveryBacklog::RefusalFate::kDropped, last.fate);
    ASSERT_TRUE(backlog.FlushDeletes().ok());
    EXPECT_EQ(0u, backlog.outbox()->Count());
    EXPECT_EQ(0u, backlog.outbox()->Refused());
    EXPECT_EQ(0u, backlog.Waiting());
}

TEST(BacklogRefused, ARefusedAlarmIsTriedAgainAtTheNextStart) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    const int64_t now = static_cast<int64_t>(::time(nullptr));
    {
        DeliveryBacklog backlog(10);
        ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
        std::vector<Payload> alarms = Alarms("alarm-", 3);
        backlog.Accept(alarms);
        std::deque<Payload> ready = backlog.TakeReady();
        ASSERT_EQ(DeliveryBacklog::RefusalFate::kKept,
                  backlog.Refused(ready[1], "fault", now, kv::delivery::Clock::now()).fate);
        backlog.Finished(ready[0]);
        backlog.Finished(ready[2]);
        ASSERT_TRUE(backlog.FlushDeletes().ok());
        EXPECT_EQ(1u, backlog.Waiting());
    }
    DeliveryBacklog backlog(10);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
    EXPECT_EQ(1u, backlog.Waiting());
    // Long before its next attempt: a start tries it at once.
    EXPECT_EQ(1u, backlog.Refill(now));
    std::deque<Payload> ready = backlog.TakeReady();
    ASSERT_EQ(1u, ready.size());
    EXPECT_EQ("alarm-1", ready[0].payload);
    EXPECT_EQ(1, ready[0].refusals);
    EXPECT_EQ(now, ready[0].first_refused);
    backlog.Finished(ready[0]);
    ASSERT_TRUE(backlog.FlushDeletes().ok());
    EXPECT_EQ(0u, backlog.outbox()->Count());
    EXPECT_EQ(0u, backlog.outbox()->Refused());
}

// ---- A real full disk ----

// A small tmpfs mounted at a folder of its own; unmounted and removed at scope exit.
class SmallDisk {
public:
    SmallDisk(const std::string& folder, const char* size) : folder_(folder) {
        if (::geteuid() != 0) {
            why_ = "needs root to mount a tmpfs";
            return;
        }
        if (::mkdir(folder_.c_str(), 0700) != 0) {
            why_ = std::string("mkdir: ") + std::strerror(errno);
            return;
        }
        const std::string options = std::string("size=") + size + ",mode=0700";
        if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            why_ = std::string("mount: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
        ::rmdir(folder_.c_str());
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

private:
    std::string folder_;
    bool mounted_ = false;
    std::string why_;
};

// Writes until the disk is full; the bytes written.
size_t Fill(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    const std::string block(4096, 'f');
    size_t written = 0;
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size() && std::fflush(file) == 0) {
        written += block.size();
    }
    std::fclose(file);
    return written;
}

TEST(OutboxFullDisk, AlarmsRaisedWhileTheDiskIsFullAreHeldAndStoredOnceItHasRoom) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    SmallDisk disk(dir.Join("disk"), "1m");
    if (!disk.mounted()) GTEST_SKIP() << "no small disk: " << disk.why();
    const std::string path = dir.Join("disk/outbox.db");
    const std::string filler = dir.Join("disk/filler");

    std::multiset<std::string> raised;
    auto raise = [&](std::vector<Payload> alarms) {
        for (const Payload& payload : alarms) raised.insert(payload.payload);
        return alarms;
    };
    DeliveryBacklog backlog(1000);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(path)).ok());
    std::vector<Payload> before = raise(Alarms("before-", 10, 100));
    ASSERT_TRUE(backlog.Accept(before).outbox_failure.ok());
    ASSERT_GT(Fill(filler), 0u);

    // Full: the intake is not stored, the alarms are held in memory.
    std::vector<Payload> full = raise(Alarms("full-", 100, 2000));
    const DeliveryBacklog::Intake intake = backlog.Accept(full);
    EXPECT_FALSE(intake.outbox_failure.ok());
    EXPECT_TRUE(intake.outbox_failure.IsFull()) << intake.outbox_failure.ToString();
    EXPECT_EQ(0u, intake.refused_by_window);
    EXPECT_TRUE(backlog.NeedsReopen());
    EXPECT_EQ(100u, backlog.Unstored());
    // Still full: the reopen fails, or opens and cannot write; the alarms stay held.
    backlog.Reopen();
    std::vector<Payload> more = raise(Alarms("still-full-", 20, 2000));
    EXPECT_EQ(0u, backlog.Accept(more).refused_by_window);
    backlog.Reopen();
    EXPECT_TRUE(backlog.NeedsReopen());
    EXPECT_EQ(120u, backlog.Unstored());
    // One is delivered meanwhile: its delete waits, nothing else changes.
    std::deque<Payload> ready = backlog.TakeReady(1);
    ASSERT_EQ(1u, ready.size());
    std::multiset<std::string> delivered{ready[0].payload};
    backlog.Finished(ready[0]);
    backlog.FlushDeletes();

    // Room again: the reopen stores every held alarm.
    ASSERT_EQ(0, ::unlink(filler.c_str()));
    const Status reopened = backlog.Reopen();
    ASSERT_TRUE(reopened.ok()) << reopened.ToString();
    EXPECT_EQ(0u, backlog.Unstored());
    // A crash now loses nothing: everything not delivered is on disk.
    Outbox::Summary summary;
    std::vector<Outbox::Item> stored;
    ASSERT_TRUE(Outbox::Inspect(path, summary, &stored).ok());
    std::multiset<std::string> on_disk_or_delivered = delivered;
    for (const Outbox::Item& item : stored) on_disk_or_delivered.insert(item.payload);
    EXPECT_EQ(raised, on_disk_or_delivered);

    const std::multiset<std::string> rest = Drain(backlog, static_cast<int64_t>(::time(nullptr)));
    delivered.insert(rest.begin(), rest.end());
    EXPECT_EQ(raised, delivered);
    EXPECT_EQ(0u, backlog.outbox()->Count());
}

TEST(OutboxFullDisk, ASalvageThatCannotWriteTheFreshFileLeavesTheDamagedOneInPlace) {
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    SmallDisk disk(dir.Join("disk"), "4m");
    if (!disk.mounted()) GTEST_SKIP() << "no small disk: " << disk.why();
    const std::string path = dir.Join("disk/outbox.db");
    const std::string filler = dir.Join("disk/filler");
    std::map<int64_t, std::string> readable;
    int pages_hit = 0;
    ASSERT_NO_FATAL_FAILURE(BuildDamagedOutbox(path, readable, pages_hit));
    const std::string damaged_bytes = ReadFile(path);
    ASSERT_GT(Fill(filler), 0u);

    {
        Outbox outbox(path);
        const Status opened = outbox.Open();
        std::vector<Outbox::Item> items;
        size_t damaged = 0;
        const Status status = opened.ok() ? outbox.TakeOldest(0, kRows * 2, items, damaged) : opened;
        EXPECT_FALSE(status.ok()) << "a salvage on a full disk";
        EXPECT_FALSE(outbox.usable());
    }
    // Nothing stranded aside: the damaged file is back at its path, as it was.
    EXPECT_TRUE(SetAsideFiles(dir.Join("disk")).empty());
    EXPECT_TRUE(ReadFile(path) == damaged_bytes) << "the damaged file is not back in place";

    // Room again: the next open salvages every readable row.
    ASSERT_EQ(0, ::unlink(filler.c_str()));
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    ASSERT_TRUE(outbox.TakeOldest(0, kRows * 2, items, damaged).ok());
    std::map<int64_t, std::string> handed;
    for (const Outbox::Item& item : items) handed[item.id] = item.payload;
    EXPECT_EQ(readable, handed);
    ASSERT_TRUE(outbox.salvaged());
    EXPECT_EQ(readable.size(), outbox.TakeSalvage().recovered);
}

}  // namespace
