#include "bench/load_client.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <random>

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>

#include "bench/bench_support.h"
#include "src/http_work_queue.h"
#include "src/soap_helper.h"

namespace kv {
namespace bench {

namespace {

// Placeholders that the builders print verbatim and that never occur otherwise.
constexpr char kGuidHole[] = "aaaaaaaa-aaaa-4aaa-8aaa-aaaaaaaaaaaa";
constexpr char kSequenceHole[] = "urn:uuid:bbbbbbbb-bbbb-4bbb-8bbb-bbbbbbbbbbbb";

std::string SequenceIdentifier(const std::vector<char>& body) {
    static const std::string open = "<Identifier>";
    static const std::string close = "</Identifier>";
    const std::string text(body.begin(), body.end());
    const size_t start = text.find(open);
    if (start == std::string::npos) return std::string();
    const size_t end = text.find(close, start);
    if (end == std::string::npos) return std::string();
    return text.substr(start + open.size(), end - start - open.size());
}

}  // namespace

LoadClient::Template::Template(const std::string& printed) {
    size_t at = 0;
    for (;;) {
        const size_t guid = printed.find(kGuidHole, at);
        const size_t sequence = printed.find(kSequenceHole, at);
        const size_t next = std::min(guid, sequence);
        if (next == std::string::npos) break;
        parts_.push_back(printed.substr(at, next - at));
        const bool is_guid = next == guid;
        holes_.push_back(is_guid ? 0 : 1);
        at = next + (is_guid ? sizeof(kGuidHole) : sizeof(kSequenceHole)) - 1;
    }
    parts_.push_back(printed.substr(at));
}

std::string LoadClient::Template::Fill(const std::string& guid, const std::string& sequence_id) const {
    std::string out;
    out.reserve(parts_.front().size() * 2 + 512);
    for (size_t i = 0; i < holes_.size(); ++i) {
        out += parts_[i];
        out += holes_[i] == 0 ? guid : sequence_id;
    }
    out += parts_.back();
    return out;
}

namespace {

std::string Printed(const std::function<void(std::string&)>& build) {
    std::string text;
    build(text);
    return text;
}

}  // namespace

LoadClient::LoadClient(const std::string& url, const std::string& method, const std::string& payload)
    : url_(url),
      create_(Printed([&](std::string& out) { soap::detail::MessageCreateSequence(kGuidHole, url, out); })),
      application_(Printed([&](std::string& out) {
          soap::detail::MessageSendAlarm(method, payload, url, kGuidHole, kSequenceHole, out);
      })),
      last_(Printed([&](std::string& out) { soap::detail::LastMessage(url, kGuidHole, kSequenceHole, out); })),
      guid_prefix_(std::random_device{}()) {}

std::string LoadClient::NextGuid() {
    const uint64_t n = ++guid_counter_;
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-%04x-4%03x-8%03x-%012llx", guid_prefix_,
                  static_cast<unsigned>((n >> 48) & 0xffff), static_cast<unsigned>((n >> 36) & 0xfff),
                  static_cast<unsigned>((n >> 24) & 0xfff), static_cast<unsigned long long>(n & 0xffffffffffffULL));
    return text;
}

namespace {

// One run: a number of three-step chains on one io_service and one WorkQueue.
class Run {
public:
    Run(const std::string& url, size_t count, std::function<std::string()> next_guid,
        const LoadClient::Template& create, const LoadClient::Template& application,
        const LoadClient::Template& last)
        : url_(url), count_(count), next_guid_(std::move(next_guid)), create_(create), application_(application),
          last_(last), queue_(io_) {}

    boost::asio::io_service& io() { return io_; }
    LoadResult& result() { return result_; }
    size_t started() const { return started_; }
    bool finished() const { return result_.completed + result_.failed >= count_; }

    void StartChain() {
        if (started_ >= count_) return;
        ++started_;
        auto guid = std::make_shared<std::string>(next_guid_());
        const Clock::time_point begun = Clock::now();
        Post(*guid, create_.Fill(*guid, std::string()),
             [this, guid, begun](const http::Request&, http::Response& response, const http::Error& error) {
                 const std::string sequence = Ok(response, error) ? SequenceIdentifier(response.body) : std::string();
                 if (sequence.empty()) return Fail();
                 Post(*guid, application_.Fill(*guid, sequence),
                      [this, guid, begun, sequence](const http::Request&, http::Response& answer,
                                                    const http::Error& failure) {
                          if (!Ok(answer, failure)) return Fail();
                          if (timed_) {
                              result_.latencies_ms.push_back(
                                  std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
                          }
                          Post(*guid, last_.Fill(*guid, sequence),
                               [this](const http::Request&, http::Response& closing, const http::Error& problem) {
                                   if (!Ok(closing, problem)) return Fail();
                                   ++result_.completed;
                                   Done();
                               });
                      });
             });
    }

    void set_timed(bool timed) { timed_ = timed; }
    void set_on_done(std::function<void()> on_done) { on_done_ = std::move(on_done); }

private:
    static bool Ok(const http::Response& response, const http::Error& error) {
        return !error && response.status == 200;
    }

    void Post(const std::string& guid, std::string body, http::Callback callback) {
        queue_.Post(soap::MakeSoapRequest(guid, url_, std::make_shared<std::string>(std::move(body))),
                    std::move(callback));
    }

    void Fail() {
        ++result_.failed;
        Done();
    }

    void Done() {
        if (on_done_) on_done_();
        if (finished()) io_.stop();
    }

    std::string url_;
    size_t count_;
    std::function<std::string()> next_guid_;
    const LoadClient::Template& create_;
    const LoadClient::Template& application_;
    const LoadClient::Template& last_;
    boost::asio::io_service io_;
    http::WorkQueue queue_;
    LoadResult result_;
    size_t started_ = 0;
    bool timed_ = false;
    std::function<void()> on_done_;
};

}  // namespace

LoadResult LoadClient::RunClosedLoop(size_t count, size_t concurrency, std::chrono::seconds limit) {
    Run run(url_, count, [this] { return NextGuid(); }, create_, application_, last_);
    run.set_on_done([&run] { run.StartChain(); });
    boost::asio::steady_timer deadline(run.io(), limit);
    deadline.async_wait([&run](const boost::system::error_code& error) {
        if (!error) run.io().stop();
    });
    const double cpu_before = OwnCpuSeconds();
    const Clock::time_point begun = Clock::now();
    for (size_t i = 0; i < concurrency && i < count; ++i) run.StartChain();
    run.io().run();
    LoadResult result = run.result();
    result.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    result.cpu_seconds = OwnCpuSeconds() - cpu_before;
    return result;
}

LoadResult LoadClient::RunPaced(size_t count, std::chrono::microseconds interval, std::chrono::seconds limit) {
    Run run(url_, count, [this] { return NextGuid(); }, create_, application_, last_);
    run.set_timed(true);
    boost::asio::steady_timer deadline(run.io(), limit);
    deadline.async_wait([&run](const boost::system::error_code& error) {
        if (!error) run.io().stop();
    });
    // An absolute schedule, so that a late start does not push the later ones back.
    boost::asio::steady_timer pacer(run.io());
    const Clock::time_point begun = Clock::now();
    std::function<void(size_t)> tick = [&](size_t n) {
        run.StartChain();
        if (n + 1 >= count) return;
        pacer.expires_at(begun + interval * static_cast<long>(n + 1));
        pacer.async_wait([&, n](const boost::system::error_code& error) {
            if (!error) tick(n + 1);
        });
    };
    const double cpu_before = OwnCpuSeconds();
    tick(0);
    run.io().run();
    LoadResult result = run.result();
    result.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    result.cpu_seconds = OwnCpuSeconds() - cpu_before;
    return result;
}

}  // namespace bench
}  // namespace kv
