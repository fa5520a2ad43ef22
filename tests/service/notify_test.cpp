// systemd notification: the messages sd_notify sends, read from a datagram socket of the
// test's own named by NOTIFY_SOCKET, first from ServiceNotifier with threads the test
// holds, then from the whole service started as systemd would start it.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/service/service_notify.h"
#include "tests/service/service_fixture.h"

namespace kv {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// The receiving end of NOTIFY_SOCKET: an AF_UNIX datagram socket in a scratch folder.
class NotifySocket {
public:
    NotifySocket() {
        path_ = dir_.File("notify");
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return bound_; }
    const std::string& path() const { return path_; }

    // The next datagram, or "" when none arrives within `timeout`.
    std::string Receive(milliseconds timeout) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::string();
        char buffer[4096];
        const ssize_t size = ::recv(fd_, buffer, sizeof(buffer), 0);
        return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : std::string();
    }

    // Every datagram until one satisfies `match` (returned) or `timeout` passes ("").
    std::string WaitFor(const std::function<bool(const std::string&)>& match, milliseconds timeout,
                        std::vector<std::string>* seen = nullptr) {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            std::string message = Receive(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
            if (message.empty()) continue;
            if (seen != nullptr) seen->push_back(message);
            if (match(message)) return message;
        }
        return std::string();
    }

private:
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

bool Starts(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

class NotifierEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(socket_.bound());
        ::setenv("NOTIFY_SOCKET", socket_.path().c_str(), 1);
        ::setenv("WATCHDOG_USEC", "400000", 1);  // pings every 200 ms
        ::unsetenv("WATCHDOG_PID");
    }
    void TearDown() override {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
    }

    NotifySocket socket_;
};

// A thread that marks progress every 20 ms unless the test holds it, the way a thread
// stuck in a call would stop marking.
class Worker {
public:
    Worker() : thread_([this] { Run(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ = false;
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Hold(bool held) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ = held;
        }
        changed_.notify_all();
    }
    const ProgressStamp& progress() const { return progress_; }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            changed_.wait_for(lock, milliseconds(20), [this] { return done_ || held_; });
            changed_.wait(lock, [this] { return done_ || !held_; });
            progress_.Mark();
        }
    }

    ProgressStamp progress_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool done_ = false;
    std::thread thread_;
};

// Ticks the notifier on a thread of its own, as the service's main thread does.
class Ticker {
public:
    Ticker(ServiceNotifier& notifier, std::function<std::string()> status)
        : thread_([this, &notifier, status] {
              while (!stop_.load()) {
                  notifier.Tick(status());
                  std::this_thread::sleep_for(milliseconds(50));
              }
          }) {}
    ~Ticker() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ServiceNotifierOff, WithoutNotifySocketNothingIsSent) {
    NotifySocket socket;
    ASSERT_TRUE(socket.bound());
    ::unsetenv("NOTIFY_SOCKET");
    ProgressStamp progress;
    ServiceNotifier notifier({&progress});
    EXPECT_FALSE(notifier.enabled());
    notifier.Ready("status");
    notifier.Tick("other status");
    notifier.Stopping();
    EXPECT_EQ("", socket.Receive(milliseconds(200)));
}

TEST_F(NotifierEnvironment, ReadyStatusAndPingsStopWhileAThreadIsHeld) {
    Worker network;
    Worker client_library;
    ServiceNotifier::Settings settings;
    settings.stall_limit = milliseconds(600);
    settings.status_interval = milliseconds(300);
    ServiceNotifier notifier({&network.progress(), &client_library.progress()}, settings);
    ASSERT_TRUE(notifier.enabled());

    notifier.Ready("recorder off-line");
    EXPECT_EQ("READY=1\nSTATUS=recorder off-line", socket_.Receive(seconds(2)));

    std::atomic<int> count{0};
    {
        Ticker ticker(notifier, [&] { return "recorder on-line, " + std::to_string(count.load()); });
        // The changed text is sent, and both threads progressing give pings.
        EXPECT_NE("", socket_.WaitFor([](const std::string& m) { return m == "STATUS=recorder on-line, 0"; }, seconds(5)));
        EXPECT_NE("", socket_.WaitFor([](const std::string& m) { return m == "WATCHDOG=1"; }, seconds(5)));

        // A held client-library thread stops the pings once the stall limit has passed,
        // while the status still goes out.
        client_library.Hold(true);
        std::this_thread::sleep_for(settings.stall_limit + milliseconds(300));
        while (!socket_.Receive(milliseconds(0)).empty()) {
        }
        count.store(1);
        std::vector<std::string> seen;
        socket_.WaitFor([](const std::string&) { return false; }, seconds(2), &seen);
        for (const std::string& message : seen) EXPECT_NE("WATCHDOG=1", message);
        EXPECT_NE(std::find(seen.begin(), seen.end(), "STATUS=recorder on-line, 1"), seen.end());

        // Released, it marks progress again and the pings return.
        client_library.Hold(false);
        EXPECT_NE("", socket_.WaitFor([](const std::string& m) { return m == "WATCHDOG=1"; }, seconds(5)));

        // The same for the network thread.
        network.Hold(true);
        std::this_thread::sleep_for(settings.stall_limit + milliseconds(300));
        while (!socket_.Receive(milliseconds(0)).empty()) {
        }
        seen.clear();
        socket_.WaitFor([](const std::string&) { return false; }, seconds(2), &seen);
        for (const std::string& message : seen) EXPECT_NE("WATCHDOG=1", message);
        network.Hold(false);
    }
    notifier.Stopping();
    EXPECT_NE("", socket_.WaitFor([](const std::string& m) { return m == "STOPPING=1"; }, seconds(2)));
}

TEST_F(NotifierEnvironment, StatusIsNotSentMoreOftenThanTheInterval) {
    ProgressStamp progress;
    ServiceNotifier::Settings settings;
    settings.status_interval = seconds(30);
    ::unsetenv("WATCHDOG_USEC");
    ServiceNotifier notifier({&progress}, settings);
    notifier.Ready("a");
    EXPECT_EQ("READY=1\nSTATUS=a", socket_.Receive(seconds(2)));
    notifier.Tick("b");
    notifier.Tick("c");
    EXPECT_EQ("", socket_.Receive(milliseconds(300)));  // no watchdog set, no status yet
}

TEST_F(NotifierEnvironment, AChangedStateIsSentAtOnceWhateverTheInterval) {
    ProgressStamp progress;
    ServiceNotifier::Settings settings;
    settings.status_interval = seconds(30);
    ::unsetenv("WATCHDOG_USEC");
    ServiceNotifier notifier({&progress}, settings);
    ServiceState state;  // recorder off-line, receiver unreachable
    notifier.Ready(ServiceStatus{"off, unreachable, 0", state});
    EXPECT_EQ("READY=1\nSTATUS=off, unreachable, 0", socket_.Receive(seconds(2)));

    // Only a counter moved: it waits for the interval.
    notifier.Tick(ServiceStatus{"off, unreachable, 1", state});
    EXPECT_EQ("", socket_.Receive(milliseconds(200)));

    // The login: at once, with the counters as they are now.
    state.recorder_online = true;
    notifier.Tick(ServiceStatus{"on, unreachable, 1", state});
    EXPECT_EQ("STATUS=on, unreachable, 1", socket_.Receive(seconds(2)));
    notifier.Tick(ServiceStatus{"on, unreachable, 1", state});
    notifier.Tick(ServiceStatus{"on, unreachable, 2", state});
    EXPECT_EQ("", socket_.Receive(milliseconds(200)));

    // The receiver reached, then lost, then the recorder lost: each at once.
    state.receiver_reachable = true;
    notifier.Tick(ServiceStatus{"on, reachable, 2", state});
    EXPECT_EQ("STATUS=on, reachable, 2", socket_.Receive(seconds(2)));
    state.receiver_reachable = false;
    notifier.Tick(ServiceStatus{"on, unreachable, 2", state});
    EXPECT_EQ("STATUS=on, unreachable, 2", socket_.Receive(seconds(2)));
    state.recorder_online = false;
    notifier.Tick(ServiceStatus{"off, unreachable, 2", state});
    EXPECT_EQ("STATUS=off, unreachable, 2", socket_.Receive(seconds(2)));

    // A text without a state keeps the last one: no change, so the interval rules.
    notifier.Tick("off, unreachable, 3");
    EXPECT_EQ("", socket_.Receive(milliseconds(200)));
}

TEST_F(NotifierEnvironment, MovingCountersAreSentOncePerInterval) {
    ProgressStamp progress;
    ServiceNotifier::Settings settings;
    settings.status_interval = milliseconds(200);
    ::unsetenv("WATCHDOG_USEC");
    ServiceNotifier notifier({&progress}, settings);
    const ServiceState state{true, true};
    notifier.Ready(ServiceStatus{"0 delivered", state});
    EXPECT_EQ("READY=1\nSTATUS=0 delivered", socket_.Receive(seconds(2)));

    // An alarm every 10 ms, each changing the text, for at least a second.
    const auto start = Clock::now();
    for (int delivered = 1; delivered <= 100; ++delivered) {
        notifier.Tick(ServiceStatus{std::to_string(delivered) + " delivered", state});
        std::this_thread::sleep_for(milliseconds(10));
    }
    const auto elapsed = Clock::now() - start;
    std::vector<std::string> seen;
    socket_.WaitFor([](const std::string&) { return false; }, milliseconds(300), &seen);
    // Never closer than the interval, and the counters did show while they moved.
    EXPECT_LE(seen.size(), static_cast<size_t>(elapsed / settings.status_interval) + 1);
    EXPECT_GE(seen.size(), 2u);
    for (const std::string& message : seen) EXPECT_TRUE(Starts(message, "STATUS=")) << message;
}

// The service itself, started as systemd starts a Type=notify unit with a watchdog.
TEST_F(ServiceTest, NotifiesSystemdOfReadinessStatusWatchdogAndStop) {
    NotifySocket socket;
    ASSERT_TRUE(socket.bound());
    ::setenv("NOTIFY_SOCKET", socket.path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    ::unsetenv("WATCHDOG_PID");
    StartNvr(BaseScenario());
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    const std::regex status_line(
        "recorder (on|off)-line, receiver (reachable|unreachable), [0-9]+ alarms delivered, [0-9]+ waiting");
    const std::string ready = socket.WaitFor([](const std::string& m) { return Starts(m, "READY=1\n"); }, seconds(20));
    ASSERT_NE("", ready) << Log();
    EXPECT_TRUE(std::regex_match(ready.substr(ready.find("STATUS=") + 7), status_line)) << ready;

    ASSERT_TRUE(WaitForRegistration()) << Log();
    const std::string online = socket.WaitFor(
        [](const std::string& m) { return Starts(m, "STATUS=recorder on-line, receiver reachable, "); }, seconds(20));
    EXPECT_TRUE(std::regex_match(online.substr(7), status_line)) << online;
    EXPECT_NE("", socket.WaitFor([](const std::string& m) { return m == "WATCHDOG=1"; }, seconds(10)));

    ASSERT_TRUE(service_->Signal(SIGTERM));
    EXPECT_NE("", socket.WaitFor([](const std::string& m) { return m == "STOPPING=1"; }, seconds(10)));
    int status = 0;
    ASSERT_TRUE(service_->Wait(seconds(30), &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Sends SIGCONT to a stopped simulator however the test ends, so that it can be stopped.
class ResumeOnExit {
public:
    explicit ResumeOnExit(NvrSimProcess& process) : process_(process) {}
    ~ResumeOnExit() {
        if (stopped_) process_.Signal(SIGCONT);
    }
    bool Stop() { return stopped_ = process_.Signal(SIGSTOP); }
    bool Resume() {
        stopped_ = false;
        return process_.Signal(SIGCONT);
    }

private:
    NvrSimProcess& process_;
    bool stopped_ = false;
};

// Twenty events wait in the client library when the recorder goes silent, the first of
// them in a query that will never be answered: the client-library thread pays one query
// deadline, keeps the watchdog pings coming, and the recorder is reported off-line once
// and on-line once when it resumes.
TEST_F(ServiceTest, QueuedEventsOnASilentRecorderNeverStarveTheWatchdog) {
    NotifySocket socket;
    ASSERT_TRUE(socket.bound());
    ::setenv("NOTIFY_SOCKET", socket.path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);  // a ping every second while all threads progress
    ::unsetenv("WATCHDOG_PID");
    StartNvr(BaseScenario());
    StartReceiver();
    WriteConfig(ServiceOptions{});
    StartService();
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(WaitForRegistration()) << Log();
    ASSERT_NE("", socket.WaitFor([](const std::string& m) { return m == "WATCHDOG=1"; }, seconds(10)));

    ASSERT_TRUE(nvr_->Command("stall GetDriveMessage on"));
    const char* const kEvents[] = {"event 17 index=12 status=1", "event 5 index=0 status=3", "event 6 index=1 status=1",
                                   "event 5 index=0 status=0"};
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(nvr_->Command(kEvents[i % 4]));
    ResumeOnExit recorder(*nvr_);
    ASSERT_TRUE(recorder.Stop());
    const Clock::time_point stopped = Clock::now();

    // Watch the pings until the off-line alarm has come and a few seconds more.
    Clock::time_point last_ping = stopped;
    Clock::duration longest_gap{0};
    Clock::time_point offline_seen{};
    const Clock::time_point give_up = stopped + seconds(60);
    while (Clock::now() < give_up) {
        if (socket.Receive(milliseconds(200)) == "WATCHDOG=1") {
            longest_gap = std::max(longest_gap, Clock::now() - last_ping);
            last_ping = Clock::now();
        }
        if (offline_seen == Clock::time_point() && !Alarms("6").empty()) offline_seen = Clock::now();
        if (offline_seen != Clock::time_point() && Clock::now() - offline_seen > seconds(3)) break;
    }
    longest_gap = std::max(longest_gap, Clock::now() - last_ping);
    ASSERT_NE(offline_seen, Clock::time_point()) << Log();
    EXPECT_LT(longest_gap, seconds(5)) << "the watchdog pings paused; " << Log();
    EXPECT_EQ(Alarms("6").size(), 1u) << Log();
    EXPECT_EQ(nvr_->Count({{"event", "stalled_call"}, {"op", "GetDriveMessage"}}), 1) << "one deadline";

    // Every queued event still became its alarm (the drive messages without their text).
    ASSERT_TRUE(WaitForAlarm("4", 5)) << Log();
    ASSERT_TRUE(WaitForAlarm("1", 5)) << Log();
    ASSERT_TRUE(WaitForAlarm("7", 5)) << Log();
    ASSERT_TRUE(WaitForAlarm("2", 5)) << Log();
    EXPECT_EQ(CountInLog("Drive 12: recorder query failed"), 1) << Log();

    ASSERT_TRUE(recorder.Resume());
    ASSERT_TRUE(nvr_->Command("stall GetDriveMessage off"));
    ASSERT_TRUE(WaitForAlarm("5", 2, seconds(30))) << Log();
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(Alarms("5").size(), 2u) << Log();
    EXPECT_EQ(Alarms("6").size(), 1u) << Log();
    StopService();
}

}  // namespace
}  // namespace testing
}  // namespace kv
