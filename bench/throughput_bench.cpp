// Throughput: the sequencer delivering a backlog of alarms to wardex-receiver-sim, against
// the receiver's raw capacity for the same three POSTs per payload, measured by the plain
// load client in the same run. Rounds alternate between the two so that a noisy
// neighbour hurts both alike; each side keeps its best round.
//
//   wardex-bench-throughput [--count N] [--rounds R]
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>

#include "bench/bench_support.h"
#include "bench/load_client.h"
#include "common/logger.h"
#include "src/soap_helper.h"

namespace kv {
namespace bench {
namespace {

// An ordinary video-loss alarm, as the service builds it.
const char kAlarmPayload[] =
    R"({"SiteNo":"S-42","IPAddress":"127.0.0.1","MACAddress":"00:1A:2B:3C:4D:5E","ChannelNo":"",)"
    R"("ChannelName":"Door","AlarmType":"1","AlarmDetails":"","RecorderName":"Bench recorder",)"
    R"("HardDiskNo":"","DateTime":"2024-03-05 07:08:09.123","Comments":"Door"})";

// Both sides keep at most this many exchanges open to the receiver: the engine's cap.
constexpr size_t kConcurrency = static_cast<size_t>(http::kMaxConnectionsPerHost);

struct Measured {
    bool ok = false;
    double seconds = 0.0;
    double cpu_seconds = 0.0;
    double receiver_cpu_seconds = 0.0;
};

Measured RawRun(const std::string& scratch, size_t count) {
    Measured measured;
    harness::ReceiverSim receiver;
    if (!receiver.Start(QuietReceiver(scratch))) return measured;
    LoadClient client(receiver.url(), "SendAlarm", kAlarmPayload);
    const double receiver_before = CpuSeconds(receiver.pid());
    const LoadResult result = client.RunClosedLoop(count, kConcurrency, std::chrono::seconds(120));
    measured.receiver_cpu_seconds = CpuSeconds(receiver.pid()) - receiver_before;
    measured.ok = result.completed == count && result.failed == 0;
    measured.seconds = result.seconds;
    measured.cpu_seconds = result.cpu_seconds;
    if (!measured.ok) Note("raw client: " + std::to_string(result.failed) + " failed");
    return measured;
}

Measured SequencerRun(const std::string& scratch, size_t count) {
    Measured measured;
    harness::ReceiverSim receiver;
    if (!receiver.Start(QuietReceiver(scratch))) return measured;

    boost::asio::io_service io;
    auto work = std::make_unique<boost::asio::io_service::work>(io);
    auto sequencer = std::make_unique<soap::SoapSequencer>(io);
    sequencer->UpdateServiceEndpoint(receiver.url());
    std::thread network([&io] { io.run(); });

    const double receiver_before = CpuSeconds(receiver.pid());
    const double cpu_before = OwnCpuSeconds();
    const Clock::time_point begun = Clock::now();
    for (size_t i = 0; i < count; ++i) sequencer->SendEventMessage("SendAlarm", kAlarmPayload);
    // The LastMessage is the payload's final exchange: when the receiver has seen all of
    // them, every payload has been through its three steps.
    const auto deadline = begun + std::chrono::seconds(120);
    size_t last = 0;
    while (Clock::now() < deadline) {
        last = receiver.Stats().value("last", 0u);
        if (last >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    measured.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    measured.cpu_seconds = OwnCpuSeconds() - cpu_before;
    measured.receiver_cpu_seconds = CpuSeconds(receiver.pid()) - receiver_before;
    const nlohmann::json stats = receiver.Stats();
    measured.ok = last >= count && stats.value("delivered", 0u) == count && stats.value("violations", 0u) == 0;
    if (!measured.ok) Note("sequencer run: receiver stats " + stats.dump());

    work.reset();
    io.stop();
    network.join();
    sequencer->Abandon();
    sequencer.reset();
    return measured;
}

int Main(int argc, char** argv) {
    size_t count = 10000;
    int rounds = 2;
    std::string only;  // "raw" or "sequencer": one side alone, for profiling
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0) count = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    }
    ScratchDir scratch;
    // A healthy run logs nothing per payload at the service's default level.
    logger::get_logger().set_directory(scratch.File("logs"));
    logger::get_logger().set_level(INFO);

    if (only == "raw" || only == "sequencer") {
        const Measured m = only == "raw" ? RawRun(scratch.path(), count) : SequencerRun(scratch.path(), count);
        Note(only + ": " + Fixed(count / m.seconds, 0) + " payloads/s, " + Fixed(m.cpu_seconds / count * 1e6, 1) +
             " us CPU per payload" + (m.ok ? "" : " (incomplete)"));
        return m.ok ? 0 : 1;
    }

    Measured raw, sequenced;
    for (int round = 0; round < rounds; ++round) {
        const Measured r = RawRun(scratch.path(), count);
        const Measured s = SequencerRun(scratch.path(), count);
        Note("round " + std::to_string(round + 1) + ": raw " + Fixed(count / r.seconds, 0) + " payloads/s, sequencer " +
             Fixed(count / s.seconds, 0) + " payloads/s");
        if (!r.ok || !s.ok) {
            Note("a run did not complete; see above");
            return 1;
        }
        if (!raw.ok || r.seconds < raw.seconds) raw = r;
        if (!sequenced.ok || s.seconds < sequenced.seconds) sequenced = s;
    }

    const double raw_rate = count / raw.seconds;
    const double rate = count / sequenced.seconds;
    const double ratio = rate / raw_rate;
    const bool met = rate >= 2000.0 && ratio >= 0.5;
    Row("1 Throughput, payloads/s (" + std::to_string(count) + " queued at once)", Fixed(rate, 0), Fixed(raw_rate, 0),
        ratio, ">= 2000 and >= 0.5 x raw", met ? "met" : "MISSED");
    Row("1 Throughput, POSTs/s", Fixed(3 * rate, 0), Fixed(3 * raw_rate, 0), ratio, "-", "-");
    Row("1 Sender CPU per payload, us (in-process)", Fixed(sequenced.cpu_seconds / count * 1e6, 1),
        Fixed(raw.cpu_seconds / count * 1e6, 1), sequenced.cpu_seconds / raw.cpu_seconds, "-", "-");
    Row("1 Receiver CPU per payload, us", Fixed(sequenced.receiver_cpu_seconds / count * 1e6, 1),
        Fixed(raw.receiver_cpu_seconds / count * 1e6, 1),
        sequenced.receiver_cpu_seconds / std::max(raw.receiver_cpu_seconds, 1e-9), "-", "-");
    return 0;
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main(int argc, char** argv) { return kv::bench::Main(argc, argv); }
