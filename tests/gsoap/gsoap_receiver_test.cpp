// The service against a receiver it did not write: wardex-gsoap-receiver, built on
// gSOAP's engine and its WS-Addressing and WS-ReliableMessaging plugins. Every payload
// type goes through the sequencer's public interface to each of gSOAP's four output
// styles, with HTTP keep-alive off and on. The sequencer's io_service runs on a thread of
// its own, as the network thread does in the service.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include "src/soap_helper.h"
#include "tests/soap/log_capture.h"

namespace {

using kv::test::LogCapture;
using std::chrono::milliseconds;

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// One wardex-gsoap-receiver for one test: started on 127.0.0.1 with a free port, ended
// by SIGTERM with the test, by the test process's death, or by its own lifetime.
class GsoapReceiver {
public:
    GsoapReceiver() = default;
    GsoapReceiver(const GsoapReceiver&) = delete;
    GsoapReceiver& operator=(const GsoapReceiver&) = delete;

    ~GsoapReceiver() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 300 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(milliseconds(10));
            }
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        if (!record_path_.empty()) std::remove(record_path_.c_str());
    }

    bool Start(const std::string& style, bool keep_alive) {
        char pattern[] = "/tmp/wardex-gsoap-records.XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) return false;
        ::close(fd);
        record_path_ = pattern;
        std::vector<std::string> args = {WARDEX_BIN_DIR "/wardex-gsoap-receiver", "--style", style, "--keep-alive",
                                         keep_alive ? "on" : "off", "--record", record_path_, "--lifetime", "240"};
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
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd waiting = {out[0], POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0) continue;
            char c = 0;
            if (::read(out[0], &c, 1) <= 0 || c == '\n') break;
            line += c;
        }
        ::close(out[0]);
        if (line.compare(0, 10, "listening ") != 0) return false;
        url_ = line.substr(10);
        return true;
    }

    const std::string& url() const { return url_; }

    // How often each (method, requestData) arrived.
    std::map<std::pair<std::string, std::string>, int> Deliveries() const {
        std::map<std::pair<std::string, std::string>, int> seen;
        std::ifstream file(record_path_);
        std::string line;
        while (std::getline(file, line)) {
            const size_t tab = line.find('\t');
            if (tab != std::string::npos) ++seen[{line.substr(0, tab), line.substr(tab + 1)}];
        }
        return seen;
    }

private:
    pid_t pid_ = -1;
    std::string url_;
    std::string record_path_;
};

// The sequencer on an io_service run by a thread of its own.
class Network {
public:
    explicit Network(const std::string& endpoint)
        : work_(new boost::asio::io_service::work(io_)), sequencer_(new kv::soap::SoapSequencer(io_)) {
        // Retries come quickly; the heartbeat repeats only long after the test.
        sequencer_->SetTimingForTesting(std::chrono::hours(1), milliseconds(50), milliseconds(500));
        sequencer_->UpdateServiceEndpoint(endpoint);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Network() {
        sequencer_->StopHeartbeat();
        work_.reset();
        io_.stop();
        thread_.join();
        sequencer_->Abandon();
        sequencer_.reset();
    }
    kv::soap::SoapSequencer& sequencer() { return *sequencer_; }

private:
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::unique_ptr<kv::soap::SoapSequencer> sequencer_;
    std::thread thread_;
};

struct Style {
    const char* name;
    bool keep_alive;
};

void PrintTo(const Style& style, std::ostream* out) {
    *out << style.name << (style.keep_alive ? " keep-alive" : " close");
}

std::string PrintStyle(const ::testing::TestParamInfo<Style>& info) {
    return std::string(info.param.name) + (info.param.keep_alive ? "_KeepAlive" : "_Close");
}

class GsoapReceiverTest : public ::testing::TestWithParam<Style> {};

// Payloads shaped like the service's (JSON; quotes, an ampersand and angle brackets
// travel as escaped text).
const std::vector<std::pair<std::string, std::string>> kPayloads = {
    {"SendAlarm", "{\"AlarmType\":7,\"Camera\":\"Gate & yard\",\"Guid\":\"a1\"}"},
    {"SendAlarm", "{\"AlarmType\":1,\"Camera\":\"<north>\",\"Guid\":\"a2\"}"},
    {"SendRecorderInfo", "{\"Recorder\":\"NVR-1\",\"Cameras\":16}"},
};
const char kHeartbeat[] = "{\"HeartBeat\":\"NVR-1\"}";
const char kNtpRequest[] = "{\"Recorder\":\"NVR-1\"}";

TEST_P(GsoapReceiverTest, EveryPayloadTypeIsDelivered) {
    const Style style = GetParam();
    GsoapReceiver receiver;
    ASSERT_TRUE(receiver.Start(style.name, style.keep_alive));
    LogCapture log;

    std::atomic<int> ntp_answers{0};
    std::string ntp_server;
    {
        Network network(receiver.url());
        for (const auto& payload : kPayloads) network.sequencer().SendEventMessage(payload.first, payload.second);
        network.sequencer().StartHeartbeat(kHeartbeat);
        network.sequencer().RequestNtpInfo(kNtpRequest, [&](const kv::soap::NtpInfo& info) {
            ntp_server = info.ntp_server_ip + ":" + info.ntp_server_port;
            ntp_answers.fetch_add(1);
        });

        const size_t expected = kPayloads.size() + 2;
        // Every exchange runs to its end: a LastMessage answered (or failed) per payload.
        const bool done = WaitFor(
            [&] {
                return receiver.Deliveries().size() == expected && ntp_answers.load() >= 1 &&
                       log.CountContaining("VERBOSE", ": LastMessage successful") +
                               log.CountContaining("ERROR", ": Process LastMessage response.") >=
                           static_cast<int>(expected);
            },
            std::chrono::seconds(60));
        EXPECT_TRUE(done) << "deliveries " << receiver.Deliveries().size();
        network.sequencer().StopHeartbeat();
    }

    const auto deliveries = receiver.Deliveries();
    for (const auto& payload : kPayloads) {
        EXPECT_EQ(1u, deliveries.count({payload.first, "[" + payload.second + "]"})) << payload.second;
    }
    EXPECT_EQ(1u, deliveries.count({"SendHeartBeat", std::string("[") + kHeartbeat + "]"}));
    EXPECT_EQ(1u, deliveries.count({"GetNTPServerInfo", std::string("[") + kNtpRequest + "]"}));
    EXPECT_EQ(1, ntp_answers.load());
    EXPECT_EQ("127.0.0.1:123", ntp_server);

    int duplicates = 0;
    for (const auto& delivery : deliveries) duplicates += delivery.second - 1;
    const std::vector<std::string> errors = log.Messages("ERROR");
    if (!style.keep_alive) {
        EXPECT_EQ(0, duplicates);
        // Accepting LastMessage's 202 Accepted (gSOAP's answer to a one-way message) is
        // part of the sequencer: without it every payload logs an ERROR here.
        EXPECT_TRUE(errors.empty()) << errors.size() << " ERROR lines, the first: " << errors.front();
    } else {
        // gSOAP swallows the request that follows a LastMessage on a kept-alive
        // connection; the sequencer's transfer timeout and retry carry that payload. A
        // payload may arrive twice only when its answer was lost that way.
        int timeouts = 0;
        for (const std::string& error : errors) {
            if (error.find("HTTP Post failed") != std::string::npos || error.find("failed: (") != std::string::npos) {
                ++timeouts;
            }
        }
        EXPECT_LE(duplicates, timeouts);
        for (const std::string& error : errors) {
            EXPECT_TRUE(error.find("XML response") == std::string::npos) << "an answer was misread: " << error;
        }
    }
    EXPECT_EQ(0, log.CountContaining("ERROR", "XML response"));
}

INSTANTIATE_TEST_SUITE_P(Styles, GsoapReceiverTest,
                         ::testing::Values(Style{"default", false}, Style{"defaultns", false},
                                           Style{"canonical", false}, Style{"both", false}, Style{"default", true},
                                           Style{"defaultns", true}, Style{"canonical", true}, Style{"both", true}),
                         PrintStyle);

}  // namespace
