#include "src/outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <utility>

#include <sqlite3.h>
#include <zlib.h>

namespace kv {

namespace {

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Resets a statement at scope exit, so that it never holds a read transaction open. The
// statement must outlive the guard: nothing closes the file while a guard is alive.
class ResetAtExit {
public:
    explicit ResetAtExit(sqlite3_stmt* statement) : statement_(statement) {}
    ~ResetAtExit() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    ResetAtExit(const ResetAtExit&) = delete;
    ResetAtExit& operator=(const ResetAtExit&) = delete;

private:
    sqlite3_stmt* statement_;
};

constexpr char kCreateOutbox[] =
    "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, method TEXT NOT NULL, "
    "payload BLOB NOT NULL, stored_at INTEGER NOT NULL)";
// Columns added after the first release: rows stored before have them NULL.
constexpr const char* kAddedColumns[][2] = {
    {"checksum", "ALTER TABLE outbox ADD COLUMN checksum INTEGER"},
    {"first_refused", "ALTER TABLE outbox ADD COLUMN first_refused INTEGER"},
    {"refusals", "ALTER TABLE outbox ADD COLUMN refusals INTEGER"},
    {"next_attempt", "ALTER TABLE outbox ADD COLUMN next_attempt INTEGER"},
    {"reason", "ALTER TABLE outbox ADD COLUMN reason TEXT"},
};
constexpr char kCreateDamaged[] =
    "CREATE TABLE IF NOT EXISTS damaged(id INTEGER, method BLOB, payload BLOB, stored_at INTEGER, "
    "reason TEXT NOT NULL, found_at INTEGER NOT NULL)";
constexpr char kRowColumns[] = "id, method, payload, checksum, first_refused, refusals, reason";

bool IsCorruption(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

Status FromCode(const std::string& what, int code, const char* message) {
    const std::string text = what + ": " + message + " (" + std::to_string(code) + ")";
    if (IsCorruption(code)) return Status::Corruption(text);
    if ((code & 0xff) == SQLITE_FULL) return Status::Full(text);
    return Status::IoError(text);
}

int CountCommit(void* counter) {
    ++*static_cast<uint64_t*>(counter);
    return 0;  // let the commit go ahead
}

std::string Text(const void* text, int bytes) {
    return text == nullptr ? std::string() : std::string(static_cast<const char*>(text), static_cast<size_t>(bytes));
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    return Text(sqlite3_column_blob(statement, column), sqlite3_column_bytes(statement, column));
}

int64_t Now() { return static_cast<int64_t>(::time(nullptr)); }

// A symbolic link in any of the file's three names could point the service's writes
// anywhere the service may write; none is followed, whoever runs the service.
bool AnyIsLink(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat info {};
        if (::lstat((path + suffix).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) return true;
    }
    return false;
}

bool RenameAside(const std::string& path, const std::string& aside) {
    if (std::rename(path.c_str(), aside.c_str()) != 0) return false;
    std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    std::rename((path + "-shm").c_str(), (aside + "-shm").c_str());
    return true;
}

}  // namespace

uint32_t OutboxChecksum(const std::string& method, const std::string& payload);

// CRC-32 of the method, a NUL and the payload: a damaged cell fails it whichever it hit.
uint32_t OutboxChecksum(const std::string& method, const std::string& payload) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(method.data()), static_cast<uInt>(method.size()));
    const Bytef separator = 0;
    crc = crc32(crc, &separator, 1);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
    return static_cast<uint32_t>(crc);
}

struct Outbox::Statements {
    Statement insert;
    Statement take;
    Statement take_refused;
    Statement remove;
    Statement refuse;
    Statement set_aside;
};

Outbox::Outbox(std::string path, size_t cap) : path_(std::move(path)), cap_(cap) {}

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
    Status status = OpenFile();
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

    for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", kCreateOutbox, kCreateDamaged}) {
        Status status = Exec(sql);
        if (!status.ok()) return status;
    }
    // Columns a file from an earlier version lacks.
    std::vector<std::string> columns;
    {
        sqlite3_stmt* raw = nullptr;
        code = sqlite3_prepare_v2(db_, "PRAGMA table_info(outbox)", -1, &raw, nullptr);
        Statement info(raw);
        if (code != SQLITE_OK) return Failed("table_info", code);
        while ((code = sqlite3_step(info.get())) == SQLITE_ROW) columns.push_back(ColumnText(info.get(), 1));
        if (code != SQLITE_DONE) return Failed("table_info", code);
    }
    for (const auto& added : kAddedColumns) {
        if (std::find(columns.begin(), columns.end(), added[0]) != columns.end()) continue;
        Status status = Exec(added[1]);
        if (!status.ok()) return status;
    }

    statements_ = std::make_unique<Statements>();
    const std::string select = std::string("SELECT ") + kRowColumns + " FROM outbox ";
    const std::string take = select + "WHERE id > ?1 ORDER BY id LIMIT ?2";
    const std::string take_refused =
        select + "WHERE first_refused IS NOT NULL AND id <= ?1 AND next_attempt <= ?2 ORDER BY id LIMIT ?3";
    struct {
        const char* sql;
        Statement* statement;
    } prepared[] = {
        {"INSERT INTO outbox(method, payload, stored_at, checksum) VALUES(?1, ?2, ?3, ?4)", &statements_->insert},
        {take.c_str(), &statements_->take},
        {take_refused.c_str(), &statements_->take_refused},
        {"DELETE FROM outbox WHERE id = ?1", &statements_->remove},
        {"UPDATE outbox SET first_refused = coalesce(first_refused, ?2), refusals = coalesce(refusals, 0) + 1, "
         "reason = ?3, next_attempt = ?4 WHERE id = ?1",
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
    code = sqlite3_prepare_v2(db_, "SELECT count(*), count(first_refused) FROM outbox", -1, &raw, nullptr);
    Statement count(raw);
    if (code == SQLITE_OK) code = sqlite3_step(count.get());
    if (code != SQLITE_ROW) return Failed("count", code);
    count_ = static_cast<size_t>(sqlite3_column_int64(count.get(), 0));
    refused_ = static_cast<size_t>(sqlite3_column_int64(count.get(), 1));
    count.reset();

    commits_ = 0;
    sqlite3_commit_hook(db_, &CountCommit, &commits_);
    return Status::OK();
}

// Row by row, by id: a damaged page costs the rows on it, not the file. The ids stay, so
// that items already handed out are still deleted by theirs.
Status Outbox::SalvageFile(Status cause) {
    Close();
    const std::string aside = path_ + ".corrupt-" + std::to_string(static_cast<long long>(Now()));
    if (!RenameAside(path_, aside)) {
        return Status::IoError(cause.message() + "; could not set the damaged file aside: " + std::strerror(errno));
    }
    auto salvage = std::make_unique<Salvage>();
    salvage->set_aside = aside;

    struct Row {
        int64_t id;
        Item item;
        int64_t stored_at;
        int64_t next_attempt;
    };
    std::vector<Row> rows;
    int64_t highest_id = 0;
    sqlite3* old = nullptr;
    if (sqlite3_open_v2(aside.c_str(), &old, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) == SQLITE_OK) {
        auto prepare = [old](const char* sql) {
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(old, sql, -1, &statement, nullptr);
            return Statement(statement);
        };
        Statement sequence = prepare("SELECT seq FROM sqlite_sequence WHERE name = 'outbox'");
        if (sequence && sqlite3_step(sequence.get()) == SQLITE_ROW) highest_id = sqlite3_column_int64(sequence.get(), 0);
        Statement next = prepare("SELECT id FROM outbox WHERE id > ?1 ORDER BY id LIMIT 1");
        Statement one = prepare(
            "SELECT method, payload, checksum, first_refused, refusals, reason, stored_at, next_attempt "
            "FROM outbox WHERE id = ?1");
        // Reads one row; false when it exists but cannot be read (or fails its checksum).
        auto read_one = [&](int64_t id, bool& found) {
            found = false;
            ResetAtExit reset(one.get());
            sqlite3_bind_int64(one.get(), 1, id);
            const int code = sqlite3_step(one.get());
            if (code == SQLITE_DONE) return true;
            found = true;
            if (code != SQLITE_ROW) return false;
            Row row{id, Item{}, 0, 0};
            row.item.id = id;
            row.item.method = ColumnText(one.get(), 0);
            row.item.payload = ColumnText(one.get(), 1);
            if (sqlite3_column_type(one.get(), 2) != SQLITE_NULL &&
                static_cast<uint32_t>(sqlite3_column_int64(one.get(), 2)) !=
                    OutboxChecksum(row.item.method, row.item.payload)) {
                return false;
            }
            row.item.first_refused = sqlite3_column_int64(one.get(), 3);
            row.item.refusals = sqlite3_column_int(one.get(), 4);
            row.item.reason = ColumnText(one.get(), 5);
            row.stored_at = sqlite3_column_int64(one.get(), 6);
            row.next_attempt = sqlite3_column_int64(one.get(), 7);
            rows.push_back(std::move(row));
            return true;
        };
        // Walks the ids in order; where the walk fails, steps over the damage id by id
        // until the walk works again. A stretch of a million missing ids ends the search.
        constexpr int64_t kGiveUpAfter = 1000000;
        int64_t cursor = 0;
        int64_t misses = 0;
        while (next && one && misses < kGiveUpAfter) {
            int code = SQLITE_OK;
            int64_t id = 0;
            {
                ResetAtExit reset(next.get());
                sqlite3_bind_int64(next.get(), 1, cursor);
                code = sqlite3_step(next.get());
                if (code == SQLITE_ROW) id = sqlite3_column_int64(next.get(), 0);
            }
            bool found = false;
            if (code == SQLITE_ROW) {
                if (!read_one(id, found)) ++salvage->unreadable;
                cursor = id;
                misses = 0;
                continue;
            }
            if (code == SQLITE_DONE && cursor >= highest_id) break;
            ++cursor;
            if (!read_one(cursor, found)) ++salvage->unreadable;
            misses = found ? 0 : misses + 1;
        }
        for (const Row& row : rows) highest_id = std::max(highest_id, row.id);
        sqlite3_close_v2(old);
    }

    Status status = OpenFile();
    if (!status.ok()) {
        return Status::IoError(cause.message() + "; a fresh file failed too: " + status.message());
    }
    status = Exec("BEGIN IMMEDIATE");
    if (!status.ok()) return status;
    {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db_,
                           "INSERT INTO outbox(id, method, payload, stored_at, checksum, first_refused, refusals, "
                           "reason, next_attempt) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                           -1, &raw, nullptr);
        Statement insert(raw);
        for (const Row& row : rows) {
            ResetAtExit reset(insert.get());
            sqlite3_bind_int64(insert.get(), 1, row.id);
            sqlite3_bind_text(insert.get(), 2, row.item.method.data(), static_cast<int>(row.item.method.size()),
                              SQLITE_STATIC);
            sqlite3_bind_blob(insert.get(), 3, row.item.payload.data(), static_cast<int>(row.item.payload.size()),
                              SQLITE_STATIC);
            sqlite3_bind_int64(insert.get(), 4, row.stored_at);
            sqlite3_bind_int64(insert.get(), 5, OutboxChecksum(row.item.method, row.item.payload));
            if (row.item.first_refused != 0) {
                sqlite3_bind_int64(insert.get(), 6, row.item.first_refused);
                sqlite3_bind_int(insert.get(), 7, row.item.refusals);
                sqlite3_bind_text(insert.get(), 8, row.item.reason.data(), static_cast<int>(row.item.reason.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int64(insert.get(), 9, row.next_attempt);
            }
            const int code = insert ? sqlite3_step(insert.get()) : SQLITE_ERROR;
            if (code != SQLITE_DONE) return RollBack(Failed("salvage", code));
        }
    }
    // Ids are never reused: the next store goes above every id the damaged file gave out.
    const std::string sequence = "INSERT OR REPLACE INTO sqlite_sequence(name, seq) VALUES('outbox', " +
                                 std::to_string(static_cast<long long>(highest_id)) + ")";
    status = Exec(sequence.c_str());
    if (status.ok()) status = Exec("COMMIT");
    if (!status.ok()) return RollBack(status);
    count_ = rows.size();
    refused_ = static_cast<size_t>(
        std::count_if(rows.begin(), rows.end(), [](const Row& row) { return row.item.first_refused != 0; }));
    salvage->recovered = rows.size();
    salvage_ = std::move(salvage);
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
        sqlite3_stmt* insert = statements_->insert.get();
        for (Item& item : items) {
            if (count_ + stored >= cap_) {
                ++refused_here;
                continue;
            }
            int code = SQLITE_OK;
            {
                ResetAtExit reset(insert);
                sqlite3_bind_text(insert, 1, item.method.data(), static_cast<int>(item.method.size()), SQLITE_STATIC);
                sqlite3_bind_blob(insert, 2, item.payload.data(), static_cast<int>(item.payload.size()), SQLITE_STATIC);
                sqlite3_bind_int64(insert, 3, now);
                sqlite3_bind_int64(insert, 4, OutboxChecksum(item.method, item.payload));
                code = sqlite3_step(insert);
            }
            if (code != SQLITE_DONE) {
                for (Item& undone : items) undone.id = 0;
                return RollBack(Failed("store", code));
            }
            item.id = sqlite3_last_insert_rowid(db_);
            ++stored;
        }
        status = Exec("COMMIT");
        if (!status.ok()) {
            for (Item& undone : items) undone.id = 0;
            return RollBack(status);
        }
        count_ += stored;
        refused = refused_here;
        return Status::OK();
    });
}

Status Outbox::SetAside(int64_t id, const std::string& reason) {
    int code = SQLITE_OK;
    {
        sqlite3_stmt* set_aside = statements_->set_aside.get();
        ResetAtExit reset(set_aside);
        sqlite3_bind_int64(set_aside, 1, id);
        sqlite3_bind_text(set_aside, 2, reason.data(), static_cast<int>(reason.size()), SQLITE_STATIC);
        sqlite3_bind_int64(set_aside, 3, Now());
        code = sqlite3_step(set_aside);
    }
    if (code != SQLITE_DONE) return Failed("set aside", code);
    return Delete({id});
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
                static_cast<uint32_t>(sqlite3_column_int64(statement, 3)) != OutboxChecksum(item.method, item.payload)) {
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
            db_, "SELECT min(next_attempt) FROM outbox WHERE first_refused IS NOT NULL AND next_attempt > ?1", -1, &raw,
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
        int changed = 0;
        {
            sqlite3_stmt* refuse = statements_->refuse.get();
            ResetAtExit reset(refuse);
            sqlite3_bind_int64(refuse, 1, id);
            sqlite3_bind_int64(refuse, 2, now);
            sqlite3_bind_text(refuse, 3, reason.data(), static_cast<int>(reason.size()), SQLITE_STATIC);
            sqlite3_bind_int64(refuse, 4, next_attempt);
            code = sqlite3_step(refuse);
            changed = sqlite3_changes(db_);
        }
        if (code != SQLITE_DONE) return Failed("refuse", code);
        if (changed == 0) return Status::OK();
        return RecountRefused();
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
        if (!synced_again.ok()) return synced_again;
        return refused_ > 0 ? RecountRefused() : Status::OK();
    });
}

Status Outbox::DeleteRows(const std::vector<int64_t>& ids) {
    Status status = Exec("BEGIN IMMEDIATE");
    if (!status.ok()) return status;
    sqlite3_stmt* remove = statements_->remove.get();
    size_t removed = 0;
    for (const int64_t id : ids) {
        int code = SQLITE_OK;
        {
            ResetAtExit reset(remove);
            sqlite3_bind_int64(remove, 1, id);
            code = sqlite3_step(remove);
        }
        if (code != SQLITE_DONE) return RollBack(Failed("delete", code));
        removed += static_cast<size_t>(sqlite3_changes(db_));
    }
    status = Exec("COMMIT");
    if (!status.ok()) return RollBack(status);
    count_ -= std::min(count_, removed);
    return Status::OK();
}

// Recounted rather than tracked: a row refused again, or deleted, must count right.
Status Outbox::RecountRefused() {
    sqlite3_stmt* raw = nullptr;
    int code = sqlite3_prepare_v2(db_, "SELECT count(first_refused) FROM outbox", -1, &raw, nullptr);
    Statement count(raw);
    if (code == SQLITE_OK) code = sqlite3_step(count.get());
    if (code != SQLITE_ROW) return Failed("count refused", code);
    refused_ = static_cast<size_t>(sqlite3_column_int64(count.get(), 0));
    return Status::OK();
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

Status Outbox::Inspect(const std::string& path, Summary& summary, std::vector<Item>* list) {
    summary = Summary();
    if (AnyIsLink(path)) return Status::Invalid(path + " (or its -wal or -shm file) is a symbolic link");
    sqlite3* db = nullptr;
    int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    if (code != SQLITE_OK) return FromCode("open", code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    sqlite3_busy_timeout(db, 2000);
    auto query = [db](const char* sql, const std::function<void(sqlite3_stmt*)>& row) -> Status {
        sqlite3_stmt* raw = nullptr;
        int result = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
        Statement statement(raw);
        if (result == SQLITE_OK) {
            while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) row(statement.get());
        }
        if (result != SQLITE_DONE) return FromCode(sql, result, sqlite3_errmsg(db));
        return Status::OK();
    };
    bool has_refusals = false;
    Status status = query("PRAGMA table_info(outbox)", [&](sqlite3_stmt* row) {
        if (ColumnText(row, 1) == "first_refused") has_refusals = true;
    });
    if (!status.ok()) return status;
    const char* counts = has_refusals ? "SELECT count(*) - count(first_refused), count(first_refused) FROM outbox"
                                      : "SELECT count(*), 0 FROM outbox";
    status = query(counts, [&](sqlite3_stmt* row) {
        summary.waiting = static_cast<size_t>(sqlite3_column_int64(row, 0));
        summary.refused = static_cast<size_t>(sqlite3_column_int64(row, 1));
    });
    if (!status.ok()) return status;
    if (has_refusals) {
        status = query("SELECT reason, count(*) FROM outbox WHERE first_refused IS NOT NULL GROUP BY reason",
                       [&](sqlite3_stmt* row) {
                           summary.refused_by_reason[ColumnText(row, 0)] = static_cast<size_t>(sqlite3_column_int64(row, 1));
                       });
        if (!status.ok()) return status;
    }
    // A file from before the damaged table has none.
    query("SELECT count(*) FROM damaged",
          [&](sqlite3_stmt* row) { summary.damaged = static_cast<size_t>(sqlite3_column_int64(row, 0)); });
    if (list != nullptr) {
        const char* sql = has_refusals ? "SELECT id, method, payload, first_refused, refusals, reason FROM outbox ORDER BY id"
                                       : "SELECT id, method, payload, 0, 0, '' FROM outbox ORDER BY id";
        status = query(sql, [&](sqlite3_stmt* row) {
            Item item;
            item.id = sqlite3_column_int64(row, 0);
            item.method = ColumnText(row, 1);
            item.payload = ColumnText(row, 2);
            item.first_refused = sqlite3_column_int64(row, 3);
            item.refusals = sqlite3_column_int(row, 4);
            item.reason = ColumnText(row, 5);
            list->push_back(std::move(item));
        });
        if (!status.ok()) return status;
    }
    // Damaged files set aside beside it.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".corrupt-";
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            if (name.size() > 4 && (name.compare(name.size() - 4, 4, "-wal") == 0 || name.compare(name.size() - 4, 4, "-shm") == 0)) {
                continue;
            }
            summary.set_aside_files.push_back(slash == std::string::npos ? name : folder + "/" + name);
        }
        ::closedir(dir);
        std::sort(summary.set_aside_files.begin(), summary.set_aside_files.end());
    }
    return Status::OK();
}

}  // namespace kv
