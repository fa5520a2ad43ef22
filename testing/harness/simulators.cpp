#include "testing/harness/simulators.h"

#include <unistd.h>

#include <sstream>

namespace kv {
namespace harness {

namespace {

constexpr std::chrono::seconds kReadyLimit{20};

bool Matches(const nlohmann::json& line, const nlohmann::json& expected) {
    if (!line.is_object()) return false;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        auto found = line.find(it.key());
        if (found == line.end() || *found != it.value()) return false;
    }
    return true;
}

}  // namespace

std::string BinDir() { return WARDEX_BIN_DIR; }

Listening ParseListening(const std::string& line) {
    Listening ready;
    const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_object() || parsed.value("event", "") != "listening") return ready;
    ready.address = parsed.value("address", "");
    ready.port = parsed.value("port", 0);
    ready.control_port = parsed.value("control_port", 0);
    ready.url = parsed.value("url", "");
    return ready;
}

// ---------------------------------------------------------------------------------------

ReceiverSim::~ReceiverSim() { Stop(); }

Outcome ReceiverSim::Start(const std::vector<std::string>& extra_args) {
    ReceiverOptions options = options_;
    options.extra_args = extra_args;
    return Start(options);
}

Outcome ReceiverSim::Start(const ReceiverOptions& options) {
    options_ = options;
    ProcessOptions launch;
    launch.argv = {BinDir() + "/wardex-receiver-sim", "--address", options.address, "--port", "0",
                   "--control-port", "0", "--lifetime", std::to_string(options.lifetime.count())};
    if (options.record && !options.on_record) {
        folder_ = std::make_unique<ScratchDir>("wardex-receiver");
        record_path_ = folder_->File("records.jsonl");
    }
    if (options.record) launch.argv.insert(launch.argv.end(), {"--record", record_path_.empty() ? "-" : record_path_});
    launch.argv.insert(launch.argv.end(), options.extra_args.begin(), options.extra_args.end());
    launch.error_path = options.error_path;
    launch.stdin_pipe = false;
    if (Outcome started = process_.Start(launch); !started) return started;

    std::string line;
    if (!ReadLine(process_.output_fd(), line, Clock::now() + kReadyLimit)) {
        return Outcome::Fail("wardex-receiver-sim did not announce itself");
    }
    ready_ = ParseListening(line);
    if (ready_.port == 0 || ready_.url.empty()) return Outcome::Fail("not a ready line: " + line);
    if (options.on_record) reader_ = std::thread([this] { ReadRecords(); });
    if (!control_.Connect(ready_.address, ready_.control_port)) return Outcome::Fail("no command port");
    return Outcome::Ok();
}

// Records come one per line, flushed; the stamp is taken as soon as a line is whole.
void ReceiverSim::ReadRecords() {
    const int fd = process_.output_fd();
    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) return;
        const Clock::time_point arrived = Clock::now();
        pending.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            nlohmann::json record = nlohmann::json::parse(pending.substr(start, end - start), nullptr, false);
            if (record.is_discarded()) continue;
            options_.on_record(record, arrived);
            if (options_.keep_records) {
                std::lock_guard<std::mutex> lock(records_mutex_);
                records_.push_back(std::move(record));
            }
        }
        pending.erase(0, start);
    }
}

ExitStatus ReceiverSim::Stop() {
    control_.Close();
    const ExitStatus status = process_.Stop();
    if (reader_.joinable()) reader_.join();
    return status;
}

std::string ReceiverSim::Command(const std::string& line) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    return control_.Ask(line);
}

nlohmann::json ReceiverSim::Stats() {
    const std::string answer = Command("stats");
    if (answer.compare(0, 3, "ok ") != 0) return nlohmann::json::object();
    nlohmann::json stats = nlohmann::json::parse(answer.substr(3), nullptr, false);
    return stats.is_discarded() ? nlohmann::json::object() : stats;
}

std::vector<nlohmann::json> ReceiverSim::Records() const {
    if (record_path_.empty()) {
        std::lock_guard<std::mutex> lock(records_mutex_);
        return records_;
    }
    std::vector<nlohmann::json> records;
    std::istringstream lines(ReadFile(record_path_));
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_discarded()) records.push_back(std::move(record));
    }
    return records;
}

// ---------------------------------------------------------------------------------------

NvrSim::NvrSim(const std::string& scenario_json, const std::string& address, uint16_t port) {
    NvrOptions options;
    options.scenario = nlohmann::json::parse(scenario_json, nullptr, false);
    options.address = address;
    options.port = port;
    start_error_ = Start(options).error();
}

NvrSim::NvrSim(const NvrOptions& options) { start_error_ = Start(options).error(); }

NvrSim::~NvrSim() { Stop(); }

Outcome NvrSim::Start(const NvrOptions& options) {
    std::string folder = options.folder;
    if (folder.empty()) {
        own_folder_ = std::make_unique<ScratchDir>("wardex-nvr");
        folder = own_folder_->path();
    }
    const std::string scenario = folder + "/scenario.json";
    if (options.scenario.is_discarded() || !WriteFile(scenario, options.scenario.dump())) {
        return Outcome::Fail("cannot write the scenario");
    }
    address_ = options.address;
    ProcessOptions launch;
    launch.argv = {BinDir() + "/wardex-nvr-sim", "--scenario", scenario, "--address", options.address, "--port",
                   std::to_string(options.port), "--no-stdin"};
    if (options.lifetime.count() > 0) launch.argv.insert(launch.argv.end(), {"--exit-after", std::to_string(options.lifetime.count())});
    launch.argv.insert(launch.argv.end(), options.extra_args.begin(), options.extra_args.end());
    launch.working_directory = folder;
    launch.output_path = folder + "/nvr-output.txt";
    launch.error_path = folder + "/nvr-stderr.txt";
    launch.environment = options.environment;
    launch.stdin_pipe = false;
    if (Outcome started = process_.Start(launch); !started) return started;

    nlohmann::json line;
    if (!WaitFor({{"event", "listening"}}, 1, kReadyLimit, &line)) {
        return Outcome::Fail("wardex-nvr-sim did not announce itself: " + ReadFile(launch.error_path));
    }
    ready_ = ParseListening(line.dump());
    if (!control_.Connect(address_, ready_.control_port)) {
        ready_ = Listening();
        return Outcome::Fail("no command port");
    }
    return Outcome::Ok();
}

ExitStatus NvrSim::Stop() {
    stopping_ = true;
    if (answers_.joinable()) answers_.join();
    control_.Close();
    pipeline_.Close();
    return process_.Stop();
}

bool NvrSim::Command(const std::string& command) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    return control_.Ask(command) == "ok";
}

bool NvrSim::Send(const std::string& command) {
    if (!answers_.joinable()) {
        if (!pipeline_.Connect(address_, ready_.control_port)) return false;
        answers_ = std::thread([this] {
            std::string answer;
            while (!stopping_) {
                if (!pipeline_.Receive(answer, std::chrono::milliseconds(200))) continue;
                if (answer != "ok") ++refused_;
                ++answered_;
            }
        });
    }
    ++sent_;
    return pipeline_.Send(command);
}

bool NvrSim::WaitForAnswers(std::chrono::milliseconds limit) {
    return harness::WaitFor([this] { return answered_ >= sent_; }, limit, std::chrono::milliseconds(5)) &&
           refused_ == 0;
}

std::string NvrSim::RawOutput() const { return process_.Output(); }

std::vector<nlohmann::json> NvrSim::Lines() const {
    std::vector<nlohmann::json> lines;
    std::istringstream in(RawOutput());
    for (std::string text; std::getline(in, text);) {
        nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_discarded()) lines.push_back(std::move(line));
    }
    return lines;
}

int NvrSim::Count(const nlohmann::json& expected) const {
    int n = 0;
    for (const auto& line : Lines()) n += Matches(line, expected) ? 1 : 0;
    return n;
}

bool NvrSim::WaitFor(const nlohmann::json& expected, int count, std::chrono::milliseconds timeout,
                     nlohmann::json* found) const {
    return harness::WaitFor(
        [&] {
            int n = 0;
            for (const auto& line : Lines()) {
                if (Matches(line, expected) && ++n >= count) {
                    if (found != nullptr) *found = line;
                    return true;
                }
            }
            return false;
        },
        timeout, std::chrono::milliseconds(10));
}

}  // namespace harness
}  // namespace kv
