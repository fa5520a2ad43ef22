// The outbox: alarms kept on disk until the receiver has them.
//
// Durability contract: once StoreBatch returns OK, every item it gave an id survives a
// crash, a kill or a power cut (SQLite, WAL journal, synchronous=FULL: the commit is on
// disk before StoreBatch returns). A batch is one transaction: all of it or none of it
// survives. A delete survives a crash or kill of the process; against a power cut it is
// durable from the next store's sync (or checkpoint) on, so that a steady flow pays one
// sync per item. An item whose delete was lost is simply taken again, so a reader sees
// every stored item at least once. Ids grow with every store and are never
// reused, not even after a salvage, so "oldest first" is "lowest id first".
//
// Every row carries a CRC-32 of its method and payload, checked when it is read: a row
// that does not match is moved to the file's `damaged` table and never handed out. Rows
// written before rows had a checksum are read unchecked.
//
// An alarm the receiver refused stays stored, marked refused with its reason, the time of
// its first refusal and the time of its next attempt (wall-clock seconds, so that they
// hold across restarts); TakeOldest still hands it out, so that a start tries it again.
//
// A damaged file (SQLite says corrupt or not a database, at open or in any operation) is
// salvaged: the rows that can still be read, whatever their ids, are written under their
// own ids to a fresh file, and the damaged file is kept as "<path>.corrupt-<epoch
// seconds>" ("-2", "-3"... after it when that name is taken; with its -wal and -shm files),
// never deleted. The damaged file stays at the path until the fresh one is complete and
// synced: a salvage cut short by a crash, a kill or a failure is finished by the next Open
// (its fresh file is written as "<path>.salvage" meanwhile). Memory does not grow with the
// size of the file.
//
// Any other failed operation rolls back what it began and leaves the file open but
// unusable: the owner calls Close, then Open again later (after a full disk is freed, say).
// The file (and its -wal and -shm files) is never followed through a symbolic link; it is
// created with mode 0600. Past `cap` items, or past `byte_cap` bytes of payloads, the
// newest are refused.
//
// Knows nothing of what it stores. Not thread-safe: one thread uses one Outbox.
#ifndef WARDEX_SRC_OUTBOX_H_
#define WARDEX_SRC_OUTBOX_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/outbox/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kv {

// Where the service keeps its outbox: beside its configuration, in the working directory.
constexpr char kOutboxPath[] = "./outbox.db";

// The most alarms the service keeps on disk.
constexpr size_t kOutboxCap = 1000000;
// The most payload bytes it keeps there. The row cap alone lets large alarms (a drive
// message escaped to several kilobytes) fill gigabytes; a gibibyte is a thousand times a
// busy site's day of alarms and still leaves the disk to the recorder.
constexpr uint64_t kOutboxByteCap = uint64_t{1} << 30;

class Outbox {
public:
    struct Item {
        int64_t id = 0;  // 0 until stored
        std::string method;
        std::string payload;
        // Set for an item the receiver refused (wall-clock seconds).
        int64_t first_refused = 0;
        int refusals = 0;
        std::string reason;
    };

    // What a salvage found.
    struct Salvage {
        std::string set_aside;  // where the damaged file went
        size_t recovered = 0;   // rows read and moved into the fresh file
        size_t unreadable = 0;  // rows that could not be read, or whose checksum failed
    };

    // What `wardex --outbox` reports, read without changing anything.
    struct Summary {
        size_t waiting = 0;
        size_t refused = 0;
        std::map<std::string, size_t> refused_by_reason;
        size_t damaged = 0;  // rows set aside in the file's damaged table
        std::vector<std::string> set_aside_files;
    };

    explicit Outbox(std::string path, size_t cap = kOutboxCap, uint64_t byte_cap = kOutboxByteCap);
    ~Outbox();

    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Opens or creates the file, salvaging a damaged one. Not OK: the file cannot be used.
    Status Open();
    bool usable() const { return db_ != nullptr && !broken_; }
    const std::string& path() const { return path_; }
    // Set when Open or an operation salvaged a damaged file; cleared by TakeSalvage.
    bool salvaged() const { return salvage_ != nullptr; }
    Salvage TakeSalvage();

    // Stores the items in one transaction and writes their ids. Items past either cap
    // keep id 0 and are counted in `refused`. Not OK: nothing was stored.
    Status StoreBatch(std::vector<Item>& items, size_t& refused);
    // Up to `limit` readable items with an id above `after_id`, lowest id first, refused
    // ones included. Rows whose checksum fails are set aside and counted in `damaged`.
    Status TakeOldest(int64_t after_id, size_t limit, std::vector<Item>& out, size_t& damaged);
    // Refused items up to `up_to_id` whose next attempt is due at `now`, the longest due first.
    Status TakeRefusedDue(int64_t up_to_id, int64_t now, size_t limit, std::vector<Item>& out, size_t& damaged);
    // The earliest next attempt of a refused item later than `after`, 0 when there is none.
    Status NextRefusedDue(int64_t after, int64_t& due);
    // Marks the item refused (again) at `now` with `reason`, next tried at `next_attempt`.
    // The first refusal's time is kept.
    Status MarkRefused(int64_t id, const std::string& reason, int64_t now, int64_t next_attempt);
    // Removes the items in one transaction; ids that are not there are ignored.
    Status Delete(const std::vector<int64_t>& ids);
    // Items stored with an id above `id`.
    Status CountAbove(int64_t id, size_t& count);

    // Items stored and not deleted, refused ones included; and of those, the refused.
    size_t Count() const { return count_; }
    size_t Refused() const { return refused_; }
    size_t cap() const { return cap_; }
    // The payload bytes of those items.
    uint64_t PayloadBytes() const { return bytes_; }
    uint64_t byte_cap() const { return byte_cap_; }

    // Hands back the memory SQLite holds for this file and does not need now (its cache
    // of pages no statement is using); later reads fetch them from the file again.
    void ReleaseMemory();

    // Transactions committed since Open (every store and delete batch is one).
    uint64_t Commits() const { return commits_; }

    // Releases the file (Open may be called again).
    void Close();

    // Reads the file at `path` without changing it (read-only, no salvage, no journal
    // recovery written back): the counts, and with `list` every item, oldest first.
    static Status Inspect(const std::string& path, Summary& summary, std::vector<Item>* list);

private:
    struct Statements;
    Status OpenFile();
    Status SalvageFile(Status cause);
    // True when a salvage was cut short (a crash, a kill, a failure) and must be finished.
    bool SalvageUnfinished();
    // Turns a failed step into a Status; a corruption triggers a salvage.
    Status Failed(const std::string& what, int code);
    Status RollBack(Status status);
    Status Exec(const char* sql);
    Status SetAside(int64_t id, const std::string& reason);
    // What an operation changed in the counts.
    struct Change {
        size_t removed = 0;          // rows gone from the table
        size_t removed_refused = 0;  // of those, the refused
        size_t newly_refused = 0;    // rows refused for the first time
        uint64_t removed_bytes = 0;  // payload bytes of the rows gone
    };
    int RemoveRow(int64_t id, Change& change);
    void Count(const Change& change);
    // One transaction deleting `ids`; the caller chose how it is synced.
    Status DeleteRows(const std::vector<int64_t>& ids);
    Status ReadRows(sqlite3_stmt* statement, size_t limit, std::vector<Item>& out, size_t& damaged);

    std::string path_;
    size_t cap_;
    uint64_t byte_cap_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statements> statements_;
    bool broken_ = false;
    std::unique_ptr<Salvage> salvage_;
    size_t count_ = 0;
    size_t refused_ = 0;
    // Read from the file at open, then kept with every store, delete and set-aside.
    uint64_t bytes_ = 0;
    uint64_t commits_ = 0;
};

}  // namespace kv

#endif  // WARDEX_SRC_OUTBOX_H_
