#include "src/outbox/outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "src/outbox/outbox_sqlite.h"

namespace kv {

using namespace outbox_sqlite;

// A salvage, step by step. Until its last step the damaged file stays at its path, so
// that a crash or a kill at any point leaves the next Open something to start from:
//
//   1. the fresh file is created under its salvage name, "<path>.salvage": from now on
//      an Open that finds it finishes the salvage;
//   2. the damaged file and its -wal and -shm files get a second name each,
//      "<path>.corrupt-<epoch seconds>" (hard links: nothing is copied or moved);
//   3. what can be read of the damaged file (under its second names, which nothing
//      changes) is written to the fresh file, in batches, and the fresh file is synced;
//   4. the damaged -wal and -shm names at the path are removed, and the fresh file is
//      renamed over the damaged one: the set-aside names keep the damaged set whole.
//
// An Open that finds the fresh file's salvage name starts again at step 1, keeping the
// set-aside names step 2 gave: a rewrite of the fresh file from the damaged set reads the
// same rows, each once, under its own id.
namespace {

constexpr char kFreshSuffix[] = ".salvage";
constexpr const char* kCompanions[] = {"-wal", "-shm"};
// Rows read and written together: the salvage's memory does not grow with the file.
constexpr size_t kBatch = 512;

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

Status Errno(const std::string& what) { return Status::IoError(what + ": " + std::strerror(errno)); }

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the folder's names (a link, a rename) durable.
Status SyncFolder(const std::string& path) {
    const int fd = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno("open the folder");
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced ? Status::OK() : Errno("sync the folder");
}

// Removes a name through SQLite's file layer, as the file's own I/O goes, syncing the
// folder; a name that is not there is no failure.
Status RemoveName(const std::string& name) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    const int code = vfs->xDelete(vfs, name.c_str(), /*syncDir=*/1);
    if (code == SQLITE_OK || code == SQLITE_IOERR_DELETE_NOENT) return Status::OK();
    return FromCode("remove " + name, code, sqlite3_errstr(code));
}

// The set-aside name an unfinished salvage gave the damaged file: a "<path>.corrupt-*"
// that is the same file as the one at the path. Empty when there is none.
std::string FindAside(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".corrupt-";
    std::string found;
    if (DIR* dir = ::opendir(Folder(path).c_str())) {
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string full = slash == std::string::npos ? name : Folder(path) + "/" + name;
            if (SameFile(full, path)) found = full;
        }
        ::closedir(dir);
    }
    return found;
}

// Step 2: gives the damaged set its second names, `aside` (found by trying
// "<path>.corrupt-<epoch seconds>", then "-2", "-3", ... after it) unless an earlier
// salvage gave it one. A link never replaces a file, so no earlier damaged copy is lost.
Status LinkAside(const std::string& path, std::string& aside) {
    if (aside.empty()) {
        const std::string base = path + ".corrupt-" + std::to_string(static_cast<long long>(Now()));
        for (int n = 1; aside.empty(); ++n) {
            const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
            if (::link(path.c_str(), name.c_str()) == 0) {
                aside = name;
            } else if (errno != EEXIST || n >= 1000) {
                return Errno("could not set the damaged file aside");
            }
        }
    }
    for (const char* suffix : kCompanions) {
        if (!Exists(path + suffix) || Exists(aside + suffix)) continue;
        if (::link((path + suffix).c_str(), (aside + suffix).c_str()) != 0) {
            return Errno("could not set the damaged file aside");
        }
    }
    return SyncFolder(path);
}

// Step 1: an empty fresh file, mode 0600, under the salvage name.
Status CreateFresh(const std::string& fresh) {
    const int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Errno("create " + fresh);
    ::close(fd);
    return SyncFolder(fresh);
}

using Connection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

Connection OpenConnection(const std::string& path, int flags, int& code) {
    sqlite3* raw = nullptr;
    code = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    Connection db(raw, sqlite3_close_v2);
    if (code == SQLITE_OK) sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

Status Run(sqlite3* db, const std::string& sql) {
    const int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    return code == SQLITE_OK ? Status::OK() : FromCode(sql, code, sqlite3_errmsg(db));
}

// The fresh file while step 3 writes it: one transaction per batch of rows, unsynced
// (a crash rewrites it anyway); the last one, with the sequence, syncs all of it.
class FreshWriter {
public:
    explicit FreshWriter(sqlite3* db) : db_(db) {}

    Status Begin() {
        for (const char* sql : {"PRAGMA journal_mode=OFF", "PRAGMA synchronous=OFF"}) {
            Status status = Run(db_, sql);
            if (!status.ok()) return status;
        }
        Status status = CreateSchema(db_);
        if (!status.ok()) return status;
        sqlite3_stmt* raw = nullptr;
        const int code = sqlite3_prepare_v2(db_,
                                            "INSERT OR IGNORE INTO outbox(id, method, payload, stored_at, checksum, "
                                            "first_refused, refusals, reason, next_attempt) "
                                            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                                            -1, &raw, nullptr);
        insert_.reset(raw);
        return code == SQLITE_OK ? Status::OK() : FromCode("prepare", code, sqlite3_errmsg(db_));
    }

    Status Add(StoredRow& row) {
        batch_.push_back(std::move(row));
        return batch_.size() < kBatch ? Status::OK() : Flush();
    }

    // Ids are never reused: the next store goes above every id the damaged file may have
    // given out. sqlite_sequence has no key on its name: the row the inserts left is
    // updated, or one is added.
    Status Finish(int64_t highest_id) {
        Status status = Flush();
        if (!status.ok()) return status;
        const std::string seq = std::to_string(static_cast<long long>(highest_id));
        for (const std::string& sql :
             {std::string("PRAGMA synchronous=FULL"), std::string("BEGIN"),
              "UPDATE sqlite_sequence SET seq = " + seq + " WHERE name = 'outbox'",
              "INSERT INTO sqlite_sequence(name, seq) SELECT 'outbox', " + seq +
                  " WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = 'outbox')",
              std::string("COMMIT")}) {
            status = Run(db_, sql);
            if (!status.ok()) return status;
        }
        return Status::OK();
    }

private:
    Status Flush() {
        if (batch_.empty()) return Status::OK();
        Status status = Run(db_, "BEGIN");
        if (!status.ok()) return status;
        sqlite3_stmt* insert = insert_.get();
        for (const StoredRow& row : batch_) {
            int code = SQLITE_OK;
            {
                ResetAtExit reset(insert);
                sqlite3_bind_int64(insert, 1, row.item.id);
                sqlite3_bind_text(insert, 2, row.item.method.data(), static_cast<int>(row.item.method.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_blob(insert, 3, row.item.payload.data(), static_cast<int>(row.item.payload.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int64(insert, 4, row.stored_at);
                sqlite3_bind_int64(insert, 5, Checksum(row.item.method, row.item.payload));
                if (row.item.first_refused != 0) {
                    sqlite3_bind_int64(insert, 6, row.item.first_refused);
                    sqlite3_bind_int(insert, 7, row.item.refusals);
                    sqlite3_bind_text(insert, 8, row.item.reason.data(), static_cast<int>(row.item.reason.size()),
                                      SQLITE_STATIC);
                    sqlite3_bind_int64(insert, 9, row.next_attempt);
                }
                code = sqlite3_step(insert);
            }
            if (code != SQLITE_DONE) return FromCode("salvage", code, sqlite3_errmsg(db_));
        }
        batch_.clear();
        return Run(db_, "COMMIT");
    }

    sqlite3* db_;
    Statement insert_;
    std::vector<StoredRow> batch_;
};

// Step 3: the readable rows of the damaged set at `aside` into the fresh file.
Status CopyReadable(const std::string& aside, const std::string& fresh, DamagedScan& scan) {
    int code = SQLITE_OK;
    Connection old = OpenConnection(aside, SQLITE_OPEN_READONLY, code);
    if (code != SQLITE_OK) return FromCode("open the damaged file", code, sqlite3_errstr(code));
    Connection db = OpenConnection(fresh, SQLITE_OPEN_READWRITE, code);
    if (code != SQLITE_OK) return FromCode("open " + fresh, code, sqlite3_errstr(code));
    FreshWriter writer(db.get());
    Status status = writer.Begin();
    if (status.ok()) status = ScanDamaged(old.get(), [&writer](StoredRow& row) { return writer.Add(row); }, scan);
    // Every id the damaged file may have given out stays unused: the fresh file continues
    // well above them all, its sequence and its last rows possibly being what was lost.
    // Ids are 64 bits; a gap costs nothing.
    constexpr int64_t kIdMargin = 1000000;
    if (status.ok()) status = writer.Finish(scan.highest_id + kIdMargin);
    return status;
}

// Step 4: the fresh file takes the path. The damaged -wal must be gone first: SQLite
// would replay it into whatever file has the path.
Status Swap(const std::string& path, const std::string& fresh) {
    for (const char* suffix : kCompanions) {
        Status status = RemoveName(path + suffix);
        if (!status.ok()) return status;
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) return Errno("rename " + fresh);
    return SyncFolder(path);
}

// Takes back steps 1 and 2 of a salvage that failed before step 4, through the same file
// layer as everything else: a crash in between leaves the salvage name, and the next Open
// finishes the salvage.
void Undo(const std::string& path, const std::string& aside, const std::string& fresh) {
    if (!aside.empty()) {
        for (const std::string suffix : {"-wal", "-shm", ""}) {
            if (SameFile(path + suffix, aside + suffix) && !RemoveName(aside + suffix).ok()) return;
        }
    }
    RemoveName(fresh);
}

}  // namespace

bool Outbox::SalvageUnfinished() {
    const std::string fresh = path_ + kFreshSuffix;
    if (!Exists(fresh)) return false;
    if (Exists(path_)) return true;
    RemoveName(fresh);  // nothing left to salvage it from
    return false;
}

Status Outbox::SalvageFile(Status cause) {
    // Closing would fold the damaged file's -wal into it: it is kept as it was found.
    if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    Close();
    const std::string fresh = path_ + kFreshSuffix;
    std::string aside = FindAside(path_);
    Status status = CreateFresh(fresh);
    if (status.ok()) status = LinkAside(path_, aside);
    DamagedScan scan;
    if (status.ok()) status = CopyReadable(aside, fresh, scan);
    const bool swapping = status.ok();
    if (swapping) status = Swap(path_, fresh);
    if (status.ok()) status = OpenFile();
    if (!status.ok()) {
        Close();
        if (!swapping) Undo(path_, aside, fresh);
        return Status::IoError(cause.message() + "; salvaging it failed: " + status.message());
    }
    salvage_ = std::make_unique<Salvage>();
    salvage_->set_aside = aside;
    salvage_->recovered = scan.recovered;
    salvage_->unreadable = scan.unreadable;
    return Status::OK();
}

}  // namespace kv
