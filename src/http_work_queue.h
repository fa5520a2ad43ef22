// The HTTP client: plain request/response values and kv::http::WorkQueue, the engine that
// performs exchanges asynchronously on one boost::asio::io_service.
//
// Post() may be called from any thread (also from inside a completion callback); it only
// queues a handler on the io_service. The exchange starts when the io_service runs that
// handler, and its completion callback runs there too, exactly once per exchange, with
// the transport outcome as an Error. An HTTP error status is not a transport error: an
// answer of 500 completes with ErrorCode::Ok and status 500, and so, by default, does a
// redirect: a 302 completes with status 302 and its Location header. Every exchange ends
// by its deadline (kExchangeDeadline unless the request sets another) at the latest. The engine never blocks its
// io_service thread on a socket, writes no log lines and throws nothing itself.
//
// Exactly one thread may run the io_service that a WorkQueue lives on. Exchanges still
// running when the WorkQueue is destroyed are abandoned: their callbacks are never called.
#ifndef WARDEX_SRC_HTTP_WORK_QUEUE_H_
#define WARDEX_SRC_HTTP_WORK_QUEUE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <curl/curl.h>

namespace kv {
namespace http {

// The request method; any other value leaves libcurl's default (a GET).
enum class Method : int32_t { GET = 0, POST = 1, PUT = 2, DELETE = 3, HEAD = 4 };

// The response status as its plain number (compare with 200); 0 when no status line came.
enum Status : int32_t {};

// Transport outcome of an exchange. The numbering is part of the log format: keep it.
enum class ErrorCode : int32_t {
    Ok = 0,
    Other = 1,
    UnsupportedProtocol = 2,
    UrlMalformat = 3,
    CouldntResolveProxy = 4,
    CouldntResolveHost = 5,
    CouldntConnect = 6,
    Http2 = 7,
    PartialFile = 8,
    WriteError = 9,
    ReadError = 10,
    OutOfMemory = 11,
    OperationTimedout = 12,
    RangeError = 13,
    SslConnectError = 14,
    TooManyRedirects = 15,
    SendError = 16,
    RecvError = 17,
    SslCipher = 18,
    PeerFailedVerification = 19,
    BadContentEncoding = 20,
};

// An enumeration value as its underlying integer, for log messages.
template <typename Enum>
constexpr typename std::underlying_type<Enum>::type AsValue(Enum value) noexcept {
    return static_cast<typename std::underlying_type<Enum>::type>(value);
}

// One transport outcome; true when it is an error (code not Ok).
class Error {
public:
    explicit Error(ErrorCode code = ErrorCode::Ok) : code_(code) {}

    explicit operator bool() const { return code_ != ErrorCode::Ok; }
    ErrorCode Code() const { return code_; }

private:
    ErrorCode code_;
};

// The Error for a libcurl result; every result without a code of its own is Other.
Error ErrorFromCurl(CURLcode result);

// Header name -> its values, in byte-wise name order. Names are kept exactly as given:
// no case folding, no trimming.
class Header {
public:
    using Map = std::map<std::string, std::vector<std::string>>;
    using const_iterator = Map::const_iterator;

    // Adds `value` after the name's existing values (creating the name if needed).
    void Append(const std::string& name, const std::string& value);
    // Leaves `value` as the name's only value.
    void Set(const std::string& name, const std::string& value);

    const_iterator begin() const { return fields_.begin(); }
    const_iterator end() const { return fields_.end(); }
    const_iterator find(const std::string& name) const { return fields_.find(name); }
    bool empty() const { return fields_.empty(); }
    size_t size() const { return fields_.size(); }
    const Map& Fields() const { return fields_; }

    bool operator==(const Header& other) const { return fields_ == other.fields_; }
    bool operator!=(const Header& other) const { return fields_ != other.fields_; }

private:
    Map fields_;
};

// The longest an exchange may take, counted from the moment the engine hands it to
// libcurl (an exchange waiting behind the per-host cap has not started yet, and its
// deadline does not run while it waits). Past it the exchange ends with
// ErrorCode::OperationTimedout, however steadily the receiver trickles bytes: the
// low-speed rule alone cannot end an answer that arrives a few bytes a second.
constexpr std::chrono::milliseconds kExchangeDeadline{30000};

struct Request {
    struct Options {
        bool verifyPeer = true;  // false: the server's certificate is not checked
        // false: a 3xx answer completes the exchange as it came (status, Location header,
        // body); nothing is sent to the place it names. The service never follows one, so
        // that a POST is neither re-sent elsewhere nor turned into a GET.
        bool followRedirects = false;
        std::chrono::milliseconds connectTimeout{5000};
        std::chrono::milliseconds deadline{kExchangeDeadline};  // see kExchangeDeadline; 0: none
        // false: an answer that stalls (below 10 bytes a second for 3 s) ends the exchange
        // with OperationTimedout. true: only the deadline ends it, for a receiver known to
        // answer slowly. Connecting is bounded by connectTimeout either way.
        bool patient = false;
    };

    Request(const std::string& id, Method method, const std::string& url,
            std::shared_ptr<std::string> body);

    std::string id;  // chosen by the caller, never sent; names the request in its callback
    Method method;
    std::string url;  // used unchanged
    Header headers;
    // Shared, not copied, between copies of the request; may be null. Sent up to its
    // first NUL character.
    std::shared_ptr<std::string> body;
    Options options;
};

struct Response {
    Status status = Status{0};
    Header headers;          // the header lines of every response of the exchange
    std::vector<char> body;  // exactly as received, no terminator
    std::chrono::duration<double> connectTime{0.0};
    std::chrono::duration<double> startTransferTime{0.0};
    std::chrono::duration<double> totalTime{0.0};
};

// Runs on the io_service thread once the exchange has ended.
using Callback = std::function<void(const Request&, Response&, const Error&)>;

// A response body longer than this aborts its exchange with ErrorCode::WriteError, so that
// a broken or hostile receiver cannot exhaust the process's memory.
constexpr size_t kMaxResponseBodyBytes = 16 * 1024 * 1024;

// Exchanges (and so connections) in progress to one host at a time. Exchanges beyond it
// wait in the engine, in posting order, for one of that host's exchanges to finish
// (neither the connect timeout, the low-speed rule nor the deadline runs while they wait),
// so that a burst of alarms cannot run the process out of descriptors. The service uses
// this cap; a WorkQueue may be given a smaller one.
constexpr long kMaxConnectionsPerHost = 64;

namespace detail {
// Adds one received header line to `headers`: a line without ':' (the status line, the
// blank line ending the block) adds nothing; otherwise the name is everything before the
// first ':', unchanged, and the value everything after it, trimmed of white space.
void AppendResponseHeaderLine(const char* line, size_t size, Header& headers);
}  // namespace detail

class WorkQueue {
public:
    // `maxConnectionsPerHost` (at least 1) caps the exchanges in progress to one host.
    explicit WorkQueue(boost::asio::io_service& io_service, long maxConnectionsPerHost = kMaxConnectionsPerHost);
    ~WorkQueue();

    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;
    WorkQueue(WorkQueue&&) = delete;
    WorkQueue& operator=(WorkQueue&&) = delete;

    // Queues the exchange; never starts it before the io_service runs the queued handler.
    void Post(Request request, Callback callback);

    // Releases every exchange in progress without calling its callback. Only for a queue
    // whose io_service no longer runs (after stop and join): callbacks that hold their
    // owner alive would otherwise keep it, and the engine, alive forever.
    void Abandon();

    class Impl;  // opaque; named here only so that libcurl's callbacks can reach it

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace http
}  // namespace kv

#endif  // WARDEX_SRC_HTTP_WORK_QUEUE_H_
