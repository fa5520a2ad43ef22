#include <algorithm>
#include <string>
#include <vector>

#include "src/outbox/outbox_sqlite.h"

namespace kv {
namespace outbox_sqlite {

namespace {

// Ids far past any this service can give out (one per alarm): a number above it in a
// damaged file is garbage, and the ids the fresh file gives out stay far from the top.
constexpr int64_t kIdCeiling = int64_t{1} << 62;

// Each end of a damaged stretch is looked up id by id until this many ids in a row gave
// nothing: enough for the rows of a leaf whose cells are only partly overwritten, and a
// bounded cost for a stretch of any width.
constexpr int64_t kLookUpsPerEnd = 1000;

// The columns a row is read with; a file from an earlier version lacks the later ones.
constexpr const char* kScanColumns[] = {"method",   "payload", "checksum",  "first_refused",
                                        "refusals", "reason",  "stored_at", "next_attempt"};

// The columns after the alarm's own in a row: damage there costs the row its refusal
// history, never the alarm.
const std::string kBookkeeping[] = {"first_refused", "refusals", "reason", "next_attempt"};

enum class Step { kRow, kDone, kDamage };

// Walks the table's b-tree by id with three statements (forward from an id, backward
// from an id, one id), stepping over what SQLite reports damaged. Sound rows go to the
// sink in no particular order, each once.
class DamagedScanner {
public:
    DamagedScanner(sqlite3* db, const RowSink& sink, DamagedScan& scan) : db_(db), sink_(sink), scan_(scan) {}

    Status Run() {
        Status status = Prepare();
        if (!status.ok() || !forward_) return status;
        int64_t cursor = 0;  // every id up to here is dealt with; above 0, a sound row's
        for (;;) {
            Step step = Step::kDone;
            status = Forward(cursor, step);
            if (!status.ok() || step == Step::kDone) return status;
            // Damage past the cursor: probe further and further ahead until a seek lands
            // on sound pages (or past the last row), then read back down to the damage.
            int64_t gap = 1;
            int64_t found = 0;
            for (;;) {
                const int64_t probe = cursor < kIdCeiling - gap ? cursor + gap : kIdCeiling;
                status = Probe(probe, step, found);
                if (!status.ok()) return status;
                if (step != Step::kDamage || probe == kIdCeiling) break;
                gap = gap < kIdCeiling / 2 ? gap * 2 : kIdCeiling;
            }
            if (step == Step::kDamage) {
                // Nothing sound up to the ceiling: the ids the file gave out past the cursor.
                return LookUpStretch(cursor, std::max(cursor, known_top_) + 1);
            }
            int64_t lowest = found;  // the lowest sound row above the damage
            status = Backward(cursor, found - 1, lowest);
            if (!status.ok()) return status;
            status = LookUpStretch(cursor, std::min(lowest, std::max(cursor, known_top_) + 1));
            if (!status.ok() || step == Step::kDone) return status;
            cursor = found - 1;
        }
    }

private:
    Status Prepare() {
        std::vector<std::string> present;
        {
            Statement info = Prepared("PRAGMA table_info(outbox)");
            int code = info ? SQLITE_OK : sqlite3_errcode(db_);
            while (info && (code = sqlite3_step(info.get())) == SQLITE_ROW) present.push_back(ColumnText(info.get(), 1));
            // A schema damaged or without the table leaves nothing to read; a failure to
            // read it is no finding about the file.
            if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ERROR && !IsCorruption(code)) {
                return FromCode("read the damaged file", code, sqlite3_errmsg(db_));
            }
        }
        if (present.empty()) return Status::OK();
        std::string columns = "id";
        std::string alarm_columns = "id";  // the alarm without its delivery bookkeeping
        for (const char* column : kScanColumns) {
            const bool has = std::find(present.begin(), present.end(), column) != present.end();
            const bool bookkeeping = std::find(std::begin(kBookkeeping), std::end(kBookkeeping), std::string(column)) !=
                                     std::end(kBookkeeping);
            columns += std::string(", ") + (has ? column : "NULL");
            alarm_columns += std::string(", ") + (has && !bookkeeping ? column : "NULL");
        }
        const std::string select = "SELECT " + columns + " FROM outbox ";
        alarm_only_ = Prepared("SELECT " + alarm_columns + " FROM outbox WHERE id = ?1");
        forward_ = Prepared(select + "WHERE id > ?1 ORDER BY id");
        backward_ = Prepared(select + "WHERE id <= ?1 AND id > ?2 ORDER BY id DESC");
        one_ = Prepared(select + "WHERE id = ?1");
        if (!forward_ || !backward_ || !one_ || !alarm_only_) forward_.reset();

        // The highest id the file shows: its last row, else its sequence. Either may be
        // garbage; it only tells where to look up ids one by one, never where to stop.
        for (const char* sql : {"SELECT max(id) FROM outbox", "SELECT seq FROM sqlite_sequence WHERE name = 'outbox'"}) {
            Statement top = Prepared(sql);
            if (top && sqlite3_step(top.get()) == SQLITE_ROW && sqlite3_column_type(top.get(), 0) == SQLITE_INTEGER) {
                const int64_t id = sqlite3_column_int64(top.get(), 0);
                if (id > 0 && id <= kIdCeiling) known_top_ = std::max(known_top_, id);
                scan_.highest_id = known_top_;
            }
        }
        // The b-tree's own count of cells reads no cell: it still knows how many rows the
        // damaged pages held, which no walk can find.
        Statement cells = Prepared("SELECT count(*) FROM outbox");
        if (cells && sqlite3_step(cells.get()) == SQLITE_ROW) {
            scan_.cells = sqlite3_column_int64(cells.get(), 0);
            return Status::OK();
        }
        // A page whose header is gone stops that count. SQLite's page statistics step over
        // it: such a leaf is taken to have held as many rows as a sound one does on average.
        Statement pages = Prepared(
            "SELECT sum(ncell) FILTER (WHERE pagetype = 'leaf'), count(*) FILTER (WHERE pagetype = 'leaf'), "
            "count(*) FILTER (WHERE pagetype = 'corrupted') FROM dbstat WHERE name = 'outbox'");
        if (pages && sqlite3_step(pages.get()) == SQLITE_ROW) {
            const int64_t sound_cells = sqlite3_column_int64(pages.get(), 0);
            const int64_t sound_leaves = sqlite3_column_int64(pages.get(), 1);
            const int64_t damaged_leaves = sqlite3_column_int64(pages.get(), 2);
            if (sound_leaves > 0) scan_.cells = sound_cells + damaged_leaves * sound_cells / sound_leaves;
        }
        return Status::OK();
    }

    Statement Prepared(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr);
        return Statement(statement);
    }

    // A step that is neither a row nor the end: damage, or a failure the salvage must not
    // mistake for damage (an I/O error, no memory).
    Status Failure(int code, Step& step) {
        if (IsCorruption(code)) {
            step = Step::kDamage;
            return Status::OK();
        }
        return FromCode("read the damaged file", code, sqlite3_errmsg(db_));
    }

    // The row under `statement`, when it is whole and its id lies in (low, high].
    bool Sound(sqlite3_stmt* statement, int64_t low, int64_t high, StoredRow& row) {
        row.item.id = sqlite3_column_int64(statement, 0);
        if (row.item.id <= low || row.item.id > high) return false;
        row.item.method = ColumnText(statement, 1);
        row.item.payload = ColumnText(statement, 2);
        if (sqlite3_column_type(statement, 3) != SQLITE_NULL &&
            static_cast<uint32_t>(sqlite3_column_int64(statement, 3)) != Checksum(row.item.method, row.item.payload)) {
            return false;
        }
        row.item.first_refused = sqlite3_column_int64(statement, 4);
        row.item.refusals = sqlite3_column_int(statement, 5);
        row.item.reason = ColumnText(statement, 6);
        row.stored_at = sqlite3_column_int64(statement, 7);
        row.next_attempt = sqlite3_column_int64(statement, 8);
        return true;
    }

    Status Keep(StoredRow& row) {
        scan_.highest_id = std::max(scan_.highest_id, row.item.id);
        ++scan_.recovered;
        return sink_(row);
    }

    // Whether a seek by `id` finds a row with it. A damaged leaf's cells may carry any id,
    // whole and checksummed: a walk that trusted one would jump over every id below it.
    bool Seekable(int64_t id) {
        ResetAtExit reset(one_.get());
        sqlite3_bind_int64(one_.get(), 1, id);
        return sqlite3_step(one_.get()) == SQLITE_ROW && sqlite3_column_int64(one_.get(), 0) == id;
    }

    // Rows above `cursor` in order, until the end or damage; `cursor` follows them. A
    // damaged leaf may answer with any id: only one above the last counts.
    Status Forward(int64_t& cursor, Step& step) {
        ResetAtExit reset(forward_.get());
        sqlite3_bind_int64(forward_.get(), 1, cursor);
        for (;;) {
            const int code = sqlite3_step(forward_.get());
            if (code == SQLITE_DONE) {
                step = Step::kDone;
                return Status::OK();
            }
            if (code != SQLITE_ROW) return Failure(code, step);
            StoredRow row;
            if (!Sound(forward_.get(), cursor, kIdCeiling, row) || (row.item.id > cursor + 1 && !Seekable(row.item.id))) {
                step = Step::kDamage;
                return Status::OK();
            }
            cursor = row.item.id;
            Status status = Keep(row);
            if (!status.ok()) return status;
        }
    }

    // Whether a seek past `id` lands on sound pages: kRow (its id in `found`), kDone
    // (nothing past it; `found` past the ceiling), or kDamage.
    Status Probe(int64_t id, Step& step, int64_t& found) {
        ResetAtExit reset(forward_.get());
        sqlite3_bind_int64(forward_.get(), 1, id);
        const int code = sqlite3_step(forward_.get());
        if (code == SQLITE_DONE) {
            step = Step::kDone;
            found = kIdCeiling + 1;
            return Status::OK();
        }
        if (code != SQLITE_ROW) return Failure(code, step);
        StoredRow row;
        step = Sound(forward_.get(), id, kIdCeiling, row) && Seekable(row.item.id) ? Step::kRow : Step::kDamage;
        found = row.item.id;
        return Status::OK();
    }

    // Rows in (cursor, from] downwards, until damage; `lowest` is the last one kept.
    Status Backward(int64_t cursor, int64_t from, int64_t& lowest) {
        ResetAtExit reset(backward_.get());
        sqlite3_bind_int64(backward_.get(), 1, from);
        sqlite3_bind_int64(backward_.get(), 2, cursor);
        for (;;) {
            const int code = sqlite3_step(backward_.get());
            if (code == SQLITE_DONE) return Status::OK();
            Step step = Step::kRow;
            if (code != SQLITE_ROW) return Failure(code, step);
            StoredRow row;
            if (!Sound(backward_.get(), cursor, lowest - 1, row)) return Status::OK();
            lowest = row.item.id;
            Status status = Keep(row);
            if (!status.ok()) return status;
        }
    }

    // The ids of a damaged stretch (after, before), one by one from each end. Below the
    // first sound row nothing tells which ids were ever given out: the stretch is looked
    // at only from its upper end, and what fails there is not counted as a lost row.
    Status LookUpStretch(int64_t after, int64_t before) {
        const bool counted = after > 0;
        int64_t low = after + 1;
        int64_t high = before - 1;
        for (int64_t misses = 0; counted && low <= high && misses < kLookUpsPerEnd; ++low) {
            Status status = LookUp(low, counted, misses);
            if (!status.ok()) return status;
        }
        for (int64_t misses = 0; low <= high && misses < kLookUpsPerEnd; --high) {
            Status status = LookUp(high, counted, misses);
            if (!status.ok()) return status;
        }
        return Status::OK();
    }

    Status LookUp(int64_t id, bool counted, int64_t& misses) {
        int code = SQLITE_OK;
        StoredRow row;
        bool sound = false;
        {
            ResetAtExit reset(one_.get());
            sqlite3_bind_int64(one_.get(), 1, id);
            code = sqlite3_step(one_.get());
            if (code == SQLITE_ROW) sound = Sound(one_.get(), id - 1, id, row);
        }
        if (IsCorruption(code)) {
            ResetAtExit reset(alarm_only_.get());
            sqlite3_bind_int64(alarm_only_.get(), 1, id);
            if (sqlite3_step(alarm_only_.get()) == SQLITE_ROW) sound = Sound(alarm_only_.get(), id - 1, id, row);
        }
        if (sound) {
            misses = 0;
            return Keep(row);
        }
        ++misses;
        if (code == SQLITE_DONE) return Status::OK();
        Step step = Step::kDamage;
        if (code != SQLITE_ROW) {
            Status status = Failure(code, step);
            if (!status.ok()) return status;
        }
        // A row that may have been there and cannot be read; its id is never given out again.
        scan_.highest_id = std::max(scan_.highest_id, id);
        if (counted) ++scan_.unreadable;
        return Status::OK();
    }

    sqlite3* db_;
    const RowSink& sink_;
    DamagedScan& scan_;
    Statement forward_;
    Statement backward_;
    Statement one_;
    Statement alarm_only_;
    int64_t known_top_ = 0;
};

}  // namespace

Status ScanDamaged(sqlite3* db, const RowSink& sink, DamagedScan& scan) {
    scan = DamagedScan();
    Status status = DamagedScanner(db, sink, scan).Run();
    if (!status.ok()) return status;
    if (scan.cells > 0 && static_cast<size_t>(scan.cells) > scan.recovered) {
        scan.unreadable = std::max(scan.unreadable, static_cast<size_t>(scan.cells) - scan.recovered);
    }
    return Status::OK();
}

}  // namespace outbox_sqlite
}  // namespace kv
