#include "src/outbox/outbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include <sqlite3.h>
#include <zlib.h>

#include "src/outbox/outbox_sqlite.h"

namespace kv {

using namespace outbox_sqlite;

namespace {

int CountCommit(void* counter) {
    ++*static_cast<uint64_t*>(counter);
    return 0;  // let the commit go ahead
}

}  // namespace

// CRC-32 of the method, a NUL and the payload: a damaged cell fails it whichever it hit.
uint32_t outbox_sqlite::Checksum(const std::string& method, const std::string& payload) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(method.data()), static_cast<uInt>(method.size()));
    const Bytef separator = 0;
    crc = crc32(crc, &separator, 1);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
    return static_cast<uint32_t>(crc);
}

// The tables, and the columns a file from an earlier version lacks.
Status outbox_sqlite::CreateSchema(sqlite3* db) {
    auto run = [db](const char* sql) {
        const int code = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        return code == SQLITE_OK ? Status::OK() : FromCode(sql, code, sqlite3_errmsg(db));
    };
    for (const char* sql : {kCreateOutbox, kCreateDamaged}) {
        Status status = run(sql);
        if (!status.ok()) return status;
    }
    std::vector<std::string> columns;
    sqlite3_stmt* raw = nullptr;
    int code = sqlite3_prepare_v2(db, "PRAGMA table_info(outbox)", -1, &raw, nullptr);
    Statement info(raw);
    if (code == SQLITE_OK) {
        while ((code = sqlite3_step(info.get())) == SQLITE_ROW) columns.push_back(ColumnText(info.get(), 1));
    }
    if (code != SQLITE_DONE) return FromCode("table_info", code, sqlite3_errmsg(db));
    for (const auto& added : kAddedColumns) {
        if (std::find(columns.begin(), columns.end(), added[0]) != columns.end()) continue;
        Status status = run(added[1]);
        if (!status.ok()) return status;
    }
    return run(kCreateRefusedIndex);
}

struct Outbox::Statements {
    Statement insert;
    Statement take;
    Statement take_refused;
    Statement measure;
    Statement remove;
    Statement refuse;
    Statement set_aside;
};

Outbox::Outbox(std::string path, size_t cap, uint64_t byte_cap)
    : path_(std::move(path)), cap_(cap), byte_cap_(byte_cap) {}

Outbox::~Outbox() { Close(); }

void Outbox::Close() {
    statements_.reset();
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    broken_ = false;
}

Outbox::Salvage Outbox::TakeSalvage() {
    Salvage salvage;
    if (salvage_ != nullptr) salvage = *salvage_;
    salvage_.reset();
    return salvage;
}

Status Outbox::Failed(const std::string& what, int code) {
    const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    Status status = FromCode(what, code, message);
    if (!status.IsCorruption()) broken_ = true;
    return status;
}

// The failed statement's message was read before the rollback replaces it.
Status Outbox::RollBack(Status status) {
    if (db_ != nullptr && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return status;
}

Status Outbox::Exec(const char* sql) {
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return Failed(sql, code);
    return Status::OK();
}

Status Outbox::Open() {
    Close();
    salvage_.reset();
    Status status = SalvageUnfinished() ? Status::Corruption("a salvage of it did not finish") : OpenFile();
    if (status.IsCorruption()) status = SalvageFile(status);
    if (!status.ok()) Close();
    return status;
}

Status Outbox::OpenFile() {
    if (AnyIsLink(path_)) return Status::Invalid(path_ + " (or its -wal or -shm file) is a symbolic link");
    // SQLite creates files with the umask's mode; the alarms are nobody else's business.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Status::IoError("cannot create or open the file");
    ::close(fd);

    int code = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                               nullptr);
    if (code != SQLITE_OK) return Failed("open", code);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 2000);

    for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"}) {
        Status status = Exec(sql);
        if (!status.ok()) return status;
    }
    Status schema = CreateSchema(db_);
    if (!schema.ok()) {
        if (!schema.IsCorruption()) broken_ = true;
        return schema;
    }

    statements_ = std::make_unique<Statements>();
    const std::string select = std::string("SELECT ") + kRowColumns + " FROM outbox ";
    const std::string take = select + "WHERE id > ?1 ORDER BY id LIMIT ?2";
    // Due first: the partial index walks exactly the rows it returns (and those above ?1).
    const std::string take_refused = select +
                                     "INDEXED BY outbox_refused WHERE first_refused IS NOT NULL AND id <= ?1 AND "
                                     "next_attempt <= ?2 ORDER BY next_attempt, id LIMIT ?3";
    const std::string measure =
        std::string("SELECT ") + kPayloadBytes + ", first_refused IS NOT NULL FROM outbox WHERE id = ?1";
    struct {
        const char* sql;
        Statement* statement;
    } prepared[] = {
        {"INSERT INTO outbox(method, payload, stored_at, checksum) VALUES(?1, ?2, ?3, ?4)", &statements_->insert},
        {take.c_str(), &statements_->take},
        {take_refused.c_str(), &statements_->take_refused},
        {measure.c_str(), &statements_->measure},
        {"DELETE FROM outbox WHERE id = ?1", &statements_->remove},
        // Says what it changed for the refused count: the refusal's number (1: refused for
        // the first time).
        {"UPDATE outbox SET first_refused = coalesce(first_refused, ?2), refusals = coalesce(refusals, 0) + 1, "
         "reason = ?3, next_attempt = ?4 WHERE id = ?1 RETURNING refusals",
         &statements_->refuse},
        {"INSERT INTO damaged(id, method, payload, stored_at, reason, found_at) "
         "SELECT id, method, payload, stored_at, ?2, ?3 FROM outbox WHERE id = ?1",
         &statements_->set_aside},
    };
    for (auto& item : prepared) {
        sqlite3_stmt* statement = nullptr;
        code = sqlite3_prepare_v3(db_, item.sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (code != SQLITE_OK) return Failed("prepare", code);
        item.statement->reset(statement);
    }

    // Reading the counts walks the table: much of a damaged file shows up here, at start,
    // rather than in the middle of a delivery.
    sqlite3_stmt* raw = nullptr;
    const std::string counts =
        std::string("SELECT count(*), count(first_refused), coalesce(sum(") + kPayloadBytes + "), 0) FROM outbox";
    code = sqlite3_prepare_v2(db_, counts.c_str(), -1, &raw, nullptr);
    Statement count(raw);
    if (code == SQLITE_OK) code = sqlite3_step(count.get());
    if (code != SQLITE_ROW) return Failed("count", code);
    count_ = static_cast<size_t>(sqlite3_column_int64(count.get(), 0));
    refused_ = static_cast<size_t>(sqlite3_column_int64(count.get(), 1));
    bytes_ = static_cast<uint64_t>(sqlite3_column_int64(count.get(), 2));
    count.reset();

    commits_ = 0;
    sqlite3_commit_hook(db_, &CountCommit, &commits_);
    return Status::OK();
}

namespace {

// Runs an operation; when it met a damaged file, salvages it and runs it once more on the
// fresh one. The operation's statements are reset before the salvage closes them.
template <typename Operation>
Status WithSalvage(Outbox& outbox, Status (Outbox::*salvage)(Status), Operation operation) {
    Status status = operation();
    if (!status.IsCorruption()) return status;
    status = (outbox.*salvage)(status);
    if (!status.ok()) return status;
    return operation();
}

}  // namespace

Status Outbox::StoreBatch(std::vector<Item>& items, size_t& refused) {
    refused = 0;
    if (!usable()) return Status::IoError("the outbox is not open");
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        size_t refused_here = 0;
        for (Item& item : items) item.id = 0;
        Status status = Exec("BEGIN IMMEDIATE");
        if (!status.ok()) return status;
        const sqlite3_int64 now = Now();
        size_t stored = 0;
        uint64_t stored_bytes = 0;
        sqlite3_stmt* insert = statements_->insert.get();
        for (Item& item : items) {
            if (count_ + stored >= cap_ || bytes_ + stored_bytes + item.payload.size() > byte_cap_) {
                ++refused_here;
                continue;
            }
            int code = SQLITE_OK;
            {
                ResetAtExit reset(insert);
                sqlite3_bind_text(insert, 1, item.method.data(), static_cast<int>(item.method.size()), SQLITE_STATIC);
                sqlite3_bind_blob(insert, 2, item.payload.data(), static_cast<int>(item.payload.size()), SQLITE_STATIC);
                sqlite3_bind_int64(insert, 3, now);
                sqlite3_bind_int64(insert, 4, Checksum(item.method, item.payload));
                code = sqlite3_step(insert);
            }
            if (code != SQLITE_DONE) {
                for (Item& undone : items) undone.id = 0;
                return RollBack(Failed("store", code));
            }
            item.id = sqlite3_last_insert_rowid(db_);
            ++stored;
            stored_bytes += item.payload.size();
        }
        status = Exec("COMMIT");
        if (!status.ok()) {
            for (Item& undone : items) undone.id = 0;
            return RollBack(status);
        }
        count_ += stored;
        bytes_ += stored_bytes;
        refused = refused_here;
        return Status::OK();
    });
}

// The copy into the damaged table and the delete are one transaction: a failure between
// them must not leave the row in both tables.
Status Outbox::SetAside(int64_t id, const std::string& reason) {
    Status status = Exec("BEGIN IMMEDIATE");
    if (!status.ok()) return status;
    int code = SQLITE_OK;
    {
        sqlite3_stmt* set_aside = statements_->set_aside.get();
        ResetAtExit reset(set_aside);
        sqlite3_bind_int64(set_aside, 1, id);
        sqlite3_bind_text(set_aside, 2, reason.data(), static_cast<int>(reason.size()), SQLITE_STATIC);
        sqlite3_bind_int64(set_aside, 3, Now());
        code = sqlite3_step(set_aside);
    }
    if (code != SQLITE_DONE) return RollBack(Failed("set aside", code));
    Change removed;
    code = RemoveRow(id, removed);
    if (code != SQLITE_DONE) return RollBack(Failed("set aside", code));
    status = Exec("COMMIT");
    if (!status.ok()) return RollBack(status);
    Count(removed);
    return Status::OK();
}

// Steps `statement` (bound and guarded by the caller) into `out`; rows that fail their
// checksum are noted and set aside once the statement is done.
Status Outbox::ReadRows(sqlite3_stmt* statement, size_t limit, std::vector<Item>& out, size_t& damaged) {
    std::vector<int64_t> bad;
    int code = SQLITE_OK;
    {
        ResetAtExit reset(statement);
        size_t taken = 0;
        while (taken < limit && (code = sqlite3_step(statement)) == SQLITE_ROW) {
            Item item;
            item.id = sqlite3_column_int64(statement, 0);
            item.method = ColumnText(statement, 1);
            item.payload = ColumnText(statement, 2);
            if (sqlite3_column_type(statement, 3) != SQLITE_NULL &&
                static_cast<uint32_t>(sqlite3_column_int64(statement, 3)) != Checksum(item.method, item.payload)) {
                bad.push_back(item.id);
                continue;
            }
            item.first_refused = sqlite3_column_int64(statement, 4);
            item.refusals = sqlite3_column_int(statement, 5);
            item.reason = ColumnText(statement, 6);
            out.push_back(std::move(item));
            ++taken;
        }
        if (code == SQLITE_ROW) code = SQLITE_DONE;  // stopped at the limit
    }
    if (code != SQLITE_DONE) return Failed("read", code);
    for (const int64_t id : bad) {
        Status status = SetAside(id, "checksum mismatch");
        if (!status.ok()) return status;
        ++damaged;
    }
    return Status::OK();
}

Status Outbox::TakeOldest(int64_t after_id, size_t limit, std::vector<Item>& out, size_t& damaged) {
    damaged = 0;
    if (!usable()) return Status::IoError("the outbox is not open");
    const size_t had = out.size();
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        out.resize(had);
        damaged = 0;
        int64_t after = after_id;
        for (;;) {
            const size_t want = limit - (out.size() - had);
            if (want == 0) return Status::OK();
            size_t bad = 0;
            sqlite3_stmt* take = statements_->take.get();
            sqlite3_bind_int64(take, 1, after);
            sqlite3_bind_int64(take, 2, static_cast<sqlite3_int64>(want));
            Status status = ReadRows(take, want, out, bad);
            damaged += bad;
            // Rows set aside left room: read on past what was taken, the gap is gone.
            if (!status.ok() || bad == 0) return status;
            if (out.size() > had) after = out.back().id;
        }
    });
}

Status Outbox::TakeRefusedDue(int64_t up_to_id, int64_t now, size_t limit, std::vector<Item>& out, size_t& damaged) {
    damaged = 0;
    if (!usable()) return Status::IoError("the outbox is not open");
    const size_t had = out.size();
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        out.resize(had);
        sqlite3_stmt* take = statements_->take_refused.get();
        sqlite3_bind_int64(take, 1, up_to_id);
        sqlite3_bind_int64(take, 2, now);
        sqlite3_bind_int64(take, 3, static_cast<sqlite3_int64>(limit));
        return ReadRows(take, limit, out, damaged);
    });
}

Status Outbox::NextRefusedDue(int64_t after, int64_t& due) {
    due = 0;
    if (!usable()) return Status::IoError("the outbox is not open");
    if (refused_ == 0) return Status::OK();
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        sqlite3_stmt* raw = nullptr;
        int code = sqlite3_prepare_v2(
            db_, "SELECT min(next_attempt) FROM outbox INDEXED BY outbox_refused "
            "WHERE first_refused IS NOT NULL AND next_attempt > ?1", -1, &raw,
            nullptr);
        Statement query(raw);
        if (code == SQLITE_OK) {
            sqlite3_bind_int64(query.get(), 1, after);
            code = sqlite3_step(query.get());
        }
        if (code != SQLITE_ROW) return Failed("next refused", code);
        due = sqlite3_column_int64(query.get(), 0);
        return Status::OK();
    });
}

Status Outbox::MarkRefused(int64_t id, const std::string& reason, int64_t now, int64_t next_attempt) {
    if (!usable()) return Status::IoError("the outbox is not open");
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        int code = SQLITE_OK;
        Change refused;
        {
            sqlite3_stmt* refuse = statements_->refuse.get();
            ResetAtExit reset(refuse);
            sqlite3_bind_int64(refuse, 1, id);
            sqlite3_bind_int64(refuse, 2, now);
            sqlite3_bind_text(refuse, 3, reason.data(), static_cast<int>(reason.size()), SQLITE_STATIC);
            sqlite3_bind_int64(refuse, 4, next_attempt);
            code = sqlite3_step(refuse);
            if (code == SQLITE_ROW) {
                if (sqlite3_column_int64(refuse, 0) == 1) refused.newly_refused = 1;
                code = sqlite3_step(refuse);
            }
        }
        if (code != SQLITE_DONE) return Failed("refuse", code);
        Count(refused);
        return Status::OK();
    });
}

Status Outbox::Delete(const std::vector<int64_t>& ids) {
    if (!usable()) return Status::IoError("the outbox is not open");
    if (ids.empty()) return Status::OK();
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        // A delete's commit is written but not synced: it reaches the disk with the next
        // store's sync (or checkpoint), so that a steady flow pays one sync per alarm, not
        // two. A crash or kill of the process loses nothing written; only a power cut
        // before that sync can bring delivered alarms back, to be sent again, as a lost
        // delete always could. Stores are synced before they return, as ever.
        Status status = Exec("PRAGMA synchronous=NORMAL");
        if (!status.ok()) return status;
        status = DeleteRows(ids);
        // Failing this leaves the outbox unusable (Exec marks it), never storing unsynced.
        const Status synced_again = Exec("PRAGMA synchronous=FULL");
        if (!status.ok()) return status;
        return synced_again;
    });
}

Status Outbox::DeleteRows(const std::vector<int64_t>& ids) {
    Status status = Exec("BEGIN IMMEDIATE");
    if (!status.ok()) return status;
    Change removed;
    for (const int64_t id : ids) {
        const int code = RemoveRow(id, removed);
        if (code != SQLITE_DONE) return RollBack(Failed("delete", code));
    }
    status = Exec("COMMIT");
    if (!status.ok()) return RollBack(status);
    Count(removed);
    return Status::OK();
}

// One row out, inside the caller's transaction; what it was is added to `change`. The
// row is measured by its key first (its size and whether it is refused), so that the
// counts follow what the file lost without a scan, whatever the row.
int Outbox::RemoveRow(int64_t id, Change& change) {
    uint64_t bytes = 0;
    bool refused = false;
    {
        sqlite3_stmt* measure = statements_->measure.get();
        ResetAtExit reset(measure);
        sqlite3_bind_int64(measure, 1, id);
        const int code = sqlite3_step(measure);
        if (code == SQLITE_DONE) return SQLITE_DONE;  // not there
        if (code != SQLITE_ROW) return code;
        bytes = static_cast<uint64_t>(sqlite3_column_int64(measure, 0));
        refused = sqlite3_column_int(measure, 1) != 0;
    }
    sqlite3_stmt* remove = statements_->remove.get();
    ResetAtExit reset(remove);
    sqlite3_bind_int64(remove, 1, id);
    const int code = sqlite3_step(remove);
    if (code != SQLITE_DONE) return code;
    ++change.removed;
    change.removed_bytes += bytes;
    if (refused) ++change.removed_refused;
    return code;
}

// The one place the counts change after Open counted them: read by the statements that
// changed the rows, never by a scan, so that a refused row costs the drain nothing.
void Outbox::Count(const Change& change) {
    count_ -= std::min(count_, change.removed);
    bytes_ -= std::min(bytes_, change.removed_bytes);
    refused_ += change.newly_refused;
    refused_ -= std::min(refused_, change.removed_refused);
}

Status Outbox::CountAbove(int64_t id, size_t& count) {
    count = 0;
    if (!usable()) return Status::IoError("the outbox is not open");
    return WithSalvage(*this, &Outbox::SalvageFile, [&]() -> Status {
        sqlite3_stmt* raw = nullptr;
        int code = sqlite3_prepare_v2(db_, "SELECT count(*) FROM outbox WHERE id > ?1", -1, &raw, nullptr);
        Statement query(raw);
        if (code == SQLITE_OK) {
            sqlite3_bind_int64(query.get(), 1, id);
            code = sqlite3_step(query.get());
        }
        if (code != SQLITE_ROW) return Failed("count", code);
        count = static_cast<size_t>(sqlite3_column_int64(query.get(), 0));
        return Status::OK();
    });
}

void Outbox::ReleaseMemory() {
    if (db_ != nullptr) sqlite3_db_release_memory(db_);
}

}  // namespace kv
