// The transfer engine against a real HTTP server on 127.0.0.1. The engine's io_service
// runs on its own thread, as the service's network thread does, and requests are posted
// from the test's thread.
#include "src/http_work_queue.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <boost/asio/steady_timer.hpp>

#include "tests/http/test_server.h"

namespace kv {
namespace http {
namespace {

using testing::Reply;
using testing::ReceivedRequest;
using testing::TestServer;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kWaitLimit{60};

struct Outcome {
    std::string id;
    ErrorCode code = ErrorCode::Ok;
    int status = 0;
    std::string body;
    Header headers;
    bool over_limit = false;
};

// Gathers completions from the io_service thread for the test thread.
class Collector {
public:
    Callback Make() {
        return [this](const Request& request, Response& response, const Error& error) {
            Outcome outcome;
            outcome.id = request.id;
            outcome.code = error.Code();
            outcome.status = response.status;
            outcome.body.assign(response.body.begin(), response.body.end());
            outcome.headers = response.headers;
            outcome.over_limit = response.bodyOverLimit;
            std::lock_guard<std::mutex> lock(mutex_);
            outcomes_.push_back(std::move(outcome));
            changed_.notify_all();
        };
    }

    bool WaitFor(size_t count, std::chrono::seconds limit = kWaitLimit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return outcomes_.size() >= count; });
    }

    std::vector<Outcome> Outcomes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outcomes_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Outcome> outcomes_;
};

Reply Answer(int status, const std::string& body) {
    Reply reply;
    reply.status = status;
    reply.body = body;
    return reply;
}

// An answer of one kind (Silent, Trickle, Endless), or raw bytes as they stand.
Reply Of(Reply::Kind kind) {
    Reply reply;
    reply.kind = kind;
    return reply;
}

Reply Raw(const std::string& bytes) {
    Reply reply = Of(Reply::Kind::Raw);
    reply.raw = bytes;
    return reply;
}

// A server handler that answers every request with `reply`.
TestServer::Handler Always(const Reply& reply) {
    return [reply](const ReceivedRequest&) { return reply; };
}

std::vector<std::string> Values(const Header& headers, const std::string& name) {
    auto it = headers.find(name);
    return it == headers.end() ? std::vector<std::string>{} : it->second;
}

// Waits, bounded, for a condition that another thread makes true.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::seconds limit = kWaitLimit) {
    const auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class HttpEngineTest : public ::testing::Test {
protected:
    HttpEngineTest() {
        // Brings up the io_service's reactor now, so that descriptor counts taken in a
        // test see only what the engine and the server open.
        boost::asio::steady_timer warm_up(io_);
    }

    ~HttpEngineTest() override { StopEngine(); }

    void StartEngine(bool run = true, long max_per_host = kMaxConnectionsPerHost) {
        queue_ = std::make_unique<WorkQueue>(io_, max_per_host);
        if (run) RunNetworkThread();
    }

    void RunNetworkThread() {
        work_ = std::make_unique<boost::asio::io_service::work>(io_);
        network_ = std::thread([this] { io_.run(); });
    }

    // Stops the io_service first: the queue may go only once no handler of it can run.
    void StopEngine() {
        work_.reset();
        io_.stop();
        if (network_.joinable()) network_.join();
        queue_.reset();
    }

    void Post(Request request) { queue_->Post(std::move(request), collector_.Make()); }

    // Posts `request` and waits for its outcome: the next one to complete.
    Outcome Exchange(Request request, std::chrono::seconds limit = kWaitLimit) {
        const size_t before = collector_.Outcomes().size();
        Post(std::move(request));
        EXPECT_TRUE(collector_.WaitFor(before + 1, limit));
        const std::vector<Outcome> outcomes = collector_.Outcomes();
        return outcomes.size() > before ? outcomes[before] : Outcome{};
    }

    Request Get(const std::string& id, const std::string& url) {
        return Request(id, Method::GET, url, nullptr);
    }

    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::thread network_;
    std::unique_ptr<WorkQueue> queue_;
    Collector collector_;
};

// --- Outcomes of single exchanges -------------------------------------------------------

TEST_F(HttpEngineTest, ServerErrorStatusIsNotATransportError) {
    TestServer server([](const ReceivedRequest&) { return Answer(500, "<fault>broken</fault>"); });
    StartEngine();
    const Outcome outcome = Exchange(Get("e500", server.Url("/service")));
    EXPECT_EQ(outcome.id, "e500");
    EXPECT_EQ(outcome.code, ErrorCode::Ok);
    EXPECT_EQ(outcome.status, 500);
    EXPECT_EQ(outcome.body, "<fault>broken</fault>");
}

TEST_F(HttpEngineTest, RefusedConnectionIsCouldntConnect) {
    StartEngine();
    const Outcome outcome =
        Exchange(Get("refused", "http://127.0.0.1:" + std::to_string(testing::RefusingPort()) + "/"));
    EXPECT_EQ(outcome.code, ErrorCode::CouldntConnect);
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(HttpEngineTest, SilentReceiverIsCutByTheLowSpeedRule) {
    TestServer server(Always(Of(Reply::Kind::Silent)));
    StartEngine();
    const auto started = Clock::now();
    const Outcome outcome = Exchange(
        Request("silent", Method::POST, server.Url("/"), std::make_shared<std::string>("<a/>")), std::chrono::seconds(30));
    EXPECT_EQ(outcome.code, ErrorCode::OperationTimedout);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(outcome.body.empty());
    // Cut by the 3-second rule, not by some connection-level timeout minutes later.
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(HttpEngineTest, RedirectIsFollowedAndBothHeaderBlocksAreKept) {
    TestServer server([&](const ReceivedRequest& request) {
        if (request.target == "/old") {
            Reply reply = Answer(302, "");
            reply.fields = {{"Location", "/new"}, {"X-Hop", "first"}};
            return reply;
        }
        Reply reply = Answer(200, "arrived");
        reply.fields = {{"X-Hop", "second"}};
        return reply;
    });
    StartEngine();
    Request request = Get("redirect", server.Url("/old"));
    request.options.followRedirects = true;
    const Outcome outcome = Exchange(request);
    EXPECT_EQ(outcome.code, ErrorCode::Ok);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_EQ(outcome.body, "arrived");
    EXPECT_EQ(Values(outcome.headers, "X-Hop"), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(Values(outcome.headers, "Location"), (std::vector<std::string>{"/new"}));
    EXPECT_EQ(Values(outcome.headers, "Content-Length"), (std::vector<std::string>{"0", "7"}));
}

// By default a redirect is an answer like any other: the POST is neither re-sent to the
// place it names nor turned into a GET there.
TEST_F(HttpEngineTest, RedirectIsReturnedAsItCameAndItsTargetSeesNothing) {
    TestServer target([](const ReceivedRequest&) { return Answer(200, "should not be asked"); });
    const std::string location = target.Url("/elsewhere");
    TestServer server([&](const ReceivedRequest& request) {
        Reply reply = Answer(std::stoi(request.target.substr(1)), "moved: " + request.body);
        reply.fields = {{"Location", location}};
        return reply;
    });
    StartEngine();
    const std::vector<int> statuses = {301, 302, 303, 307, 308};
    for (int status : statuses) {
        const std::string text = std::to_string(status);
        Post(Request(text, Method::POST, server.Url("/" + text), std::make_shared<std::string>("<alarm/>")));
    }
    ASSERT_TRUE(collector_.WaitFor(statuses.size()));
    for (const Outcome& outcome : collector_.Outcomes()) {
        EXPECT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
        EXPECT_EQ(outcome.status, std::stoi(outcome.id));
        EXPECT_EQ(Values(outcome.headers, "Location"), (std::vector<std::string>{location})) << outcome.id;
        EXPECT_EQ(outcome.body, "moved: <alarm/>") << outcome.id;
    }
    EXPECT_EQ(server.RequestCount(), statuses.size());
    for (const ReceivedRequest& received : server.Requests()) EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(target.Connections(), 0);
    EXPECT_EQ(target.RequestCount(), 0u);
}

TEST_F(HttpEngineTest, ResponseHeaderLinesSplitAtTheFirstColonAndTrimOnlyTheValue) {
    TestServer server(Always(Raw(
        "HTTP/1.1 200 OK\r\n"
        "Date: Tue, 08 Dec 2026 04:00:00 GMT\r\n"
        "X-Spaced : \t padded value \t\r\n"
        "X-Twice: one\r\n"
        "x-twice: other case\r\n"
        "X-Twice:two\r\n"
        "Content-Length: 2\r\n"
        "Connection: close\r\n"
        "\r\n"
        "ok")));
    StartEngine();
    const Outcome outcome = Exchange(Get("headers", server.Url("/")));
    EXPECT_EQ(outcome.code, ErrorCode::Ok);
    EXPECT_EQ(outcome.body, "ok");
    EXPECT_EQ(Values(outcome.headers, "Date"), (std::vector<std::string>{"Tue, 08 Dec 2026 04:00:00 GMT"}));
    EXPECT_EQ(Values(outcome.headers, "X-Spaced "), (std::vector<std::string>{"padded value"}));
    EXPECT_EQ(Values(outcome.headers, "X-Twice"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(Values(outcome.headers, "x-twice"), (std::vector<std::string>{"other case"}));
    // The status line and the closing blank line add nothing.
    EXPECT_EQ(outcome.headers.size(), 6u);
}

// --- Deadline ----------------------------------------------------------------------------

// 50 bytes a second keep the low-speed rule (10 bytes/s over 3 s) satisfied forever; only
// the overall deadline ends such an answer.
TEST_F(HttpEngineTest, TricklingAnswerIsCutByTheDeadline) {
    TestServer server(Always(Of(Reply::Kind::Trickle)));
    StartEngine();
    constexpr std::chrono::milliseconds kDeadline{4500};
    Request request("trickle", Method::POST, server.Url("/"), std::make_shared<std::string>("<a/>"));
    request.options.deadline = kDeadline;
    const auto started = Clock::now();
    Post(request);
    ASSERT_TRUE(collector_.WaitFor(1, std::chrono::seconds(40)));
    const auto elapsed = Clock::now() - started;
    const Outcome outcome = collector_.Outcomes()[0];
    EXPECT_EQ(outcome.code, ErrorCode::OperationTimedout);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_FALSE(outcome.body.empty()) << "the trickle did arrive";
    // Not the low-speed rule (3 s) and not some much later limit: the deadline.
    EXPECT_GE(elapsed, kDeadline - std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::seconds(25));
}

// libcurl's deadline first moves earlier (the second exchange's is sooner) and then later
// again (once that exchange has ended): the engine's one timer must serve both, waking
// libcurl neither too late for the first nor never for the second.
TEST_F(HttpEngineTest, DeadlinesThatMoveEarlierAndLaterAreEachKept) {
    TestServer server(Always(Of(Reply::Kind::Trickle)));
    StartEngine();
    constexpr std::chrono::milliseconds kLong{5000};
    constexpr std::chrono::milliseconds kShort{1500};
    std::mutex mutex;
    std::vector<std::pair<std::string, Clock::duration>> ended;
    const auto started = Clock::now();
    Callback record = [&](const Request& request, Response&, const Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::OperationTimedout) << request.id;
        std::lock_guard<std::mutex> lock(mutex);
        ended.emplace_back(request.id, Clock::now() - started);
    };
    Request long_one("long", Method::POST, server.Url("/"), std::make_shared<std::string>("<a/>"));
    long_one.options.deadline = kLong;
    queue_->Post(long_one, record);
    Request short_one("short", Method::POST, server.Url("/"), std::make_shared<std::string>("<a/>"));
    short_one.options.deadline = kShort;
    queue_->Post(short_one, record);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ended.size() == 2;
    }, std::chrono::seconds(40)));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(ended[0].first, "short");
    EXPECT_EQ(ended[1].first, "long");
    EXPECT_GE(ended[0].second, kShort - std::chrono::milliseconds(100));
    EXPECT_LT(ended[0].second, kLong);
    EXPECT_GE(ended[1].second, kLong - std::chrono::milliseconds(100));
    EXPECT_LT(ended[1].second, std::chrono::seconds(25));
}

// An exchange waiting behind the per-host cap has not started: its deadline runs only once
// it is handed to libcurl.
TEST_F(HttpEngineTest, DeadlineDoesNotRunWhileWaitingBehindTheCap) {
    TestServer server([](const ReceivedRequest& request) {
        Reply reply = Answer(200, request.target);
        if (request.target == "/slow") reply.delay = std::chrono::milliseconds(2500);
        return reply;
    });
    StartEngine(/*run=*/true, /*max_per_host=*/1);
    Post(Get("slow", server.Url("/slow")));
    Request waiting = Get("waiting", server.Url("/waiting"));
    waiting.options.deadline = std::chrono::milliseconds(1000);
    Post(waiting);
    ASSERT_TRUE(collector_.WaitFor(2));
    const std::vector<Outcome> outcomes = collector_.Outcomes();
    ASSERT_EQ(outcomes[1].id, "waiting");
    EXPECT_EQ(outcomes[0].code, ErrorCode::Ok);
    EXPECT_EQ(outcomes[1].code, ErrorCode::Ok);
    EXPECT_EQ(outcomes[1].body, "/waiting");
}

// --- Framing of answers ------------------------------------------------------------------

TEST_F(HttpEngineTest, ChunkedBodyIsReassembled) {
    TestServer server(Always(Raw(
        "HTTP/1.1 200 OK\r\n"
        "Transfer-Encoding: chunked\r\n"
        "\r\n"
        "7\r\n<ack id\r\n"
        "b;note=extension\r\n=\"17\"/>\r\n\r\n\r\n"
        "1\r\n.\r\n"
        "0\r\n"
        "X-Trailer: end\r\n"
        "\r\n")));
    StartEngine();
    const Outcome outcome = Exchange(Get("chunks", server.Url("/")));
    EXPECT_EQ(outcome.code, ErrorCode::Ok);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_EQ(outcome.body, "<ack id=\"17\"/>\r\n\r\n.");
}

TEST_F(HttpEngineTest, ChunkedAnswerLeavesTheConnectionForTheNextExchange) {
    TestServer server([](const ReceivedRequest& request) {
        Reply reply = Answer(200, std::string(70000, 'c') + request.target);
        reply.chunked = true;
        return reply;
    });
    StartEngine();
    Post(Get("first", server.Url("/first")));
    ASSERT_TRUE(collector_.WaitFor(1));
    Post(Get("second", server.Url("/second")));
    ASSERT_TRUE(collector_.WaitFor(2));
    const std::vector<Outcome> outcomes = collector_.Outcomes();
    EXPECT_EQ(outcomes[0].code, ErrorCode::Ok);
    EXPECT_EQ(outcomes[0].body, std::string(70000, 'c') + "/first");
    EXPECT_EQ(outcomes[1].code, ErrorCode::Ok);
    EXPECT_EQ(outcomes[1].body, std::string(70000, 'c') + "/second");
    EXPECT_EQ(Values(outcomes[1].headers, "Transfer-Encoding"), (std::vector<std::string>{"chunked"}));
    EXPECT_EQ(server.Connections(), 1);
}

// An answer without a length ends where the server closes the connection; the next
// exchange opens a new one.
TEST_F(HttpEngineTest, BodyEndedByConnectionCloseIsCompleteAndTheNextExchangeReconnects) {
    const std::string body(100 * 1024, 'z');
    TestServer server([&](const ReceivedRequest&) {
        Reply reply;
        reply.kind = Reply::Kind::Raw;
        reply.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;
        return reply;
    });
    StartEngine();
    Post(Get("first", server.Url("/")));
    ASSERT_TRUE(collector_.WaitFor(1));
    Post(Get("second", server.Url("/")));
    ASSERT_TRUE(collector_.WaitFor(2));
    for (const Outcome& outcome : collector_.Outcomes()) {
        EXPECT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
        EXPECT_EQ(outcome.status, 200) << outcome.id;
        EXPECT_TRUE(outcome.body == body) << outcome.id << ": " << outcome.body.size() << " bytes";
    }
    EXPECT_EQ(server.Connections(), 2);
}

// --- What goes on the wire -------------------------------------------------------------

TEST_F(HttpEngineTest, HeaderWithTwoValuesGoesOutAsOneCommaJoinedLine) {
    TestServer server([](const ReceivedRequest&) { return Answer(200, ""); });
    StartEngine();
    Request request("hdr", Method::POST, server.Url("/soap"), std::make_shared<std::string>("<e/>"));
    request.headers.Append("X-Multi", "a");
    request.headers.Append("X-Multi", "b c");
    request.headers.Set("Content-Type", "application/soap+xml; charset=utf-8");
    Post(request);
    ASSERT_TRUE(collector_.WaitFor(1));
    ASSERT_EQ(server.RequestCount(), 1u);
    const ReceivedRequest received = server.Requests()[0];
    EXPECT_EQ(received.Values("X-Multi"), (std::vector<std::string>{"a,b c"}));
    EXPECT_EQ(received.Values("Content-Type"),
              (std::vector<std::string>{"application/soap+xml; charset=utf-8"}));
}

TEST_F(HttpEngineTest, PostBodyReachesTheServerByteForByte) {
    TestServer server([](const ReceivedRequest& request) { return Answer(200, request.body); });
    StartEngine();
    // Large enough that libcurl cannot send it in one go, and every non-NUL byte value.
    auto body = std::make_shared<std::string>();
    for (size_t i = 0; i < 300 * 1024; ++i) body->push_back(static_cast<char>(1 + (i * 7) % 255));
    const Outcome outcome = Exchange(Request("big-post", Method::POST, server.Url("/soap"), body));
    EXPECT_EQ(outcome.code, ErrorCode::Ok);
    ASSERT_EQ(server.RequestCount(), 1u);
    const ReceivedRequest received = server.Requests()[0];
    EXPECT_EQ(received.method, "POST");
    EXPECT_TRUE(received.body == *body) << "received " << received.body.size() << " bytes";
    EXPECT_TRUE(outcome.body == *body);
}

// A request without a body sends none, and never falls back on libcurl's default upload
// source, the process's standard input.
TEST_F(HttpEngineTest, EmptyBodySendsNothingAndNeverReadsStandardInput) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const std::string bait = "read-from-stdin";
    ASSERT_EQ(write(pipe_ends[1], bait.data(), bait.size()), static_cast<ssize_t>(bait.size()));
    close(pipe_ends[1]);
    const int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    ASSERT_EQ(dup2(pipe_ends[0], 0), 0);
    close(pipe_ends[0]);

    TestServer server([](const ReceivedRequest&) { return Answer(200, "fine"); });
    StartEngine();
    Post(Request("get-null", Method::GET, server.Url("/a"), nullptr));
    Post(Request("get-empty", Method::GET, server.Url("/b"), std::make_shared<std::string>()));
    Post(Request("post-empty", Method::POST, server.Url("/c"), std::make_shared<std::string>()));
    Post(Request("put-null", Method::PUT, server.Url("/d"), nullptr));
    const bool completed = collector_.WaitFor(4);
    StopEngine();
    dup2(saved_stdin, 0);
    close(saved_stdin);
    ASSERT_TRUE(completed);

    for (const Outcome& outcome : collector_.Outcomes()) {
        EXPECT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
        EXPECT_EQ(outcome.status, 200) << outcome.id;
    }
    for (const ReceivedRequest& received : server.Requests()) {
        EXPECT_EQ(received.body, "") << received.target;
        if (received.target == "/a" || received.target == "/b") {
            EXPECT_EQ(received.method, "GET");
            EXPECT_TRUE(received.Values("Content-Length").empty()) << received.target;
            EXPECT_TRUE(received.Values("Transfer-Encoding").empty()) << received.target;
        }
    }
}

// With one connection the exchanges follow one another on libcurl handles the engine
// reuses: nothing of one (method, header, body, redirect rule, deadline) reaches the next.
TEST_F(HttpEngineTest, ExchangesOnReusedHandlesCarryNothingOfTheirPredecessors) {
    TestServer server([](const ReceivedRequest& request) {
        if (request.target == "/moved") {
            Reply reply = Answer(302, "");
            reply.fields = {{"Location", "/elsewhere"}};
            return reply;
        }
        Reply reply = Answer(200, request.method + " " + request.target);
        // Longer than the deadline of the exchange before it, shorter than the low-speed rule.
        if (request.target == "/slow-enough") reply.delay = std::chrono::milliseconds(2500);
        return reply;
    });
    StartEngine(/*run=*/true, /*max_per_host=*/1);
    Request post("post", Method::POST, server.Url("/post"), std::make_shared<std::string>("first-body"));
    post.headers.Set("X-Only-First", "1");
    Post(post);
    Post(Get("get", server.Url("/get")));
    Request follow = Get("follow", server.Url("/moved"));
    follow.options.followRedirects = true;
    Post(follow);
    Post(Get("moved", server.Url("/moved")));
    Request put("put", Method::PUT, server.Url("/put"), std::make_shared<std::string>("put-body"));
    // Long enough for libcurl's wait for "100 Continue" before a PUT's body (1 s).
    put.options.deadline = std::chrono::milliseconds(2000);
    Post(put);
    Post(Get("after-deadline", server.Url("/slow-enough")));
    ASSERT_TRUE(collector_.WaitFor(6));
    const std::vector<Outcome> outcomes = collector_.Outcomes();
    ASSERT_EQ(outcomes.size(), 6u);
    EXPECT_EQ(outcomes[0].body, "POST /post");
    EXPECT_EQ(outcomes[1].body, "GET /get");
    EXPECT_EQ(outcomes[2].body, "GET /elsewhere") << "followed, as asked";
    EXPECT_EQ(outcomes[3].status, 302) << "not followed: the previous exchange's rule is gone";
    EXPECT_EQ(outcomes[4].body, "PUT /put");
    EXPECT_EQ(outcomes[5].code, ErrorCode::Ok);
    for (const ReceivedRequest& received : server.Requests()) {
        if (received.target == "/post") continue;
        EXPECT_TRUE(received.Values("X-Only-First").empty()) << received.target;
        if (received.method == "GET") {
            EXPECT_EQ(received.body, "") << received.target;
        }
    }
}

TEST_F(HttpEngineTest, MethodsGoOutAsSelected) {
    TestServer server([](const ReceivedRequest& request) { return Answer(200, request.method); });
    StartEngine();
    Post(Request("get", Method::GET, server.Url("/"), nullptr));
    Post(Request("put", Method::PUT, server.Url("/"), std::make_shared<std::string>("put-body")));
    Post(Request("delete", Method::DELETE, server.Url("/"), nullptr));
    Post(Request("head", Method::HEAD, server.Url("/"), nullptr));
    ASSERT_TRUE(collector_.WaitFor(4));
    std::map<std::string, std::string> method_by_body;
    for (const ReceivedRequest& received : server.Requests()) method_by_body[received.method] = received.body;
    EXPECT_EQ(method_by_body.size(), 4u);
    EXPECT_EQ(method_by_body["PUT"], "put-body");
    for (const Outcome& outcome : collector_.Outcomes()) {
        EXPECT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
        if (outcome.id == "head") {
            EXPECT_EQ(outcome.body, "") << "a HEAD answer has no body";
        }
    }
}

// --- Ordering and threads --------------------------------------------------------------

TEST_F(HttpEngineTest, BackToBackRequestsRunTogetherAndCompleteInAnswerOrder) {
    std::atomic<int> seen{0};
    TestServer server([&](const ReceivedRequest& request) {
        ++seen;
        Reply reply = Answer(200, request.target);
        // The first answer waits until the second request has arrived as well.
        if (request.target == "/slow") reply.delay = std::chrono::milliseconds(800);
        return reply;
    });
    StartEngine();
    Post(Get("slow", server.Url("/slow")));
    Post(Get("fast", server.Url("/fast")));
    ASSERT_TRUE(collector_.WaitFor(2));
    const auto outcomes = collector_.Outcomes();
    EXPECT_EQ(outcomes[0].id, "fast");
    EXPECT_EQ(outcomes[1].id, "slow");
    EXPECT_EQ(server.MaxOpenConnections(), 2);
    EXPECT_EQ(seen.load(), 2);
}

TEST_F(HttpEngineTest, PostNeverStartsTheExchangeItself) {
    TestServer server([](const ReceivedRequest&) { return Answer(200, "x"); });
    StartEngine(/*run=*/false);
    Post(Get("queued", server.Url("/")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(server.RequestCount(), 0u);
    RunNetworkThread();
    ASSERT_TRUE(collector_.WaitFor(1));
    EXPECT_EQ(collector_.Outcomes()[0].code, ErrorCode::Ok);
}

TEST_F(HttpEngineTest, RequestPostedFromACompletionRunsAfterItReturns) {
    TestServer server([](const ReceivedRequest& request) { return Answer(200, request.target); });
    StartEngine();
    std::atomic<bool> first_returned{false};
    std::atomic<bool> second_ran_inside_first{false};
    std::atomic<size_t> requests_during_first{0};
    Callback second = collector_.Make();
    queue_->Post(Get("first", server.Url("/first")), [&](const Request&, Response&, const Error&) {
        queue_->Post(Get("second", server.Url("/second")),
                     [&, second](const Request& request, Response& response, const Error& error) {
                         if (!first_returned) second_ran_inside_first = true;
                         second(request, response, error);
                     });
        // Give a wrongly synchronous start every chance to reach the server.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        requests_during_first = server.RequestCount();
        first_returned = true;
    });
    ASSERT_TRUE(collector_.WaitFor(1));
    EXPECT_FALSE(second_ran_inside_first);
    EXPECT_EQ(requests_during_first.load(), 1u);
    EXPECT_EQ(collector_.Outcomes()[0].body, "/second");
}

// --- Volume, connection limits and resource release --------------------------------------

TEST_F(HttpEngineTest, HundredsInFlightFromAnotherThreadReuseConnectionsAndLeakNothing) {
    const int descriptors_before = testing::OpenDescriptorCount();
    {
        TestServer server([](const ReceivedRequest& request) {
            Reply reply = Answer(200, request.target);
            reply.delay = std::chrono::milliseconds(20);
            return reply;
        });
        StartEngine();
        constexpr int kRequests = 400;
        std::thread poster([&] {
            for (int i = 0; i < kRequests; ++i) Post(Get(std::to_string(i), server.Url("/" + std::to_string(i))));
        });
        poster.join();
        ASSERT_TRUE(collector_.WaitFor(kRequests));
        for (const Outcome& outcome : collector_.Outcomes()) {
            ASSERT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
            ASSERT_EQ(outcome.body, "/" + outcome.id);
        }
        EXPECT_LE(server.MaxOpenConnections(), kMaxConnectionsPerHost);
        EXPECT_LT(server.Connections(), kRequests) << "connections are reused";
        StopEngine();
    }
    EXPECT_EQ(testing::OpenDescriptorCount(), descriptors_before);
}

TEST_F(HttpEngineTest, ConnectionsClosedByTheServerAreReleased) {
    const int descriptors_before = testing::OpenDescriptorCount();
    {
        TestServer server([](const ReceivedRequest& request) {
            Reply reply = Answer(200, request.target);
            reply.close = true;
            return reply;
        });
        StartEngine();
        // Descriptor numbers are reused constantly while old waits may still be pending.
        constexpr int kRequests = 300;
        for (int i = 0; i < kRequests; ++i) Post(Get(std::to_string(i), server.Url("/" + std::to_string(i))));
        ASSERT_TRUE(collector_.WaitFor(kRequests));
        for (const Outcome& outcome : collector_.Outcomes()) {
            ASSERT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
            ASSERT_EQ(outcome.body, "/" + outcome.id);
        }
        EXPECT_EQ(server.Connections(), kRequests);
        StopEngine();
    }
    EXPECT_EQ(testing::OpenDescriptorCount(), descriptors_before);
}

TEST_F(HttpEngineTest, ExchangesWaitingForAConnectionAreNotCutByTimeouts) {
    TestServer server([](const ReceivedRequest& request) {
        Reply reply = Answer(200, request.target);
        reply.delay = std::chrono::milliseconds(1600);
        return reply;
    });
    StartEngine();
    // Three rounds over the connection limit: the last round waits over 3 s for its turn,
    // far beyond its connect timeout and the low-speed window.
    const int requests = 3 * static_cast<int>(kMaxConnectionsPerHost);
    for (int i = 0; i < requests; ++i) {
        Request request = Get(std::to_string(i), server.Url("/" + std::to_string(i)));
        request.options.connectTimeout = std::chrono::milliseconds(300);
        Post(request);
    }
    ASSERT_TRUE(collector_.WaitFor(requests));
    for (const Outcome& outcome : collector_.Outcomes()) {
        EXPECT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
        EXPECT_EQ(outcome.status, 200) << outcome.id;
    }
    EXPECT_EQ(server.MaxOpenConnections(), kMaxConnectionsPerHost);
}

// With one connection per host, every answer completes the only running transfer: the
// socket event that reads it leaves libcurl with no running transfer, and only then does
// the engine start the next waiting exchange. That exchange must keep the timer libcurl
// set for it, or it never starts.
TEST_F(HttpEngineTest, ExchangeStartedWhenTheLastRunningOneCompletesStillRuns) {
    TestServer server([](const ReceivedRequest& request) { return Answer(200, request.target); });
    StartEngine(/*run=*/true, /*max_per_host=*/1);
    constexpr int kRequests = 5;
    for (int i = 0; i < kRequests; ++i) Post(Get(std::to_string(i), server.Url("/" + std::to_string(i))));
    ASSERT_TRUE(collector_.WaitFor(kRequests, std::chrono::seconds(20)))
        << collector_.Outcomes().size() << " of " << kRequests << " completed";
    const std::vector<Outcome> outcomes = collector_.Outcomes();
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(outcomes[i].id, std::to_string(i)) << "waiting exchanges start in posting order";
        EXPECT_EQ(outcomes[i].code, ErrorCode::Ok) << outcomes[i].id;
        EXPECT_EQ(outcomes[i].body, "/" + std::to_string(i));
    }
    EXPECT_EQ(server.MaxOpenConnections(), 1);
}

TEST_F(HttpEngineTest, ThousandsPostedAtOnceAllComplete) {
    TestServer server([](const ReceivedRequest&) { return Answer(200, "ack"); });
    StartEngine();
    constexpr int kRequests = 3000;
    std::thread poster([&] {
        for (int i = 0; i < kRequests; ++i) {
            Post(Request(std::to_string(i), Method::POST, server.Url("/soap"),
                         std::make_shared<std::string>("<alarm n=\"" + std::to_string(i) + "\"/>")));
        }
    });
    poster.join();
    ASSERT_TRUE(collector_.WaitFor(kRequests, std::chrono::seconds(150)));
    std::set<std::string> ids;
    for (const Outcome& outcome : collector_.Outcomes()) {
        EXPECT_EQ(outcome.code, ErrorCode::Ok) << outcome.id;
        ids.insert(outcome.id);
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kRequests));
    EXPECT_LE(server.MaxOpenConnections(), kMaxConnectionsPerHost);
}

// The connection cap counts per host: a host whose share is taken and whose exchanges
// wait their turn holds back nobody else.
TEST_F(HttpEngineTest, ExchangesWaitingForABusyHostDoNotHoldBackAnotherHost) {
    TestServer busy([](const ReceivedRequest& request) {
        Reply reply = Answer(200, request.target);
        reply.delay = std::chrono::milliseconds(1500);
        return reply;
    });
    TestServer quick([](const ReceivedRequest&) { return Answer(200, "quick"); });
    StartEngine();
    const int requests = 2 * static_cast<int>(kMaxConnectionsPerHost);
    for (int i = 0; i < requests; ++i) Post(Get(std::to_string(i), busy.Url("/" + std::to_string(i))));
    Post(Get("quick", quick.Url("/")));
    ASSERT_TRUE(collector_.WaitFor(requests + 1));
    const std::vector<Outcome> outcomes = collector_.Outcomes();
    EXPECT_EQ(outcomes.front().id, "quick");
    for (const Outcome& outcome : outcomes) EXPECT_EQ(outcome.status, 200) << outcome.id;
    EXPECT_EQ(busy.MaxOpenConnections(), kMaxConnectionsPerHost);
}

TEST_F(HttpEngineTest, AbandonedExchangesAreReleasedAtDestruction) {
    const int descriptors_before = testing::OpenDescriptorCount();
    {
        TestServer server(Always(Of(Reply::Kind::Silent)));
        StartEngine();
        constexpr size_t kRequests = 30;
        for (size_t i = 0; i < kRequests; ++i) Post(Get(std::to_string(i), server.Url("/")));
        ASSERT_TRUE(Eventually([&] { return server.RequestCount() == kRequests; }));
        StopEngine();
        EXPECT_TRUE(collector_.Outcomes().empty()) << "abandoned exchanges never complete";
    }
    EXPECT_EQ(testing::OpenDescriptorCount(), descriptors_before);
}

TEST_F(HttpEngineTest, HandlersLeftOnTheIoServiceDoNothingOnceTheQueueIsGone) {
    TestServer server([](const ReceivedRequest&) { return Answer(200, ""); });
    StartEngine(/*run=*/false);
    Post(Get("never", server.Url("/")));
    queue_.reset();
    io_.poll();
    EXPECT_TRUE(collector_.Outcomes().empty());
    EXPECT_EQ(server.Connections(), 0);
}

// --- Oversized answers --------------------------------------------------------------------

TEST_F(HttpEngineTest, EndlessBodyEndsWithWriteErrorAndTheEngineGoesOn) {
    TestServer server([](const ReceivedRequest& request) {
        Reply reply = Answer(200, "next");
        if (request.target == "/flood") reply.kind = Reply::Kind::Endless;
        return reply;
    });
    StartEngine();
    Post(Get("flood", server.Url("/flood")));
    ASSERT_TRUE(collector_.WaitFor(1));
    Outcome outcome = collector_.Outcomes()[0];
    EXPECT_EQ(outcome.code, ErrorCode::WriteError);
    EXPECT_LE(outcome.body.size(), kMaxResponseBodyBytes);
    Post(Get("after", server.Url("/after")));
    ASSERT_TRUE(collector_.WaitFor(2));
    outcome = collector_.Outcomes()[1];
    EXPECT_EQ(outcome.code, ErrorCode::Ok);
    EXPECT_EQ(outcome.body, "next");
}

TEST_F(HttpEngineTest, BodyLimitIsExact) {
    TestServer server([](const ReceivedRequest& request) {
        const size_t size = kMaxResponseBodyBytes + (request.target == "/over" ? 1 : 0);
        return Answer(200, std::string(size, 'b'));
    });
    StartEngine();
    Post(Get("at", server.Url("/at")));
    ASSERT_TRUE(collector_.WaitFor(1));
    Post(Get("over", server.Url("/over")));
    ASSERT_TRUE(collector_.WaitFor(2));
    const auto outcomes = collector_.Outcomes();
    EXPECT_EQ(outcomes[0].code, ErrorCode::Ok);
    EXPECT_EQ(outcomes[0].body.size(), kMaxResponseBodyBytes);
    EXPECT_EQ(outcomes[1].code, ErrorCode::WriteError);
    EXPECT_FALSE(outcomes[0].over_limit);
    EXPECT_TRUE(outcomes[1].over_limit);
}

// A request's own, smaller limit: its answer is cut there, marked, and nothing past it kept.
TEST_F(HttpEngineTest, RequestsOwnBodyLimitIsExactAndMarked) {
    const size_t limit = 100000;
    TestServer server([limit](const ReceivedRequest& request) {
        return Answer(200, std::string(limit + (request.target == "/over" ? 1 : 0), 'b'));
    });
    StartEngine();
    for (const char* target : {"/at", "/over"}) {
        Request request = Get(target, server.Url(target));
        request.options.maxBodyBytes = limit;
        Post(std::move(request));
        ASSERT_TRUE(collector_.WaitFor(target[1] == 'a' ? 1 : 2));
    }
    const auto outcomes = collector_.Outcomes();
    EXPECT_EQ(outcomes[0].code, ErrorCode::Ok);
    EXPECT_EQ(outcomes[0].body.size(), limit);
    EXPECT_FALSE(outcomes[0].over_limit);
    EXPECT_EQ(outcomes[1].code, ErrorCode::WriteError);
    EXPECT_LE(outcomes[1].body.size(), limit);
    EXPECT_TRUE(outcomes[1].over_limit);
}

// 30,000 distinct header lines of 9 bytes pass libcurl's own header limit but are kept as
// megabytes of map nodes; the engine ends such an exchange instead of holding them.
TEST_F(HttpEngineTest, HeaderBlockPastItsBoundEndsTheExchange) {
    TestServer server([](const ReceivedRequest&) {
        Reply reply;
        reply.kind = Reply::Kind::Raw;
        reply.raw = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 30000; ++i) reply.raw += "h" + std::to_string(100000 + i).substr(1) + ":\r\n";
        reply.raw += "Content-Length: 2\r\nConnection: close\r\n\r\nok";
        return reply;
    });
    StartEngine();
    const Outcome outcome = Exchange(Get("headers", server.Url("/")));
    EXPECT_NE(outcome.code, ErrorCode::Ok);
    EXPECT_LT(outcome.headers.size(), 30000u);
}

}  // namespace
}  // namespace http
}  // namespace kv

