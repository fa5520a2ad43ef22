// How libkvAPI.so notices a dead link and stays bounded: the ping and its timeout against
// wardex-nvr-sim ("ping off", SIGSTOP), TCP keepalive on the client socket, call and
// select deadlines under a server that never stops talking, and the event queue's bound
// with its drop count, which the connection manager shows in its status text. The last
// cases use a scripted server on a thread of the test, written line by line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/TrevaskConnect.h"
#include "kvapi/kvAPI.h"
#include "tests/connection/nvr_sim_process.h"

namespace {

using kv::testing::NvrSimProcess;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kScenario[] = R"({"credentials": {"user": "admin", "password": "tulip482"}, "loaded_after_ms": 0})";
constexpr int kEventsDropped = 1000;
constexpr int kCallTimedOut = -3;

struct Events {
    std::vector<int> types;
    std::vector<intptr_t> statuses;
    std::vector<uint32_t> indexes;
};

int Record(int type, intptr_t status, PayloadType* payload, size_t, void* user) {
    auto* events = static_cast<Events*>(user);
    events->types.push_back(type);
    events->statuses.push_back(status);
    events->indexes.push_back(payload ? payload->index : 0);
    return 0;
}

// Short ping timings through the library's test hook, for handles created afterwards.
void UseShortPings() {
    ::setenv("WARDEX_KVAPI_TEST_PING_INTERVAL_MS", "200", 1);
    ::setenv("WARDEX_KVAPI_TEST_PING_TIMEOUT_MS", "800", 1);
}

class LivenessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.started()) << sim_.RawOutput(); }
    void TearDown() override {
        if (handle_) {
            KVAPI_Close(handle_);
            KVAPI_Cleanup(handle_);
        }
    }

    void LogIn() {
        handle_ = KVAPI_Init();
        ASSERT_NE(handle_, nullptr);
        KVAPI_SetCallbackEx(handle_, Record, &events_);
        KVAPI_SetNonBlocking(handle_, 3);
        ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
        ASSERT_EQ(KVAPI_Login(handle_, "admin", "tulip482"), 0);
        for (int i = 0; i < 500 && events_.types.empty(); ++i) ASSERT_GE(KVAPI_Select(handle_, 10), 0);
        ASSERT_FALSE(events_.types.empty());
        ASSERT_EQ(events_.types[0], 71);
    }

    // Selects for `span` or until a select fails; returns how long it took.
    milliseconds SelectFor(milliseconds span, int* last) {
        const auto start = Clock::now();
        *last = 0;
        while (Clock::now() - start < span && *last >= 0) *last = KVAPI_Select(handle_, 10);
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }

    NvrSimProcess sim_{kScenario};
    KVAPI_HANDLE handle_ = nullptr;
    Events events_;
};

TEST_F(LivenessTest, AnsweredPingsKeepAQuietLinkUp) {
    UseShortPings();
    LogIn();
    int last = 0;
    SelectFor(milliseconds(2500), &last);  // about twelve pings, three timeouts long
    EXPECT_GE(last, 0) << "a server that answers its pings is not lost, however quiet";
}

TEST_F(LivenessTest, UnansweredPingsMakeSelectFailAfterTheTimeout) {
    UseShortPings();
    LogIn();
    ASSERT_TRUE(sim_.Command("ping off"));
    int last = 0;
    const milliseconds took = SelectFor(milliseconds(10000), &last);
    EXPECT_LT(last, 0) << "the silent server is declared lost";
    EXPECT_GE(took.count(), 800) << "not before an answer is overdue";
    EXPECT_LT(KVAPI_Select(handle_, 10), 0) << "stays lost until reopened";
    ASSERT_TRUE(sim_.Command("ping on"));
    ASSERT_EQ(KVAPI_Open(handle_, "127.0.0.1", sim_.port()), 0);
    EXPECT_GE(KVAPI_Select(handle_, 10), 0);
}

TEST_F(LivenessTest, AStoppedServerProcessIsDeclaredLost) {
    UseShortPings();
    LogIn();
    ASSERT_TRUE(sim_.Signal(SIGSTOP));
    int last = 0;
    SelectFor(milliseconds(10000), &last);
    ASSERT_TRUE(sim_.Signal(SIGCONT));
    EXPECT_LT(last, 0) << "the kernel still holds the stream open; only the ping notices";
}

// The library's socket is the one connected to the simulator's port.
int FindSocketTo(uint16_t port) {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) continue;
        if (ntohs(peer.sin_port) == port) return fd;
    }
    return -1;
}

TEST_F(LivenessTest, TheClientSocketCarriesKeepaliveWithShortIntervals) {
    LogIn();
    const int fd = FindSocketTo(sim_.port());
    ASSERT_GE(fd, 0);
    int value = 0;
    socklen_t len = sizeof(value);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len), 0);
    EXPECT_EQ(value, 1);
    int idle = 0, interval = 0, count = 0;
    len = sizeof(int);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &len), 0);
    // The system defaults (two hours idle, 75 s apart, nine probes) would notice nothing.
    EXPECT_GE(idle, 1);
    EXPECT_LE(idle + interval * count, 30) << "idle " << idle << " interval " << interval << " count " << count;
}

// A server scripted by the test: it accepts one client on 127.0.0.1 and hands every line
// it reads to `on_line`, which writes whatever it likes through the socket it is given.
class ScriptedServer {
public:
    using Handler = std::function<void(int fd, const json& request, const std::atomic<bool>& stop)>;

    explicit ScriptedServer(Handler on_line) : on_line_(std::move(on_line)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(address);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), len) == 0 && ::listen(listener_, 1) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &len) == 0) {
            port_ = ntohs(address.sin_port);
        }
        thread_ = std::thread([this] { Serve(); });
    }

    ~ScriptedServer() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    uint16_t port() const { return port_; }

    static bool Send(int fd, const std::string& line) {
        const std::string framed = line + "\n";
        size_t sent = 0;
        while (sent < framed.size()) {
            ssize_t n = ::send(fd, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    static std::string Event(int type, uint32_t index) {
        return json{{"event", {{"type", type}, {"status", 1}, {"index", index}, {"seconds", 0}}}}.dump();
    }

private:
    void Serve() {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        timeval tick{0, 100 * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));
        std::string buffer;
        char chunk[4096];
        while (!stop_) {
            ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
            if (n == 0) break;
            if (n < 0) continue;  // the tick: look at the stop flag
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t end; !stop_ && (end = buffer.find('\n')) != std::string::npos;) {
                json request = json::parse(buffer.substr(0, end), nullptr, false);
                buffer.erase(0, end + 1);
                if (request.is_object()) on_line_(fd, request, stop_);
            }
        }
        ::close(fd);
    }

    Handler on_line_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Answers logins with acceptance and pings and queries with success.
void AnswerPlainly(int fd, const json& request) {
    const std::string op = request.value("op", "");
    if (op == "Login") {
        ScriptedServer::Send(fd, json{{"event", {{"type", 71}, {"status", 0}, {"index", 0}}}}.dump());
    } else {
        ScriptedServer::Send(fd, json{{"id", request.value("id", 0)}, {"result", 0}, {"text", "7.4.2.0"}}.dump());
    }
}

KVAPI_HANDLE OpenTo(uint16_t port, Events* events) {
    KVAPI_HANDLE h = KVAPI_Init();
    KVAPI_SetCallbackEx(h, Record, events);
    KVAPI_SetNonBlocking(h, 3);
    if (KVAPI_Open(h, "127.0.0.1", port) != 0) {
        KVAPI_Cleanup(h);
        return nullptr;
    }
    return h;
}

TEST(KvapiDeadlines, ACallEndsAtItsDeadlineWhileEventsKeepArriving) {
    // The serial is never answered; instead events keep coming for longer than the call's
    // deadline, so a reader that restarts its wait per line would hang.
    ScriptedServer server([](int fd, const json& request, const std::atomic<bool>& stop) {
        if (request.value("op", "") != "GetServerSerial") return AnswerPlainly(fd, request);
        const auto until = Clock::now() + std::chrono::seconds(20);
        // As fast as the reader takes them (the socket's buffer paces the writes), so
        // that the reader always has a line at hand.
        for (uint32_t i = 0; !stop && Clock::now() < until;) {
            std::string burst;
            for (int n = 0; n < 100; ++n) burst += ScriptedServer::Event(5, i++) + "\n";
            burst.pop_back();
            if (!ScriptedServer::Send(fd, burst)) return;
        }
    });
    ASSERT_NE(server.port(), 0);
    Events events;
    KVAPI_HANDLE h = OpenTo(server.port(), &events);
    ASSERT_NE(h, nullptr);
    char serial[32] = "untouched";
    const auto start = Clock::now();
    EXPECT_EQ(KVAPI_GetServerSerial(h, serial, sizeof(serial)), kCallTimedOut);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    EXPECT_LT(took, 10000) << "the five-second deadline held";
    EXPECT_STREQ(serial, "untouched");

    // The stream goes on: each select still returns within its own short wait, the first
    // with the events the call met.
    for (int i = 0; i < 5; ++i) {
        const auto turn = Clock::now();
        const int delivered = KVAPI_Select(h, 10);
        if (i == 0) {
            EXPECT_GT(delivered, 0);
        }
        EXPECT_GE(delivered, 0);
        EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - turn).count(), 1000);
    }
    KVAPI_Close(h);
    KVAPI_Cleanup(h);
}

constexpr uint32_t kQueueBound = 50000;
constexpr uint32_t kOverflow = 250;
constexpr int kFloodCalls = 5;
constexpr uint32_t kPerCall = (kQueueBound + kOverflow) / kFloodCalls;

// Before each answer to the version query the server sends a fifth of more events than
// the queue holds (in parts, so that no single call nears its deadline on a slow build).
ScriptedServer::Handler FloodBeforeTheVersion() {
    auto next = std::make_shared<uint32_t>(0);
    return [next](int fd, const json& request, const std::atomic<bool>&) {
        if (request.value("op", "") == "GetServerVersion") {
            std::string burst;
            for (uint32_t i = 0; i < kPerCall; ++i) burst += ScriptedServer::Event(5, (*next)++) + "\n";
            burst.pop_back();
            if (!ScriptedServer::Send(fd, burst)) return;
        }
        AnswerPlainly(fd, request);
    };
}

TEST(KvapiEventQueue, PastItsBoundTheOldestEventsAreDroppedAndCounted) {
    ScriptedServer server(FloodBeforeTheVersion());
    ASSERT_NE(server.port(), 0);
    Events events;
    KVAPI_HANDLE h = OpenTo(server.port(), &events);
    ASSERT_NE(h, nullptr);
    for (int call = 0; call < kFloodCalls; ++call) {
        char version[32] = {};
        ASSERT_EQ(KVAPI_GetServerVersion(h, version, sizeof(version)), 0);
        EXPECT_STREQ(version, "7.4.2.0");
    }
    EXPECT_TRUE(events.types.empty()) << "events wait for Select";
    for (int i = 0; i < 50 && events.types.size() < kQueueBound + 1; ++i) ASSERT_GE(KVAPI_Select(h, 10), 0);

    ASSERT_EQ(events.types.size(), kQueueBound + 1);
    EXPECT_EQ(events.types[0], kEventsDropped) << "the drop notice comes first";
    EXPECT_EQ(events.statuses[0], static_cast<intptr_t>(kOverflow));
    EXPECT_EQ(events.indexes[0], kOverflow);
    EXPECT_EQ(events.types[1], 5);
    EXPECT_EQ(events.indexes[1], kOverflow) << "the oldest went, the newest stayed";
    EXPECT_EQ(events.indexes.back(), kQueueBound + kOverflow - 1);

    // Reported once: the next turns carry no further notice.
    for (int i = 0; i < 5; ++i) ASSERT_GE(KVAPI_Select(h, 10), 0);
    int notices = 0;
    for (int type : events.types) notices += type == kEventsDropped ? 1 : 0;
    EXPECT_EQ(notices, 1);
    KVAPI_Close(h);
    KVAPI_Cleanup(h);
}

int CountCallback(int, intptr_t, PayloadType*, size_t, void* user) {
    ++*static_cast<int*>(user);
    return 0;
}

TEST(KvapiEventQueue, TheConnectionManagerShowsTheDropCountInItsStatusText) {
    ScriptedServer server(FloodBeforeTheVersion());
    ASSERT_NE(server.port(), 0);
    CTrevaskConnection connection;
    int forwarded = 0;
    connection.set_connection_info("127.0.0.1", server.port(), "admin", "pw");
    connection.set_callback(CountCallback, &forwarded);
    ASSERT_EQ(connection.connect_kvapi(false), 1);
    EXPECT_EQ(connection.get_status(), "Connected");
    for (int call = 0; call < kFloodCalls; ++call) EXPECT_TRUE(connection.server_fully_loaded());
    for (int i = 0; i < 50 && connection.events_dropped() == 0; ++i) ASSERT_GE(connection.select_handler(), 0);
    EXPECT_EQ(connection.events_dropped(), kOverflow);
    EXPECT_EQ(connection.get_status(), "Connected (" + std::to_string(kOverflow) + " events dropped)");
    for (int i = 0; i < 50 && forwarded < static_cast<int>(kQueueBound) + 1; ++i) connection.select_handler();
    EXPECT_EQ(forwarded, static_cast<int>(kQueueBound) + 1) << "the login result and the kept events; not the notice";
}

}  // namespace
