// Runs the built service as a child process in a scratch working directory whose
// "./wardex.json" keeps every connection on 127.0.0.1 (the built-in receiver endpoint
// must never be used from a test).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/foundation/test_dir.h"
#include "tests/support/loopback_port.h"

namespace {

using kv::testing::Exists;
using kv::testing::ListDir;
using kv::testing::ReadFile;
using kv::testing::TestDir;
using kv::testing::UnusedLoopbackPort;
using kv::testing::WriteFile;

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kExitTimeout = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(20);

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ProcessEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        work_ = dir_.Join("work");
        ASSERT_EQ(0, ::mkdir(work_.c_str(), 0700));
        const int port = UnusedLoopbackPort();
        ASSERT_GT(port, 0);
        config_ = "{\n    \"server_address\": \"127.0.0.1\",\n    \"service_endpoint\": \"http://127.0.0.1:" +
                  std::to_string(port) + "/WXAlarmReceiver/Receiver.svc\"\n}";
        ASSERT_TRUE(WriteFile(work_ + "/wardex.json", config_));
    }

    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }

    // Starts bin/wardex with `args` in the working directory; standard output and error
    // go to files beside it.
    void Start(const std::vector<std::string>& args) {
        const std::string program = std::string(WARDEX_BIN_DIR) + "/wardex";
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        const std::string out = stdout_path();
        const std::string err = dir_.Join("stderr.txt");

        pid_ = ::fork();
        last_pid_ = pid_;
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
                ::chdir(work_.c_str()) != 0) {
                ::_exit(126);
            }
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }

    // Waits for the child to end; false (and the child killed) when it does not.
    bool WaitExit(int& status) {
        const auto deadline = std::chrono::steady_clock::now() + kExitTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(kPoll);
        }
        return false;
    }

    // Every log file of the run, in name order.
    std::string LogText() const {
        std::vector<std::string> names = ListDir(work_ + "/logs");
        std::sort(names.begin(), names.end());
        std::string text;
        for (const std::string& name : names) text += ReadFile(work_ + "/logs/" + name);
        return text;
    }

    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const std::string& line : Lines(LogText())) messages.push_back(line.size() >= 46 ? line.substr(46) : line);
        return messages;
    }

    // Both worker threads are up once the network thread has said so.
    bool WaitUntilRunning() {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (LogText().find("Starting io service thread\n") != std::string::npos) return true;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                ADD_FAILURE() << "service ended early, status " << status << ": " << ReadFile(dir_.Join("stderr.txt"));
                return false;
            }
            std::this_thread::sleep_for(kPoll);
        }
        ADD_FAILURE() << "service did not start: " << ReadFile(dir_.Join("stderr.txt"));
        return false;
    }

    std::string stdout_path() const { return dir_.Join("stdout.txt"); }

    // Runs the service until `signals` are sent, then checks the orderly stop.
    void RunAndStop(const std::vector<std::string>& args, const std::vector<int>& signals) {
        Start(args);
        ASSERT_TRUE(WaitUntilRunning());
        for (const int signal : signals) ASSERT_EQ(0, ::kill(pid_, signal));
        int status = -1;
        ASSERT_TRUE(WaitExit(status)) << "service did not stop";
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ": " << ReadFile(dir_.Join("stderr.txt"));
        EXPECT_EQ(0, WEXITSTATUS(status));

        const std::vector<std::string> messages = LogMessages();
        const char* const kStopOrder[] = {"Stopping integration", "Received stop signal", "Stopping io_service",
                                          "Completed io service thread", "Integration stopped"};
        auto from = messages.begin();
        for (const char* expected : kStopOrder) {
            from = std::find(from, messages.end(), expected);
            ASSERT_NE(messages.end(), from) << "missing or out of order: " << expected << "\n" << LogText();
        }
        EXPECT_EQ(1, std::count(messages.begin(), messages.end(), "Stopping integration"));

        const std::string printed = ReadFile(stdout_path());
        const size_t stopped = printed.find("\x1b[0m Integration stopped\n");
        ASSERT_NE(std::string::npos, stopped) << printed;
        EXPECT_NE(std::string::npos, printed.find("\nBye\n", stopped)) << printed;
    }

    TestDir dir_;
    std::string work_;
    std::string config_;
    pid_t pid_ = -1;       // the running child, -1 once reaped
    pid_t last_pid_ = -1;  // the child of the last Start, for its banner
};

TEST_F(ProcessEntryTest, VersionFlagPrintsTheVersionAndStartsNothing) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-v"}, {"-v", "extra"}}) {
        Start(args);
        int status = -1;
        ASSERT_TRUE(WaitExit(status));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status));
        EXPECT_EQ("1.0.3.0\n", ReadFile(stdout_path()));
        EXPECT_FALSE(Exists(work_ + "/logs"));
        EXPECT_EQ(config_, ReadFile(work_ + "/wardex.json"));
    }
}

TEST_F(ProcessEntryTest, SigtermStopsInOrder) { RunAndStop({}, {SIGTERM}); }

TEST_F(ProcessEntryTest, SigintStopsInOrder) { RunAndStop({}, {SIGINT}); }

TEST_F(ProcessEntryTest, OtherFirstArgumentRunsTheService) { RunAndStop({"-V"}, {SIGTERM}); }

TEST_F(ProcessEntryTest, SecondSignalDuringStopIsAbsorbed) {
    RunAndStop({}, {SIGTERM, SIGINT, SIGTERM});
}

TEST_F(ProcessEntryTest, BannerGoesToTheDayFileAndTheConsole) {
    RunAndStop({}, {SIGTERM});
    const std::vector<std::string> names = ListDir(work_ + "/logs");
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{8}\.txt)"))) << names[0];

    const std::vector<std::string> lines = Lines(ReadFile(work_ + "/logs/" + names[0]));
    ASSERT_GE(lines.size(), 2u);
    const std::string stamp = R"((\d{4})-(\d\d)-(\d\d)T\d\d:\d\d:\d\d\.000Z)";
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(lines[0], parts, std::regex(stamp + " main        INFO     ={50}"))) << lines[0];
    EXPECT_EQ(parts[1].str() + parts[2].str() + parts[3].str() + ".txt", names[0]);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + " main        INFO     starting wardex 1\\.0\\.3\\.0, pid=" +
                                                      std::to_string(last_pid_))))
        << lines[1];
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, std::regex(stamp + " .{11} (VERBOSE |INFO    |WARNING |ERROR   |CRITICAL) .*")))
            << line;
    }

    const std::string printed = ReadFile(stdout_path());
    EXPECT_TRUE(std::regex_search(printed, std::regex("^\x1b\\[32m\\[" + stamp + "\\]\x1b\\[0m ={50}\n")))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("\x1b[0m starting wardex 1.0.3.0, pid=" + std::to_string(last_pid_) + "\n"));
}

}  // namespace
