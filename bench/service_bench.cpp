// The service from end to end, with wardex-nvr-sim and wardex-receiver-sim as real
// processes on 127.0.0.1. One figure per run:
//
//   wardex-bench-service latency    100 alarms/s for 30 s: raise-to-arrival p50, p99, max
//   wardex-bench-service burst      20000 alarms at once: exactly-once, drain time, peak
//                                   descriptors and memory, CPU per delivered payload
//   wardex-bench-service memory     20000 alarms against a receiver that never answers,
//                                   then its recovery: peak memory, return to idle
//   wardex-bench-service idle       CPU used over 60 s connected, no events
//   wardex-bench-service stored     1000000 alarms in the outbox: resident size with the
//                                   receiver refusing, then while it takes them
//   wardex-bench-service callgrind FILE [COUNT]
//                                   the service under callgrind delivering COUNT alarms;
//                                   the profile is copied to FILE
//
// Each prints its rows for scripts/bench, with the baseline measured in the same run.
// With $WARDEX_BENCH_BASELINE_SERVICE naming another build of wardex (scripts/bench builds
// the service as it was before the outbox), the burst also runs against that one, so
// that throughput and CPU per alarm stand beside their former values.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "bench/bench_support.h"
#include "bench/load_client.h"
#include "bench/service_rig.h"
#include "src/http_work_queue.h"
#include "src/soap/soap_messages.h"

namespace kv {
namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The raw client's payload: the same size and shape as the service's alarms.
const char kAlarmPayload[] =
    R"({"SiteNo":"S-42","IPAddress":"127.0.0.1","MACAddress":"00:1A:2B:3C:4D:5E","ChannelNo":"",)"
    R"("ChannelName":"Door","AlarmType":"1","AlarmDetails":"","RecorderName":"Bench recorder",)"
    R"("HardDiskNo":"","DateTime":"2024-03-05 07:08:09.123","Comments":"Door"})";

// The receiver's raw capacity in POSTs per second as wrk measures it: keep-alive, 64
// connections, two threads, for `duration`, each POST the CreateSequence document of one
// payload. 0 when wrk is missing or printed no rate.
double WrkPostsPerSecond(const std::string& url, std::chrono::seconds duration) {
    ScratchDir dir;
    std::string document;
    soap::detail::MessageCreateSequence("aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa", url, document);
    const std::string script = dir.File("post.lua");
    if (!WriteFile(script, "wrk.method = \"POST\"\nwrk.headers[\"Content-Type\"] = \"" +
                                   std::string(soap::kSoapContentType) + "\"\nwrk.body = [==[" + document + "]==]\n")) {
        return 0.0;
    }
    const std::string command = "timeout " + std::to_string(duration.count() + 30) + " wrk -t2 -c" +
                                std::to_string(http::kMaxConnectionsPerHost) + " -d" +
                                std::to_string(duration.count()) + "s -s " + script + " " + url + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return 0.0;
    double rate = 0.0;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        if (std::strncmp(line, "Requests/sec:", 13) == 0) rate = std::strtod(line + 13, nullptr);
        if (std::strstr(line, "Non-2xx") != nullptr) Note(std::string("wrk: ") + line);
    }
    ::pclose(pipe);
    return rate;
}

std::string MiB(long kib) { return Fixed(static_cast<double>(kib) / 1024.0, 1); }

// Raises alarms 0..count-1 on an absolute schedule (or all at once for a zero interval).
void RaiseAll(ServiceRig& rig, size_t count, std::chrono::microseconds interval) {
    const Clock::time_point begun = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        if (interval.count() > 0) std::this_thread::sleep_until(begun + interval * static_cast<long>(i));
        rig.Raise(i);
    }
}

// Raise-to-arrival latencies of 3000 alarms raised at 100 per second; empty on failure.
std::vector<double> ServiceLatencies(const std::vector<std::string>& nvr_environment, std::string& url_out,
                                     std::function<void(ServiceRig&)> also, const std::string& binary = {}) {
    constexpr size_t kCount = 3000;  // 30 s at 100 per second
    RigOptions options;
    options.capacity = kCount;
    options.nvr_environment = nvr_environment;
    if (!binary.empty()) options.service_binary = binary;
    ServiceRig rig(options);
    if (!rig.Start()) return {};
    std::this_thread::sleep_for(seconds(2));
    RaiseAll(rig, kCount, std::chrono::microseconds(10000));
    rig.WaitForDelivered(kCount, seconds(30));
    std::vector<double> latencies = rig.LatenciesMs(kCount);
    if (latencies.size() != kCount) {
        Note("latency: only " + std::to_string(latencies.size()) + " of " + std::to_string(kCount) + " arrived");
        latencies.clear();
    }
    url_out = rig.receiver().url();
    if (also) also(rig);
    return latencies;
}

int Latency() {
    // Baseline: the same three POSTs at the same pace from the plain client, measured
    // to the application message's answer, against the same receiver.
    LoadResult raw;
    std::string url;
    const std::vector<double> service = ServiceLatencies({}, url, [&raw](ServiceRig& rig) {
        LoadClient client(rig.receiver().url(), "SendAlarm", kAlarmPayload);
        raw = client.RunPaced(1000, std::chrono::microseconds(10000), seconds(60));
    });

    const double b50 = Percentile(raw.latencies_ms, 50), b99 = Percentile(raw.latencies_ms, 99),
                 bmax = Percentile(raw.latencies_ms, 100);
    const auto rows = [&](const std::string& label, const std::vector<double>& values) {
        const bool all = !values.empty();
        const double p50 = Percentile(values, 50), p99 = Percentile(values, 99), max = Percentile(values, 100);
        Row("2 Latency p50, ms" + label, Fixed(p50, 2), Fixed(b50, 2), p50 / b50, "<= 2", all && p50 <= 2.0 ? "met" : "MISSED");
        Row("2 Latency p99, ms" + label, Fixed(p99, 2), Fixed(b99, 2), p99 / b99, "<= 10", all && p99 <= 10.0 ? "met" : "MISSED");
        Row("2 Latency max, ms" + label, Fixed(max, 2), Fixed(bmax, 2), max / bmax, "-", "-");
    };
    rows(" (100/s for 30 s)", service);
    const char* former_binary = ::getenv("WARDEX_BENCH_BASELINE_SERVICE");
    if (former_binary != nullptr && *former_binary != '\0') {
        std::string former_url;
        const std::vector<double> former = ServiceLatencies({}, former_url, nullptr, former_binary);
        const double p99 = Percentile(service, 99), f99 = Percentile(former, 99);
        Row("2 Latency p99, ms (baseline: the former service)", Fixed(p99, 2), Fixed(f99, 2), f99 > 0 ? p99 / f99 : 0.0,
            "-", "-");
    }
    return service.empty() ? 1 : 0;
}

struct BurstRun {
    bool exact = false;
    size_t got = 0, duplicates = 0, errors = 0;
    double drain = 0.0;  // first raised to last delivered, s
    double cpu = 0.0, receiver_cpu = 0.0;
    long idle_kib = 0, peak_kib = 0;
    int idle_fds = 0, peak_fds = 0;
    double raw_seconds = 0.0;  // the plain client delivering as many (0: not measured)
    double wrk_posts = 0.0;    // wrk's POSTs per second on the same receiver (0: not measured)
};

// 20000 alarms raised at once through a fresh rig running `binary`.
BurstRun RunBurst(size_t count, const std::string& binary, bool with_raw_client) {
    BurstRun run;
    RigOptions options;
    options.capacity = count;
    options.service_binary = binary;
    ServiceRig rig(options);
    if (!rig.Start()) return run;
    std::this_thread::sleep_for(seconds(2));
    const pid_t pid = rig.service_pid();
    run.idle_kib = ResidentKiB(pid);
    run.idle_fds = OpenDescriptors(pid);
    const double cpu_before = CpuSeconds(pid);
    const double receiver_before = CpuSeconds(rig.receiver().pid());

    Clock::time_point begun;
    bool delivered = false;
    {
        PeakSampler sampler(pid, milliseconds(20));
        begun = Clock::now();
        RaiseAll(rig, count, std::chrono::microseconds(0));
        const bool raised = rig.WaitForRaised(seconds(120));
        if (!raised) Note("burst: the simulator did not confirm every alarm");
        // The pace the recorder side can raise at bounds the burst's rate from above.
        Note("burst: " + std::to_string(count) + " raised and confirmed by the simulator in " +
             Fixed(std::chrono::duration<double>(Clock::now() - begun).count(), 2) + " s");
        delivered = rig.WaitForDelivered(count, seconds(240));
        // Late duplicates would arrive now, if there were any.
        std::this_thread::sleep_for(seconds(1));
        run.peak_kib = sampler.PeakKiB();
        run.peak_fds = sampler.PeakDescriptors();
    }
    run.drain = std::chrono::duration<double>(rig.LastDelivery() - begun).count();
    run.cpu = CpuSeconds(pid) - cpu_before;
    run.receiver_cpu = CpuSeconds(rig.receiver().pid()) - receiver_before;
    run.got = rig.DistinctDelivered();
    run.duplicates = rig.Duplicates();
    run.errors = rig.CountInLog("ERROR") + rig.CountInLog("Queue size limit reached");
    run.exact = delivered && run.got == count && run.duplicates == 0 && run.errors == 0;
    Note("burst (" + binary + "): " + std::to_string(run.got) + " delivered in " + Fixed(run.drain, 2) + " s, CPU " +
         Fixed(run.cpu, 2) + " s");

    if (with_raw_client) {
        // Baseline: the plain client delivering as many payloads to the same receiver.
        LoadClient client(rig.receiver().url(), "SendAlarm", kAlarmPayload);
        run.raw_seconds =
            client.RunClosedLoop(count, static_cast<size_t>(http::kMaxConnectionsPerHost), seconds(240)).seconds;
        // And wrk, the receiver's raw capacity with nothing of this project on the sending side.
        run.wrk_posts = WrkPostsPerSecond(rig.receiver().url(), seconds(10));
        Note("wrk: " + Fixed(run.wrk_posts, 0) + " POSTs/s");
    }
    return run;
}

int Burst() {
    constexpr size_t kCount = 20000;
    const char* former_binary = ::getenv("WARDEX_BENCH_BASELINE_SERVICE");
    const bool with_former = former_binary != nullptr && *former_binary != '\0';
    // The former service first, so that both meet the machine in much the same state.
    BurstRun former;
    if (with_former) former = RunBurst(kCount, former_binary, false);
    const BurstRun run = RunBurst(kCount, DefaultServiceBinary(), true);
    const double rate = run.drain > 0 ? kCount / run.drain : 0.0;
    const double former_rate = former.drain > 0 ? kCount / former.drain : 0.0;

    Row("3 Burst of 20000: delivered once each / duplicates / error lines",
        std::to_string(run.got) + " / " + std::to_string(run.duplicates) + " / " + std::to_string(run.errors),
        "20000 / 0 / 0", 0.0, "all once, none failed", run.exact ? "met" : "MISSED");
    Row("3 Burst throughput, alarms/s (baseline: the former service)", Fixed(rate, 0),
        with_former ? Fixed(former_rate, 0) : "-", former_rate > 0 ? rate / former_rate : 0.0, ">= 2000",
        run.exact && rate >= 2000.0 ? "met" : "MISSED");
    // The receiver's raw capacity in payloads: three POSTs each.
    const double wrk_rate = run.wrk_posts / 3.0;
    const double client_rate = run.raw_seconds > 0 ? kCount / run.raw_seconds : 0.0;
    Row("3 Burst throughput, alarms/s (baseline: wrk's POSTs/s / 3, same receiver)", Fixed(rate, 0),
        Fixed(wrk_rate, 0), wrk_rate > 0 ? rate / wrk_rate : 0.0, ">= 0.6 x raw",
        run.exact && wrk_rate > 0 && rate >= 0.6 * wrk_rate ? "met" : "MISSED");
    Row("3 Burst throughput, alarms/s (baseline: the plain load client)", Fixed(rate, 0), Fixed(client_rate, 0),
        client_rate > 0 ? rate / client_rate : 0.0, "-", "-");
    Row("3 Burst drain time, s (first raised to last delivered)", Fixed(run.drain, 2), Fixed(run.raw_seconds, 2),
        run.raw_seconds > 0 ? run.drain / run.raw_seconds : 0.0, "-", "-");
    Row("3 Burst peak descriptors (baseline: idle)", std::to_string(run.peak_fds), std::to_string(run.idle_fds),
        static_cast<double>(run.peak_fds) / std::max(run.idle_fds, 1), "no exhaustion", run.exact ? "met" : "MISSED");
    Row("3 Burst peak RSS, MiB (baseline: idle)", MiB(run.peak_kib), MiB(run.idle_kib),
        static_cast<double>(run.peak_kib) / std::max(run.idle_kib, 1L), "-", "-");
    Row("6 Service CPU per delivered payload, us (baseline: receiver)", Fixed(run.cpu / kCount * 1e6, 1),
        Fixed(run.receiver_cpu / kCount * 1e6, 1), run.cpu / std::max(run.receiver_cpu, 1e-9), "<= 150",
        run.exact && run.cpu / kCount * 1e6 <= 150.0 ? "met" : "MISSED");
    if (with_former) {
        Row("6 Service CPU per delivered payload, us (baseline: the former service)",
            Fixed(run.cpu / kCount * 1e6, 1), Fixed(former.cpu / kCount * 1e6, 1),
            run.cpu / std::max(former.cpu, 1e-9), "-", "-");
    }
    return run.exact ? 0 : 1;
}

// Copies the rows of the outbox's alarm table (the table holding rows) onto itself until
// it holds `target` rows: the stored alarms as the service wrote them, repeated. Knows
// nothing of the table but what SQLite says of it; its integer primary key is left to
// SQLite. Returns the rows now stored, 0 on failure.
size_t FillOutbox(const std::string& path, size_t target) {
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        Note("stored: cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : "?"));
        sqlite3_close(raw);
        return 0;
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    sqlite3_busy_timeout(db.get(), 10000);
    const auto query = [&](const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            Note("stored: " + sql + ": " + sqlite3_errmsg(db.get()));
            return false;
        }
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (row) row(statement);
        }
        sqlite3_finalize(statement);
        if (step != SQLITE_DONE) Note("stored: " + sql + ": " + sqlite3_errmsg(db.get()));
        return step == SQLITE_DONE;
    };
    const auto text = [](sqlite3_stmt* statement, int column) {
        const unsigned char* value = sqlite3_column_text(statement, column);
        return std::string(value ? reinterpret_cast<const char*>(value) : "");
    };
    std::vector<std::string> tables;
    query("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'",
          [&](sqlite3_stmt* st) { tables.push_back(text(st, 0)); });
    std::string table;
    size_t rows = 0;
    for (const std::string& candidate : tables) {
        size_t n = 0;
        query("SELECT COUNT(*) FROM \"" + candidate + "\"", [&](sqlite3_stmt* st) { n = sqlite3_column_int64(st, 0); });
        if (n > rows) {
            rows = n;
            table = candidate;
        }
    }
    if (table.empty()) {
        Note("stored: the outbox holds no rows to repeat");
        return 0;
    }
    std::string columns;
    query("PRAGMA table_info(\"" + table + "\")", [&](sqlite3_stmt* st) {
        const bool integer_key = sqlite3_column_int(st, 5) > 0 && text(st, 2) == "INTEGER";
        if (integer_key) return;
        if (!columns.empty()) columns += ", ";
        columns += "\"" + text(st, 1) + "\"";
    });
    Note("stored: repeating the " + std::to_string(rows) + " rows of table " + table + " (" + columns + ")");
    while (rows < target) {
        const size_t add = std::min(rows, target - rows);
        if (!query("INSERT INTO \"" + table + "\" (" + columns + ") SELECT " + columns + " FROM \"" + table +
                       "\" LIMIT " + std::to_string(add),
                   nullptr)) {
            return 0;
        }
        rows += add;
    }
    query("PRAGMA wal_checkpoint(TRUNCATE)", nullptr);
    return rows;
}

// Resident size with a million alarms in the outbox: the outbox cap's worth. The rig
// registers with an empty outbox, stores 1000 alarms while the receiver answers 503,
// stops the service, repeats them in the file to 1000000 and starts the service again.
struct StoredRun {
    bool ok = false, alive = false;
    long idle_kib = 0, down_kib = 0, moving_kib = 0;
    double rate = 0.0;  // alarms/s in the first 30 s of delivery
};

// 1,000,000 alarms stored while `binary` was stopped, then its resident size with the
// receiver refusing and while it delivers.
StoredRun MeasureStored(const std::string& binary) {
    constexpr size_t kSeed = 1000;
    constexpr size_t kStored = 1000000;
    StoredRun run;
    RigOptions options;
    options.capacity = kSeed;
    options.service_binary = binary;
    ServiceRig rig(options);
    if (!rig.Start()) return run;
    std::this_thread::sleep_for(seconds(3));
    const long idle_kib = ResidentKiB(rig.service_pid());
    if (rig.receiver().Command("fault all status 503").compare(0, 2, "ok") != 0) return run;
    RaiseAll(rig, kSeed, std::chrono::microseconds(0));
    rig.WaitForRaised(seconds(60));
    std::this_thread::sleep_for(seconds(3));
    rig.StopService(seconds(30));

    const Clock::time_point fill_begun = Clock::now();
    const size_t stored = FillOutbox(rig.OutboxPath(), kStored);
    const double fill = std::chrono::duration<double>(Clock::now() - fill_begun).count();
    std::error_code error;
    const auto file_bytes = std::filesystem::file_size(rig.OutboxPath(), error);
    Note("stored: " + std::to_string(stored) + " rows in " + Fixed(fill, 1) + " s, outbox.db " +
         MiB(static_cast<long>(file_bytes / 1024)) + " MiB");
    if (stored < kStored) return run;

    if (!rig.RestartService()) return run;
    const pid_t pid = rig.service_pid();
    long down_kib = 0, moving_kib = 0;
    {
        PeakSampler sampler(pid, milliseconds(100));
        std::this_thread::sleep_for(seconds(30));
        down_kib = sampler.PeakKiB();
    }
    const nlohmann::json before = rig.receiver().Stats();
    rig.receiver().Command("clear");
    // A receiver that answers 503 accepts connections, so only the breaker's probe finds
    // it healthy again, on its back-off of up to a minute: the window starts with the flow.
    const Clock::time_point clear_sent = Clock::now();
    const auto delivered_now = [&] { return rig.receiver().Stats().value("delivered", 0.0); };
    const double delivered_before = before.value("delivered", 0.0);
    while (delivered_now() <= delivered_before && Clock::now() - clear_sent < seconds(90)) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    Note("stored: delivery resumed " + Fixed(std::chrono::duration<double>(Clock::now() - clear_sent).count(), 1) +
         " s after the receiver was cleared");
    const double delivered_at_start = delivered_now();
    const Clock::time_point cleared = Clock::now();
    {
        PeakSampler sampler(pid, milliseconds(100));
        std::this_thread::sleep_for(seconds(30));
        moving_kib = sampler.PeakKiB();
    }
    const double moving_s = std::chrono::duration<double>(Clock::now() - cleared).count();
    const nlohmann::json after = rig.receiver().Stats();
    const double delivered = after.value("delivered", 0.0) - delivered_at_start;
    run.ok = true;
    run.alive = ::kill(pid, 0) == 0;
    run.idle_kib = idle_kib;
    run.down_kib = down_kib;
    run.moving_kib = moving_kib;
    run.rate = delivered / moving_s;
    return run;
}

int Stored() {
    const long limit_kib = 100 * 1024;
    const StoredRun run = MeasureStored(DefaultServiceBinary());
    if (!run.ok) return 1;
    const bool alive = run.alive;
    const long down_kib = run.down_kib, moving_kib = run.moving_kib, idle_kib = run.idle_kib;
    Row("7 RSS with 1000000 stored, receiver refusing, MiB (baseline: idle, empty)", MiB(down_kib), MiB(idle_kib),
        static_cast<double>(down_kib) / std::max(idle_kib, 1L), "<= 100", alive && down_kib <= limit_kib ? "met" : "MISSED");
    Row("7 RSS with 1000000 stored, delivering, MiB (baseline: idle, empty)", MiB(moving_kib), MiB(idle_kib),
        static_cast<double>(moving_kib) / std::max(idle_kib, 1L), "<= 100",
        alive && moving_kib <= limit_kib ? "met" : "MISSED");
    Row("7 Delivery from a full outbox, alarms/s (first 30 s)", Fixed(run.rate, 0), "-", 0.0, "-", "-");
    const char* former_binary = ::getenv("WARDEX_BENCH_BASELINE_SERVICE");
    if (former_binary != nullptr && *former_binary != '\0') {
        const StoredRun former = MeasureStored(former_binary);
        const long former_peak = std::max(former.down_kib, former.moving_kib);
        const long peak = std::max(down_kib, moving_kib);
        Row("7 RSS with 1000000 stored, peak, MiB (baseline: the former service)", MiB(peak), MiB(former_peak),
            static_cast<double>(peak) / std::max(former_peak, 1L), "-", "-");
    }
    return alive && down_kib <= limit_kib && moving_kib <= limit_kib ? 0 : 1;
}

int Memory() {
    constexpr size_t kCount = 20000;
    RigOptions options;
    options.capacity = kCount;
    ServiceRig rig(options);
    if (!rig.Start()) return 1;
    std::this_thread::sleep_for(seconds(3));
    const pid_t pid = rig.service_pid();
    const long idle_kib = ResidentKiB(pid);
    const long idle_anon = StatusKiB(pid, "RssAnon"), idle_file = StatusKiB(pid, "RssFile");

    // A receiver that takes every request and never answers: the engine's low-speed rule
    // fails each exchange after 3 s and the sequencer keeps each payload for a retry.
    if (rig.receiver().Command("delay all 600000").compare(0, 2, "ok") != 0) return 1;
    long held_kib = 0;
    {
        PeakSampler sampler(pid, milliseconds(100));
        RaiseAll(rig, kCount, std::chrono::microseconds(0));
        rig.WaitForRaised(seconds(120));
        std::this_thread::sleep_for(seconds(20));
        held_kib = sampler.PeakKiB();
    }
    const size_t dropped = rig.CountInLog("Queue size limit reached");

    rig.receiver().Command("clear");
    const Clock::time_point recovered = Clock::now();
    const bool drained = rig.WaitForDelivered(kCount, seconds(180));
    const double drain = std::chrono::duration<double>(Clock::now() - recovered).count();
    // Back to idle: within a tenth (or 2 MiB) of the idle figure, polled for a minute.
    const long near_idle = std::max(idle_kib + idle_kib / 10, idle_kib + 2048);
    const Clock::time_point drained_at = Clock::now();
    long settled_kib = ResidentKiB(pid);
    while (settled_kib > near_idle && Clock::now() - drained_at < seconds(60)) {
        std::this_thread::sleep_for(milliseconds(500));
        settled_kib = ResidentKiB(pid);
    }
    const double settle = std::chrono::duration<double>(Clock::now() - drained_at).count();
    const bool back = settled_kib <= near_idle;
    // Heap and stacks (anonymous) apart from library and program pages (file-backed), so
    // that what a busy period leaves resident can be told apart.
    Note("RSS split, KiB: idle anon " + std::to_string(idle_anon) + " + file " + std::to_string(idle_file) +
         "; after drain anon " + std::to_string(StatusKiB(pid, "RssAnon")) + " + file " +
         std::to_string(StatusKiB(pid, "RssFile")));

    Row("4 RSS with 20000 in progress, MiB (baseline: idle)", MiB(held_kib), MiB(idle_kib),
        static_cast<double>(held_kib) / idle_kib, "<= 200", held_kib <= 200 * 1024 && dropped == 0 ? "met" : "MISSED");
    Row("4 Drain after recovery, s / delivered", Fixed(drain, 1) + " / " + std::to_string(rig.DistinctDelivered()),
        "- / 20000", 0.0, "all delivered", drained ? "met" : "MISSED");
    Row("4 RSS after drain, MiB (time to idle, s)", MiB(settled_kib) + " (" + Fixed(settle, 1) + ")", MiB(idle_kib),
        static_cast<double>(settled_kib) / idle_kib, "idle within 60 s", back ? "met" : "MISSED");
    return drained && back ? 0 : 1;
}

struct IdleRun {
    double percent = 0.0, wakeups = 0.0;          // the service
    double nvr_percent = 0.0, nvr_wakeups = 0.0;  // the recording-server simulator
};

// CPU and wake-ups over 60 s of `binary`, registered and connected, with no events.
IdleRun MeasureIdle(const std::string& binary) {
    constexpr int kSeconds = 60;
    IdleRun run;
    RigOptions options;
    options.capacity = 1;
    options.service_binary = binary;
    ServiceRig rig(options);
    if (!rig.Start()) return run;
    // Registration's exchanges and the first heartbeat are over by now.
    std::this_thread::sleep_for(seconds(5));
    const pid_t pid = rig.service_pid();
    const double before = ThreadCpuSeconds(pid);
    const double nvr_before = ThreadCpuSeconds(rig.nvr().pid());
    const long switches_before = ContextSwitches(pid);
    const long nvr_switches_before = ContextSwitches(rig.nvr().pid());
    std::this_thread::sleep_for(seconds(kSeconds));
    run.percent = (ThreadCpuSeconds(pid) - before) / kSeconds * 100.0;
    run.nvr_percent = (ThreadCpuSeconds(rig.nvr().pid()) - nvr_before) / kSeconds * 100.0;
    // Every time one of its threads slept and ran again, from /proc/<pid>/task/*/status.
    run.wakeups = static_cast<double>(ContextSwitches(pid) - switches_before) / kSeconds;
    run.nvr_wakeups = static_cast<double>(ContextSwitches(rig.nvr().pid()) - nvr_switches_before) / kSeconds;
    return run;
}

int Idle() {
    const char* former_binary = ::getenv("WARDEX_BENCH_BASELINE_SERVICE");
    const bool with_former = former_binary != nullptr && *former_binary != '\0';
    const IdleRun run = MeasureIdle(DefaultServiceBinary());
    const bool cpu_met = run.percent <= 0.1, wakeups_met = run.wakeups <= 10.0;
    Row("5 Idle CPU over 60 s, % of one core (baseline: nvr-sim)", Fixed(run.percent, 3), Fixed(run.nvr_percent, 3),
        run.nvr_percent > 0 ? run.percent / run.nvr_percent : 0.0, "<= 0.1", cpu_met ? "met" : "MISSED");
    Row("5 Idle wake-ups per second, all threads (baseline: nvr-sim)", Fixed(run.wakeups, 1),
        Fixed(run.nvr_wakeups, 1), run.nvr_wakeups > 0 ? run.wakeups / run.nvr_wakeups : 0.0, "<= 10",
        wakeups_met ? "met" : "MISSED");
    if (with_former) {
        const IdleRun former = MeasureIdle(former_binary);
        Row("5 Idle CPU over 60 s, % of one core (baseline: the former service)", Fixed(run.percent, 3),
            Fixed(former.percent, 3), former.percent > 0 ? run.percent / former.percent : 0.0, "-", "-");
        Row("5 Idle wake-ups per second (baseline: the former service)", Fixed(run.wakeups, 1),
            Fixed(former.wakeups, 1), former.wakeups > 0 ? run.wakeups / former.wakeups : 0.0, "-", "-");
    }
    return cpu_met && wakeups_met ? 0 : 1;
}

int Callgrind(const std::string& out, size_t count) {
    const std::string profile = "/tmp/wardex-bench-callgrind." + std::to_string(::getpid());
    RigOptions options;
    options.capacity = count;
    options.registration_limit = seconds(180);
    options.service_prefix = {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + profile};
    ServiceRig rig(options);
    if (!rig.Start()) return 1;
    RaiseAll(rig, count, std::chrono::microseconds(0));
    const bool delivered = rig.WaitForDelivered(count, seconds(600));
    rig.StopService(seconds(120));
    std::error_code error;
    std::filesystem::copy_file(profile, out, std::filesystem::copy_options::overwrite_existing, error);
    std::filesystem::remove(profile, error);
    Note("callgrind: " + std::to_string(rig.DistinctDelivered()) + " of " + std::to_string(count) +
         " delivered; profile in " + out);
    return delivered ? 0 : 1;
}

int Main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "latency") return Latency();
    if (mode == "burst") return Burst();
    if (mode == "memory") return Memory();
    if (mode == "idle") return Idle();
    if (mode == "stored") return Stored();
    if (mode == "callgrind" && argc > 2) return Callgrind(argv[2], argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2000);
    std::fprintf(stderr, "usage: wardex-bench-service latency|burst|memory|idle|stored|callgrind FILE [COUNT]\n");
    return 2;
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main(int argc, char** argv) { return kv::bench::Main(argc, argv); }
