#include "src/outbox/outbox.h"

#include <dirent.h>

#include <algorithm>
#include <functional>

#include "src/outbox/outbox_sqlite.h"

namespace kv {

using namespace outbox_sqlite;

Status Outbox::Inspect(const std::string& path, Summary& summary, std::vector<Item>* list) {
    summary = Summary();
    if (AnyIsLink(path)) return Status::Invalid(path + " (or its -wal or -shm file) is a symbolic link");
    sqlite3* db = nullptr;
    int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    if (code != SQLITE_OK) return FromCode("open", code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    // Root may read a file the service's user can write, and the schema is part of the
    // file: no trigger, view or schema function of its may run, and no schema change
    // can make a read write to the database file behind SQLite's back.
    int defensive = 0;
    int trusted_schema = 1;
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, &defensive);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &trusted_schema);
    if (defensive != 1 || trusted_schema != 0) return Status::IoError("SQLite's defensive settings cannot be set");
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
