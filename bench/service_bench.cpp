// The service from end to end, with wardex-nvr-sim and wardex-receiver-sim as real
// processes on 127.0.0.1. One figure per run:
//
//   wardex-bench-service latency    100 alarms/s for 30 s: raise-to-arrival p50, p99, max
//   wardex-bench-service burst      20000 alarms at once: exactly-once, drain time, peak
//                                   descriptors and memory, CPU per delivered payload
//   wardex-bench-service memory     20000 alarms against a receiver that never answers,
//                                   then its recovery: peak memory, return to idle
//   wardex-bench-service idle       CPU used over 60 s connected, no events
//   wardex-bench-service callgrind FILE [COUNT]
//                                   the service under callgrind delivering COUNT alarms;
//                                   the profile is copied to FILE
//
// Each prints its rows for scripts/bench, with the baseline measured in the same run.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "bench/load_client.h"
#include "bench/service_rig.h"
#include "src/http_work_queue.h"

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
                                     std::function<void(ServiceRig&)> also) {
    constexpr size_t kCount = 3000;  // 30 s at 100 per second
    RigOptions options;
    options.capacity = kCount;
    options.nvr_environment = nvr_environment;
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
    return service.empty() ? 1 : 0;
}

int Burst() {
    constexpr size_t kCount = 20000;
    RigOptions options;
    options.capacity = kCount;
    ServiceRig rig(options);
    if (!rig.Start()) return 1;
    std::this_thread::sleep_for(seconds(2));
    const pid_t pid = rig.service_pid();
    const long idle_kib = ResidentKiB(pid);
    const int idle_fds = OpenDescriptors(pid);
    const double cpu_before = CpuSeconds(pid);
    const double receiver_before = CpuSeconds(rig.receiver().pid());

    Clock::time_point begun;
    bool delivered = false;
    long peak_kib = 0;
    int peak_fds = 0;
    {
        PeakSampler sampler(pid, milliseconds(20));
        begun = Clock::now();
        RaiseAll(rig, kCount, std::chrono::microseconds(0));
        const bool raised = rig.WaitForRaised(seconds(120));
        if (!raised) Note("burst: the simulator did not confirm every alarm");
        delivered = rig.WaitForDelivered(kCount, seconds(240));
        // Late duplicates would arrive now, if there were any.
        std::this_thread::sleep_for(seconds(1));
        peak_kib = sampler.PeakKiB();
        peak_fds = sampler.PeakDescriptors();
    }
    const double drain = std::chrono::duration<double>(rig.LastDelivery() - begun).count();
    const double cpu = CpuSeconds(pid) - cpu_before;
    const double receiver_cpu = CpuSeconds(rig.receiver().pid()) - receiver_before;
    const size_t got = rig.DistinctDelivered();
    const size_t duplicates = rig.Duplicates();
    const size_t errors = rig.CountInLog("ERROR") + rig.CountInLog("Queue size limit reached");

    // Baseline: the plain client delivering as many payloads to the same receiver.
    LoadClient client(rig.receiver().url(), "SendAlarm", kAlarmPayload);
    const LoadResult raw = client.RunClosedLoop(kCount, static_cast<size_t>(http::kMaxConnectionsPerHost), seconds(240));

    const bool exact = delivered && got == kCount && duplicates == 0 && errors == 0;
    Row("3 Burst of 20000: delivered once each / duplicates / error lines",
        std::to_string(got) + " / " + std::to_string(duplicates) + " / " + std::to_string(errors), "20000 / 0 / 0", 0.0,
        "all once, none failed", exact ? "met" : "MISSED");
    Row("3 Burst drain time, s (first raised to last delivered)", Fixed(drain, 2), Fixed(raw.seconds, 2),
        drain / raw.seconds, "-", "-");
    Row("3 Burst peak descriptors (baseline: idle)", std::to_string(peak_fds), std::to_string(idle_fds),
        static_cast<double>(peak_fds) / idle_fds, "no exhaustion", exact ? "met" : "MISSED");
    Row("3 Burst peak RSS, MiB (baseline: idle)", MiB(peak_kib), MiB(idle_kib), static_cast<double>(peak_kib) / idle_kib,
        "-", "-");
    Row("6 Service CPU per delivered payload, us (baseline: receiver)", Fixed(cpu / kCount * 1e6, 1),
        Fixed(receiver_cpu / kCount * 1e6, 1), cpu / std::max(receiver_cpu, 1e-9), "-", "-");
    return exact ? 0 : 1;
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

int Idle() {
    constexpr int kSeconds = 60;
    RigOptions options;
    options.capacity = 1;
    ServiceRig rig(options);
    if (!rig.Start()) return 1;
    // Registration's exchanges and the first heartbeat are over by now.
    std::this_thread::sleep_for(seconds(5));
    const pid_t pid = rig.service_pid();
    const double before = CpuSeconds(pid);
    const double nvr_before = CpuSeconds(rig.nvr().pid());
    std::this_thread::sleep_for(seconds(kSeconds));
    const double used = CpuSeconds(pid) - before;
    const double nvr_used = CpuSeconds(rig.nvr().pid()) - nvr_before;
    const double percent = used / kSeconds * 100.0;
    const double nvr_percent = nvr_used / kSeconds * 100.0;
    Row("5 Idle CPU over 60 s, % of one core (baseline: nvr-sim)", Fixed(percent, 3), Fixed(nvr_percent, 3),
        nvr_used > 0 ? used / nvr_used : 0.0, "< 1", percent < 1.0 ? "met" : "MISSED");
    return 0;
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
    if (mode == "callgrind" && argc > 2) return Callgrind(argv[2], argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2000);
    std::fprintf(stderr, "usage: wardex-bench-service latency|burst|memory|idle|callgrind FILE [COUNT]\n");
    return 2;
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main(int argc, char** argv) { return kv::bench::Main(argc, argv); }
