#include "src/outbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include <sqlite3.h>

namespace kv {

namespace {

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Resets a statement at scope exit, so that it never holds a read transaction open.
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

bool IsCorruption(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

int CountCommit(void* counter) {
    ++*static_cast<uint64_t*>(counter);
    return 0;  // let the commit go ahead
}

std::string Text(const unsigned char* text, int bytes) {
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

}  // namespace

struct Outbox::Statements {
    Statement insert;
    Statement take;
    Statement remove;
};

Outbox::Outbox(std::string path, size_t cap) : path_(std::move(path)), cap_(cap) {}

Outbox::~Outbox() { Close(); }

void Outbox::Close() {
    statements_.reset();
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool Outbox::Fail(const std::string& what, int code) {
    error_ = what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    Close();
    return false;
}

// The failed statement's message is read before the rollback replaces it.
bool Outbox::FailAndRollBack(const std::string& what, int code) {
    error_ = what + ": " + sqlite3_errmsg(db_) + " (" + std::to_string(code) + ")";
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    Close();
    return false;
}

bool Outbox::Exec(const char* sql, int* code) {
    const int result = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (code != nullptr) *code = result;
    return result == SQLITE_OK;
}

bool Outbox::Open() {
    Close();
    error_.clear();
    set_aside_.clear();
    bool corrupt = false;
    if (OpenFile(corrupt)) return true;
    if (!corrupt) return false;

    // Kept for whoever wants to look at it; the journal files belong to it and go along.
    const std::string aside = path_ + ".corrupt-" + std::to_string(static_cast<long long>(::time(nullptr)));
    if (std::rename(path_.c_str(), aside.c_str()) != 0) {
        error_ += "; could not set it aside";
        return false;
    }
    std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    std::rename((path_ + "-shm").c_str(), (aside + "-shm").c_str());
    set_aside_ = aside;
    const std::string first_error = error_;
    if (OpenFile(corrupt)) return true;
    error_ = first_error + "; a fresh file failed too: " + error_;
    return false;
}

bool Outbox::OpenFile(bool& corrupt) {
    corrupt = false;
    // SQLite creates files with the umask's mode; the alarms are nobody else's business.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = "cannot create or open the file";
        return false;
    }
    ::close(fd);

    int code = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        corrupt = IsCorruption(code);
        return Fail("open", code);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 2000);

    static const char kCreateTable[] =
        "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, method TEXT NOT NULL, "
        "payload BLOB NOT NULL, stored_at INTEGER NOT NULL)";
    const char* const setup[] = {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", kCreateTable};
    for (const char* sql : setup) {
        if (!Exec(sql, &code)) {
            corrupt = IsCorruption(code);
            return Fail(sql, code);
        }
    }

    statements_ = std::make_unique<Statements>();
    struct {
        const char* sql;
        Statement* statement;
    } prepared[] = {
        {"INSERT INTO outbox(method, payload, stored_at) VALUES(?1, ?2, ?3)", &statements_->insert},
        {"SELECT id, method, payload FROM outbox WHERE id > ?1 ORDER BY id LIMIT ?2", &statements_->take},
        {"DELETE FROM outbox WHERE id = ?1", &statements_->remove},
    };
    for (auto& item : prepared) {
        sqlite3_stmt* statement = nullptr;
        code = sqlite3_prepare_v3(db_, item.sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (code != SQLITE_OK) {
            corrupt = IsCorruption(code);
            return Fail("prepare", code);
        }
        item.statement->reset(statement);
    }

    // Reading the count walks the whole table: a damaged page shows up here, at start,
    // rather than in the middle of a delivery.
    sqlite3_stmt* raw = nullptr;
    code = sqlite3_prepare_v2(db_, "SELECT count(*) FROM outbox", -1, &raw, nullptr);
    Statement count(raw);
    if (code == SQLITE_OK) code = sqlite3_step(count.get());
    if (code != SQLITE_ROW) {
        corrupt = IsCorruption(code);
        return Fail("count", code);
    }
    count_ = static_cast<size_t>(sqlite3_column_int64(count.get(), 0));
    count.reset();

    commits_ = 0;
    sqlite3_commit_hook(db_, &CountCommit, &commits_);
    return true;
}

bool Outbox::StoreBatch(std::vector<Item>& items, size_t& refused) {
    refused = 0;
    if (db_ == nullptr) return false;
    int code = SQLITE_OK;
    if (!Exec("BEGIN IMMEDIATE", &code)) return Fail("begin", code);
    const sqlite3_int64 now = static_cast<sqlite3_int64>(::time(nullptr));
    size_t stored = 0;
    sqlite3_stmt* insert = statements_->insert.get();
    for (Item& item : items) {
        item.id = 0;
        if (count_ + stored >= cap_) {
            ++refused;
            continue;
        }
        ResetAtExit reset(insert);
        sqlite3_bind_text(insert, 1, item.method.data(), static_cast<int>(item.method.size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert, 2, item.payload.data(), static_cast<int>(item.payload.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 3, now);
        code = sqlite3_step(insert);
        if (code != SQLITE_DONE) {
            for (Item& undone : items) undone.id = 0;
            return FailAndRollBack("store", code);
        }
        item.id = sqlite3_last_insert_rowid(db_);
        ++stored;
    }
    if (!Exec("COMMIT", &code)) {
        for (Item& undone : items) undone.id = 0;
        return FailAndRollBack("commit", code);
    }
    count_ += stored;
    return true;
}

bool Outbox::TakeOldest(int64_t after_id, size_t limit, std::vector<Item>& out) {
    if (db_ == nullptr) return false;
    sqlite3_stmt* take = statements_->take.get();
    ResetAtExit reset(take);
    sqlite3_bind_int64(take, 1, after_id);
    sqlite3_bind_int64(take, 2, static_cast<sqlite3_int64>(limit));
    int code = SQLITE_OK;
    while ((code = sqlite3_step(take)) == SQLITE_ROW) {
        Item item;
        item.id = sqlite3_column_int64(take, 0);
        item.method = Text(sqlite3_column_text(take, 1), sqlite3_column_bytes(take, 1));
        const void* blob = sqlite3_column_blob(take, 2);
        const int bytes = sqlite3_column_bytes(take, 2);
        if (blob != nullptr) item.payload.assign(static_cast<const char*>(blob), static_cast<size_t>(bytes));
        out.push_back(std::move(item));
    }
    if (code != SQLITE_DONE) return Fail("read", code);
    return true;
}

void Outbox::ReleaseMemory() {
    if (db_ != nullptr) sqlite3_db_release_memory(db_);
}

bool Outbox::Delete(const std::vector<int64_t>& ids) {
    if (db_ == nullptr) return false;
    if (ids.empty()) return true;
    int code = SQLITE_OK;
    if (!Exec("BEGIN IMMEDIATE", &code)) return Fail("begin", code);
    sqlite3_stmt* remove = statements_->remove.get();
    size_t removed = 0;
    for (const int64_t id : ids) {
        ResetAtExit reset(remove);
        sqlite3_bind_int64(remove, 1, id);
        code = sqlite3_step(remove);
        if (code != SQLITE_DONE) {
            return FailAndRollBack("delete", code);
        }
        removed += static_cast<size_t>(sqlite3_changes(db_));
    }
    if (!Exec("COMMIT", &code)) return FailAndRollBack("commit", code);
    count_ -= std::min(count_, removed);
    return true;
}

}  // namespace kv
