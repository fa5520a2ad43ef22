#include "src/delivery/reachability_watch.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
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

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool EqualNoCase(const std::string& a, size_t a_from, const std::string& b) {
    if (a.size() - a_from != b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i) {
        if (Lower(a[a_from + i]) != Lower(b[i])) return false;
    }
    return true;
}

// The value of `name`, with an empty value read as unset (as libcurl reads it).
const char* Variable(const EnvironmentLookup& environment, const std::string& name) {
    const char* value = environment(name.c_str());
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// A host name against one entry of the exclusion list.
bool NameMatches(std::string name, std::string entry) {
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty() || entry.size() > name.size()) return false;
    if (entry.size() == name.size()) return EqualNoCase(name, 0, entry);
    const size_t tail = name.size() - entry.size();
    return name[tail - 1] == '.' && EqualNoCase(name, tail, entry);
}

// An IP address (`family` AF_INET or AF_INET6) against one entry: an address, or a
// network as "address/bits".
bool AddressMatches(const std::string& host, int family, const std::string& entry) {
    std::string network = entry;
    long bits = 0;
    const size_t slash = entry.find('/');
    if (slash != std::string::npos) {
        network = entry.substr(0, slash);
        bits = std::strtol(entry.c_str() + slash + 1, nullptr, 10);
    }
    const long width = family == AF_INET ? 32 : 128;
    if (bits == 0) bits = width;
    if (bits < 0 || bits > width) return false;
    unsigned char address[16];
    unsigned char check[16];
    if (inet_pton(family, host.c_str(), address) != 1) return false;
    if (inet_pton(family, network.c_str(), check) != 1) return false;
    const size_t whole_bytes = static_cast<size_t>(bits / 8);
    if (std::memcmp(address, check, whole_bytes) != 0) return false;
    const int rest = static_cast<int>(bits % 8);
    if (rest == 0) return true;
    const unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
    return ((address[whole_bytes] ^ check[whole_bytes]) & mask) == 0;
}

// True when `host` is in the exclusion list `list` (no_proxy's value).
bool ExcludedFromProxy(const std::string& host, const std::string& list) {
    if (list == "*") return true;
    unsigned char scratch[16];
    int family = 0;
    if (inet_pton(AF_INET, host.c_str(), scratch) == 1) {
        family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), scratch) == 1) {
        family = AF_INET6;
    }
    size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && IsBlank(list[at])) ++at;
        const size_t start = at;
        while (at < list.size() && !IsBlank(list[at]) && list[at] != ',') ++at;
        const std::string entry = list.substr(start, at - start);
        if (!entry.empty()) {
            const bool match = family == 0 ? NameMatches(host, entry) : AddressMatches(host, family, entry);
            if (match) return true;
        }
        while (at < list.size() && IsBlank(list[at])) ++at;
        // Entries are separated by commas; anything else after blanks ends the list.
        if (at >= list.size() || list[at] != ',') break;
        while (at < list.size() && list[at] == ',') ++at;
    }
    return false;
}

}  // namespace

bool ExchangesUseProxy(const std::string& url, const EnvironmentLookup& environment) {
    const size_t scheme_end = url.find("://");
    std::string host;
    std::string port;
    if (scheme_end == std::string::npos || !ReachabilityWatch::HostAndPort(url, host, port)) return false;
    const char* no_proxy = Variable(environment, "no_proxy");
    if (no_proxy == nullptr) no_proxy = Variable(environment, "NO_PROXY");
    if (no_proxy != nullptr && ExcludedFromProxy(host, no_proxy)) return false;

    std::string name;
    for (size_t i = 0; i < scheme_end; ++i) name.push_back(Lower(url[i]));
    name += "_proxy";
    const char* proxy = Variable(environment, name);
    if (proxy == nullptr && name != "http_proxy") {
        for (char& c : name) c = Upper(c);
        proxy = Variable(environment, name);
    }
    if (proxy == nullptr) proxy = Variable(environment, "all_proxy");
    if (proxy == nullptr) proxy = Variable(environment, "ALL_PROXY");
    return proxy != nullptr;
}

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
    if (ExchangesUseProxy(url, [](const char* name) -> const char* { return std::getenv(name); })) return false;
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
