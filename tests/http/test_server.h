// A small HTTP/1.1 server on 127.0.0.1 for the engine's tests. It listens on an
// ephemeral port, runs its own io_context on its own thread, keeps connections alive and
// lets each test decide, per request, how to answer: normally (optionally after a delay),
// never, with raw bytes written as they stand, with a body that never ends, or with one
// that trickles in a few bytes at a time.
#ifndef WARDEX_TESTS_HTTP_TEST_SERVER_H_
#define WARDEX_TESTS_HTTP_TEST_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace kv {
namespace http {
namespace testing {

struct ReceivedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields;  // as received, in order
    std::string body;
    int connection = 0;  // which connection carried it, counted from 1

    // Every value of `name` (exact, case-insensitive match), in order.
    std::vector<std::string> Values(const std::string& name) const;
};

struct Reply {
    // Trickle: a 200 announcing a long body, then 5 body bytes every 100 ms, until the
    // peer goes away.
    enum class Kind { Normal, Silent, Raw, Endless, Trickle };
    Kind kind = Kind::Normal;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;
    std::chrono::milliseconds delay{0};
    bool close = false;    // close the connection after answering
    bool chunked = false;  // Normal: the body goes out chunked instead of with a length
    std::string raw;     // Kind::Raw: written as it stands, then the connection closes
};

class TestServer {
public:
    using Handler = std::function<Reply(const ReceivedRequest&)>;

    explicit TestServer(Handler handler);
    ~TestServer();

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t port() const { return port_; }
    std::string Url(const std::string& target) const;

    std::vector<ReceivedRequest> Requests() const;
    size_t RequestCount() const;
    int Connections() const { return connections_.load(); }
    int MaxOpenConnections() const { return max_open_.load(); }

private:
    class Session;
    void Accept();
    void Record(const ReceivedRequest& request);

    Handler handler_;
    // Sessions count themselves here, also while io_ destroys them: declared before io_.
    std::atomic<int> connections_{0};
    std::atomic<int> open_{0};
    std::atomic<int> max_open_{0};
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<ReceivedRequest> requests_;
    std::thread thread_;
};

// A port on 127.0.0.1 that refuses connections (bound once, then released).
uint16_t RefusingPort();

// Descriptors open in this process, from /proc/self/fd.
int OpenDescriptorCount();

}  // namespace testing
}  // namespace http
}  // namespace kv

#endif  // WARDEX_TESTS_HTTP_TEST_SERVER_H_
