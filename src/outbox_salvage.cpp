#include "src/outbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "src/outbox_sqlite.h"

namespace kv {

using namespace outbox_sqlite;

namespace {

// A name beside `path` that no file has yet: "<path>.corrupt-<epoch seconds>", with "-2",
// "-3", ... when a salvage in the same second left one already. Empty when none can be
// had (the name is too long, the folder cannot be searched): errno says why.
std::string FreeAsideName(const std::string& path) {
    const std::string base = path + ".corrupt-" + std::to_string(static_cast<long long>(Now()));
    std::string name = base;
    for (int n = 2; n < 1000; ++n) {
        struct stat info {};
        if (::lstat(name.c_str(), &info) != 0) return errno == ENOENT ? name : std::string();
        name = base + "-" + std::to_string(n);
    }
    errno = EEXIST;
    return std::string();
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
    if (aside.empty() || !MoveFileSet(path_, aside)) {
        return Status::IoError(cause.message() + "; could not set the damaged file aside: " + std::strerror(errno));
    }
    std::vector<StoredRow> rows;
    DamagedScan scan;
    {
        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(aside.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> old(raw, sqlite3_close_v2);
        if (opened == SQLITE_OK) {
            ScanDamaged(old.get(), [&rows](StoredRow& row) {
                rows.push_back(std::move(row));
                return Status::OK();
            }, scan);
        }
    }
    // Every id the damaged file may have given out stays unused: the fresh file continues
    // well above them all, its sequence and its last rows possibly being what was lost.
    // Ids are 64 bits; a gap costs nothing.
    constexpr int64_t kIdMargin = 1000000;
    const int64_t highest_id = scan.highest_id + kIdMargin;
    const size_t unreadable = scan.unreadable;
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

Status Outbox::WriteSalvaged(const std::vector<StoredRow>& rows, int64_t highest_id) {
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
        for (const StoredRow& row : rows) {
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
    refused_ = static_cast<size_t>(std::count_if(rows.begin(), rows.end(), [](const StoredRow& row) {
        return row.item.first_refused != 0;
    }));
    return Status::OK();
}

}  // namespace kv
