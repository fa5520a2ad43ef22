// wardex-soak: wardex between wardex-nvr-sim and wardex-receiver-sim on 127.0.0.1 while a
// seeded table of faults hits both simulators (and, in the crash runs, wardex itself) and
// events keep flowing; then a drain, and the checks docs/soak.md lists.
//
// scripts/soak builds this program, makes the scratch folder (with a small tmpfs for
// wardex's folder in the --faults run, as root) and runs it; everything the run writes
// stays in that folder. Exit status 0 on a pass, 1 on a failure, 2 for bad options.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "testing/harness/service_rig.h"

namespace kv {
namespace bench {
namespace {

using Json = nlohmann::json;
using harness::Outcome;
namespace fs = std::filesystem;

enum class Mode { kFaults, kCrash, kAllFaults, kOutage };

struct Options {
    Mode mode = Mode::kFaults;
    bool backup = false;
    long minutes = 0;  // 0: the mode's default
    long seconds = 0;  // 0: from minutes
    unsigned long seed = 0;
    long outage_alarms = 2000;
    std::string work;
    bool disk = false;  // work/service is a small disk of its own
};

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool Number(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

const char kUsage[] =
    "usage: wardex-soak --work DIR [--crash [--backup] | --faults [--disk] | --outage [--alarms N]]\n"
    "                   [--minutes N | --seconds N] [--seed N]\n";

int ParseOptions(int argc, char** argv, Options& o) {
    o.seed = static_cast<unsigned long>(::getpid());
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        if (arg == "--crash") o.mode = Mode::kCrash;
        else if (arg == "--faults") o.mode = Mode::kAllFaults;
        else if (arg == "--outage") o.mode = Mode::kOutage;
        else if (arg == "--backup") o.backup = true;
        else if (arg == "--disk") o.disk = true;
        else if (arg == "--work" && value) o.work = argv[++i];
        else if (arg == "--minutes" && value && Number(argv[++i], 1, 100000, n)) o.minutes = n;
        else if (arg == "--seconds" && value && Number(argv[++i], 10, 10000000, n)) o.seconds = n;
        else if (arg == "--seed" && value && Number(argv[++i], 0, 2147483647, n)) o.seed = static_cast<unsigned long>(n);
        else if (arg == "--alarms" && value && Number(argv[++i], 1, 100000, n)) o.outage_alarms = n;
        else {
            std::cerr << "soak: bad option " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (o.work.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    if (o.backup && o.mode != Mode::kCrash) {
        std::cerr << "soak: --backup goes with --crash\n";
        return 2;
    }
    if (o.minutes == 0) o.minutes = (o.mode == Mode::kCrash || o.mode == Mode::kAllFaults) ? 5 : 10;
    return 0;
}

// ------------------------------------------------------------------------------ the run

// An alarm as the receiver shows it: AlarmType|ChannelName|HardDiskNo|DateTime.
std::string AlarmKey(const Json& payload) {
    auto text = [&](const char* name) { return payload.is_object() ? payload.value(name, std::string()) : ""; };
    return text("AlarmType") + "|" + text("ChannelName") + "|" + text("HardDiskNo") + "|" + text("DateTime");
}

// The same key read from a log line that quotes the payload.
std::string AlarmKeyOfText(const std::string& line) {
    auto field = [&](const std::string& name) {
        std::smatch m;
        return std::regex_search(line, m, std::regex("\"" + name + "\":\"([^\"]*)\"")) ? m[1].str() : std::string();
    };
    return field("AlarmType") + "|" + field("ChannelName") + "|" + field("HardDiskNo") + "|" + field("DateTime");
}

struct Event {
    std::string command;
    std::string key;
    long long sent_ms;
};

struct Sample {
    long long second;
    std::string phase;
    long rss;
    int fds;
    double cpu;
};

class Soak {
public:
    explicit Soak(const Options& options) : o_(options), random_(static_cast<uint32_t>(options.seed)) {
        crashing_ = o_.mode == Mode::kCrash || o_.mode == Mode::kAllFaults;
        run_s_ = o_.seconds != 0 ? o_.seconds : o_.minutes * 60;
    }

    int Run();

private:
    long Uniform(long low, long high) { return std::uniform_int_distribution<long>(low, high)(random_); }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[static_cast<size_t>(Uniform(0, static_cast<long>(items.size()) - 1))];
    }

    void Say(const std::string& text);
    void Pass(const std::string& text) { Say("ok:   " + text); }
    void Fail(const std::string& text) {
        Say("FAIL: " + text);
        ++failures_;
    }
    bool Command(const std::string& who, const std::string& line);
    bool Rx(const std::string& line) { return Command("receiver", line); }
    bool Bx(const std::string& line) { return Command("backup", line); }
    bool Nvr(const std::string& line) { return Command("nvr", line); }
    void Count(const std::string& kind) { ++fault_counts_[kind]; }

    Outcome StartReceiver(int port);
    Outcome StartSimulators();
    Outcome StartWardex();
    bool WardexAlive() { return wardex_ && wardex_->running(); }
    std::string Service(const std::string& name) const { return o_.work + "/service/" + name; }
    std::string Logs() const;

    void InjectEvent();
    void InjectBurst();
    void ReceiverFault(long long t);
    void ReceiverFaultAll(long long t);
    void Stall(long long t, const std::vector<std::string>& delays);
    void NvrFault(long long t);
    void NvrDrop();
    void CrashKill(long long t);
    void FillDisk(long long t);
    void FreeDisk();
    void DamageOutbox();
    void TakeSample(const std::string& phase);

    std::multiset<std::string> DeliveredKeys() const;
    std::set<std::string> MissingKeys();
    std::map<std::string, std::string> EventStates();

    int RunOutage();
    void Check(long long end_ms);

    const Options o_;
    std::mt19937 random_;
    bool crashing_ = false;
    long run_s_ = 0;
    int failures_ = 0;
    int command_failures_ = 0;

    std::unique_ptr<harness::ReceiverSim> receiver_;
    std::unique_ptr<harness::ReceiverSim> backup_;
    std::unique_ptr<harness::NvrSim> nvr_;
    std::unique_ptr<harness::Process> wardex_;
    std::string password_;
    std::string ntp_answer_;
    int receiver_port_ = 0;

    mutable std::mutex deliveries_mutex_;
    std::vector<std::string> delivered_;  // alarm keys in arrival order, both receivers
    size_t online_ = 0, offline_ = 0, on_backup_ = 0;
    std::ofstream deliveries_file_;

    std::vector<Event> events_;
    std::vector<long long> drop_times_;
    std::map<std::string, int> fault_counts_;
    std::vector<Sample> samples_;
    bool fds_unreadable_ = false;
    long long start_ms_ = 0;

    long long rx_until_ = 0, nvr_until_ = 0, bx_until_ = 0;
    std::string rx_undo_, nvr_undo_;
    int kills_ = 0, snapshot_failures_ = 0;
    long long disk_until_ = 0, kills_paused_until_ = 0;
    int fills_ = 0;
    size_t usable_before_ = 0;
    int damages_ = 0, damaged_rows_ = 0;
    bool damage_pending_ = false, damage_due_ = false;
    size_t aside_before_ = 0;
    std::set<std::string> damaged_keys_;
};

const std::vector<std::string> kCameras = {"Gate", "Yard", "Loading bay", "Server room"};
// The recorder's own zone is UTC+1, so a receiver zone that names no zone leaves alarm
// times one hour ahead of UTC.
constexpr long kTimeOffset = 3600;

void Soak::Say(const std::string& text) {
    std::cout << "soak: " << text << std::endl;
    std::ofstream(o_.work + "/report.txt", std::ios::app) << "soak: " << text << "\n";
}

// Every command and its answer go to driver.log.
bool Soak::Command(const std::string& who, const std::string& line) {
    std::string reply = "(not running)";
    if (who == "nvr" && nvr_) reply = nvr_->Command(line) ? "ok" : "error";
    if (who == "receiver" && receiver_) reply = receiver_->Command(line);
    if (who == "backup" && backup_) reply = backup_->Command(line);
    std::ofstream(o_.work + "/driver.log", std::ios::app) << NowMs() << " " << who << " " << line << " -> " << reply
                                                          << "\n";
    const bool ok = reply.compare(0, 2, "ok") == 0;
    if (!ok) ++command_failures_;
    return ok;
}

std::string Soak::Logs() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(Service("logs"), ignored)) names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names) all += ReadFile(name);
    return all;
}

// A receiver started again answers the time-zone question as the first one was told to;
// its records go on into the same file.
Outcome Soak::StartReceiver(int port) {
    harness::ReceiverOptions options;
    options.keep_records = false;
    options.lifetime = std::chrono::seconds(0);
    options.error_path = o_.work + "/receiver.err";
    if (port != 0) options.extra_args = {"--port", std::to_string(port)};
    if (!ntp_answer_.empty()) options.extra_args.insert(options.extra_args.end(), {"--ntp", ntp_answer_});
    options.on_record = [this](const Json& record, harness::Clock::time_point) {
        std::lock_guard<std::mutex> lock(deliveries_mutex_);
        deliveries_file_ << record.dump() << "\n";
        if (record.value("method", "") != "SendAlarm") return;
        const Json& payload = record["payload"];
        delivered_.push_back(AlarmKey(payload));
        if (payload.is_object() && payload.value("AlarmType", "") == "5") ++online_;
        if (payload.is_object() && payload.value("AlarmType", "") == "6") ++offline_;
    };
    receiver_ = std::make_unique<harness::ReceiverSim>();
    Outcome started = receiver_->Start(options);
    if (started) receiver_port_ = receiver_->port();
    return started;
}

Outcome Soak::StartSimulators() {
    deliveries_file_.open(o_.work + "/deliveries.jsonl", std::ios::app);
    if (Outcome started = StartReceiver(0); !started) return started;
    if (o_.backup) {
        // On 127.0.0.2, never stopped; now and then it fails every exchange for a while, so
        // that both receivers are sometimes down together.
        harness::ReceiverOptions options;
        options.address = "127.0.0.2";
        options.keep_records = false;
        options.lifetime = std::chrono::seconds(0);
        options.error_path = o_.work + "/backup.err";
        options.on_record = [this](const Json& record, harness::Clock::time_point) {
            std::lock_guard<std::mutex> lock(deliveries_mutex_);
            deliveries_file_ << record.dump() << "\n";
            if (record.value("method", "") != "SendAlarm") return;
            delivered_.push_back(AlarmKey(record["payload"]));
            ++on_backup_;
        };
        backup_ = std::make_unique<harness::ReceiverSim>("127.0.0.2");
        if (Outcome started = backup_->Start(options); !started) return started;
    }
    Json scenario = {{"credentials", {{"user", "soak"}, {"password", password_}}},
                     {"version", "7.4.2.0"},
                     {"serial", "KV-SOAK-0001"},
                     {"description", "Soak recording server"},
                     {"licensed_mac", "02-00-5E-10-00-07"},
                     {"drives", Json::array({{{"index", 0}, {"message", "Drive 0: recording volume 91% full"}}})},
                     {"time_zone", {{"bias", kTimeOffset}, {"name", "(UTC+01:00) Morocco"}}},
                     {"adapters", Json::array({{{"mac", "02:00:5E:10:00:07"}, {"address", "127.0.0.1"}}})},
                     {"loaded_after_ms", 1000}};
    scenario["cameras"] = Json::array();
    for (const std::string& name : kCameras) scenario["cameras"].push_back({{"name", name}});
    harness::NvrOptions nvr;
    nvr.scenario = scenario;
    nvr.folder = o_.work;
    nvr.lifetime = std::chrono::seconds(0);
    nvr.extra_args = {"--seed", std::to_string(o_.seed)};
    nvr_ = std::make_unique<harness::NvrSim>(nvr);
    if (!nvr_->started()) return Outcome::Fail("recorder simulator: " + nvr_->start_error());
    return Outcome::Ok();
}

Outcome Soak::StartWardex() {
    harness::ProcessOptions options;
    options.argv = {harness::DefaultServiceBinary()};
    options.working_directory = o_.work + "/service";
    options.output_path = o_.work + "/console.out";
    options.error_path = o_.work + "/console.err";
    options.stdin_pipe = false;
    wardex_ = std::make_unique<harness::Process>();
    return wardex_->Start(options);
}

// Every event carries its own seconds and milliseconds, so the alarm's DateTime names it
// uniquely (fewer than 1000 events a second).
void Soak::InjectEvent() {
    const long long now = NowMs();
    const long long s = now / 1000;
    const int ms = static_cast<int>(events_.size() % 1000);
    long index = Uniform(0, 3);
    std::string channel = kCameras[static_cast<size_t>(index)], drive, extra;
    int type = 0, status = 1, alarm = 0;
    switch (Uniform(0, 3)) {
        case 0: type = 5; status = static_cast<int>(Uniform(0, 1)) * 3; alarm = status ? 1 : 2; break;
        case 1: type = 6; alarm = 7; break;
        case 2: type = 17; index = 0; alarm = 4; channel.clear(); drive = "0"; break;
        default: {
            type = 92;
            const long w36 = Uniform(0, 1);
            extra = " word20=0 word32=1 word36=" + std::to_string(w36);
            alarm = w36 ? 2 : 1;
        }
    }
    const std::string command = "event " + std::to_string(type) + " index=" + std::to_string(index) +
                                " status=" + std::to_string(status) + " seconds=" + std::to_string(s) +
                                " millis=" + std::to_string(ms) + extra;
    const time_t shown = static_cast<time_t>(s + kTimeOffset);
    struct tm parts {};
    ::gmtime_r(&shown, &parts);
    char date[64];
    std::snprintf(date, sizeof(date), "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, ms);
    events_.push_back({command, std::to_string(alarm) + "|" + channel + "|" + drive + "|" + date, now});
    std::ofstream(o_.work + "/events.tsv", std::ios::app) << command << "\t" << events_.back().key << "\t" << now << "\n";
    Nvr(command);
}

// A burst of events back to back, so that kills also meet a busy outbox.
void Soak::InjectBurst() {
    const long n = Uniform(50, 300);
    for (long i = 0; i < n; ++i) InjectEvent();
    Count("event burst");
}

// ---------------------------------------------------------------------- the fault table

void Soak::ReceiverFault(long long t) {
    if (o_.mode == Mode::kAllFaults) return ReceiverFaultAll(t);
    const std::string step = Pick<std::string>({"create", "app", "last", "all"});
    const std::string times = "times=" + std::to_string(Uniform(1, 4));
    const std::string more = "times=" + std::to_string(std::stol(times.substr(6)) + 1);
    switch (Uniform(0, 9)) {
        case 0:
        case 1: Rx("fault " + step + " status 500 " + times); Count("receiver 500"); break;
        case 2: Rx("fault " + step + " status 202 " + times); Count("receiver 202"); break;
        case 3: Rx("fault " + step + " close " + more); Count("receiver close"); break;
        case 4: Rx("fault " + step + " soap-fault " + times); Count("receiver soap-fault"); break;
        case 5:
            // A 200 answer without what the protocol needs: on the LastMessage it costs
            // nothing, on the first two steps wardex gives that payload up and says so.
            // The crash run wants every alarm delivered, so it answers 503 instead.
            if (crashing_) {
                Rx("fault " + step + " status 503 " + times);
                Count("receiver 503");
                break;
            }
            switch (Uniform(0, 2)) {
                case 0:
                    Rx("fault last " + Pick<std::string>({"malformed", "no-relates"}) + " " + times);
                    Count("receiver unusable LastMessage answer");
                    break;
                case 1:
                    Rx("fault create " + Pick<std::string>({"malformed", "no-relates", "no-identifier"}) + " times=1");
                    Count("receiver unusable CreateSequence answer");
                    break;
                default:
                    Rx("fault app " + Pick<std::string>({"malformed", "no-relates", "no-result"}) + " times=1");
                    Count("receiver unusable application answer");
            }
            break;
        case 6:
        case 7:
            if (rx_until_ == 0) {
                Stall(t, {"300", "1500", "4000", "8000", "15000", "30000"});
            } else {
                Rx("fault " + step + " status 500 " + times);
                Count("receiver 500");
            }
            break;
        default:
            if (rx_until_ == 0) {
                const std::string kind = Pick<std::string>({"status 500", "close", "status 503", "status 202"});
                Rx("fault all " + kind);
                Count("receiver outage (" + kind + ")");
                rx_until_ = t + Uniform(10, 40) * 1000;
                rx_undo_ = "fault all none";
            } else {
                Rx("fault " + step + " close " + more);
                Count("receiver close");
            }
    }
}

// The --faults run: what a receiver, a proxy or a maintenance page in front of it does.
// Every one of these must leave the alarm stored.
void Soak::ReceiverFaultAll(long long t) {
    const std::string step = Pick<std::string>({"create", "app", "last", "all"});
    const long n = Uniform(2, 4);
    const std::string times = "times=" + std::to_string(n);
    switch (Uniform(0, 9)) {
        case 0:
            Rx("fault " + step + " redirect " + Pick<std::string>({"301", "302", "303", "307", "308"}) + " " + times);
            Count("receiver redirect");
            break;
        case 1: Rx("fault " + step + " html " + times); Count("receiver HTML page (200)"); break;
        case 2:
            Rx("fault " + Pick<std::string>({"create", "app"}) + " soap-fault 200 " + times);
            Count("receiver refusal (SOAP fault in 200)");
            break;
        case 3:
            if (Uniform(0, 1) == 0) {
                Rx("fault create no-identifier " + times);
                Count("receiver refusal (no Identifier)");
            } else {
                Rx("fault app no-result " + times);
                Count("receiver refusal (no result)");
            }
            break;
        case 4: Rx("fault " + step + " trickle times=1"); Count("receiver trickle"); break;
        case 5:
        case 6:
            if (rx_until_ == 0) {
                Rx("fault all status 500");
                Count("receiver 500 storm");
                rx_until_ = t + Uniform(10, 40) * 1000;
                rx_undo_ = "fault all none";
            } else {
                Rx("fault " + step + " status 500 " + times);
                Count("receiver 500");
            }
            break;
        case 7: Rx("fault " + step + " status 503 " + times); Count("receiver 503"); break;
        case 8: Rx("fault " + step + " close times=" + std::to_string(n + 1)); Count("receiver close"); break;
        default:
            if (rx_until_ == 0) {
                Stall(t, {"300", "1500", "4000", "8000"});
            } else {
                Rx("fault " + step + " html " + times);
                Count("receiver HTML page (200)");
            }
    }
}

// One step of the receiver held back for a while, one of `delays` milliseconds each time.
void Soak::Stall(long long t, const std::vector<std::string>& delays) {
    const std::string step = Pick<std::string>({"create", "app", "last"});
    Rx("delay " + step + " " + Pick(delays));
    Count("receiver stall");
    rx_until_ = t + Uniform(5, 20) * 1000;
    rx_undo_ = "delay " + step + " 0";
}

void Soak::NvrDrop() {
    Nvr("drop");
    drop_times_.push_back(NowMs());
}

void Soak::NvrFault(long long t) {
    if (nvr_until_ != 0) {
        NvrDrop();
        Count("nvr drop");
        return;
    }
    switch (Uniform(0, 3)) {
        case 0: NvrDrop(); Count("nvr drop"); break;
        case 1: Nvr("accept off"); NvrDrop(); Count("nvr down (accept off)"); nvr_undo_ = "accept on"; break;
        case 2: Nvr("login refuse"); NvrDrop(); Count("nvr login refused"); nvr_undo_ = "login accept"; break;
        default: Nvr("login stall"); NvrDrop(); Count("nvr login stalled"); nvr_undo_ = "login accept";
    }
    if (!nvr_undo_.empty()) nvr_until_ = t + Uniform(5, 25) * 1000;
}

// ------------------------------------------------------------------- the outbox on disk

// SQLite's own check of an outbox file: "ok" when sound.
std::string Integrity(const std::string& path) {
    if (!fs::exists(path)) return "no " + fs::path(path).filename().string();
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK) {
            for (int rows = 0; rows < 3 && sqlite3_step(statement) == SQLITE_ROW; ++rows) {
                result += (result.empty() ? "" : " ") + std::string(reinterpret_cast<const char*>(
                                                            sqlite3_column_text(statement, 0)));
            }
        }
        sqlite3_finalize(statement);
    }
    if (result.empty()) result = sqlite3_errmsg(db);
    sqlite3_close(db);
    return result;
}

size_t SetAside(const std::string& folder) {
    size_t n = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename();
        const bool side = name.size() > 4 && (name.compare(name.size() - 4, 4, "-wal") == 0 ||
                                              name.compare(name.size() - 4, 4, "-shm") == 0);
        if (name.rfind("outbox.db.corrupt-", 0) == 0 && !side) ++n;
    }
    return n;
}

// The crash run: SIGKILL at a random moment, a copy of the outbox files as the kill left
// them checked by SQLite (the copy, so that wardex itself recovers the original), and a
// restart after up to a second.
void Soak::CrashKill(long long t) {
    wardex_->Signal(SIGKILL);
    wardex_->Wait(std::chrono::seconds(10));
    ++kills_;
    // Events on the wire or not yet stored at the kill are guarded like those at a drop.
    drop_times_.push_back(t);
    const std::string snap = o_.work + "/snapshots/" + std::to_string(kills_);
    fs::create_directories(snap);
    std::error_code ignored;
    std::string result = "no outbox.db";
    if (fs::exists(Service("outbox.db"))) {
        fs::copy_file(Service("outbox.db"), snap + "/outbox.db", ignored);
        if (fs::exists(Service("outbox.db-wal"))) fs::copy_file(Service("outbox.db-wal"), snap + "/outbox.db-wal", ignored);
        result = Integrity(snap + "/outbox.db");
    }
    const auto size = [&](const std::string& p) { return fs::exists(p) ? fs::file_size(p, ignored) : 0; };
    // A file the soak damaged itself and wardex has not yet set aside is not judged.
    if (damage_pending_ && SetAside(o_.work + "/service") > aside_before_) damage_pending_ = false;
    if (damage_pending_ && result != "ok") result = "damaged by the soak, not yet set aside: " + result;
    const bool sound = result == "ok" || result.rfind("damaged", 0) == 0;
    if (!sound) ++snapshot_failures_;
    std::ofstream(o_.work + "/kills.tsv", std::ios::app) << kills_ << "\t" << (t - start_ms_) / 1000 << "\t"
                                                         << size(snap + "/outbox.db") << "\t"
                                                         << size(snap + "/outbox.db-wal") << "\t" << result << "\n";
    // The snapshots of sound files are not kept: only their figures.
    if (sound) fs::remove_all(snap, ignored);
    // The --faults run damages the outbox between runs: at every third kill, or at the
    // next one that finds more than one leaf page of alarms.
    if (o_.mode == Mode::kAllFaults && kills_ % 3 == 0) damage_due_ = true;
    if (damage_due_) DamageOutbox();
    std::this_thread::sleep_for(std::chrono::milliseconds(Uniform(0, 9) * 100));
    StartWardex();
}

// The --faults run fills wardex's small disk for 10 to 20 s now and then, while the
// receiver answers 500 to everything and a burst of events comes in, so that the outbox
// must grow. Alarms held in memory meanwhile would be lost by a kill, so no kill comes
// until the outbox says it is usable again, or 65 s after the disk emptied.
void Soak::FillDisk(long long t) {
    {
        std::ofstream filler(Service("filler"), std::ios::binary);
        const std::string block(65536, '\0');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    ++fills_;
    Count("disk full");
    usable_before_ = harness::CountOf(Logs(), "usable again");
    disk_until_ = t + Uniform(10, 20) * 1000;
    kills_paused_until_ = disk_until_ + 65000;
    if (rx_until_ != 0) Rx(rx_undo_);
    Rx("fault all status 500");
    Count("receiver 500 storm");
    rx_until_ = disk_until_ + 5000;
    rx_undo_ = "fault all none";
    InjectBurst();
}

void Soak::FreeDisk() {
    std::remove(Service("filler").c_str());
    disk_until_ = 0;
}

// Cells of one leaf page of the outbox table overwritten with random bytes, its header
// and cell pointers kept, after a kill. The alarms on it are lost by design: their keys
// are excused by the check, and only those.
void Soak::DamageOutbox() {
    const std::string path = Service("outbox.db");
    if (!fs::exists(path)) return;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    auto rows = [db](const std::string& sql) {
        std::vector<std::pair<long long, std::string>> out;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(statement, 1);
                out.emplace_back(sqlite3_column_int64(statement, 0),
                                 text ? reinterpret_cast<const char*>(text) : "");
            }
        }
        sqlite3_finalize(statement);
        return out;
    };
    // The journal the kill left is folded into the file first, so that the damage hits rows.
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    const auto pages = rows("SELECT pageno, '' FROM dbstat WHERE name = 'outbox' AND pagetype = 'leaf'");
    const auto before = rows("SELECT id, payload FROM outbox");
    sqlite3_close(db);
    if (pages.size() < 2 || before.empty()) return;
    const long long page = pages[static_cast<size_t>(Uniform(0, static_cast<long>(pages.size()) - 1))].first;

    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    unsigned char two[2] = {0, 0};
    file.seekg(16).read(reinterpret_cast<char*>(two), 2);
    const long page_size = (two[0] << 8 | two[1]) == 1 ? 65536 : (two[0] << 8 | two[1]);
    const long long start = (page - 1) * page_size;
    file.seekg(start + 5).read(reinterpret_cast<char*>(two), 2);
    const long content = (two[0] << 8 | two[1]) == 0 ? 65536 : (two[0] << 8 | two[1]);
    if (!file || content >= page_size) return;
    std::string noise(static_cast<size_t>(page_size - content), '\0');
    for (char& c : noise) c = static_cast<char>(Uniform(0, 255));
    file.seekp(start + content).write(noise.data(), static_cast<std::streamsize>(noise.size()));
    file.close();

    // The rows a plain read by id no longer finds.
    int lost = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        for (const auto& row : before) {
            if (rows("SELECT id, '' FROM outbox WHERE id = " + std::to_string(row.first)).empty()) {
                damaged_keys_.insert(AlarmKeyOfText(row.second));
                std::ofstream(o_.work + "/damaged_keys.txt", std::ios::app) << AlarmKeyOfText(row.second) << "\n";
                ++lost;
            }
        }
    }
    sqlite3_close(db);
    ++damages_;
    damaged_rows_ += lost;
    damage_pending_ = true;
    damage_due_ = false;
    aside_before_ = SetAside(o_.work + "/service");
    Count("outbox page damaged");
    std::ofstream(o_.work + "/damages.tsv", std::ios::app) << kills_ << "\tpage " << page << " of " << pages.size()
                                                           << "\t" << before.size() << " rows before\t" << lost
                                                           << " lost\n";
}

// wardex makes itself not dumpable: its descriptors are root's to list, and a count of
// 0 must not pass for a flat one.
void Soak::TakeSample(const std::string& phase) {
    if (!wardex_) return;
    const pid_t pid = wardex_->pid();
    const long rss = ResidentKiB(pid);
    if (rss < 0) return;
    const int fds = OpenDescriptors(pid);
    if (fds < 0) fds_unreadable_ = true;
    samples_.push_back({(NowMs() - start_ms_) / 1000, phase, rss, std::max(fds, 0), CpuSeconds(pid)});
    std::ofstream(o_.work + "/samples.tsv", std::ios::app) << samples_.back().second << "\t" << phase << "\t" << rss
                                                           << "\t" << fds << "\t" << samples_.back().cpu << "\n";
}

std::multiset<std::string> Soak::DeliveredKeys() const {
    std::lock_guard<std::mutex> lock(deliveries_mutex_);
    return std::multiset<std::string>(delivered_.begin(), delivered_.end());
}

// Each event's state: "counted" (sent to a logged-in wardex outside a second on either
// side of a dropped connection or a kill), "guarded" (within it: an event on the wire when
// the recorder closed the connection is dropped by design), "offline" (no client logged
// in) or "unsent" (the command was not answered).
std::map<std::string, std::string> Soak::EventStates() {
    std::map<std::string, int> clients;
    int last = 0;
    for (const Json& line : nvr_->Lines()) {
        const std::string event = line.value("event", "");
        if (event == "sent") last = line.value("clients", 0);
        if (event == "command" && line.value("command", "").rfind("event ", 0) == 0) clients[line["command"]] = last;
    }
    std::map<std::string, std::string> states;  // alarm key -> state (the last event with it)
    std::ofstream out(o_.work + "/event_states.tsv", std::ios::trunc);
    for (const Event& e : events_) {
        bool guarded = false;
        for (long long drop : drop_times_) guarded = guarded || (e.sent_ms >= drop - 1000 && e.sent_ms <= drop + 1000);
        const auto found = clients.find(e.command);
        const std::string state = found == clients.end() ? "unsent"
                                  : found->second < 1    ? "offline"
                                  : guarded              ? "guarded"
                                                         : "counted";
        states[e.key] = state;
        out << state << "\t" << e.key << "\n";
    }
    return states;
}

std::set<std::string> Soak::MissingKeys() {
    const std::multiset<std::string> delivered = DeliveredKeys();
    std::set<std::string> missing;
    for (const auto& [key, state] : EventStates()) {
        if (state == "counted" && delivered.count(key) == 0) missing.insert(key);
    }
    return missing;
}

// -------------------------------------------------------------------------- the outage

// The receiver process stops (connections refused) for the whole period; right after,
// the alarms are raised, so that they wait through all of it. Then it comes back on the
// same port. Figures: log lines written while it was away, and the time from its return
// until every alarm arrived.
int Soak::RunOutage() {
    const auto log_lines = [this] { return harness::CountOf(Logs(), "\n"); };
    Say("outage: receiver down for " + std::to_string(run_s_) + " s with " + std::to_string(o_.outage_alarms) +
        " alarms raised at its start");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const size_t lines_before = log_lines();
    receiver_->Stop();
    const long long down_ms = NowMs();
    const size_t first_event = events_.size();
    for (long i = 0; i < o_.outage_alarms; ++i) {
        InjectEvent();
        // At most about 830 a second, so that no two alarms share a DateTime.
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(120));
    }
    const long long raised_ms = NowMs();
    const size_t lines_raised = log_lines();
    Say("outage: " + std::to_string(o_.outage_alarms) + " alarms raised in " + Fixed((raised_ms - down_ms) / 1000.0, 1) +
        " s; " + std::to_string(lines_raised - lines_before) + " log lines meanwhile");
    while (NowMs() - down_ms < run_s_ * 1000 && WardexAlive()) std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string outage_log = Logs();
    const size_t lines_after = harness::CountOf(outage_log, "\n");
    {
        std::istringstream all(outage_log);
        std::ofstream kept(o_.work + "/outage_lines.txt");
        size_t n = 0;
        for (std::string line; std::getline(all, line);) {
            if (++n > lines_before) kept << line << "\n";
        }
    }
    if (Outcome started = StartReceiver(receiver_port_); !started) {
        Fail("the receiver did not start again on port " + std::to_string(receiver_port_) + ": " + started.error());
        return 1;
    }
    const long long up_ms = NowMs();
    std::set<std::string> expected;
    for (size_t i = first_event; i < events_.size(); ++i) expected.insert(events_[i].key);
    size_t arrived = 0;
    long long all_ms = 0;
    while (NowMs() - up_ms < 180000) {
        const std::multiset<std::string> delivered = DeliveredKeys();
        arrived = 0;
        for (const std::string& key : expected) arrived += delivered.count(key) ? 1 : 0;
        if (arrived >= expected.size()) {
            all_ms = NowMs();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const size_t lines_total = log_lines();
    const size_t during = lines_after - lines_before;
    Say("outage: log lines while the receiver was away " + std::to_string(during) + " (" +
        std::to_string(lines_after - lines_raised) + " after the alarms were raised; lines: " + o_.work +
        "/outage_lines.txt)");
    {
        std::ifstream kept(o_.work + "/outage_lines.txt");
        int shown = 0;
        for (std::string line; shown < 40 && std::getline(kept, line); ++shown) Say("    " + line);
    }
    if (static_cast<long>(during) <= 30 + run_s_ / 60) Pass("at most about 30 log lines during the outage (" +
                                                              std::to_string(during) + ")");
    else Fail(std::to_string(during) + " log lines during the outage");
    if (all_ms > 0) {
        const long long took = all_ms - up_ms;
        Say("outage: all " + std::to_string(expected.size()) + " alarms delivered " + Fixed(took / 1000.0, 1) +
            " s after the receiver returned");
        if (took <= 10000) Pass("delivered within 10 s of the return");
        else Fail("delivery took longer than 10 s");
    } else {
        Fail("only " + std::to_string(arrived) + " of " + std::to_string(expected.size()) +
             " alarms arrived within 180 s of the return");
    }
    const std::multiset<std::string> delivered = DeliveredKeys();
    size_t duplicates = 0;
    for (auto it = delivered.begin(); it != delivered.end(); it = delivered.upper_bound(*it)) {
        duplicates += delivered.count(*it) > 1 ? 1 : 0;
    }
    Say("outage: alarms delivered more than once: " + std::to_string(duplicates) +
        "; log lines after the return: " + std::to_string(lines_total - lines_after));
    const harness::ExitStatus status = wardex_->Stop(std::chrono::seconds(20));
    Say("outage: wardex stopped with " + status.ToString() + "; outbox integrity: " + Integrity(Service("outbox.db")));
    if (!status.clean()) ++failures_;
    if (failures_ == 0) {
        Say("PASS (files in " + o_.work + ")");
        return 0;
    }
    Say(std::to_string(failures_) + " check(s) failed (files in " + o_.work + ")");
    return 1;
}

// ---------------------------------------------------------------------------- the main

int Soak::Run() {
    password_ = "soak-" + std::to_string(std::random_device()()) + std::to_string(std::random_device()());
    // The receiver's time-zone answer names no zone: out of range, not a number, or a
    // number past every integer type. wardex asks once, at registration. (" 16" is not
    // among them: the number conversion skips leading blanks, so it is zone 16.)
    const std::string zone = Pick<std::string>({"0", "41", "-16", "99999999999999999999", "16x", ""});
    ntp_answer_ = Json({{"NTPServerIP", "127.0.0.1"}, {"NTPServerPort", "123"}, {"TimeZone", zone},
                        {"UpdateInterval", "3600"}})
                      .dump();
    if (Outcome started = StartSimulators(); !started) {
        std::cerr << "soak: " << started.error() << "\n";
        return 1;
    }
    if (!Rx("ntp " + ntp_answer_)) {
        std::cerr << "soak: the receiver refused the ntp command\n";
        return 1;
    }
    fs::create_directories(o_.work + "/service");
    harness::ServiceConfig config;
    config.user = "soak";
    config.password = password_;
    config.endpoint = receiver_->url();
    if (backup_) config.backup_endpoint = backup_->url();
    config.nvr_port = nvr_->port();
    config.site_number = "SOAK-1";
    config.log_level = o_.mode == Mode::kFaults ? 0 : 1;
    for (const Outcome& step : {harness::WriteServiceFolder(o_.work + "/service", config), StartWardex()}) {
        if (!step) {
            std::cerr << "soak: " << step.error() << "\n";
            return 1;
        }
    }
    const char* modes[] = {"faults", "crash", "allfaults", "outage"};
    Say("scratch folder " + o_.work + " (seed " + std::to_string(o_.seed) + ", receiver TimeZone \"" + zone +
        "\", mode " + modes[static_cast<int>(o_.mode)] + ")");
    Say("recorder 127.0.0.1:" + std::to_string(nvr_->port()) + ", receiver " + receiver_->url() + ", wardex pid " +
        std::to_string(wardex_->pid()));
    if (backup_) Say("backup receiver " + backup_->url());

    // Registration: the recorder description and the first on-line alarm have arrived.
    const bool registered = harness::WaitFor(
        [this] {
            std::lock_guard<std::mutex> lock(deliveries_mutex_);
            return online_ > 0;
        },
        std::chrono::seconds(60));
    if (!registered) {
        std::cerr << "soak: wardex did not register\n";
        return 1;
    }
    start_ms_ = NowMs();
    if (o_.mode == Mode::kOutage) return RunOutage();

    const long long fault_ms = run_s_ * 1000;
    const int tick_ms = 250;
    long long next_rx = start_ms_ + 2000, next_nvr = start_ms_ + 5000, next_sample = start_ms_;
    long long next_kill = start_ms_ + 3000 + Uniform(0, 7999), next_burst = start_ms_ + 5000 + Uniform(0, 9999);
    long long next_bx = start_ms_ + 15000 + Uniform(0, 14999);
    long long next_fill = start_ms_ + 20000 + Uniform(0, 19999);
    TakeSample("idle");
    if (o_.mode == Mode::kAllFaults) {
        next_nvr = start_ms_ + fault_ms * 2;
        Say("redirects, HTML pages, refusals, 500 storms, trickles, stalls, " +
            std::string(o_.disk ? "a full disk now and then" : "no full disk (not root)") +
            ", events, bursts and SIGKILL every 3 to 11 s with outbox damage at every 3rd, for " +
            std::to_string(run_s_) + " s; then a restart and a drain of up to 180 s");
    } else if (o_.mode == Mode::kCrash) {
        next_nvr = start_ms_ + fault_ms * 2;  // the recorder stays up: wardex's restarts are the fault
        Say("receiver faults, events and SIGKILL every 3 to 11 s for " + std::to_string(run_s_) +
            " s (an event every 250 ms, bursts of 50 to 300), then a drain of up to 120 s");
    } else {
        Say("faults and events for " + std::to_string(run_s_) + " s (an event every 250 ms), then a drain of up to 120 s");
    }

    for (;;) {
        const long long t = NowMs();
        if (t - start_ms_ >= fault_ms || !WardexAlive()) break;
        InjectEvent();
        if (rx_until_ && t >= rx_until_) {
            Rx(rx_undo_);
            rx_until_ = 0;
        }
        if (nvr_until_ && t >= nvr_until_) {
            Nvr(nvr_undo_);
            nvr_until_ = 0;
            nvr_undo_.clear();
        }
        if (t >= next_rx) {
            ReceiverFault(t);
            next_rx = t + Uniform(2, 8) * 1000;
        }
        if (backup_) {
            if (bx_until_ && t >= bx_until_) {
                Bx("fault all none");
                bx_until_ = 0;
            }
            if (t >= next_bx) {
                if (bx_until_ == 0) {
                    Bx("fault all " + Pick<std::string>({"status 503", "close"}));
                    Count("backup outage");
                    bx_until_ = t + Uniform(5, 20) * 1000;
                }
                next_bx = t + Uniform(20, 50) * 1000;
            }
        }
        if (t >= next_nvr) {
            NvrFault(t);
            next_nvr = t + Uniform(15, 45) * 1000;
        }
        if (t >= next_sample) {
            TakeSample("faults");
            next_sample = t + 5000;
        }
        if (o_.disk) {
            if (disk_until_ == 0 && t >= next_fill) FillDisk(t);
            if (disk_until_ && t >= disk_until_) {
                FreeDisk();
                next_fill = t + 40000 + Uniform(0, 29999);
            }
            if (kills_paused_until_ && !disk_until_) {
                // The outbox's last word must be that it works again.
                const std::string log = Logs();
                const size_t unusable = log.rfind("unusable ("), usable = log.rfind("usable again");
                if (harness::CountOf(log, "usable again") > usable_before_ && usable != std::string::npos &&
                    (unusable == std::string::npos || usable > unusable)) {
                    kills_paused_until_ = 0;
                }
            }
        }
        if (crashing_) {
            if (t >= next_burst) {
                InjectBurst();
                next_burst = t + 10000 + Uniform(0, 9999);
            }
            if (t >= next_kill && t >= kills_paused_until_) {
                CrashKill(NowMs());
                next_kill = NowMs() + 3000 + Uniform(0, 7999);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(tick_ms));
    }

    // Drain: every fault off, events on for 30 s more, then quiet until every counted
    // alarm arrived. wardex's retry back-off tops out at 60 s, so 120 s is enough.
    Rx("clear");
    Nvr("accept on");
    Nvr("login accept");
    if (backup_) Bx("clear");
    rx_until_ = nvr_until_ = 0;
    if (o_.mode == Mode::kAllFaults) {
        // Room on the disk, and a restart: a start tries every refused alarm again at once.
        FreeDisk();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const harness::ExitStatus restart = wardex_->Stop(std::chrono::seconds(20));
        drop_times_.push_back(NowMs());
        StartWardex();
        Say("drain: wardex stopped with " + restart.ToString() + " and started again to retry refused alarms");
    }
    const long long drain_start = NowMs();
    Say("drain: faults off at " + std::to_string((drain_start - start_ms_) / 1000) + " s");
    while (NowMs() - drain_start < 30000 && WardexAlive()) {
        InjectEvent();
        if (NowMs() >= next_sample) {
            TakeSample("drain");
            next_sample = NowMs() + 5000;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(tick_ms));
    }
    const long long quiet_start = NowMs();
    const long long drain_limit = o_.mode == Mode::kAllFaults ? 180000 : 120000;
    while (NowMs() - drain_start < drain_limit && WardexAlive()) {
        if (NowMs() >= next_sample) {
            TakeSample("drain");
            next_sample = NowMs() + 5000;
        }
        size_t missing = 0;
        for (const std::string& key : MissingKeys()) missing += damaged_keys_.count(key) ? 0 : 1;
        if (missing == 0 && NowMs() - quiet_start >= 10000) break;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    TakeSample("end");
    Check(NowMs());
    Say("faults injected:");
    for (const auto& [kind, n] : fault_counts_) {
        char line[128];
        std::snprintf(line, sizeof(line), "  %-42s %d", kind.c_str(), n);
        Say(line);
    }
    if (command_failures_ != 0) {
        Say("note: " + std::to_string(command_failures_) + " simulator commands were not answered ok (driver.log)");
    }
    if (failures_ == 0) {
        Say("PASS (files in " + o_.work + ")");
        return 0;
    }
    Say(std::to_string(failures_) + " check(s) failed (files in " + o_.work + ")");
    return 1;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

void Soak::Check(long long end_ms) {
    const std::string log = Logs();
    // 1. Delivery. Payloads wardex gave up after a 200 answer it could not use are each
    // logged with their identifier, and the payload is in the VERBOSE line of that identifier.
    const std::set<std::string> missing = MissingKeys();
    std::set<std::string> abandoned_ids, abandoned;
    const std::regex given_up("Unexpected/Invalid XML response, abandoning request ([0-9a-f-]{36})");
    for (std::sregex_iterator it(log.begin(), log.end(), given_up), end; it != end; ++it) abandoned_ids.insert((*it)[1]);
    {
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            for (const std::string& id : abandoned_ids) {
                if (line.find(id + ": Payload: ") != std::string::npos) abandoned.insert(AlarmKeyOfText(line));
            }
        }
    }
    size_t explained = 0, silent = 0, lost_damaged = 0, lost_other = 0;
    {
        std::ofstream silent_list(o_.work + "/missing_keys.txt");
        for (const std::string& key : missing) {
            silent_list << key << "\n";
            (abandoned.count(key) ? explained : silent) += 1;
            (damaged_keys_.count(key) ? lost_damaged : lost_other) += 1;
        }
    }
    const std::map<std::string, std::string> states = EventStates();
    std::map<std::string, size_t> by_state;
    for (const auto& [key, state] : states) ++by_state[state];
    const std::multiset<std::string> delivered = DeliveredKeys();
    // Near a drop the camera-name read may fail as the connection closes: the alarm then
    // arrives with an empty name, so those events are matched by type and time alone.
    auto loose = [](const std::string& key) {
        return key.substr(0, key.find('|')) + "|" + key.substr(key.rfind('|') + 1);
    };
    std::set<std::string> delivered_loose;
    for (const std::string& key : delivered) delivered_loose.insert(loose(key));
    size_t guarded_exact = 0, guarded_unnamed = 0, guarded_given_up = 0;
    for (const auto& [key, state] : states) {
        if (state != "guarded") continue;
        if (delivered.count(key)) ++guarded_exact;
        else if (delivered_loose.count(loose(key))) ++guarded_unnamed;
        else if (abandoned.count(key)) ++guarded_given_up;
    }
    size_t duplicates = 0, distinct = 0;
    for (auto it = delivered.begin(); it != delivered.end(); it = delivered.upper_bound(*it)) {
        ++distinct;
        duplicates += delivered.count(*it) > 1 ? 1 : 0;
    }
    const size_t counted = by_state["counted"];
    Say("events injected " + std::to_string(events_.size()) + ": " + std::to_string(counted) +
        " sent to a logged-in wardex and counted, " + std::to_string(by_state["offline"]) +
        " while it was not logged in, " + std::to_string(by_state["guarded"]) + " within 1 s of a drop or kill (" +
        std::to_string(guarded_exact) + " arrived, " + std::to_string(guarded_unnamed) +
        " more without the camera name, " + std::to_string(guarded_given_up) +
        " given up after an unusable answer), " + std::to_string(by_state["unsent"]) + " unanswered commands");
    {
        std::lock_guard<std::mutex> lock(deliveries_mutex_);
        Say("SendAlarm deliveries " + std::to_string(delivered_.size()) + " (on-line " + std::to_string(online_) +
            ", off-line " + std::to_string(offline_) + ", alarms delivered more than once " +
            std::to_string(duplicates) + ")");
        if (backup_) Say("of them on the backup: " + std::to_string(on_backup_));
    }
    if (o_.mode == Mode::kAllFaults) {
        if (lost_other == 0) {
            Pass("every counted alarm arrived but those on damaged outbox pages (" +
                 std::to_string(counted - missing.size()) + " of " + std::to_string(counted) + "; " +
                 std::to_string(lost_damaged) + " on the " + std::to_string(damages_) + " damaged pages, whose " +
                 std::to_string(damaged_rows_) + " rows a plain read no longer finds)");
        } else {
            Fail(std::to_string(lost_other) + " counted alarms never arrived (list: " + o_.work +
                 "/missing_keys.txt; " + std::to_string(explained) + " of them logged as given up)");
        }
    } else if (silent == 0) {
        Pass("every counted alarm arrived (" + std::to_string(counted - missing.size()) + " of " +
             std::to_string(counted) + "; " + std::to_string(explained) +
             " given up after an unusable 200 answer, each logged with its identifier)");
    } else {
        Fail(std::to_string(silent) + " counted alarms never arrived and no log line gave them up (list: " + o_.work +
             "/missing_keys.txt)");
    }

    // 2. Still running.
    if (WardexAlive()) Pass("wardex still running after " + std::to_string((end_ms - start_ms_) / 1000) + " s");
    else Fail("wardex is no longer running");

    // 3. Memory and descriptors after the warm-up, the fault-phase samples cut in thirds.
    // RSS: the median of the last third, and the value at the end of the drain, exceed the
    // median of the first third by at most 2 MiB or 5 %, whichever is larger. Descriptors:
    // the median of the last third exceeds that of the first by at most 4; at the end at
    // most 8 more are open than when idle (keep-alive connections libcurl caches); never
    // more than the idle count plus the engine's 64 connections per host plus 8.
    const long warmup_s = std::min<long>(o_.minutes * 60 / 4, 120);
    std::vector<double> rss, fds;
    double idle_rss = 0, idle_fd = 0, end_rss = 0, end_fd = 0, max_rss = 0, max_fd = 0, cpu = 0;
    for (const Sample& s : samples_) {
        if (s.phase == "idle") idle_rss = s.rss, idle_fd = s.fds;
        if (s.phase == "faults" && s.second >= warmup_s) rss.push_back(s.rss), fds.push_back(s.fds);
        if (s.phase != "idle") max_rss = std::max<double>(max_rss, s.rss), max_fd = std::max<double>(max_fd, s.fds);
        if (s.phase == "end") end_rss = s.rss, end_fd = s.fds, cpu = s.cpu;
    }
    const size_t third = std::max<size_t>(rss.size() / 3, 1);
    auto median_of = [&](const std::vector<double>& v, bool last) {
        if (v.empty()) return 0.0;
        const size_t n = std::min(third, v.size());
        return last ? Median({v.end() - static_cast<long>(n), v.end()}) : Median({v.begin(), v.begin() + static_cast<long>(n)});
    };
    const double rss_a = median_of(rss, false), rss_b = median_of(rss, true);
    const double fd_a = median_of(fds, false), fd_b = median_of(fds, true);
    const double slack = std::max(rss_a / 20, 2048.0);
    const bool flat = rss.size() >= 3 && rss_b <= rss_a + slack && end_rss <= rss_a + slack && fd_b <= fd_a + 4 &&
                      end_fd <= idle_fd + 8 && max_fd <= idle_fd + 72;
    Say("RSS (kB): idle " + Fixed(idle_rss, 0) + ", first third after warm-up " + Fixed(rss_a, 0) + ", last third " +
        Fixed(rss_b, 0) + ", end " + Fixed(end_rss, 0) + ", peak " + Fixed(max_rss, 0));
    Say("descriptors: idle " + Fixed(idle_fd, 0) + ", first third " + Fixed(fd_a, 0) + ", last third " + Fixed(fd_b, 0) +
        ", end " + Fixed(end_fd, 0) + ", peak " + Fixed(max_fd, 0) + " (" + std::to_string(rss.size()) +
        " samples after a " + std::to_string(warmup_s) + " s warm-up)");
    Say("wardex CPU time " + Fixed(cpu, 2) + " s over " + std::to_string((end_ms - start_ms_) / 1000) + " s");
    if (crashing_) {
        Say("memory and descriptors: not judged, wardex was restarted " + std::to_string(kills_) + " times (samples: " +
            o_.work + "/samples.tsv)");
    } else if (fds_unreadable_) {
        Fail("descriptors not judged: /proc/<wardex>/fd cannot be read (run the soak as root)");
    } else if (flat) {
        Pass("memory and descriptors flat after the warm-up");
    } else {
        Fail("memory or descriptors grew after the warm-up (samples: " + o_.work + "/samples.tsv)");
    }

    // 4. The password appears in no log file and on neither console stream.
    const std::string consoles = ReadFile(o_.work + "/console.out") + ReadFile(o_.work + "/console.err");
    if (log.find(password_) != std::string::npos || consoles.find(password_) != std::string::npos) {
        Fail("the password appears in wardex's log or console");
    } else {
        Pass("no log or console line holds the password (" + std::to_string(harness::CountOf(log, "\n")) +
             " log lines, " + std::to_string(harness::CountOf(log, " ERROR ")) + " ERROR)");
    }
    if (ReadFile(Service("wardex.json")).find(password_) != std::string::npos) {
        Say("note: wardex.json still holds the plain password (the identity script could not run through sudo -n here)");
    }

    // 5. The receiver saw every request well-formed. One exception: when the receiver acts
    // on an application message or LastMessage and then closes the keep-alive connection
    // without answering (the "close" fault), libcurl sends the same request again on a new
    // connection: a duplicate message (and the LastMessage then out of order) or a message
    // for a sequence already closed. Those are accepted only after such faults.
    const Json stats = receiver_->Stats();
    Say("receiver: ok " + stats.dump());
    std::set<std::string> duplicated;
    std::vector<std::string> violations;
    {
        std::istringstream lines(ReadFile(o_.work + "/receiver.err"));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("violation ", 0) != 0) continue;
            violations.push_back(line);
            if (line.rfind("violation duplicate-message: ", 0) == 0) {
                std::istringstream words(line);
                std::string a, b, sequence;
                words >> a >> b >> sequence;
                duplicated.insert(sequence);
            }
        }
    }
    size_t repeats = 0, others = 0;
    {
        std::ofstream unexplained(o_.work + "/violations_unexplained.txt");
        for (const std::string& line : violations) {
            std::istringstream words(line);
            std::vector<std::string> w;
            for (std::string word; words >> word;) w.push_back(word);
            const std::string& kind = w.size() > 1 ? w[1] : line;
            if (kind == "duplicate-message:" || kind == "unknown-sequence:" ||
                (kind == "order:" && duplicated.count(w.back()))) {
                ++repeats;
            } else {
                ++others;
                unexplained << line << "\n";
            }
        }
    }
    const std::string driver = ReadFile(o_.work + "/driver.log");
    const size_t close_faults = harness::CountOf(driver, "receiver fault app close") +
                                harness::CountOf(driver, "receiver fault last close") +
                                harness::CountOf(driver, "receiver fault all close");
    if (!stats.contains("violations")) {
        Fail("the receiver did not answer the stats command");
    } else if (others > 0 || repeats + others != stats["violations"].get<size_t>()) {
        Fail("the receiver counted protocol violations (" + o_.work + "/violations_unexplained.txt)");
    } else if (repeats > 0 && close_faults == 0) {
        Fail("the receiver saw " + std::to_string(repeats) + " repeated messages without any close fault");
    } else {
        Pass("no protocol violation at the receiver (" + std::to_string(repeats) +
             " from libcurl repeating a request after " + std::to_string(close_faults) +
             " close faults on the application or LastMessage step)");
    }

    // 6. An ordered stop.
    bool clean = true;
    const harness::ExitStatus status = wardex_->Stop(std::chrono::seconds(20), &clean);
    if (!clean) Fail("wardex did not stop within 20 s of SIGTERM");
    const bool bye = ReadFile(o_.work + "/console.out").find("Bye") != std::string::npos;
    if (status.clean() && bye) Pass("SIGTERM: exit status 0 and \"Bye\"");
    else Fail("SIGTERM: " + status.ToString() + ", \"Bye\" " + (bye ? "printed" : "missing"));

    // 7. The crash run: enough kills, and every outbox file SQLite could check was sound.
    if (!crashing_) return;
    const long wanted = o_.mode == Mode::kAllFaults ? run_s_ * 8 / 300 : run_s_ * 20 / 300;
    if (kills_ >= wanted) {
        Pass("wardex killed with SIGKILL and restarted " + std::to_string(kills_) + " times in " +
             std::to_string(run_s_) + " s (at least " + std::to_string(wanted) + ")");
    } else {
        Fail("only " + std::to_string(kills_) + " kills in " + std::to_string(run_s_) + " s (at least " +
             std::to_string(wanted) + " wanted)");
    }
    if (snapshot_failures_ == 0) {
        Pass("PRAGMA integrity_check ok on the outbox as each of the " + std::to_string(kills_) + " kills left it (" +
             o_.work + "/kills.tsv)");
    } else {
        Fail(std::to_string(snapshot_failures_) + " of " + std::to_string(kills_) +
             " outbox snapshots failed the integrity check (kept in " + o_.work + "/snapshots)");
    }
    const std::string final_check = Integrity(Service("outbox.db"));
    if (final_check == "ok") Pass("PRAGMA integrity_check ok on outbox.db after the stop");
    else Fail("outbox.db after the stop: " + final_check);
    const std::string final_log = Logs();
    const size_t aside = SetAside(o_.work + "/service");
    if (o_.mode == Mode::kAllFaults) {
        const size_t salvages = harness::CountOf(final_log, "alarms recovered from the damaged file");
        if (aside <= static_cast<size_t>(damages_) && salvages == aside) {
            Pass("outbox damaged " + std::to_string(damages_) + " times between runs: " + std::to_string(aside) +
                 " damaged files kept aside, " + std::to_string(salvages) + " salvage ERROR lines");
        } else {
            Fail("outbox damaged " + std::to_string(damages_) + " times, but " + std::to_string(aside) +
                 " files set aside and " + std::to_string(salvages) + " salvage lines");
        }
        Say("disk filled " + std::to_string(fills_) + " times; outbox lines: " +
            std::to_string(harness::CountOf(final_log, "unusable (")) + " unusable, " +
            std::to_string(harness::CountOf(final_log, "usable again")) + " usable again; refusals kept: " +
            std::to_string(harness::CountOf(final_log, "refused by the receiver")));
    } else if (aside == 0) {
        Pass("no outbox file was set aside as unusable");
    } else {
        Fail(std::to_string(aside) + " outbox file(s) set aside");
    }
    {
        std::lock_guard<std::mutex> lock(deliveries_mutex_);
        Say("alarms delivered more than once: " + std::to_string(duplicates) + " distinct alarms, " +
            std::to_string(delivered_.size() - distinct) + " extra deliveries");
    }
    if (backup_) {
        const size_t switches = harness::CountOf(final_log, "Primary receiver unreachable (");
        const size_t returns = harness::CountOf(final_log, "Primary receiver answers again after ");
        Say("route: " + std::to_string(switches) + " switches to the backup, " + std::to_string(returns) +
            " returns to the primary");
        if (switches >= 1) Pass("the alarms switched to the backup " + std::to_string(switches) + " times");
        else Fail("the alarms never switched to the backup");
        const Json backup_stats = backup_->Stats();
        Say("backup receiver: ok " + backup_stats.dump());
        const std::string errors = ReadFile(o_.work + "/backup.err");
        const size_t backup_repeats = harness::CountOf(errors, "violation duplicate-message:") +
                                      harness::CountOf(errors, "violation unknown-sequence:") +
                                      harness::CountOf(errors, "violation order:");
        if (backup_stats.contains("violations") && backup_stats["violations"].get<size_t>() == backup_repeats) {
            Pass("no protocol violation at the backup receiver (" + std::to_string(backup_repeats) +
                 " from libcurl repeating a request after a close fault)");
        } else {
            Fail("the backup receiver counted protocol violations (" + o_.work + "/backup.err)");
        }
    }
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main(int argc, char** argv) {
    kv::bench::Options options;
    if (const int bad = kv::bench::ParseOptions(argc, argv, options); bad != 0) return bad;
    // A simulator's command connection closing under a write must not end the run.
    ::signal(SIGPIPE, SIG_IGN);
    return kv::bench::Soak(options).Run();
}
