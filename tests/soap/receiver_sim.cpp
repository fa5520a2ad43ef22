#include "tests/soap/receiver_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace kv {
namespace test {

namespace {

// Reads one line from `fd`, giving up after `limit`.
bool ReadLine(int fd, std::string& line, std::chrono::milliseconds limit) {
    line.clear();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd waiting = {fd, POLLIN, 0};
        if (::poll(&waiting, 1, 100) <= 0) continue;
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

}  // namespace

ReceiverSim::~ReceiverSim() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (!record_path_.empty()) std::remove(record_path_.c_str());
}

bool ReceiverSim::Start(const std::vector<std::string>& extra_args) {
    char pattern[] = "/tmp/wardex-receiver-records.XXXXXX";
    const int record_fd = ::mkstemp(pattern);
    if (record_fd < 0) return false;
    ::close(record_fd);
    record_path_ = pattern;

    std::vector<std::string> args = {WARDEX_BIN_DIR "/wardex-receiver-sim", "--address", address_, "--port",
                                     "0", "--control-port", "0", "--record", record_path_, "--lifetime", "300"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0) return false;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string listening, control;
    const bool announced = ReadLine(out[0], listening, std::chrono::seconds(20)) &&
                           ReadLine(out[0], control, std::chrono::seconds(5));
    ::close(out[0]);
    if (!announced || listening.compare(0, 10, "listening ") != 0 || control.compare(0, 8, "control ") != 0) {
        return false;
    }
    url_ = listening.substr(10);
    control_port_ = std::atoi(control.substr(control.rfind(':') + 1).c_str());
    return control_port_ > 0;
}

std::string ReceiverSim::Command(const std::string& line) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "error socket";
    struct timeval limit = {10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(control_port_));
    if (::inet_pton(AF_INET, address_.c_str(), &address.sin_addr) != 1) address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply = "error connect";
    if (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string text = line + "\n";
        if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
            if (!ReadLine(fd, reply, std::chrono::seconds(10))) reply = "error no reply";
        }
    }
    ::close(fd);
    return reply;
}

nlohmann::json ReceiverSim::Stats() {
    const std::string reply = Command("stats");
    if (reply.compare(0, 3, "ok ") != 0) return nlohmann::json::object();
    return nlohmann::json::parse(reply.substr(3), nullptr, false);
}

std::vector<nlohmann::json> ReceiverSim::Records() const {
    std::vector<nlohmann::json> records;
    std::ifstream file(record_path_);
    std::string line;
    while (std::getline(file, line)) {
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_discarded()) records.push_back(std::move(record));
    }
    return records;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit, std::chrono::milliseconds period) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}

}  // namespace test
}  // namespace kv
