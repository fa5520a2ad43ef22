// The outbox: alarms kept on disk until the receiver has them.
//
// Durability contract: once StoreBatch returns an id for an item, that item survives a
// crash, a kill or a power cut (SQLite, WAL journal, synchronous=FULL: the commit is on
// disk before StoreBatch returns). A batch is one transaction: all of it or none of it
// survives. Delete is as durable; an item whose delete was lost is simply taken again,
// so a reader sees every stored item at least once. Ids grow with every store and are
// never reused, so "oldest first" is "lowest id first".
//
// The file is created with mode 0600. A file SQLite calls corrupt (or not a database) is
// renamed aside to "<path>.corrupt-<epoch seconds>", never deleted, and a fresh one is
// created in its place. Past `cap` items the newest are refused.
//
// Knows nothing of what it stores. Not thread-safe: one thread uses one Outbox.
#ifndef WARDEX_SRC_OUTBOX_H_
#define WARDEX_SRC_OUTBOX_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace kv {

// The most alarms the service keeps on disk.
constexpr size_t kOutboxCap = 1000000;

class Outbox {
public:
    struct Item {
        int64_t id = 0;  // 0 until stored
        std::string method;
        std::string payload;
    };

    explicit Outbox(std::string path, size_t cap = kOutboxCap);
    ~Outbox();

    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Opens or creates the file. False when it cannot be used; Error() says why. After a
    // corrupt file was set aside, SetAsidePath() names where it went.
    bool Open();
    bool usable() const { return db_ != nullptr; }
    const std::string& path() const { return path_; }
    const std::string& Error() const { return error_; }
    const std::string& SetAsidePath() const { return set_aside_; }

    // Stores the items in one transaction and writes their ids. Items past the cap keep
    // id 0 and are counted in `refused`. False (nothing stored) when the write failed:
    // the outbox is then no longer usable.
    bool StoreBatch(std::vector<Item>& items, size_t& refused);
    // Up to `limit` items with an id above `after_id`, lowest id first.
    bool TakeOldest(int64_t after_id, size_t limit, std::vector<Item>& out);
    // Removes the items in one transaction; ids that are not there are ignored.
    bool Delete(const std::vector<int64_t>& ids);
    // Items stored and not deleted.
    size_t Count() const { return count_; }
    size_t cap() const { return cap_; }

    // Hands back the memory SQLite holds for this file and does not need now (its cache
    // of pages no statement is using); later reads fetch them from the file again.
    void ReleaseMemory();

    // Transactions committed since Open (every store and delete batch is one).
    uint64_t Commits() const { return commits_; }

    // Releases the file (Open may be called again).
    void Close();

private:
    struct Statements;
    bool OpenFile(bool& corrupt);
    bool Fail(const std::string& what, int code);
    bool FailAndRollBack(const std::string& what, int code);
    bool Exec(const char* sql, int* code = nullptr);

    std::string path_;
    size_t cap_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statements> statements_;
    std::string error_;
    std::string set_aside_;
    size_t count_ = 0;
    uint64_t commits_ = 0;
};

}  // namespace kv

#endif  // WARDEX_SRC_OUTBOX_H_
