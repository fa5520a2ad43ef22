#include "tests/connection/nvr_sim_process.h"

#include <csignal>
#include <sstream>
#include <thread>

namespace kv {
namespace testing {

namespace {

bool Matches(const nlohmann::json& line, const nlohmann::json& expected) {
    if (!line.is_object()) return false;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        auto found = line.find(it.key());
        if (found == line.end() || *found != it.value()) return false;
    }
    return true;
}

}  // namespace

NvrSimProcess::NvrSimProcess(const std::string& scenario_json, const std::string& address, uint16_t port) {
    const std::string scenario = dir_.File("scenario.json");
    if (!WriteFile(scenario, scenario_json)) return;
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(WARDEX_BIN_DIR) + "/wardex-nvr-sim", "--scenario", scenario, "--address", address, "--port", std::to_string(port),
                                 "--exit-after", "300"},
        dir_.path(), dir_.File("output.txt"));
    nlohmann::json listening;
    if (WaitFor({{"event", "listening"}}, 1, std::chrono::seconds(10), &listening)) {
        port_ = listening["port"].get<uint16_t>();
        control_port_ = listening["control_port"].get<uint16_t>();
    }
}

NvrSimProcess::~NvrSimProcess() {
    if (!process_) return;
    process_->WriteLine("quit");
    if (!process_->Wait(std::chrono::seconds(5))) process_->Signal(SIGKILL);
}

bool NvrSimProcess::Signal(int signal) { return process_ && process_->Signal(signal); }

bool NvrSimProcess::Command(const std::string& command) {
    if (!process_) return false;
    const nlohmann::json ack = {{"event", "command"}, {"command", command}};
    const int before = Count(ack);
    if (!process_->WriteLine(command)) return false;
    nlohmann::json line;
    return WaitFor(ack, before + 1, std::chrono::seconds(10), &line) && line.value("ok", false);
}

std::string NvrSimProcess::RawOutput() const { return process_ ? process_->Output() : std::string(); }

std::vector<nlohmann::json> NvrSimProcess::Lines() const {
    std::vector<nlohmann::json> lines;
    std::istringstream in(RawOutput());
    for (std::string text; std::getline(in, text);) {
        nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_discarded()) lines.push_back(std::move(line));
    }
    return lines;
}

int NvrSimProcess::Count(const nlohmann::json& expected) const {
    int n = 0;
    for (const auto& line : Lines()) n += Matches(line, expected) ? 1 : 0;
    return n;
}

bool NvrSimProcess::WaitFor(const nlohmann::json& expected, int count, std::chrono::milliseconds timeout,
                            nlohmann::json* found) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int n = 0;
        for (const auto& line : Lines()) {
            if (!Matches(line, expected)) continue;
            if (++n >= count) {
                if (found) *found = line;
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace testing
}  // namespace kv
