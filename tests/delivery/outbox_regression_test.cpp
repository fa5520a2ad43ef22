// Faults once found in the outbox and the window in front of it, kept as regression
// tests: each comment names the fault its test would catch again.
#include <algorithm>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "src/delivery/delivery_backlog.h"
#include "src/outbox/outbox.h"
#include "src/outbox/outbox_sqlite.h"
#include "tests/delivery/delivery_test_support.h"
#include "tests/foundation/test_dir.h"
#include "tests/support/fault_vfs.h"

namespace {

using kv::Outbox;
using kv::delivery::DeliveryBacklog;
using kv::delivery::Payload;
using kv::testing::FaultVfs;
using kv::testing::ReadFile;
using kv::testing::TestDir;
using kv::testing::WriteFile;
using kv::test::Alarms;
using kv::test::Batch;
using kv::test::SetAsideFiles;
using kv::test::Sql;

constexpr int kPageSize = 4096;

// Overwrites the cell contents of a table leaf page (type 0x0D), keeping its header and
// cell pointer array, so that SQLite reports the page corrupt when a row on it is read.
void DamageCells(std::string& file, int page_number) {
    const size_t start = static_cast<size_t>(page_number - 1) * kPageSize;
    const size_t header = page_number == 1 ? 100 : 0;
    const unsigned char* page = reinterpret_cast<const unsigned char*>(file.data() + start + header);
    const size_t cells = (page[3] << 8) | page[4];
    size_t content = (page[5] << 8) | page[6];
    if (content == 0) content = 65536;
    const size_t pointers_end = header + 8 + 2 * cells;
    if (content < pointers_end) content = pointers_end;
    for (size_t at = content; at < static_cast<size_t>(kPageSize); ++at) file[start + at] = static_cast<char>(0xff);
}

// Gives a page an invalid type: SQLite reports it corrupt whenever it is reached.
void DamageHeader(std::string& file, int page_number) {
    file[static_cast<size_t>(page_number - 1) * kPageSize] = 0;
}

// Table leaf pages holding a row whose payload contains `marker`, in file order.
std::vector<int> LeafPagesWith(const std::string& file, const std::string& marker) {
    std::vector<int> pages;
    const int count = static_cast<int>(file.size() / kPageSize);
    for (int number = 2; number <= count; ++number) {
        const std::string page = file.substr(static_cast<size_t>(number - 1) * kPageSize, kPageSize);
        if (static_cast<unsigned char>(page[0]) == 0x0d && page.find(marker) != std::string::npos) pages.push_back(number);
    }
    return pages;
}

// The page of the sqlite_sequence table (a leaf holding the text "outbox" and one cell).
int SequencePage(const std::string& file) {
    const int count = static_cast<int>(file.size() / kPageSize);
    for (int number = 2; number <= count; ++number) {
        const std::string page = file.substr(static_cast<size_t>(number - 1) * kPageSize, kPageSize);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(page.data());
        if (bytes[0] == 0x0d && ((bytes[3] << 8) | bytes[4]) == 1 && page.find("outbox") != std::string::npos &&
            page.find("SendAlarm") == std::string::npos) {
            return number;
        }
    }
    return 0;
}

// An outbox file with `count` padded rows "row<i>", closed cleanly (no -wal left).
void FillOutbox(const std::string& path, int count) {
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> items = Batch("row", count, 300);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
    outbox.Close();
    ASSERT_FALSE(std::filesystem::exists(path + "-wal"));
}

// Runs `work` in a child process, killed after `seconds`: false when it did not end in
// time. `status` is the child's wait status; it exits 0 when `work` returned true.
template <typename Work>
bool EndsWithin(int seconds, int& status, Work work) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) ::_exit(work() ? 0 : 1);
    for (int tick = 0; tick < seconds * 1000; ++tick) {
        if (::waitpid(child, &status, WNOHANG) == child) return true;
        ::usleep(1000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return false;
}

// Caught: (rule broken: a damaged file is never deleted): the damaged file is renamed to
// "<path>.corrupt-<epoch seconds>"; a second salvage within the same second renames over
// the first damaged copy, which is gone.
TEST(OutboxRegression, TwoSalvagesInOneSecondKeepBothDamagedCopies) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    // Retried when the clock's second turned between the two salvages.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
        const std::time_t before = ::time(nullptr);
        WriteFile(path, std::string(8192, 'A'));
        {
            Outbox outbox(path);
            ASSERT_TRUE(outbox.Open().ok());
            ASSERT_TRUE(outbox.salvaged());
        }
        WriteFile(path, std::string(8192, 'B'));
        {
            Outbox outbox(path);
            ASSERT_TRUE(outbox.Open().ok());
            ASSERT_TRUE(outbox.salvaged());
        }
        if (::time(nullptr) != before) continue;
        EXPECT_EQ(2u, SetAsideFiles(dir.path()).size()) << "the first damaged copy was renamed over";
        return;
    }
    GTEST_SKIP() << "the clock's second turned in every attempt";
}

// Caught: (data loss, id reuse): a salvage renames the damaged file aside, reads its rows
// into memory and then writes them to a fresh file. When that write fails (a full disk),
// Open fails; the next Open creates an empty fresh file and never looks at the set-aside
// file again: every recovered row is lost to delivery, and ids start again at 1.
TEST(OutboxRegression, ASalvageWhoseFreshFileFailsLosesNoRecoveredRow) {
    FaultVfs& vfs = FaultVfs::Install();
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    FillOutbox(path, 60);
    std::string file = ReadFile(path);
    const std::vector<int> leaves = LeafPagesWith(file, "row");
    ASSERT_GE(leaves.size(), 3u);
    DamageHeader(file, leaves[1]);  // one leaf in the middle; the others stay readable
    WriteFile(path, file);

    vfs.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_FULL);
    {
        Outbox outbox(path);
        const kv::Status status = outbox.Open();
        vfs.Disarm();
        ASSERT_FALSE(status.ok()) << "the fault did not hit the fresh file";
    }
    // The disk has room again: the service's reopen.
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    EXPECT_GT(outbox.Count(), 0u) << "every row the salvage had read is gone from the outbox";
    std::vector<Outbox::Item> fresh = Batch("new", 1);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(fresh, refused).ok());
    EXPECT_GT(fresh[0].id, 60) << "an id the damaged file gave out is given out again";
}

// Caught: (id reuse, wrong delete; wrong count): the salvage takes the highest id from
// sqlite_sequence or from the rows it recovered. When both the sequence's page and the
// last rows are damaged, the next store reuses the ids of the lost rows, which the
// service may still hold in memory and delete by id once they are delivered, deleting
// the new alarm instead. The walk also counts every id it probed past the damage (up to
// a million) as an unreadable row.
TEST(OutboxRegression, ASalvageNeverHandsOutAnIdTheDamagedFileGaveOut) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    FillOutbox(path, 60);
    std::string file = ReadFile(path);
    const std::vector<int> leaves = LeafPagesWith(file, "row");
    ASSERT_GE(leaves.size(), 3u);
    const int sequence = SequencePage(file);
    ASSERT_NE(0, sequence);
    DamageHeader(file, sequence);
    DamageHeader(file, leaves.back());  // the highest ids
    WriteFile(path, file);

    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    ASSERT_TRUE(outbox.salvaged());
    const Outbox::Salvage salvage = outbox.TakeSalvage();
    EXPECT_GT(salvage.recovered, 0u);
    EXPECT_LE(salvage.recovered + salvage.unreadable, 60u) << "unreadable rows counted: " << salvage.unreadable;
    std::vector<Outbox::Item> fresh = Batch("new", 1);
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(fresh, refused).ok());
    EXPECT_GT(fresh[0].id, 60) << "id " << fresh[0].id << " belonged to a row of the damaged file";
}

// Caught: (hang, memory without bound): the salvage walk sets its cursor to whatever id
// "id > cursor" returned. On a leaf whose cells are overwritten (page header kept) the
// seek returns ids at or below the cursor, the cursor goes back, and the walk reads the
// same rows again and again, pushing each into memory: Open never returns and its memory
// grows by gigabytes a minute. The Open runs in a child, which is killed after 15 s.
TEST(OutboxRegression, ASalvageOfOverwrittenCellsEnds) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    FillOutbox(path, 60);
    std::string file = ReadFile(path);
    const std::vector<int> leaves = LeafPagesWith(file, "row");
    ASSERT_GE(leaves.size(), 3u);
    DamageCells(file, leaves[1]);
    WriteFile(path, file);

    int status = 0;
    EXPECT_TRUE(EndsWithin(15, status, [&] { return Outbox(path).Open().ok(); }))
        << "the salvage of a file with overwritten cells never ends";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "Open failed or crashed";
}

// Stores `items` in the outbox at `path` and closes it (no -wal left).
void Store(const std::string& path, std::vector<Outbox::Item> items) {
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    size_t refused = 0;
    ASSERT_TRUE(outbox.StoreBatch(items, refused).ok());
}

// Caught: (alarms lost to a salvage): the walk by id gave up after 100,000 ids without a
// readable row, and the look-up pass covered only the first million ids. A salvage puts
// the ids a million higher, so a file salvaged once whose first leaf was damaged again
// lost every row: "0 alarms recovered, 1100000 rows could not be read".
TEST(OutboxRegression, ASecondSalvageReachesRowsWithHighIds) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    FillOutbox(path, 60);
    std::string file;
    for (int salvage = 0; salvage < 2; ++salvage) {  // each puts the ids a million higher
        file = ReadFile(path);
        DamageHeader(file, LeafPagesWith(file, "row").at(salvage == 0 ? 1 : 0));
        WriteFile(path, file);
        Outbox salvaged(path);
        ASSERT_TRUE(salvaged.Open().ok());
        ASSERT_TRUE(salvaged.salvaged());
        std::vector<Outbox::Item> old;
        size_t damaged = 0;
        ASSERT_TRUE(salvaged.TakeOldest(0, 100, old, damaged).ok());
        std::vector<int64_t> ids;
        for (const Outbox::Item& item : old) ids.push_back(item.id);
        ASSERT_TRUE(salvaged.Delete(ids).ok());
        if (salvage == 0) Store(path, Batch("row", 30, 300));
    }
    Store(path, Batch("late", 300, 1200));  // three rows a page
    file = ReadFile(path);
    DamageHeader(file, LeafPagesWith(file, "late0x").at(0));
    WriteFile(path, file);

    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    ASSERT_TRUE(outbox.salvaged());
    const Outbox::Salvage salvage = outbox.TakeSalvage();
    EXPECT_EQ(297u, salvage.recovered);
    EXPECT_EQ(3u, salvage.unreadable);
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    ASSERT_TRUE(outbox.TakeOldest(0, 1000, items, damaged).ok());
    ASSERT_EQ(297u, items.size());
    EXPECT_GT(items[0].id, 2000000);
    EXPECT_EQ(0u, items[0].payload.rfind("late3x", 0));
}

// Suspected, and so: a damaged file's sqlite_sequence may hold any number. Near the top
// of the id range, the fresh file's next id overflowed, or every store failed for want of
// ids and the outbox stayed memory-only.
TEST(OutboxRegression, AGarbageSequenceInADamagedFileLeavesRoomForNewIds) {
    for (const int64_t garbage : {INT64_MAX, INT64_MAX - 1000000, INT64_MAX / 2 + 7}) {
        TestDir dir;
        const std::string path = dir.Join("outbox.db");
        FillOutbox(path, 60);
        ASSERT_TRUE(Sql(path, "UPDATE sqlite_sequence SET seq = " + std::to_string(garbage)));
        std::string file = ReadFile(path);
        DamageHeader(file, LeafPagesWith(file, "row").at(1));
        WriteFile(path, file);

        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok()) << garbage;
        ASSERT_TRUE(outbox.salvaged()) << garbage;
        for (int store = 0; store < 3; ++store) {
            std::vector<Outbox::Item> fresh = Batch("new", 2);
            size_t refused = 0;
            ASSERT_TRUE(outbox.StoreBatch(fresh, refused).ok()) << garbage << ": no id left for a new alarm";
            EXPECT_GT(fresh[0].id, 60) << garbage;
        }
    }
}

// Suspected, and so: the set-aside name was looked for with lstat until one said ENOENT;
// any other answer (a name too long, a folder that cannot be searched) looped for ever.
TEST(OutboxRegression, ASalvageThatFindsNoNameForTheDamagedFileEnds) {
    TestDir dir;
    const std::string path = dir.Join(std::string(240, 'o'));  // ".corrupt-<epoch>" makes it too long
    WriteFile(path, std::string(8192, 'G'));
    int status = 0;
    ASSERT_TRUE(EndsWithin(10, status, [&] { return Outbox(path).Open().ok(); })) << "the salvage never ends";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "a salvage without a name for the damaged file";
    EXPECT_EQ(std::string(8192, 'G'), ReadFile(path)) << "the damaged file is not in its place";
}

// A damaged outbox whose -wal holds rows too: the bytes of both files.
struct DamagedSet {
    std::string main;
    std::string wal;
};

void BuildDamagedSet(const TestDir& dir, DamagedSet& set) {
    const std::string path = dir.Join("build.db");
    FillOutbox(path, 30);
    std::string file = ReadFile(path);
    DamageHeader(file, LeafPagesWith(file, "row").at(1));
    WriteFile(path, file);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "PRAGMA wal_autocheckpoint=0; INSERT INTO outbox(method, payload, stored_at) "
                                      "VALUES('SendAlarm', 'wal0', 0), ('SendAlarm', 'wal1', 0)",
                                      nullptr, nullptr, nullptr));
    set.main = ReadFile(path);
    set.wal = ReadFile(path + "-wal");
    sqlite3_close(db);
    ASSERT_FALSE(set.wal.empty());
}

std::multiset<std::string> Payloads(Outbox& outbox) {
    const std::vector<std::string> payloads = kv::test::Payloads(outbox);
    return std::multiset<std::string>(payloads.begin(), payloads.end());
}

// A damaged set and the payloads a salvage recovers from it; `path` gets the set anew.
class DamagedSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(BuildDamagedSet(build_, set_));
        const std::string path = build_.Join("healthy.db");
        Lay(path);
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        ASSERT_TRUE(outbox.salvaged());
        readable_ = Payloads(outbox);
        ASSERT_EQ(1u, readable_.count("wal1"));
        ASSERT_LT(readable_.size(), 32u);
    }

    void Lay(const std::string& path) const {
        WriteFile(path, set_.main);
        WriteFile(path + "-wal", set_.wal);
    }

    // After whatever cut the last salvage short: the next Open has every readable row
    // once, and one set-aside copy of the damaged set as it was.
    void ExpectFinished(const TestDir& dir, const std::string& where) const {
        Outbox outbox(dir.Join("outbox.db"));
        ASSERT_TRUE(outbox.Open().ok()) << where;
        ASSERT_EQ(readable_, Payloads(outbox)) << where;
        const std::vector<std::string> aside = SetAsideFiles(dir.path());
        ASSERT_EQ(1u, aside.size()) << where;
        EXPECT_TRUE(ReadFile(dir.Join(aside[0])) == set_.main) << where;
        EXPECT_TRUE(ReadFile(dir.Join(aside[0]) + "-wal") == set_.wal) << where;
    }

    FaultVfs& vfs_ = FaultVfs::Install();
    TestDir build_;
    DamagedSet set_;
    std::multiset<std::string> readable_;
};

// Caught: (every alarm lost, silently): a salvage moved the damaged file aside first and
// then read it into memory; a kill before the fresh file was written left an empty
// outbox.db, and the next start never looked at the set-aside file. Killed at each sync
// in turn, where what is on disk changes meaning.
TEST_F(DamagedSetTest, ASalvageKilledAtAnySyncIsFinishedByTheNextOpen) {
    bool killed = true;
    int n = 1;
    for (; killed && n < 100; ++n) {
        TestDir dir;
        Lay(dir.Join("outbox.db"));
        int status = 0;
        ASSERT_TRUE(EndsWithin(30, status, [&] {
            vfs_.ArmKill(FaultVfs::Op::kSync, n);
            return Outbox(dir.Join("outbox.db")).Open().ok();
        }));
        killed = WIFEXITED(status) && WEXITSTATUS(status) == FaultVfs::kKilled;
        ASSERT_NO_FATAL_FAILURE(ExpectFinished(dir, "killed at sync " + std::to_string(n)));
    }
    EXPECT_GT(n, 3) << "the salvage hardly syncs";
}

// The same at every file operation of a salvage in turn: everything from the n-th on
// fails, as after a crash.
TEST_F(DamagedSetTest, ASalvageCutShortAtAnyPointIsFinishedByTheNextOpen) {
    bool fired = true;
    int n = 1;
    for (; fired && n < 3000; ++n) {
        TestDir dir;
        Lay(dir.Join("outbox.db"));
        vfs_.ArmCrash(n);
        { Outbox(dir.Join("outbox.db")).Open(); }
        fired = vfs_.fired();
        vfs_.Disarm();
        ASSERT_NO_FATAL_FAILURE(ExpectFinished(dir, "cut short at operation " + std::to_string(n)));
    }
    EXPECT_GT(n, 20) << "the salvage does hardly any file operation";
    EXPECT_FALSE(fired) << "still failing at operation " << n;
}

// Caught: (a slow drain): with one refused row stored, every delete batch recounted the
// refused rows with a scan of the whole table: 60,000 stored drained at half the rate.
// The reads of a delete batch, the cache emptied first, with no refused row and with one.
TEST(OutboxRegression, ADeleteCostsTheSameWithARefusedRowStored) {
    FaultVfs& vfs = FaultVfs::Install();
    int reads[2] = {0, 0};
    for (const bool refused : {false, true}) {
        TestDir dir;
        Outbox outbox(dir.Join("outbox.db"));
        ASSERT_TRUE(outbox.Open().ok());
        std::vector<Outbox::Item> items = Batch("a", 5000, 100);
        size_t over_cap = 0;
        ASSERT_TRUE(outbox.StoreBatch(items, over_cap).ok());
        if (refused) {
            ASSERT_TRUE(outbox.MarkRefused(items[0].id, "SOAP fault", 100, 200).ok());
        }
        outbox.ReleaseMemory();
        vfs.ResetCounts();
        ASSERT_TRUE(outbox.Delete({items[2000].id, items[2001].id, items[2002].id}).ok());
        reads[refused] = vfs.Count(FaultVfs::Op::kRead);
        EXPECT_EQ(refused ? 1u : 0u, outbox.Refused());
    }
    EXPECT_LE(reads[1], reads[0] + 2) << "a refused row makes a delete read the whole table";
}

// The counts the outbox keeps against a recount of the file, through a table of
// operations that change them.
TEST(OutboxRegression, TheKeptCountsMatchTheFile) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> items = Batch("a", 6);
    size_t over_cap = 0;
    ASSERT_TRUE(outbox.StoreBatch(items, over_cap).ok());
    const auto id = [&](int i) { return items[static_cast<size_t>(i)].id; };
    const std::function<kv::Status()> steps[] = {
        [&] { return outbox.MarkRefused(id(0), "fault", 1, 2); },
        [&] { return outbox.MarkRefused(id(0), "fault again", 2, 3); },
        [&] { return outbox.MarkRefused(id(1), "fault", 1, 2); },
        [&] { return outbox.MarkRefused(424242, "not there", 1, 2); },
        [&] { return outbox.Delete({id(0), id(2), 434343}); },
        [&] { return outbox.Delete({id(0)}); },
        [&] {
            EXPECT_TRUE(Sql(path, "UPDATE outbox SET payload = 'x' WHERE id = " + std::to_string(id(1))));
            std::vector<Outbox::Item> taken;
            size_t damaged = 0;
            return outbox.TakeOldest(0, 10, taken, damaged);  // sets the refused row aside
        },
        [&] { return outbox.MarkRefused(id(3), "fault", 1, 2); },
        [&] { return outbox.Open(); },
        [&] { return outbox.Delete({id(3), id(4)}); },
    };
    int step = 0;
    for (const auto& run : steps) {
        ++step;
        ASSERT_TRUE(run().ok()) << "step " << step;
        Outbox::Summary file;
        ASSERT_TRUE(Outbox::Inspect(path, file, nullptr).ok());
        EXPECT_EQ(file.refused, outbox.Refused()) << "step " << step;
        EXPECT_EQ(file.waiting + file.refused, outbox.Count()) << "step " << step;
    }
}

// Makes the backlog's next outbox write fail like a full disk, runs `step`, and disarms.
template <typename Step>
void WithFullDisk(FaultVfs& vfs, Step step) {
    vfs.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_FULL);
    step();
    vfs.Disarm();
}

// Caught: (an alarm stranded on disk until a restart): loaded_above_ holds the ids Reopen
// stored for alarms already in memory, and is only pruned by a refill from disk. Once such
// an alarm is delivered its id stays there, and the next Reopen subtracts it from the
// rows waiting on disk: on_disk_only_ is one short, Refill never loads the last stored
// alarm, and the next intake admitted directly moves last_loaded_id_ past it.
TEST(DeliveryBacklogRegression, AnAlarmStoredWhileTheWindowWasFullIsDeliveredAfterTwoOutboxFailures) {
    FaultVfs& vfs = FaultVfs::Install();
    TestDir dir;
    DeliveryBacklog backlog(10);  // nine places for stored alarms
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(dir.Join("outbox.db"))).ok());

    // First failure: A is held in memory, then stored late by Reopen and delivered.
    std::vector<Payload> a = Alarms("A", 1);
    WithFullDisk(vfs, [&] { EXPECT_FALSE(backlog.Accept(a).outbox_failure.ok()); });
    ASSERT_EQ(1u, backlog.Unstored());
    ASSERT_TRUE(backlog.Reopen().ok());
    for (const Payload& payload : backlog.TakeReady()) backlog.Finished(payload);
    ASSERT_TRUE(backlog.FlushDeletes().ok());

    // Nine fill the window, the tenth waits on disk.
    std::vector<Payload> b = Alarms("B", 10);
    ASSERT_TRUE(backlog.Accept(b).outbox_failure.ok());
    ASSERT_EQ(1u, backlog.on_disk_only());

    // Second failure: E is held in memory, then stored late.
    std::vector<Payload> e = Alarms("E", 1);
    WithFullDisk(vfs, [&] { EXPECT_FALSE(backlog.Accept(e).outbox_failure.ok()); });
    ASSERT_TRUE(backlog.Reopen().ok());
    EXPECT_EQ(1u, backlog.on_disk_only()) << "B9 waits on disk and is no longer counted";

    // Everything in memory is delivered; B9 must come next.
    std::vector<std::string> delivered;
    for (int turn = 0; turn < 5; ++turn) {
        for (const Payload& payload : backlog.TakeReady()) {
            delivered.push_back(payload.payload);
            backlog.Finished(payload);
        }
        ASSERT_TRUE(backlog.FlushDeletes().ok());
        backlog.Refill(static_cast<int64_t>(::time(nullptr)));
    }
    std::vector<Payload> later = Alarms("L", 1);
    backlog.Accept(later);
    for (const Payload& payload : backlog.TakeReady()) delivered.push_back(payload.payload);
    EXPECT_NE(std::find(delivered.begin(), delivered.end(), "B9"), delivered.end()) << "B9 never left the disk";
}

// Caught: (rule broken: a refused alarm is tried again after its back-off): an alarm that
// Reopen stored late has an id above last_loaded_id_. Refused, it leaves the window;
// TakeRefusedDue only looks at ids up to last_loaded_id_, and Refill skips the id as
// "in memory already" (loaded_above_), so it is never tried again until a restart.
TEST(DeliveryBacklogRegression, AnAlarmStoredLateAndRefusedIsTriedAgainWhenDue) {
    FaultVfs& vfs = FaultVfs::Install();
    TestDir dir;
    DeliveryBacklog backlog(10);
    kv::delivery::RefusalTiming timing;
    timing.base = std::chrono::seconds(1);
    timing.cap = std::chrono::seconds(1);
    backlog.SetRefusalTiming(timing);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(dir.Join("outbox.db"))).ok());

    std::vector<Payload> a = Alarms("A", 1);
    WithFullDisk(vfs, [&] { EXPECT_FALSE(backlog.Accept(a).outbox_failure.ok()); });
    ASSERT_TRUE(backlog.Reopen().ok());
    std::deque<Payload> ready = backlog.TakeReady();
    ASSERT_EQ(1u, ready.size());
    const int64_t now = static_cast<int64_t>(::time(nullptr));
    const DeliveryBacklog::Refusal refusal =
        backlog.Refused(ready.front(), "SOAP fault", now, kv::delivery::Clock::now());
    ASSERT_EQ(DeliveryBacklog::RefusalFate::kKept, refusal.fate);
    ASSERT_EQ(1u, backlog.outbox()->Refused());

    // Well past its next attempt.
    size_t admitted = 0;
    for (int turn = 0; turn < 3; ++turn) admitted += backlog.Refill(now + 60);
    EXPECT_EQ(1u, admitted) << "the refused alarm never comes back";
    EXPECT_TRUE(backlog.HasReady());
}

// Caught: (hang: a busy loop of the network thread): when TakeRefusedDue returns as many
// rows as there was room for, Refill sets the next refused due time to `now`, "look again
// at the next turn". The rows it returns first are the lowest due ids, and refused alarms
// already in the window are among them (their next attempt on disk has passed); Refill
// skips them. With the room no larger than those, every Refill admits nothing and sets
// the due time to `now` again; the sequencer's due timer then fires at once, Dispatch
// refills, and so on, for as long as those alarms wait in memory (their back-off, an open
// breaker).
TEST(DeliveryBacklogRegression, ARefillThatAdmitsNothingDoesNotAskToLookAgainAtOnce) {
    TestDir dir;
    DeliveryBacklog backlog(10);  // nine places for stored alarms
    kv::delivery::RefusalTiming timing;
    timing.base = std::chrono::seconds(1);
    timing.cap = std::chrono::seconds(1);
    backlog.SetRefusalTiming(timing);
    ASSERT_TRUE(backlog.UseOutbox(std::make_unique<Outbox>(dir.Join("outbox.db"))).ok());
    std::vector<Payload> alarms = Alarms("R", 9);
    backlog.Accept(alarms);
    std::deque<Payload> ready = backlog.TakeReady();
    ASSERT_EQ(9u, ready.size());
    const int64_t now = static_cast<int64_t>(::time(nullptr));
    // Five are refused and leave the window; due again a second later.
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(DeliveryBacklog::RefusalFate::kKept,
                  backlog.Refused(ready[i], "SOAP fault", now, kv::delivery::Clock::now()).fate);
    }
    ASSERT_EQ(5u, backlog.Refill(now + 60));
    // They are in the window again (waiting on a back-off, say); one other is delivered.
    std::deque<Payload> again = backlog.TakeReady();
    ASSERT_EQ(5u, again.size());
    backlog.Finished(ready[5]);
    ASSERT_TRUE(backlog.FlushDeletes().ok());

    for (int64_t turn = 61; turn < 64; ++turn) {
        EXPECT_EQ(0u, backlog.Refill(now + turn));
        // Nothing refused waits on disk now: no look at all is as good as a later one.
        if (backlog.NextRefusedDue()) {
            EXPECT_GT(*backlog.NextRefusedDue(), now + turn) << "asks to look again at once, admitting nothing";
        }
    }
}

// Caught: (a slow drain): finding the refused rows that fall due walked the table up to
// the refused row. With the cache emptied, taking a due refused row at the end of 5,000,
// or asking for the next to fall due, reads no more than reading that row by id does; a
// file without the index (an earlier version's) gets it at open and keeps its rows.
TEST(OutboxRegression, RefusedRowsAreFoundWithoutAWalkOfTheTable) {
    FaultVfs& vfs = FaultVfs::Install();
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    std::vector<Outbox::Item> items = Batch("a", 5000, 100);
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        size_t over_cap = 0;
        ASSERT_TRUE(outbox.StoreBatch(items, over_cap).ok());
    }
    ASSERT_TRUE(Sql(path, "DROP INDEX outbox_refused"));

    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    ASSERT_EQ(items.size(), outbox.Count());
    const struct {
        size_t row;
        int64_t next_attempt;
    } refusals[] = {{4999, 150}, {4998, 300}, {10, 400}};
    for (const auto& refusal : refusals) {
        ASSERT_TRUE(outbox.MarkRefused(items[refusal.row].id, "SOAP fault", 100, refusal.next_attempt).ok());
    }
    size_t damaged = 0;
    std::vector<Outbox::Item> baseline;
    outbox.ReleaseMemory();
    vfs.ResetCounts();
    ASSERT_TRUE(outbox.TakeOldest(items[4999].id - 1, 1, baseline, damaged).ok());
    const int by_id = vfs.Count(FaultVfs::Op::kRead);

    const struct {
        int64_t now;
        std::vector<size_t> due;  // rows, in the order they are taken
        int64_t next;
    } table[] = {{149, {}, 150}, {150, {4999}, 300}, {350, {4999, 4998}, 400}, {500, {4999, 4998, 10}, 0}};
    for (const auto& row : table) {
        std::vector<Outbox::Item> due;
        int64_t next = 0;
        outbox.ReleaseMemory();
        vfs.ResetCounts();
        ASSERT_TRUE(outbox.TakeRefusedDue(items.back().id, row.now, 2, due, damaged).ok());
        ASSERT_TRUE(outbox.NextRefusedDue(row.now, next).ok());
        EXPECT_LE(vfs.Count(FaultVfs::Op::kRead), by_id + 4) << "at " << row.now;
        const size_t expected = std::min<size_t>(row.due.size(), 2);
        ASSERT_EQ(expected, due.size()) << "at " << row.now;
        for (size_t i = 0; i < expected; ++i) EXPECT_EQ(items[row.due[i]].id, due[i].id) << "at " << row.now;
        EXPECT_EQ(row.next, next) << "at " << row.now;
    }
}

// Caught: a damaged cell whose length SQLite read as past its limit failed with "string or
// blob too big" rather than as corruption, and the outbox stayed unusable instead of
// being salvaged. Which failures of a statement count as damage:
TEST(OutboxRegression, ACellTooBigToReadIsDamage) {
    const struct {
        int code;
        bool damage;
    } table[] = {{SQLITE_CORRUPT, true},       {SQLITE_NOTADB, true}, {SQLITE_TOOBIG, true},
                 {SQLITE_IOERR_READ, false},   {SQLITE_FULL, false},  {SQLITE_BUSY, false},
                 {SQLITE_CORRUPT_INDEX, true}, {SQLITE_NOMEM, false}};
    for (const auto& row : table) {
        EXPECT_EQ(row.damage, kv::outbox_sqlite::FromCode("read", row.code, "").IsCorruption()) << row.code;
    }
}

}  // namespace

// Caught: (alarms lost to a salvage): a row whose refusal reason spilled onto a damaged
// overflow page reads back whole without the reason, yet the salvage read every column
// and dropped the row with its alarm.
TEST(OutboxRegression, ASalvageKeepsAnAlarmWhoseBookkeepingIsDamaged) {
    TestDir dir;
    const std::string path = dir.Join("outbox.db");
    FillOutbox(path, 3);
    ASSERT_TRUE(Sql(path, "UPDATE outbox SET first_refused = 1, refusals = 1, next_attempt = 1, reason = '" +
                              std::string(3 * kPageSize, 'z') + "' WHERE id = 2"));
    std::string file = ReadFile(path);
    const std::string reason_tail(kPageSize / 2, 'z');
    for (size_t page = 1; page < file.size() / kPageSize; ++page) {
        const std::string bytes = file.substr(page * kPageSize, kPageSize);
        if (bytes[0] != 0x0d && bytes.find(reason_tail) != std::string::npos) {
            std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(page * kPageSize), 4, '\xff');  // next-page link
        }
    }
    WriteFile(path, file);

    Outbox outbox(path);
    ASSERT_TRUE(outbox.Open().ok());
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    ASSERT_TRUE(outbox.TakeOldest(0, 10, items, damaged).ok());
    std::vector<int64_t> ids;
    for (const Outbox::Item& item : items) ids.push_back(item.id);
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3}), ids);
}
