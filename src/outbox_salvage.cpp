#include "src/outbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "src/outbox_sqlite.h"

namespace kv {

using namespace outbox_sqlite;

// One row read out of a damaged file, with what the fresh file needs besides the item.
struct Outbox::SalvagedRow {
    Item item;
    int64_t stored_at = 0;
    int64_t next_attempt = 0;
};

// Reads what can be read of the damaged file at `aside`: rows in id order, the number of
// rows known to exist that could not be read (or failed their checksum), and the highest
// id the file may ever have given out.
void Outbox::ReadDamaged(const std::string& aside, std::vector<SalvagedRow>& rows, size_t& unreadable_count,
                         int64_t& highest_id) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(aside.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> old(raw, sqlite3_close_v2);
    if (opened != SQLITE_OK) return;
    auto prepare = [&old](const char* sql) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(old.get(), sql, -1, &statement, nullptr);
        return Statement(statement);
    };
    int64_t sequence_id = 0;
    {
        Statement sequence = prepare("SELECT seq FROM sqlite_sequence WHERE name = 'outbox'");
        if (sequence && sqlite3_step(sequence.get()) == SQLITE_ROW) sequence_id = sqlite3_column_int64(sequence.get(), 0);
    }
    // The b-tree's own count of cells reads no cell: it still knows how many rows the
    // damaged pages held, which the walk by id cannot find.
    int64_t total = -1;
    {
        Statement cells = prepare("SELECT count(*) FROM outbox");
        if (cells && sqlite3_step(cells.get()) == SQLITE_ROW) total = sqlite3_column_int64(cells.get(), 0);
    }
    Statement next = prepare("SELECT id FROM outbox WHERE id > ?1 ORDER BY id LIMIT 1");
    Statement one = prepare(
        "SELECT method, payload, checksum, first_refused, refusals, reason, stored_at, next_attempt "
        "FROM outbox WHERE id = ?1");
    if (!next || !one) return;

    enum class Read { kRow, kAbsent, kUnreadable };
    auto read_one = [&](int64_t id) {
        ResetAtExit reset(one.get());
        sqlite3_bind_int64(one.get(), 1, id);
        const int code = sqlite3_step(one.get());
        if (code == SQLITE_DONE) return Read::kAbsent;
        if (code != SQLITE_ROW) return Read::kUnreadable;
        SalvagedRow row;
        row.item.id = id;
        row.item.method = ColumnText(one.get(), 0);
        row.item.payload = ColumnText(one.get(), 1);
        if (sqlite3_column_type(one.get(), 2) != SQLITE_NULL &&
            static_cast<uint32_t>(sqlite3_column_int64(one.get(), 2)) !=
                Checksum(row.item.method, row.item.payload)) {
            return Read::kUnreadable;
        }
        row.item.first_refused = sqlite3_column_int64(one.get(), 3);
        row.item.refusals = sqlite3_column_int(one.get(), 4);
        row.item.reason = ColumnText(one.get(), 5);
        row.stored_at = sqlite3_column_int64(one.get(), 6);
        row.next_attempt = sqlite3_column_int64(one.get(), 7);
        rows.push_back(std::move(row));
        return Read::kRow;
    };

    // Walks the ids in order. A damaged page can give out any id, so the walk moves on only
    // forward, to an id whose row reads back whole, and never past the highest id the file
    // gave out: a garbage id would skip every row between. Where the walk fails it steps
    // over the damage id by id until it works again; without a known highest id a stretch
    // of kGiveUpAfter ids without a readable row ends the search.
    constexpr int64_t kGiveUpAfter = 100000;
    std::set<int64_t> unreadable;  // met by the walk and by the steps: counted once
    int64_t cursor = 0;
    int64_t misses = 0;
    while (misses < kGiveUpAfter && (sequence_id == 0 || cursor < sequence_id)) {
        int code = SQLITE_OK;
        int64_t id = 0;
        {
            ResetAtExit reset(next.get());
            sqlite3_bind_int64(next.get(), 1, cursor);
            code = sqlite3_step(next.get());
            if (code == SQLITE_ROW) id = sqlite3_column_int64(next.get(), 0);
        }
        // A damaged leaf can also answer "the next id above" with one below it.
        if (code == SQLITE_ROW && id > cursor && (sequence_id == 0 || id <= sequence_id)) {
            const Read read = read_one(id);
            if (read == Read::kRow) {
                cursor = id;
                misses = 0;
                continue;
            }
            if (read == Read::kUnreadable) unreadable.insert(id);
        }
        if (code == SQLITE_DONE) break;
        const Read read = read_one(++cursor);
        if (read == Read::kUnreadable) unreadable.insert(cursor);
        misses = read == Read::kRow ? 0 : misses + 1;
    }
    // A garbage id that happens to name a sound row elsewhere makes the walk jump over rows
    // that still read: every id up to the highest the walk did not recover is looked up
    // directly (at most kLookUpAtMost of them, from the lowest recovered id when the whole
    // range holds more).
    constexpr int64_t kLookUpAtMost = 1000000;
    std::set<int64_t> recovered;
    for (const SalvagedRow& row : rows) recovered.insert(row.item.id);
    const int64_t last = std::max(sequence_id, recovered.empty() ? int64_t{0} : *recovered.rbegin());
    int64_t from = 1;
    if (last - static_cast<int64_t>(recovered.size()) > kLookUpAtMost && !recovered.empty()) {
        from = *recovered.begin();
    }
    int64_t budget = kLookUpAtMost;
    for (int64_t id = from; id <= last && budget > 0; ++id) {
        if (recovered.count(id) != 0 || unreadable.count(id) != 0) continue;
        --budget;
        if (read_one(id) == Read::kUnreadable) unreadable.insert(id);
    }
    std::sort(rows.begin(), rows.end(),
              [](const SalvagedRow& a, const SalvagedRow& b) { return a.item.id < b.item.id; });
    // Ids past every row found and past the file's sequence may never have been given out.
    unreadable.erase(unreadable.upper_bound(last), unreadable.end());
    unreadable_count = unreadable.size();
    if (total > static_cast<int64_t>(rows.size())) {
        unreadable_count = std::max(unreadable_count, static_cast<size_t>(total) - rows.size());
    }
    // Every id looked at may have been given out, and a damaged file may have given out
    // more than it still shows (its sequence and its last rows may be what was lost): the
    // fresh file continues well above them all. Ids are 64 bits; a gap costs nothing.
    constexpr int64_t kIdMargin = 1000000;
    highest_id = std::max({sequence_id, cursor, last});
    if (!unreadable.empty()) highest_id = std::max(highest_id, *unreadable.rbegin());
    highest_id += kIdMargin;
}

namespace {

// A name beside `path` that no file has yet: "<path>.corrupt-<epoch seconds>", with "-2",
// "-3", ... when a salvage in the same second left one already.
std::string FreeAsideName(const std::string& path) {
    const std::string base = path + ".corrupt-" + std::to_string(static_cast<long long>(Now()));
    std::string name = base;
    for (int n = 2;; ++n) {
        struct stat info {};
        if (::lstat(name.c_str(), &info) != 0 && errno == ENOENT) return name;
        name = base + "-" + std::to_string(n);
    }
}

// Moves a file to a new name without ever replacing one there: link, then unlink.
bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Moves the file and its -wal and -shm files together, or none of them.
bool MoveFileSet(const std::string& from, const std::string& to) {
    std::vector<std::string> moved;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        if (*suffix != '\0' && !Exists(from + suffix)) continue;
        if (!MoveWithoutReplacing(from + suffix, to + suffix)) {
            for (const std::string& done : moved) MoveWithoutReplacing(to + done, from + done);
            return false;
        }
        moved.push_back(suffix);
    }
    return true;
}

}  // namespace

// Row by row, by id: a damaged page costs the rows on it, not the file. The ids stay, so
// that items already handed out are still deleted by theirs. Until the fresh file holds
// the rows, the damaged one is the only copy: any failure puts it back in its place, so
// that the next Open salvages it again.
Status Outbox::SalvageFile(Status cause) {
    Close();
    const std::string aside = FreeAsideName(path_);
    if (!MoveFileSet(path_, aside)) {
        return Status::IoError(cause.message() + "; could not set the damaged file aside: " + std::strerror(errno));
    }
    std::vector<SalvagedRow> rows;
    size_t unreadable = 0;
    int64_t highest_id = 0;
    ReadDamaged(aside, rows, unreadable, highest_id);

    Status status = WriteSalvaged(rows, highest_id);
    if (!status.ok()) {
        Close();
        for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path_ + suffix).c_str());
        MoveFileSet(aside, path_);
        return Status::IoError(cause.message() + "; salvaging it failed: " + status.message());
    }
    salvage_ = std::make_unique<Salvage>();
    salvage_->set_aside = aside;
    salvage_->recovered = rows.size();
    salvage_->unreadable = unreadable;
    return Status::OK();
}

Status Outbox::WriteSalvaged(const std::vector<SalvagedRow>& rows, int64_t highest_id) {
    Status status = OpenFile();
    if (!status.ok()) return status;
    status = Exec("BEGIN IMMEDIATE");
    if (!status.ok()) return status;
    {
        sqlite3_stmt* raw = nullptr;
        int code = sqlite3_prepare_v2(db_,
                                      "INSERT INTO outbox(id, method, payload, stored_at, checksum, first_refused, "
                                      "refusals, reason, next_attempt) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                                      -1, &raw, nullptr);
        Statement insert(raw);
        if (code != SQLITE_OK) return RollBack(Failed("salvage", code));
        for (const SalvagedRow& row : rows) {
            {
                ResetAtExit reset(insert.get());
                sqlite3_bind_int64(insert.get(), 1, row.item.id);
                sqlite3_bind_text(insert.get(), 2, row.item.method.data(), static_cast<int>(row.item.method.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_blob(insert.get(), 3, row.item.payload.data(), static_cast<int>(row.item.payload.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int64(insert.get(), 4, row.stored_at);
                sqlite3_bind_int64(insert.get(), 5, Checksum(row.item.method, row.item.payload));
                if (row.item.first_refused != 0) {
                    sqlite3_bind_int64(insert.get(), 6, row.item.first_refused);
                    sqlite3_bind_int(insert.get(), 7, row.item.refusals);
                    sqlite3_bind_text(insert.get(), 8, row.item.reason.data(),
                                      static_cast<int>(row.item.reason.size()), SQLITE_STATIC);
                    sqlite3_bind_int64(insert.get(), 9, row.next_attempt);
                }
                code = sqlite3_step(insert.get());
            }
            if (code != SQLITE_DONE) return RollBack(Failed("salvage", code));
        }
    }
    // Ids are never reused: the next store goes above every id the damaged file gave out.
    // sqlite_sequence has no key on its name: update the row the inserts left, or add one.
    const std::string seq = std::to_string(static_cast<long long>(highest_id));
    const std::string update = "UPDATE sqlite_sequence SET seq = " + seq + " WHERE name = 'outbox'";
    const std::string insert = "INSERT INTO sqlite_sequence(name, seq) SELECT 'outbox', " + seq +
                               " WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = 'outbox')";
    status = Exec(update.c_str());
    if (status.ok()) status = Exec(insert.c_str());
    if (status.ok()) status = Exec("COMMIT");
    if (!status.ok()) return RollBack(status);
    count_ = rows.size();
    bytes_ = 0;
    for (const SalvagedRow& row : rows) bytes_ += row.item.payload.size();
    refused_ = static_cast<size_t>(std::count_if(rows.begin(), rows.end(), [](const SalvagedRow& row) {
        return row.item.first_refused != 0;
    }));
    return Status::OK();
}

}  // namespace kv
