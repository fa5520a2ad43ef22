// Notices the moment the receiver's port accepts connections again.
//
// While the receiver counts as down the breaker's probe waits on a back-off of up to a
// minute; this watch lets the backlog move within a second of the receiver's return
// instead. Every period it opens a TCP connection to the host and port of the URL and
// closes it at once: no byte is sent. After a refused (or unresolvable, or unanswered)
// attempt, the first accepted one calls `on_return`, once, and the watch ends. A receiver
// that keeps accepting connections but fails its exchanges is left to the back-off.
//
// A direct connection proves nothing when the exchanges themselves go through a proxy:
// libcurl takes its proxy from the environment (see ExchangesUseProxy). Start refuses to
// watch such a URL and returns false, so that the probe's back-off alone decides; a host
// that no_proxy excludes is reached directly by libcurl too, and is watched.
//
// Start and Stop: network thread only (the io_service's one thread).
#ifndef WARDEX_SRC_REACHABILITY_WATCH_H_
#define WARDEX_SRC_REACHABILITY_WATCH_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

namespace kv {
namespace delivery {

// The process environment as libcurl reads it: a variable's value, or null when unset.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// True when libcurl, given no proxy option of its own (the HTTP engine sets none), sends
// an exchange for `url` through a proxy named in `environment`. libcurl's rules:
//  - no_proxy (else NO_PROXY) lists hosts reached directly, separated by commas and
//    blanks: "*" alone means every host; a name matches itself and every host name
//    below it ("example.com" and ".example.com" both match www.example.com; case and
//    trailing dots do not count); an IP address matches that address, or a network
//    when written with "/bits". Ports are not looked at.
//  - Otherwise the proxy is <scheme>_proxy in lower case, else the same name in upper
//    case except for HTTP_PROXY (never read, since CGI programs get it from a request
//    header), else all_proxy, else ALL_PROXY.
// A variable set to the empty string counts as unset. Only http and https URLs with a
// host are judged; any other URL uses none.
bool ExchangesUseProxy(const std::string& url, const EnvironmentLookup& environment);

class ReachabilityWatch {
public:
    explicit ReachabilityWatch(boost::asio::io_service& io_service);
    ~ReachabilityWatch();

    ReachabilityWatch(const ReachabilityWatch&) = delete;
    ReachabilityWatch& operator=(const ReachabilityWatch&) = delete;

    // Replaces any running watch. `known_down`: the last exchange could not connect, so
    // the first accepted connection already means the receiver is back. False, and no
    // watch runs, when the URL names no host or when exchanges for it go through a proxy
    // (ExchangesUseProxy on this process's environment).
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
