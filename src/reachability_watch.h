// Notices the moment the receiver's port accepts connections again.
//
// While the receiver counts as down the breaker's probe waits on a back-off of up to a
// minute; this watch lets the backlog move within a second of the receiver's return
// instead. Every period it opens a TCP connection to the host and port of the URL and
// closes it at once: no byte is sent. After a refused (or unresolvable, or unanswered)
// attempt, the first accepted one calls `on_return`, once, and the watch ends. A receiver
// that keeps accepting connections but fails its exchanges is left to the back-off.
//
// Network thread only (the io_service's one thread).
#ifndef WARDEX_SRC_REACHABILITY_WATCH_H_
#define WARDEX_SRC_REACHABILITY_WATCH_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

namespace kv {
namespace delivery {

class ReachabilityWatch {
public:
    explicit ReachabilityWatch(boost::asio::io_service& io_service);
    ~ReachabilityWatch();

    ReachabilityWatch(const ReachabilityWatch&) = delete;
    ReachabilityWatch& operator=(const ReachabilityWatch&) = delete;

    // Replaces any running watch. `known_down`: the last exchange could not connect, so
    // the first accepted connection already means the receiver is back. False when the
    // URL names no host.
    bool Start(const std::string& url, std::chrono::milliseconds period, bool known_down,
               std::function<void()> on_return);
    void Stop();

    // "http://host:port/path" → host and port ("80"/"443" by scheme when absent).
    static bool HostAndPort(const std::string& url, std::string& host, std::string& port);

    struct State;

private:
    std::shared_ptr<State> state_;
    boost::asio::io_service& io_service_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_REACHABILITY_WATCH_H_
