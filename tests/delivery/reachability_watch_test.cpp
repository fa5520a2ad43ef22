// When the reachability watch may connect directly: libcurl's reading of the proxy
// variables, on a made-up environment, and the watch itself on 127.0.0.1.
#include "src/delivery/reachability_watch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace kv {
namespace delivery {
namespace {

// A made-up environment for ExchangesUseProxy.
class FakeEnvironment {
public:
    FakeEnvironment(std::initializer_list<std::pair<const std::string, std::string>> values) : values_(values) {}

    EnvironmentLookup Lookup() const {
        return [this](const char* name) -> const char* {
            auto it = values_.find(name);
            return it == values_.end() ? nullptr : it->second.c_str();
        };
    }

private:
    std::map<std::string, std::string> values_;
};

bool UsesProxy(const std::string& url, const FakeEnvironment& environment) {
    return ExchangesUseProxy(url, environment.Lookup());
}

// An http proxy, and `list` as no_proxy.
FakeEnvironment NoProxy(const std::string& list) {
    return FakeEnvironment{{"http_proxy", "http://p:1"}, {"no_proxy", list}};
}

TEST(ExchangesUseProxyTest, NoVariablesNoProxy) {
    EXPECT_FALSE(UsesProxy("http://receiver.example:8080/soap", {}));
    EXPECT_FALSE(UsesProxy("https://receiver.example/soap", {}));
}

TEST(ExchangesUseProxyTest, SchemeVariableInLowerCase) {
    EXPECT_TRUE(UsesProxy("http://receiver.example/soap", {{"http_proxy", "http://proxy:3128"}}));
    EXPECT_TRUE(UsesProxy("https://receiver.example/soap", {{"https_proxy", "http://proxy:3128"}}));
    // Each scheme reads only its own variable.
    EXPECT_FALSE(UsesProxy("https://receiver.example/soap", {{"http_proxy", "http://proxy:3128"}}));
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", {{"https_proxy", "http://proxy:3128"}}));
}

TEST(ExchangesUseProxyTest, UpperCaseHttpProxyIsNeverRead) {
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", {{"HTTP_PROXY", "http://proxy:3128"}}));
    EXPECT_TRUE(UsesProxy("https://receiver.example/soap", {{"HTTPS_PROXY", "http://proxy:3128"}}));
}

TEST(ExchangesUseProxyTest, AllProxyInEitherCaseCoversEveryScheme) {
    EXPECT_TRUE(UsesProxy("http://receiver.example/soap", {{"all_proxy", "socks5://proxy:1080"}}));
    EXPECT_TRUE(UsesProxy("http://receiver.example/soap", {{"ALL_PROXY", "socks5://proxy:1080"}}));
    EXPECT_TRUE(UsesProxy("https://receiver.example/soap", {{"ALL_PROXY", "socks5://proxy:1080"}}));
}

TEST(ExchangesUseProxyTest, EmptyValuesCountAsUnset) {
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", {{"http_proxy", ""}, {"all_proxy", ""}}));
    EXPECT_FALSE(UsesProxy("https://receiver.example/soap", {{"https_proxy", ""}, {"HTTPS_PROXY", ""}}));
    // An empty no_proxy excludes nothing, and leaves NO_PROXY to be read.
    EXPECT_TRUE(UsesProxy("http://receiver.example/soap", {{"http_proxy", "http://p:1"}, {"no_proxy", ""}}));
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap",
                           {{"http_proxy", "http://p:1"}, {"no_proxy", ""}, {"NO_PROXY", "receiver.example"}}));
}

TEST(ExchangesUseProxyTest, LowerCaseNoProxyWinsOverUpperCase) {
    const FakeEnvironment environment = {
        {"http_proxy", "http://p:1"}, {"no_proxy", "other.example"}, {"NO_PROXY", "receiver.example"}};
    EXPECT_TRUE(UsesProxy("http://receiver.example/soap", environment));
    EXPECT_FALSE(UsesProxy("http://other.example/soap", environment));
}

TEST(ExchangesUseProxyTest, NoProxyAsteriskExcludesEveryHost) {
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", {{"http_proxy", "http://p:1"}, {"NO_PROXY", "*"}}));
    EXPECT_FALSE(UsesProxy("https://203.0.113.1/soap", {{"ALL_PROXY", "http://p:1"}, {"no_proxy", "*"}}));
}

TEST(ExchangesUseProxyTest, NoProxyNamesMatchTheHostAndItsSubdomains) {
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", NoProxy("receiver.example")));
    EXPECT_FALSE(UsesProxy("http://a.receiver.example/soap", NoProxy("receiver.example")));
    EXPECT_FALSE(UsesProxy("http://a.receiver.example/soap", NoProxy(".receiver.example")));
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", NoProxy(".receiver.example")));
    EXPECT_FALSE(UsesProxy("http://RECEIVER.Example:8443/soap", NoProxy("receiver.example")));
    EXPECT_FALSE(UsesProxy("http://receiver.example./soap", NoProxy("receiver.example")));
    EXPECT_FALSE(UsesProxy("http://receiver.example/soap", NoProxy("receiver.example.")));
    EXPECT_TRUE(UsesProxy("http://otherreceiver.example/soap", NoProxy("receiver.example")));
    EXPECT_TRUE(UsesProxy("http://receiver.example.org/soap", NoProxy("receiver.example")));
    EXPECT_TRUE(UsesProxy("http://example/soap", NoProxy("receiver.example")));
    // Ports in the list are not understood: the entry matches no host.
    EXPECT_TRUE(UsesProxy("http://receiver.example:80/soap", NoProxy("receiver.example:80")));
}

TEST(ExchangesUseProxyTest, NoProxyListSeparators) {
    EXPECT_FALSE(UsesProxy("http://c.example/", NoProxy("a.example,b.example,c.example")));
    EXPECT_FALSE(UsesProxy("http://c.example/", NoProxy(" a.example , b.example,,c.example ")));
    EXPECT_FALSE(UsesProxy("http://c.example/", NoProxy("a.example,\tc.example")));
    // Blanks without a comma end the list, as libcurl reads it.
    EXPECT_FALSE(UsesProxy("http://a.example/", NoProxy("a.example c.example")));
    EXPECT_TRUE(UsesProxy("http://c.example/", NoProxy("a.example c.example")));
    // "*" counts only as the whole value.
    EXPECT_TRUE(UsesProxy("http://c.example/", NoProxy("a.example,*")));
}

TEST(ExchangesUseProxyTest, NoProxyAddressesAndNetworks) {
    EXPECT_FALSE(UsesProxy("http://127.0.0.1:8080/soap", NoProxy("127.0.0.1")));
    EXPECT_TRUE(UsesProxy("http://127.0.0.2:8080/soap", NoProxy("127.0.0.1")));
    EXPECT_FALSE(UsesProxy("http://127.0.0.2:8080/soap", NoProxy("127.0.0.0/8")));
    EXPECT_FALSE(UsesProxy("http://198.51.100.4/soap", NoProxy("198.51.96.0/20")));
    EXPECT_TRUE(UsesProxy("http://198.51.112.4/soap", NoProxy("198.51.96.0/20")));
    EXPECT_TRUE(UsesProxy("http://198.51.100.4/soap", NoProxy("198.51.96.0/33")));
    // An address is compared as an address, never as a domain tail.
    EXPECT_TRUE(UsesProxy("http://203.0.113.1/soap", NoProxy("0.113.1")));
    EXPECT_FALSE(UsesProxy("http://[::1]:8080/soap", NoProxy("::1")));
    EXPECT_TRUE(UsesProxy("http://[::2]:8080/soap", NoProxy("::1")));
    EXPECT_FALSE(UsesProxy("http://[2001:db8:1:2::5]/soap", NoProxy("2001:db8:1::/48")));
    EXPECT_FALSE(UsesProxy("http://[2001:db8:1:2::5]/soap", NoProxy("2001:db8:1::/47")));
    EXPECT_TRUE(UsesProxy("http://[2001:db8:3:2::5]/soap", NoProxy("2001:db8:1::/47")));
    EXPECT_TRUE(UsesProxy("http://[2001:db8:1:2::5]/soap", NoProxy("127.0.0.1,localhost")));
}

TEST(ExchangesUseProxyTest, UrlWithoutHostUsesNone) {
    const FakeEnvironment environment = {{"ALL_PROXY", "http://p:1"}};
    EXPECT_FALSE(UsesProxy("", environment));
    EXPECT_FALSE(UsesProxy("receiver.example/soap", environment));
    EXPECT_FALSE(UsesProxy("http:///soap", environment));
}

// --- The watch on 127.0.0.1 ----------------------------------------------------------------

// Sets (or, given null, unsets) one environment variable for the life of the object,
// then restores the old value.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// The watch reports a listening receiver it was told is down, once.
class ReachabilityWatchTest : public ::testing::Test {
protected:
    ReachabilityWatchTest() : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {}

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + "/soap"; }

    // Runs the io_service until `returned` or about five seconds have passed.
    void RunUntilReturned() {
        for (int i = 0; i < 100 && returned_ == 0; ++i) io_.run_for(std::chrono::milliseconds(50));
    }

    // Whatever proxy the machine running the tests has, the cases start from none.
    const ScopedVariable http_proxy_{"http_proxy", nullptr};
    const ScopedVariable all_proxy_{"all_proxy", nullptr};
    const ScopedVariable upper_all_proxy_{"ALL_PROXY", nullptr};
    const ScopedVariable no_proxy_{"no_proxy", nullptr};
    const ScopedVariable upper_no_proxy_{"NO_PROXY", nullptr};
    boost::asio::io_service io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    int returned_ = 0;
};

TEST_F(ReachabilityWatchTest, DirectReceiverIsWatched) {
    ReachabilityWatch watch(io_);
    ASSERT_TRUE(watch.Start(Url(), std::chrono::milliseconds(50), /*known_down=*/true, [this] { ++returned_; }));
    RunUntilReturned();
    EXPECT_EQ(returned_, 1);
}

TEST_F(ReachabilityWatchTest, ReceiverBehindAProxyIsNotWatched) {
    const ScopedVariable proxy("http_proxy", "http://127.0.0.1:9");
    ReachabilityWatch watch(io_);
    EXPECT_FALSE(watch.Start(Url(), std::chrono::milliseconds(50), /*known_down=*/true, [this] { ++returned_; }));
    io_.run_for(std::chrono::milliseconds(300));
    EXPECT_EQ(returned_, 0);
}

TEST_F(ReachabilityWatchTest, ReceiverExcludedFromTheProxyIsWatched) {
    const ScopedVariable no_proxy("no_proxy", "localhost,127.0.0.1");
    const ScopedVariable proxy("ALL_PROXY", "http://127.0.0.1:9");
    ReachabilityWatch watch(io_);
    ASSERT_TRUE(watch.Start(Url(), std::chrono::milliseconds(50), /*known_down=*/true, [this] { ++returned_; }));
    RunUntilReturned();
    EXPECT_EQ(returned_, 1);
}

}  // namespace
}  // namespace delivery
}  // namespace kv
