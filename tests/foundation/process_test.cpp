// Runs the built service as a child process in a scratch working directory whose
// "./wardex.json" keeps every connection on 127.0.0.1 (the built-in receiver endpoint
// must never be used from a test).
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/harness/process.h"
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

    // Starts bin/wardex with `args` in the working directory; standard output and error
    // go to fresh files beside it.
    void Start(const std::vector<std::string>& args) {
        std::remove(stdout_path().c_str());
        std::remove(dir_.Join("stderr.txt").c_str());
        kv::harness::ProcessOptions options;
        options.argv = {std::string(WARDEX_BIN_DIR) + "/wardex"};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.working_directory = work_;
        options.output_path = stdout_path();
        options.error_path = dir_.Join("stderr.txt");
        process_ = std::make_unique<kv::harness::Process>();
        ASSERT_TRUE(process_->Start(options));
    }

    // Waits for the child to end; false when it does not.
    bool WaitExit(int& status) { return process_->Wait(kExitTimeout, &status); }

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
            if (!process_->running()) {
                ADD_FAILURE() << "service ended early: " << ReadFile(dir_.Join("stderr.txt"));
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
        for (const int signal : signals) ASSERT_TRUE(process_->Signal(signal));
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
    std::unique_ptr<kv::harness::Process> process_;
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
                                                      std::to_string(process_->pid()))))
        << lines[1];
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, std::regex(stamp + " .{11} (VERBOSE |INFO    |WARNING |ERROR   |CRITICAL) .*")))
            << line;
    }

    const std::string printed = ReadFile(stdout_path());
    EXPECT_TRUE(std::regex_search(printed, std::regex("^\x1b\\[32m\\[" + stamp + "\\]\x1b\\[0m ={50}\n")))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("\x1b[0m starting wardex 1.0.3.0, pid=" + std::to_string(process_->pid()) + "\n"));
}

}  // namespace
