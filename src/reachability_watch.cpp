#include "src/reachability_watch.h"

#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace kv {
namespace delivery {

// Shared with the pending handlers, which keep it (and its socket) alive; a handler of an
// earlier generation finds the watch stopped or restarted and does nothing.
struct ReachabilityWatch::State : std::enable_shared_from_this<ReachabilityWatch::State> {
    explicit State(boost::asio::io_service& io_service)
        : resolver(io_service), socket(io_service), timer(io_service), deadline(io_service) {}

    void Attempt() {
        const unsigned serial = generation;
        auto self = shared_from_this();
        // An attempt that neither succeeds nor fails within the period counts as failed.
        deadline.expires_after(period);
        deadline.async_wait([self, serial](const boost::system::error_code& error) {
            if (error || serial != self->generation) return;
            self->resolver.cancel();
            boost::system::error_code ignored;
            self->socket.close(ignored);
        });
        resolver.async_resolve(host, port, [self, serial](const boost::system::error_code& error,
                                                          boost::asio::ip::tcp::resolver::results_type results) {
            if (serial != self->generation) return;
            if (error) {
                self->Done(false);
                return;
            }
            boost::asio::async_connect(self->socket, results,
                                       [self, serial](const boost::system::error_code& connect_error,
                                                      const boost::asio::ip::tcp::endpoint&) {
                                           if (serial != self->generation) return;
                                           boost::system::error_code ignored;
                                           self->socket.close(ignored);
                                           self->Done(!connect_error);
                                       });
        });
    }

    void Done(bool connected) {
        boost::system::error_code ignored;
        deadline.cancel(ignored);
        if (connected && seen_down) {
            ++generation;  // the watch ends here
            std::function<void()> notify = std::move(on_return);
            on_return = nullptr;
            if (notify) notify();
            return;
        }
        if (!connected) seen_down = true;
        const unsigned serial = generation;
        auto self = shared_from_this();
        timer.expires_after(period);
        timer.async_wait([self, serial](const boost::system::error_code& error) {
            if (error || serial != self->generation) return;
            self->Attempt();
        });
    }

    void Cancel() {
        ++generation;
        on_return = nullptr;
        boost::system::error_code ignored;
        timer.cancel(ignored);
        deadline.cancel(ignored);
        resolver.cancel();
        socket.close(ignored);
    }

    boost::asio::ip::tcp::resolver resolver;
    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer timer;
    boost::asio::steady_timer deadline;
    std::string host;
    std::string port;
    std::chrono::milliseconds period{1000};
    bool seen_down = false;
    unsigned generation = 0;
    std::function<void()> on_return;
};

ReachabilityWatch::ReachabilityWatch(boost::asio::io_service& io_service) : io_service_(io_service) {}

ReachabilityWatch::~ReachabilityWatch() { Stop(); }

bool ReachabilityWatch::HostAndPort(const std::string& url, std::string& host, std::string& port) {
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) return false;
    const std::string scheme = url.substr(0, scheme_end);
    if (scheme != "http" && scheme != "https") return false;
    size_t start = scheme_end + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    port = scheme == "https" ? "443" : "80";
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
    } else {
        const size_t colon = authority.rfind(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos) port = authority.substr(colon + 1);
    }
    return !host.empty() && !port.empty();
}

bool ReachabilityWatch::Start(const std::string& url, std::chrono::milliseconds period, bool known_down,
                              std::function<void()> on_return) {
    Stop();
    std::string host;
    std::string port;
    if (!HostAndPort(url, host, port)) return false;
    state_ = std::make_shared<State>(io_service_);
    state_->host = std::move(host);
    state_->port = std::move(port);
    state_->period = period;
    state_->seen_down = known_down;
    state_->on_return = std::move(on_return);
    state_->Attempt();
    return true;
}

void ReachabilityWatch::Stop() {
    if (state_) state_->Cancel();
    state_.reset();
}

}  // namespace delivery
}  // namespace kv
