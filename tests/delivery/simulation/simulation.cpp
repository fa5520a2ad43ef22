// The delivery simulation: the real courier and the real outbox (on the fault VFS) against
// a simulated recorder and simulated receivers, on simulated time, with disk faults and
// crashes; the invariants are checked after every event. Everything follows from the seed.
//
//   delivery_simulation [--seeds N] [--first S] [--seed S] [--shard K/M] [--hours H]
//                       [--trouble X] [--max-burst N] [--verbose]
//
// Exits 1 when any seed breaks an invariant; each such seed prints one line that
// reproduces it.
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <malloc.h>

#include "src/delivery/courier.h"
#include "src/outbox/outbox.h"
#include "src/outbox/outbox_sqlite.h"
#include "tests/delivery/simulation/peers.h"
#include "tests/support/fault_vfs.h"

#if !defined(__SANITIZE_ADDRESS__)
// The heap in use, kept as it changes: glibc's own figure (mallinfo2) walks every free
// chunk, and asking it at each event and file operation cost most of a run's time.
// SQLite's allocations are counted by SQLite itself.
namespace {
std::atomic<size_t> g_new_bytes{0};

void* Allocate(size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    g_new_bytes.fetch_add(malloc_usable_size(block), std::memory_order_relaxed);
    return block;
}

void Release(void* block) noexcept {
    if (block == nullptr) return;
    g_new_bytes.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
    std::free(block);
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }
void operator delete[](void* block, size_t) noexcept { Release(block); }
#else
extern "C" size_t __sanitizer_get_current_allocated_bytes();
// Millions of short-lived allocations: a smaller quarantine and no fill of each block keep
// the sanitizer from spending most of the run in fresh pages (ASAN_OPTIONS still wins).
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:max_malloc_fill_size=0"; }
#endif

namespace kv {
namespace sim {
namespace {

using delivery::Commands;
using delivery::Courier;
using delivery::Incoming;
using delivery::Instant;
using delivery::NoteKind;
using delivery::PathId;
using delivery::PayloadKind;
using testing::FaultVfs;
namespace fs = std::filesystem;

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return g_new_bytes.load(std::memory_order_relaxed) + static_cast<size_t>(sqlite3_memory_used());
#endif
}

struct Settings {
    double hours = 0.2;       // the longest active time of a seed; the tail comes after
    double trouble = 1.0;     // disk faults and crashes, relative to the default rate
    size_t max_burst = 60000;
    bool verbose = false;
    fs::path dir;
};

// Totals over every seed run, for the summary line.
struct Totals {
    uint64_t seeds = 0;
    double simulated_hours = 0;
    uint64_t alarms = 0;
    uint64_t faults = 0;  // disk faults, crashes, kills and receiver misbehaviour periods
    uint64_t checks = 0;      // reads of the whole outbox by a second connection
    uint64_t invariants = 0;  // invariant checks: after each event, of the outbox, of liveness, per send
    uint64_t events = 0;
    uint64_t salvages = 0;
};

// --- The outbox's work, statement by statement ---------------------------------------------
//
// Every connection the process opens reports each finished statement with its VM steps and
// the rows it returned or changed. A statement of the delivery that works through the whole
// table to answer a few rows makes the drain rate depend on the table's size.
struct WorkWatch {
    bool enabled = false;
    bool exempt = false;  // opening a file: its counts walk the table once, by design
    std::unordered_map<sqlite3_stmt*, int64_t> rows;
    std::string violation;

    static WorkWatch& Get() {
        static WorkWatch watch;
        return watch;
    }
    static int OnTrace(unsigned type, void*, void* p, void*) {
        WorkWatch& watch = Get();
        auto* statement = static_cast<sqlite3_stmt*>(p);
        if (type == SQLITE_TRACE_ROW) {
            ++watch.rows[statement];
            return 0;
        }
        const int64_t steps = sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_VM_STEP, 1);
        int64_t output = watch.rows[statement];
        watch.rows.erase(statement);
        sqlite3* db = sqlite3_db_handle(statement);
        if (!sqlite3_stmt_readonly(statement)) output += sqlite3_changes(db);
        if (!watch.enabled || watch.exempt || sqlite3_db_readonly(db, "main") == 1) return 0;
        if (steps > 2000 + 60 * output && watch.violation.empty()) {
            const char* sql = sqlite3_sql(statement);
            watch.violation = "drain: one statement took " + std::to_string(steps) + " VM steps for " +
                              std::to_string(output) + " rows (" + (sql ? sql : "?") + ")";
        }
        return 0;
    }
    static int OnOpen(sqlite3* db, const char**, const void*) {
        sqlite3_trace_v2(db, SQLITE_TRACE_PROFILE | SQLITE_TRACE_ROW, &WorkWatch::OnTrace, nullptr);
        return SQLITE_OK;
    }
};

// --- The ledger: where each alarm the service took is --------------------------------------

enum class Place { kInService, kAcknowledged, kDropped, kLost };

struct Alarm {
    Place place = Place::kInService;
    bool seen_on_disk = false;
    bool refusal_pending = false;
    int64_t refused_at = 0;        // simulated ms of its last refusal
    int refused_in_run = 0;        // the start it was refused after (a killed event's refusal precedes the next)
    int64_t first_refused_wall = 0;
    uint8_t answerable_attempts[2] = {0, 0};  // sent to a receiver that answers within the deadline
    std::string payload;
};

constexpr char kPrimaryUrl[] = "http://127.0.0.1:18080/wardex";
constexpr char kBackupUrl[] = "http://127.0.0.2:18080/wardex";
constexpr int64_t kWallStart = 1800000000;  // seconds: refusals are kept on this clock
constexpr int64_t kHealthyFor = 2 * kMinute;

class World {
public:
    World(uint64_t seed, const Settings& settings, Totals& totals);
    ~World();
    // Empty when every invariant held.
    std::string Run();

private:
    Instant At() const {
        return Instant{delivery::TimePoint(std::chrono::milliseconds(now_ + kHour)), kWallStart + now_ / kSecond};
    }
    int64_t Ms(delivery::TimePoint t) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() - kHour;
    }
    void Fail(const std::string& text) {
        if (violation_.empty()) violation_ = "t=" + std::to_string(now_ / kSecond) + "s: " + text;
    }

    // The service's life: start, crash, stop.
    void Start();
    void Crash(bool clean);
    void KillIn(int nth, const std::function<void()>& work);

    // Calls the courier and carries out what it asks.
    void Call(const std::function<void(Commands&)>& event);
    void Execute(Commands& out);
    void Note(const delivery::Note& note);

    void Raise(size_t alarms, bool restart);
    void OnReply();
    void OnTrouble(const TroubleEvent& event);
    void EndTrouble();

    // Invariants.
    void CheckStep();
    std::unordered_map<std::string, int64_t> ScanOutbox(bool* failed = nullptr);
    void CheckPlacement();
    void CheckLiveness(bool final);
    void CheckAttempts(const Receiver& receiver, Alarm& alarm, PathId path);
    std::set<int64_t> ReadableIds(const std::set<int64_t>& ids);
    void Damage(sim::Damage kind);
    int64_t FirstLeaf();

    Alarm* Find(const std::string& payload) {
        if (payload.size() < 2 || payload[0] != 'A') return nullptr;
        const size_t index = std::strtoull(payload.c_str() + 1, nullptr, 10);
        return index < alarms_.size() ? &alarms_[index] : nullptr;
    }
    size_t InService() const;

    uint64_t seed_;
    Settings settings_;
    Totals& totals_;
    Rng rng_;
    FaultVfs& vfs_;
    fs::path dir_;
    std::string path_;
    delivery::CourierOptions options_;
    Transport transport_;
    bool backup_;
    int64_t active_ = 0;
    Receiver primary_;
    std::unique_ptr<Receiver> backup_receiver_;
    std::vector<RecorderEvent> recorder_;
    std::vector<TroubleEvent> trouble_;
    size_t next_recorder_ = 0;
    size_t next_trouble_ = 0;
    int64_t now_ = 0;

    std::unique_ptr<Courier> courier_;
    std::optional<int64_t> wake_;
    bool tidy_ = false;
    struct Pending {
        delivery::Reply reply;
        PayloadKind kind;
    };
    std::map<std::pair<int64_t, uint64_t>, Pending> replies_;
    std::unordered_map<std::string, std::shared_ptr<const std::string>> payload_of_;  // by guid
    std::unordered_map<int64_t, size_t> id_of_;  // outbox id to alarm
    uint64_t reply_seq_ = 0;
    int64_t watch_period_[2] = {0, 0};
    int64_t watch_next_[2] = {0, 0};

    std::vector<Alarm> alarms_;
    std::vector<size_t> last_intake_;  // alarms of the intake being called
    size_t handing_over_ = SIZE_MAX;   // the first of them, until the courier has them
    int restarts_ = 0;
    int64_t last_restart_ = 0;
    int kill_next_event_ = 0;
    bool opening_ = false;  // the outbox is being opened: its counts walk the table once
    int kill_in_start_ = 0;
    sim::Damage damage_at_start_ = sim::Damage::kNone;
    int64_t trouble_until_ = 0;  // the disk is not healthy before this
    int64_t full_until_ = -1;
    int64_t fault_until_ = -1;
    int64_t lock_until_ = -1;
    sqlite3* lock_holder_ = nullptr;

    // Bounded work.
    int64_t timer_ms_ = -1;
    int timers_at_ms_ = 0;
    int64_t minute_ = 0;
    size_t notes_this_minute_ = 0;
    size_t accepted_this_minute_ = 0;
    size_t accepted_last_minute_ = 0;
    size_t refusals_this_minute_ = 0;
    size_t acknowledged_this_minute_ = 0;
    size_t acknowledged_last_minute_ = 0;
    uint64_t route_changes_at_minute_ = 0;
    uint64_t route_changes_ = 0;  // of the lives before this one
    size_t heap_peak_ = 0;
    int64_t next_placement_ = 0;
    int64_t next_liveness_ = 0;

    std::string violation_;
};

World::World(uint64_t seed, const Settings& settings, Totals& totals)
    : seed_(seed),
      settings_(settings),
      totals_(totals),
      rng_(seed * 0x9E3779B97F4A7C15ull + 1),
      vfs_(FaultVfs::Install()),
      backup_((seed % 2) == 1),
      active_(rng_.Range(std::min<int64_t>(10 * kMinute, static_cast<int64_t>(settings.hours * kHour) / 2),
                         static_cast<int64_t>(settings.hours * kHour))),
      primary_(rng_, true, backup_, active_) {
    dir_ = settings.dir / ("seed-" + std::to_string(seed));
    fs::create_directories(dir_);
    path_ = (dir_ / "outbox.db").string();
    if (backup_) backup_receiver_ = std::make_unique<Receiver>(rng_, false, true, active_);
    if (rng_.Chance(0.6)) options_.window = static_cast<size_t>(rng_.Range(20, 2000));
    if (rng_.Chance(0.3)) options_.max_in_engine = static_cast<size_t>(rng_.Range(1, 64));
    if (rng_.Chance(0.3)) {  // refusals on a short clock, so that the 7-day rule is reached
        options_.refusal_base = std::chrono::seconds(rng_.Range(30, 300));
        options_.refusal_cap = options_.refusal_base * 4;
        options_.refusal_keep = options_.refusal_base * rng_.Range(4, 20);
    }
    options_.seed = static_cast<uint32_t>(seed);
    recorder_ = PlanRecorder(rng_, active_, settings.max_burst);
    trouble_ = PlanTrouble(rng_, active_, settings.trouble);
    if (seed % kRepeatedSalvageEvery == 0) PlanRepeatedSalvage(rng_, active_, settings.max_burst, recorder_, trouble_);
    vfs_.Disarm();
    vfs_.SetSleep([](int) {});
    vfs_.SetObserver([this](FaultVfs::Op) { heap_peak_ = std::max(heap_peak_, HeapInUse()); });
}

World::~World() {
    vfs_.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_IOERR_WRITE);
    courier_.reset();
    vfs_.Disarm();
    vfs_.SetObserver(nullptr);
    vfs_.SetSleep(nullptr);
    if (lock_holder_ != nullptr) sqlite3_close(lock_holder_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

size_t World::InService() const {
    return static_cast<size_t>(std::count_if(alarms_.begin(), alarms_.end(), [](const Alarm& alarm) {
        return alarm.place == Place::kInService && !alarm.refusal_pending;
    }));
}

// --- The service's life ------------------------------------------------------------------------

void World::KillIn(int nth, const std::function<void()>& work) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        int seen = 0;
        vfs_.SetObserver([&seen, nth](FaultVfs::Op) {
            if (++seen >= nth) _exit(0);
        });
        work();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ++totals_.faults;
}

void World::Start() {
    if (damage_at_start_ != sim::Damage::kNone) Damage(damage_at_start_);
    damage_at_start_ = sim::Damage::kNone;
    if (kill_in_start_ > 0) {  // this start dies part way, in a salvage if there is one
        const int nth = kill_in_start_;
        kill_in_start_ = 0;
        KillIn(nth, [this] {
            Courier courier(options_);
            Commands out;
            courier.UseOutbox(At(), std::make_unique<Outbox>(path_), out);
        });
    }
    ++restarts_;
    last_restart_ = now_;
    options_.seed = static_cast<uint32_t>(seed_ * 131 + static_cast<uint64_t>(restarts_));
    courier_ = std::make_unique<Courier>(options_);
    replies_.clear();
    payload_of_.clear();
    wake_.reset();
    opening_ = true;
    Call([this](Commands& out) { courier_->UseOutbox(At(), std::make_unique<Outbox>(path_), out); });
    opening_ = false;
    Call([this](Commands& out) { courier_->SetEndpoint(At(), PathId::kPrimary, kPrimaryUrl, out); });
    if (backup_) Call([this](Commands& out) { courier_->SetEndpoint(At(), PathId::kBackup, kBackupUrl, out); });
    // What was on disk must still be there (or have been found unreadable). A file that
    // cannot be read through is left to the liveness check.
    bool failed = false;
    std::unordered_map<std::string, int64_t> disk = ScanOutbox(&failed);
    for (size_t i = 0; i < alarms_.size() && !failed; ++i) {
        Alarm& alarm = alarms_[i];
        const bool there = disk.count(alarm.payload) != 0;
        if (alarm.place != Place::kInService) continue;
        if (there) continue;
        if (alarm.seen_on_disk) {
            Fail("alarm " + std::to_string(i) + " was readable on disk before the start and is gone after it");
        } else {
            alarm.place = Place::kLost;  // held in memory only: a crash may take it
        }
    }
    Raise(0, true);
    Call([this](Commands& out) { courier_->StartHeartbeat(At(), "heartbeat", out); });
}

void World::Crash(bool clean) {
    CheckPlacement();  // what is on disk now is what the next start must find
    if (clean) {
        Call([this](Commands& out) { courier_->Abandon(At(), {}, out); });
        CheckPlacement();
        route_changes_ += courier_->Stats().route_changes;
        courier_.reset();
    } else {
        // A dead process writes nothing more: no checkpoint, no journal cleaned up.
        vfs_.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_IOERR_WRITE);
        route_changes_ += courier_->Stats().route_changes;
        courier_.reset();
        vfs_.Disarm();
    }
    ++totals_.faults;
    Start();
}

// Bytes of the file overwritten, between two runs. Rows that can still be read by id
// afterwards are the salvage's to recover; the others may be lost.
void World::Damage(sim::Damage kind) {
    std::error_code error;
    const auto size = fs::file_size(path_, error);
    bool failed = false;
    const std::unordered_map<std::string, int64_t> before = ScanOutbox(&failed);
    if (error || failed || size < 3 * 4096) return;
    const int64_t first_leaf = kind == sim::Damage::kFirstLeaf ? FirstLeaf() : -1;
    if (kind == sim::Damage::kFirstLeaf && first_leaf < 0) return;
    {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        if (first_leaf >= 0) {
            file.seekp(first_leaf * 4096);
            for (int i = 0; i < 4096; ++i) file.put(static_cast<char>(rng_.Next()));
        }
        for (int64_t pages = first_leaf >= 0 ? 0 : rng_.Range(1, 3); pages > 0; --pages) {
            // The first pages (the header, the tables' roots and first leaves) are where a
            // walk from the lowest id begins.
            const int64_t last = static_cast<int64_t>(size / 4096) - 1;
            const int64_t page = rng_.Chance(0.3) ? rng_.Range(0, std::min<int64_t>(8, last)) : rng_.Range(1, last);
            const int64_t length = rng_.Range(16, 4096);
            file.seekp(page * 4096 + rng_.Range(0, 4096 - length));
            for (int64_t i = 0; i < length; ++i) file.put(static_cast<char>(rng_.Next()));
        }
    }
    ++totals_.faults;
    std::set<int64_t> ids;
    for (const auto& entry : before) ids.insert(entry.second);
    const std::set<int64_t> readable = ReadableIds(ids);
    for (const auto& entry : before) {
        Alarm* alarm = Find(entry.first);
        if (alarm != nullptr && alarm->place == Place::kInService && readable.count(entry.second) == 0) {
            alarm->place = Place::kLost;
        }
    }
}

// The outbox table's leaf with the lowest ids, as a page index from 0 in the main file;
// -1 when the table is a single page or the file has pages only in its log.
int64_t World::FirstLeaf() {
    if (fs::exists(path_ + "-wal") && fs::file_size(path_ + "-wal") > 0) return -1;
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    int64_t page = -1;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, "unix") == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "SELECT pageno - 1, (SELECT count(*) FROM dbstat WHERE name = 'outbox' AND "
                           "pagetype = 'leaf') FROM dbstat WHERE name = 'outbox' AND pagetype = 'leaf' "
                           "ORDER BY path LIMIT 1",
                           -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW && sqlite3_column_int64(query, 1) > 1) {
        page = sqlite3_column_int64(query, 0);
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return page;
}

// The ids that still read back whole from a copy of the outbox's files.
std::set<int64_t> World::ReadableIds(const std::set<int64_t>& ids) {
    std::set<int64_t> readable;
    const std::string copy = (dir_ / "probe.db").string();
    for (const char* suffix : {"", "-wal"}) {
        std::error_code ignored;
        fs::remove(copy + suffix, ignored);
        fs::copy_file(path_ + suffix, copy + suffix, ignored);
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE, "unix") == SQLITE_OK) {
        sqlite3_stmt* one = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT method, payload, checksum FROM outbox WHERE id = ?1", -1, &one, nullptr) ==
            SQLITE_OK) {
            for (const int64_t id : ids) {
                sqlite3_bind_int64(one, 1, id);
                if (sqlite3_step(one) == SQLITE_ROW) {
                    const std::string method(reinterpret_cast<const char*>(sqlite3_column_blob(one, 0)),
                                             static_cast<size_t>(sqlite3_column_bytes(one, 0)));
                    const std::string payload(reinterpret_cast<const char*>(sqlite3_column_blob(one, 1)),
                                              static_cast<size_t>(sqlite3_column_bytes(one, 1)));
                    if (sqlite3_column_type(one, 2) == SQLITE_NULL ||
                        static_cast<uint32_t>(sqlite3_column_int64(one, 2)) ==
                            outbox_sqlite::Checksum(method, payload)) {
                        readable.insert(id);
                    }
                }
                sqlite3_reset(one);
            }
        }
        sqlite3_finalize(one);
    }
    sqlite3_close(db);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ignored;
        fs::remove(copy + suffix, ignored);
    }
    return readable;
}

// --- Events --------------------------------------------------------------------------------

void World::Call(const std::function<void(Commands&)>& event) {
    if (!courier_) return;
    Commands out;
    ++totals_.events;
    if (kill_next_event_ > 0) {
        const int nth = kill_next_event_;
        kill_next_event_ = 0;
        CheckPlacement();
        KillIn(nth, [&] {
            event(out);
            Commands more;
            if (out.tidy) courier_->OnTidy(At(), more);
        });
        vfs_.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_IOERR_WRITE);
        route_changes_ += courier_->Stats().route_changes;
        courier_.reset();
        vfs_.Disarm();
        Start();
        return;
    }
    WorkWatch::Get().exempt = opening_ || courier_->Stats().outbox_down;
    heap_peak_ = HeapInUse();
    const size_t heap_before = heap_peak_;
    const bool work_clean = WorkWatch::Get().violation.empty();
    event(out);
    WorkWatch::Get().exempt = false;
    for (const delivery::Command& command : out.list) {
        const auto* note = std::get_if<delivery::Note>(&command);
        if (note == nullptr || note->kind != NoteKind::kOutboxSalvaged) continue;
        // A salvage met in the middle of an operation opens the fresh file there, and that
        // opening walks the table once, as every opening does.
        if (work_clean) WorkWatch::Get().violation.clear();
        const size_t bound = (8u << 20) + options_.window * 600;
        if (heap_peak_ - heap_before > bound) {
            Fail("salvage memory: the heap grew by " + std::to_string((heap_peak_ - heap_before) >> 10) +
                 " KiB while salvaging " + std::to_string(note->count) + " rows");
        }
    }
    Execute(out);
}

void World::Execute(Commands& out) {
    for (delivery::Command& command : out.list) {
        if (auto* send = std::get_if<delivery::Send>(&command)) {
            Receiver* receiver = send->path == PathId::kPrimary ? &primary_ : backup_receiver_.get();
            if (receiver == nullptr) {
                Fail("a send to a backup that is not configured");
                continue;
            }
            // The CreateSequence carries no content: its payload was named by the note before it.
            if (send->payload) payload_of_[send->guid] = send->payload;
            auto named = payload_of_.find(send->guid);
            Alarm* alarm = named != payload_of_.end() && send->kind == PayloadKind::kAlarm ? Find(*named->second) : nullptr;
            if (alarm != nullptr && send->step == soap::Step::kCreateSequence) {
                const int64_t base = std::chrono::milliseconds(options_.refusal_base).count();
                if (alarm->refusal_pending && alarm->refused_in_run == restarts_ && now_ - alarm->refused_at < base / 2) {
                    Fail("alarm " + alarm->payload.substr(0, alarm->payload.find('|')) + " refused " +
                         std::to_string((now_ - alarm->refused_at) / kSecond) + " s ago is sent again");
                }
                alarm->refusal_pending = false;
            }
            if (alarm != nullptr && send->step == soap::Step::kCreateSequence) CheckAttempts(*receiver, *alarm, send->path);
            Timed timed = receiver->Answer(*send, now_, transport_);
            replies_[{timed.at, reply_seq_++}] = Pending{std::move(timed.reply), send->kind};
        } else if (auto* note = std::get_if<delivery::Note>(&command)) {
            Note(*note);
        } else if (auto* watch = std::get_if<delivery::Watch>(&command)) {
            const int i = delivery::Index(watch->path);
            watch_period_[i] = std::max<int64_t>(1, watch->period.count());
            watch_next_[i] = now_ + watch_period_[i];
        } else if (auto* stop = std::get_if<delivery::StopWatch>(&command)) {
            watch_period_[delivery::Index(stop->path)] = 0;
        }
    }
    if (out.wake) wake_ = Ms(*out.wake);
    if (out.tidy) tidy_ = true;
}

void World::Note(const delivery::Note& note) {
    if (note.kind > NoteKind::kLastMessageDone) ++notes_this_minute_;
    if (settings_.verbose) {
        std::printf("  %6" PRId64 ".%03" PRId64 " note %d %s %s count %zu number %" PRId64 "\n", now_ / kSecond,
                    now_ % kSecond, static_cast<int>(note.kind), note.guid.c_str(), note.text.c_str(), note.count,
                    note.number);
    }
    if (note.kind == NoteKind::kOutboxSalvaged) ++totals_.salvages;
    if (note.kind == NoteKind::kCreatingSequence && note.payload) {
        payload_of_[note.guid] = note.payload;
    } else if (note.kind == NoteKind::kRefusalDropped) {
        Alarm* alarm = note.payload ? Find(*note.payload) : nullptr;
        if (alarm == nullptr) {
            Fail("an alarm dropped after refusals is not named: id " + std::to_string(note.id));
            return;
        }
        const int64_t kept = At().wall - alarm->first_refused_wall;
        if (kept + 1 < std::chrono::seconds(options_.refusal_keep).count()) {
            Fail("alarm dropped after " + std::to_string(kept) + " s of refusals");
        }
        alarm->place = Place::kDropped;
    } else if (note.kind == NoteKind::kWindowFull || note.kind == NoteKind::kRefusedByCap) {
        // The newest of the intake are turned away, with this line.
        for (size_t n = 0; n < note.count && !last_intake_.empty(); ++n) {
            alarms_[last_intake_.back()].place = Place::kLost;
            last_intake_.pop_back();
        }
    }
}

void World::Raise(size_t count, bool restart) {
    std::vector<Incoming> incoming;
    last_intake_.clear();
    auto alarm = [&] {
        const size_t index = alarms_.size();
        Alarm added;
        added.payload = "A" + std::to_string(index) + "|" + std::string(100, 'x');
        incoming.push_back(Incoming{PayloadKind::kAlarm, added.payload});
        alarms_.push_back(std::move(added));
        last_intake_.push_back(index);
    };
    if (restart) {
        alarm();  // on-line
        incoming.push_back(Incoming{PayloadKind::kRecorderInfo, "recorder"});
        incoming.push_back(Incoming{PayloadKind::kTimeRequest, "time"});
    }
    for (size_t i = 0; i < count; ++i) alarm();
    accepted_this_minute_ += last_intake_.size();
    if (settings_.verbose) std::printf("  %6" PRId64 " raise %zu alarms\n", now_ / kSecond, last_intake_.size());
    totals_.alarms += last_intake_.size();
    handing_over_ = last_intake_.empty() ? SIZE_MAX : last_intake_.front();
    Call([&](Commands& out) { courier_->Intake(At(), std::move(incoming), out); });
    handing_over_ = SIZE_MAX;
    last_intake_.clear();
}

void World::OnTrouble(const TroubleEvent& event) {
    ++totals_.faults;
    if (settings_.verbose) {
        std::printf("  %6" PRId64 " trouble %d op %d nth %d code %d for %" PRId64 " ms damage %d kill-in-start %d\n",
                    now_ / kSecond, static_cast<int>(event.kind), event.op, event.nth, event.code, event.length,
                    static_cast<int>(event.damage), event.kill_in_start);
    }
    trouble_until_ = std::max(trouble_until_, now_);
    switch (event.kind) {
    case Trouble::kFaultOnce:
        vfs_.Arm(static_cast<FaultVfs::Op>(event.op), event.nth, event.code);
        fault_until_ = now_ + kMinute;
        trouble_until_ = std::max(trouble_until_, fault_until_);
        break;
    case Trouble::kDiskFull:
        vfs_.ArmSticky(FaultVfs::Op::kWrite, 1, SQLITE_FULL);
        full_until_ = now_ + event.length;
        trouble_until_ = std::max(trouble_until_, full_until_);
        break;
    case Trouble::kLockHeld:
        if (lock_holder_ != nullptr) break;
        if (sqlite3_open_v2(path_.c_str(), &lock_holder_, SQLITE_OPEN_READWRITE, "unix") != SQLITE_OK ||
            sqlite3_exec(lock_holder_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close(lock_holder_);
            lock_holder_ = nullptr;
            break;
        }
        lock_until_ = now_ + event.length;
        trouble_until_ = std::max(trouble_until_, lock_until_);
        break;
    case Trouble::kKillInEvent:
        kill_next_event_ = event.nth;
        break;
    case Trouble::kCrash:
    case Trouble::kStop:
        damage_at_start_ = event.damage;
        kill_in_start_ = event.kill_in_start;
        Crash(event.kind == Trouble::kStop);
        break;
    }
}

void World::EndTrouble() {
    if (full_until_ >= 0 && full_until_ <= now_) {
        vfs_.Disarm();
        full_until_ = -1;
    }
    if (fault_until_ >= 0 && fault_until_ <= now_) {
        if (full_until_ < 0) vfs_.Disarm();
        fault_until_ = -1;
    }
    if (lock_until_ >= 0 && lock_until_ <= now_) {
        sqlite3_exec(lock_holder_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(lock_holder_);
        lock_holder_ = nullptr;
        lock_until_ = -1;
    }
}

// --- Invariants ------------------------------------------------------------------------------

// The outbox's rows as a second reader sees them (payload to id); the rows set aside as
// damaged count as lost.
std::unordered_map<std::string, int64_t> World::ScanOutbox(bool* failed) {
    std::unordered_map<std::string, int64_t> rows;
    if (failed != nullptr) *failed = false;
    if (!fs::exists(path_)) return rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* scan = nullptr;
    int code = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, "unix");
    if (code == SQLITE_OK) code = sqlite3_prepare_v2(db, "SELECT id, payload FROM outbox", -1, &scan, nullptr);
    while (code == SQLITE_OK && (code = sqlite3_step(scan)) == SQLITE_ROW) {
        const std::string payload(reinterpret_cast<const char*>(sqlite3_column_blob(scan, 1)),
                                  static_cast<size_t>(sqlite3_column_bytes(scan, 1)));
        if (!rows.emplace(payload, sqlite3_column_int64(scan, 0)).second) Fail("an alarm is stored twice: " + payload.substr(0, 12));
        code = SQLITE_OK;
    }
    sqlite3_finalize(scan);
    if (code == SQLITE_DONE) {
        scan = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT id FROM damaged", -1, &scan, nullptr) == SQLITE_OK) {
            while (sqlite3_step(scan) == SQLITE_ROW) {
                auto it = id_of_.find(sqlite3_column_int64(scan, 0));
                if (it != id_of_.end() && alarms_[it->second].place == Place::kInService) alarms_[it->second].place = Place::kLost;
            }
        }
        sqlite3_finalize(scan);
    } else if (failed != nullptr) {
        *failed = true;
    }
    sqlite3_close(db);
    ++totals_.checks;
    return rows;
}

// Invariant 1 and 2: every alarm taken is acknowledged, dropped with its ERROR, in the
// outbox, or held in memory while the outbox is down; and in one place only. Nothing left
// the outbox before its acknowledgement.
void World::CheckPlacement() {
    if (!courier_) return;
    ++totals_.invariants;
    bool failed = false;
    const std::unordered_map<std::string, int64_t> disk = ScanOutbox(&failed);
    if (failed) return;
    std::unordered_set<std::string> memory;
    for (const auto& payload : courier_->UnstoredAlarms()) memory.insert(*payload);
    const delivery::CourierStats stats = courier_->Stats();
    for (size_t i = 0; i < std::min(alarms_.size(), handing_over_) && violation_.empty(); ++i) {
        Alarm& alarm = alarms_[i];
        if (alarm.place != Place::kInService) continue;
        auto on_disk = disk.find(alarm.payload);
        const bool in_memory = memory.count(alarm.payload) != 0;
        const std::string name = "alarm " + std::to_string(i);
        if (on_disk != disk.end() && in_memory) Fail(name + " is both in the outbox and held in memory");
        if (on_disk == disk.end() && !in_memory) {
            Fail(name + (alarm.seen_on_disk ? " left the outbox before it was acknowledged" : " is nowhere"));
        }
        if (in_memory && !stats.outbox_down) Fail(name + " is held in memory while the outbox works");
        if (on_disk != disk.end()) {
            alarm.seen_on_disk = true;
            id_of_[on_disk->second] = i;
        }
    }
}

// Invariant 3: once the receiver and the disk have been healthy for a while, nothing waits.
void World::CheckLiveness(bool final) {
    if (!courier_) return;
    ++totals_.invariants;
    int64_t since = std::max({primary_.HealthySince(now_), trouble_until_, last_restart_});
    if (final) since = 0;
    if (now_ - since < kHealthyFor) return;
    const delivery::CourierStats stats = courier_->Stats();
    if (stats.parked > 0) Fail(std::to_string(stats.parked) + " payloads stay parked while all is healthy");
    if (stats.unstored > 0) Fail(std::to_string(stats.unstored) + " alarms stay in memory while the disk is healthy");
    // The route carries one exchange at a time: alarms raised while a heartbeat is still being
    // answered wait behind it without being stranded.
    if (!replies_.empty() && !final) return;
    const size_t waiting = InService();
    if (waiting == 0) return;
    for (size_t i = 0; i < alarms_.size(); ++i) {
        const Alarm& alarm = alarms_[i];
        if (alarm.place != Place::kInService || alarm.refusal_pending) continue;
        Fail(std::to_string(waiting) + " alarms wait with nothing in flight, e.g. alarm " + std::to_string(i) +
             (alarm.seen_on_disk ? " (on disk)" : " (not seen on disk)"));
        return;
    }
}

// Invariant 6: a receiver that answers within the deadline gets each alarm at most twice
// (a restart may send again what was taken before its delete reached the disk).
void World::CheckAttempts(const Receiver& receiver, Alarm& alarm, PathId path) {
    ++totals_.invariants;
    const Mode mode = receiver.ModeAt(now_);
    if (restarts_ > 1 || (mode != Mode::kUp && mode != Mode::kSlow) || receiver.LatencyAt(now_) >= transport_.deadline) return;
    uint8_t& attempts = alarm.answerable_attempts[delivery::Index(path)];
    if (++attempts > 2) {
        Fail(std::string("a receiver answering within the deadline (") + ModeName(mode) + ", " +
             std::to_string(receiver.LatencyAt(now_)) + " ms) got " + alarm.payload.substr(0, alarm.payload.find('|')) +
             " " + std::to_string(attempts) + " times");
    }
}

// Invariant 4 and the courier's own counts, after every event.
void World::CheckStep() {
    ++totals_.invariants;
    if (!WorkWatch::Get().violation.empty()) Fail(WorkWatch::Get().violation);
    if (!courier_) return;
    const delivery::CourierStats stats = courier_->Stats();
    if (stats.exchanges != replies_.size()) {
        Fail("the courier counts " + std::to_string(stats.exchanges) + " exchanges, " +
             std::to_string(replies_.size()) + " are out");
    }
    if (stats.in_window > options_.window || stats.parked > options_.window) {
        Fail("memory: " + std::to_string(stats.in_window) + " in the window, " + std::to_string(stats.parked) +
             " parked, for a window of " + std::to_string(options_.window));
    }
    if (now_ / kMinute != minute_) {
        const uint64_t changes = route_changes_ + stats.route_changes;
        if (changes - route_changes_at_minute_ > 6) {
            Fail("the route changed " + std::to_string(changes - route_changes_at_minute_) + " times in a minute");
        }
        const size_t bound =
            60 + 4 * (accepted_this_minute_ + accepted_last_minute_ + refusals_this_minute_ +
                      acknowledged_this_minute_ + acknowledged_last_minute_);
        if (notes_this_minute_ > bound) {
            Fail(std::to_string(notes_this_minute_) + " log lines in a minute (at most " + std::to_string(bound) + ")");
        }
        route_changes_at_minute_ = changes;
        notes_this_minute_ = 0;
        accepted_last_minute_ = accepted_this_minute_;
        accepted_this_minute_ = 0;
        refusals_this_minute_ = 0;
        acknowledged_last_minute_ = acknowledged_this_minute_;
        acknowledged_this_minute_ = 0;
        minute_ = now_ / kMinute;
    }
}

// --- The run -----------------------------------------------------------------------------------

void World::OnReply() {
    auto first = replies_.begin();
    Pending pending = std::move(first->second);
    replies_.erase(first);
    const delivery::Reply& reply = pending.reply;
    auto payload = payload_of_.find(reply.guid);
    Alarm* alarm = pending.kind == PayloadKind::kAlarm && payload != payload_of_.end() ? Find(*payload->second) : nullptr;
    if (alarm != nullptr && reply.answer.outcome == soap::Outcome::kDelivered) {
        alarm->place = Place::kAcknowledged;
        ++acknowledged_this_minute_;
    } else if (alarm != nullptr && reply.answer.outcome == soap::Outcome::kRefused) {
        alarm->refusal_pending = true;
        alarm->refused_at = now_;
        alarm->refused_in_run = restarts_;
        if (alarm->first_refused_wall == 0) alarm->first_refused_wall = At().wall;
        ++refusals_this_minute_;
    }
    // Past its application message the exchange needs no payload.
    if (payload != payload_of_.end() && reply.answer.outcome != soap::Outcome::kNextStep) payload_of_.erase(payload);
    Call([&](Commands& out) { courier_->OnReply(At(), reply, out); });
}

std::string World::Run() {
    if (settings_.verbose) {
        for (const Receiver* receiver : {&primary_, backup_receiver_.get()}) {
            if (receiver == nullptr) continue;
            std::printf("  receiver %s:", receiver->profile());
            for (const Period& period : receiver->plan()) {
                std::printf(" %s/%" PRId64 "ms until %" PRId64 "s", ModeName(period.mode), period.latency,
                            period.until == INT64_MAX ? -1 : period.until / kSecond);
            }
            std::printf("\n");
        }
    }
    Start();
    int64_t next_tick = 10 * kSecond;
    int64_t end = active_ + 30 * kMinute;
    while (violation_.empty()) {
        int64_t next = INT64_MAX;
        for (int64_t t : {full_until_, fault_until_, lock_until_}) {
            if (t >= 0) next = std::min(next, t);
        }
        if (next_trouble_ < trouble_.size()) next = std::min(next, trouble_[next_trouble_].at);
        if (next_recorder_ < recorder_.size()) next = std::min(next, recorder_[next_recorder_].at);
        if (!replies_.empty()) next = std::min(next, replies_.begin()->first.first);
        for (int p = 0; p < 2; ++p) {
            if (watch_period_[p] > 0) next = std::min(next, watch_next_[p]);
        }
        if (wake_) next = std::min(next, std::max(*wake_, now_));
        // The end of one turn, when no event of the service is left at this instant: what
        // finished in it goes to disk together, before the checks of the tick look.
        if (tidy_ && next > now_) {
            tidy_ = false;
            Call([&](Commands& out) { courier_->OnTidy(At(), out); });
            CheckStep();
            continue;
        }
        next = std::min(next, next_tick);
        if (next > end) break;
        now_ = std::max(now_, next);
        if ((full_until_ >= 0 && full_until_ <= now_) || (fault_until_ >= 0 && fault_until_ <= now_) ||
            (lock_until_ >= 0 && lock_until_ <= now_)) {
            EndTrouble();
        } else if (next_trouble_ < trouble_.size() && trouble_[next_trouble_].at <= now_) {
            OnTrouble(trouble_[next_trouble_++]);
        } else if (next_recorder_ < recorder_.size() && recorder_[next_recorder_].at <= now_) {
            const RecorderEvent& event = recorder_[next_recorder_++];
            if (event.restart) {
                Raise(1, false);  // off-line
                Raise(0, true);
            } else {
                Raise(event.alarms, false);
            }
        } else if (!replies_.empty() && replies_.begin()->first.first <= now_) {
            OnReply();
        } else if (watch_period_[0] > 0 && watch_next_[0] <= now_) {
            watch_next_[0] = now_ + watch_period_[0];
            if (primary_.Accepts(now_)) Call([&](Commands& out) { courier_->OnPathLooksBack(At(), PathId::kPrimary, out); });
        } else if (watch_period_[1] > 0 && watch_next_[1] <= now_) {
            watch_next_[1] = now_ + watch_period_[1];
            if (backup_receiver_ && backup_receiver_->Accepts(now_)) {
                Call([&](Commands& out) { courier_->OnPathLooksBack(At(), PathId::kBackup, out); });
            }
        } else if (wake_ && *wake_ <= now_) {
            // Invariant 4: no timer armed for "now" again and again.
            timers_at_ms_ = timer_ms_ == now_ ? timers_at_ms_ + 1 : 1;
            timer_ms_ = now_;
            if (timers_at_ms_ > 100) Fail("the courier asks to be woken at the same instant again and again");
            wake_.reset();
            Call([&](Commands& out) { courier_->OnTimer(At(), out); });
        } else {
            next_tick = now_ + 10 * kSecond;
            CheckLiveness(false);
            const size_t rows = courier_ && courier_->outbox() ? courier_->outbox()->Count() : 0;
            if (now_ >= next_placement_) {
                CheckPlacement();
                next_placement_ = now_ + (rows < 5000 ? kMinute : 5 * kMinute);
            }
            if (now_ >= active_) {  // the tail: stop once everything is settled, or its time is up
                int64_t last_refusal = 0;
                bool settled = true;
                for (const Alarm& alarm : alarms_) {
                    if (alarm.place != Place::kInService) continue;
                    settled = false;
                    if (alarm.refusal_pending) last_refusal = std::max(last_refusal, alarm.refused_at);
                }
                const int64_t wait = std::chrono::milliseconds(options_.refusal_cap).count();
                if (last_refusal > 0) end = std::max(end, last_refusal + wait + 5 * kMinute);
                // A drain that moves goes on: one exchange at a time, a large burst takes hours.
                if (acknowledged_this_minute_ + acknowledged_last_minute_ > 0) end = std::max(end, now_ + 5 * kMinute);
                if (settled) break;
            }
        }
        CheckStep();
    }
    if (violation_.empty()) {
        CheckPlacement();
        CheckLiveness(true);
    }
    totals_.simulated_hours += static_cast<double>(now_) / kHour;
    totals_.faults += static_cast<uint64_t>(primary_.Faults(active_));
    if (backup_receiver_) totals_.faults += static_cast<uint64_t>(backup_receiver_->Faults(active_));
    return violation_;
}

}  // namespace
}  // namespace sim
}  // namespace kv

int main(int argc, char** argv) {
    using namespace kv::sim;
    Settings settings;
    uint64_t first = 1, count = 1000, shard = 0, shards = 1;
    std::string setting;  // what a reproducing run needs besides the seed
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--hours" || arg == "--trouble" || arg == "--max-burst") setting += " " + arg + " " + value;
        if (arg == "--seeds") {
            count = std::strtoull(value, nullptr, 10), ++i;
        } else if (arg == "--first") {
            first = std::strtoull(value, nullptr, 10), ++i;
        } else if (arg == "--seed") {
            first = std::strtoull(value, nullptr, 10), count = 1, ++i;
        } else if (arg == "--shard") {
            std::sscanf(value, "%" SCNu64 "/%" SCNu64, &shard, &shards), ++i;
        } else if (arg == "--hours") {
            settings.hours = std::strtod(value, nullptr), ++i;
        } else if (arg == "--trouble") {
            settings.trouble = std::strtod(value, nullptr), ++i;
        } else if (arg == "--max-burst") {
            settings.max_burst = std::strtoull(value, nullptr, 10), ++i;
        } else if (arg == "--verbose") {
            settings.verbose = true;
        } else {
            std::fprintf(stderr, "usage: %s [--seeds N] [--first S] [--seed S] [--shard K/M] [--hours H] "
                         "[--trouble X] [--max-burst N] [--verbose]\n", argv[0]);
            return 2;
        }
    }
    const char* base = std::getenv("WARDEX_SIM_DIR");
    std::string pattern = std::string(base ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp")) +
                          "/wardex-sim-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    settings.dir = pattern;
    sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(&WorkWatch::OnOpen));
    WorkWatch::Get().enabled = true;
    Totals totals;
    uint64_t failures = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        if (shards > 1 && seed % shards != shard) continue;
        WorkWatch::Get().violation.clear();
        std::string violation;
        {
            World world(seed, settings, totals);
            violation = world.Run();
        }
        ++totals.seeds;
        if (!violation.empty()) {
            ++failures;
            std::printf("seed %" PRIu64 ": %s -- reproduce: scripts/simulate --seed %" PRIu64 "%s\n", seed,
                        violation.c_str(), seed, setting.c_str());
            std::fflush(stdout);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(settings.dir, ignored);
    std::printf("%" PRIu64 " seeds, %.1f simulated hours, %" PRIu64 " alarms, %" PRIu64 " faults injected, %" PRIu64
                 " events, %" PRIu64 " salvages, %" PRIu64 " invariant checks, %" PRIu64 " outbox checks, %" PRIu64
                " failed\n",
                totals.seeds, totals.simulated_hours, totals.alarms, totals.faults, totals.events, totals.salvages,
                totals.invariants, totals.checks, failures);
    return failures == 0 ? 0 : 1;
}
