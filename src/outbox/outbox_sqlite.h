// The outbox's own SQLite helpers, shared by its units (src/outbox/outbox*.cpp) and by nothing
// else: statement ownership, the checksum of a row, and a few file checks.
#ifndef WARDEX_SRC_OUTBOX_SQLITE_H_
#define WARDEX_SRC_OUTBOX_SQLITE_H_

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "src/outbox/outbox.h"
#include "src/outbox/status.h"

namespace kv {
namespace outbox_sqlite {

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
// The refused rows alone, in the order they fall due: finding the due ones, or the next
// one to fall due, costs the rows returned, not the table (created at open, so a file of
// an earlier version gets it too).
constexpr char kCreateRefusedIndex[] =
    "CREATE INDEX IF NOT EXISTS outbox_refused ON outbox(next_attempt, id) WHERE first_refused IS NOT NULL";
constexpr char kRowColumns[] = "id, method, payload, checksum, first_refused, refusals, reason";
// A row's payload size in bytes, read without loading the payload (length() of a text
// counts characters, so a text, which no version stores, is measured as bytes).
constexpr char kPayloadBytes[] =
    "CASE typeof(payload) WHEN 'blob' THEN length(payload) ELSE length(CAST(payload AS BLOB)) END";

// A damaged cell can announce a length past SQLite's limit: "string or blob too big" on a
// read is damage like any other (no payload the outbox stores comes near the limit).
inline bool IsCorruption(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_TOOBIG;
}

inline Status FromCode(const std::string& what, int code, const char* message) {
    const std::string text = what + ": " + message + " (" + std::to_string(code) + ")";
    if (IsCorruption(code)) return Status::Corruption(text);
    if ((code & 0xff) == SQLITE_FULL) return Status::Full(text);
    return Status::IoError(text);
}


inline std::string Text(const void* text, int bytes) {
    return text == nullptr ? std::string() : std::string(static_cast<const char*>(text), static_cast<size_t>(bytes));
}

inline std::string ColumnText(sqlite3_stmt* statement, int column) {
    return Text(sqlite3_column_blob(statement, column), sqlite3_column_bytes(statement, column));
}

inline int64_t Now() { return static_cast<int64_t>(::time(nullptr)); }

// A symbolic link in any of the file's three names could point the service's writes
// anywhere the service may write; none is followed, whoever runs the service.
inline bool AnyIsLink(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat info {};
        if (::lstat((path + suffix).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) return true;
    }
    return false;
}

// Creates the outbox's tables where they are missing, and the columns a file from an
// earlier version lacks; rows already there are kept as they are.
Status CreateSchema(sqlite3* db);

// CRC-32 of the method, a NUL and the payload: a damaged cell fails it whichever it hit.
uint32_t Checksum(const std::string& method, const std::string& payload);

// One row as the file holds it: the item and what only the file needs.
struct StoredRow {
    Outbox::Item item;
    int64_t stored_at = 0;
    int64_t next_attempt = 0;
};
using RowSink = std::function<Status(StoredRow&)>;

// What a scan of a damaged file found.
struct DamagedScan {
    size_t recovered = 0;    // rows handed to the sink
    size_t unreadable = 0;   // rows known to be there that could not be read, or failed their checksum
    int64_t highest_id = 0;  // the highest id the file may have given out
    int64_t cells = -1;      // the b-tree's count of rows, -1 when even that cannot be read
};

// Hands every row of the damaged outbox file open on `db` that can still be read whole to
// `sink`, each once, in no particular order, whatever its id: the table's b-tree is
// walked by id, and damaged stretches are stepped over. Not OK: reading failed for another
// reason than damage (an I/O error), or the sink failed; what was found so far is then
// no answer.
Status ScanDamaged(sqlite3* db, const RowSink& sink, DamagedScan& scan);

}  // namespace outbox_sqlite
}  // namespace kv

#endif  // WARDEX_SRC_OUTBOX_SQLITE_H_
