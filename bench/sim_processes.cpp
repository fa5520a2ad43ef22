#include "bench/sim_processes.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace kv {
namespace bench {

ReceiverProcess::~ReceiverProcess() { Stop(); }

bool ReceiverProcess::Start(const std::string& scratch, const std::vector<std::string>& extra_args,
                            RecordHandler on_record) {
    std::vector<std::string> args = {BinDir() + "/wardex-receiver-sim", "--address", "127.0.0.1", "--port", "0",
                                     "--control-port", "0", "--lifetime", "900"};
    if (on_record) {
        args.push_back("--record");
        args.push_back("-");
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (!child_.Start(args, scratch, std::string(), scratch + "/receiver-stderr.txt")) return false;

    std::string listening, control;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    if (!ReadLine(child_.stdout_fd(), listening, deadline) || !ReadLine(child_.stdout_fd(), control, deadline)) {
        return false;
    }
    if (listening.compare(0, 10, "listening ") != 0 || control.compare(0, 8, "control ") != 0) return false;
    url_ = listening.substr(10);
    control_port_ = std::atoi(control.substr(control.rfind(':') + 1).c_str());

    // Records come one per line, flushed; the stamp is taken as soon as the line is whole.
    const int fd = child_.stdout_fd();
    reader_ = std::thread([fd, on_record] {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n <= 0) return;
            const Clock::time_point arrived = Clock::now();
            pending.append(buffer, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
                if (!on_record) continue;
                nlohmann::json record = nlohmann::json::parse(pending.substr(start, end - start), nullptr, false);
                if (!record.is_discarded()) on_record(record, arrived);
            }
            pending.erase(0, start);
        }
    });
    control_open_ = control_.Connect(control_port_);
    return control_open_;
}

void ReceiverProcess::Stop() {
    // The reader ends at end of file, which the child's exit gives it.
    if (child_.pid() > 0) ::kill(child_.pid(), SIGTERM);
    if (reader_.joinable()) reader_.join();
    child_.Stop(std::chrono::seconds(5));
}

std::string ReceiverProcess::Command(const std::string& line) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (!control_open_) return "error not connected";
    return control_.Ask(line);
}

nlohmann::json ReceiverProcess::Stats() {
    const std::string answer = Command("stats");
    if (answer.compare(0, 3, "ok ") != 0) return nlohmann::json::object();
    nlohmann::json stats = nlohmann::json::parse(answer.substr(3), nullptr, false);
    return stats.is_discarded() ? nlohmann::json::object() : stats;
}

NvrProcess::~NvrProcess() { Stop(); }

bool NvrProcess::Start(const std::string& scratch, const nlohmann::json& scenario,
                       const std::vector<std::string>& environment) {
    const std::string scenario_path = scratch + "/scenario.json";
    const std::string output = scratch + "/nvr-output.txt";
    if (!WriteTextFile(scenario_path, scenario.dump())) return false;
    if (!child_.Start({BinDir() + "/wardex-nvr-sim", "--scenario", scenario_path, "--address", "127.0.0.1", "--port",
                       "0", "--no-stdin", "--exit-after", "900", "--seed", "1"},
                      scratch, output, scratch + "/nvr-stderr.txt", environment)) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && port_ == 0) {
        std::istringstream lines(ReadTextFile(output));
        for (std::string text; std::getline(lines, text);) {
            const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
            if (line.is_object() && line.value("event", "") == "listening") {
                port_ = line.value("port", 0);
                control_port_ = line.value("control_port", 0);
            }
        }
        if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (port_ == 0 || !control_.Connect(control_port_)) return false;
    answers_ = std::thread([this] {
        std::string answer;
        while (!stopping_) {
            if (!control_.Receive(answer, std::chrono::milliseconds(200))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (answer != "ok") ++refused_;
            ++answered_;
        }
    });
    return true;
}

void NvrProcess::Stop() {
    stopping_ = true;
    if (answers_.joinable()) answers_.join();
    child_.Stop(std::chrono::seconds(5));
}

bool NvrProcess::Send(const std::string& command) {
    ++sent_;
    return control_.Send(command);
}

bool NvrProcess::WaitForAnswers(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (answered_ < sent_) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return refused_ == 0;
}

}  // namespace bench
}  // namespace kv
