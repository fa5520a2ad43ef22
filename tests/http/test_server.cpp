#include "tests/http/test_server.h"

#include <dirent.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace kv {
namespace http {
namespace testing {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> ReceivedRequest::Values(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& field : fields) {
        if (EqualNoCase(field.first, name)) values.push_back(field.second);
    }
    return values;
}

class TestServer::Session : public std::enable_shared_from_this<Session> {
public:
    Session(TestServer& server, tcp::socket socket, int id)
        : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()), id_(id) {
        int open = ++server_.open_;
        int seen = server_.max_open_.load();
        while (open > seen && !server_.max_open_.compare_exchange_weak(seen, open)) {
        }
    }
    ~Session() { --server_.open_; }

    void Read() {
        request_ = {};
        parser_ = std::make_unique<bhttp::request_parser<bhttp::string_body>>();
        parser_->body_limit(64 * 1024 * 1024);
        auto self = shared_from_this();
        bhttp::async_read(socket_, buffer_, *parser_, [self](beast::error_code error, size_t) {
            if (error) return;  // peer closed or server stopping: the session ends
            self->Dispatch();
        });
    }

private:
    void Dispatch() {
        const auto& message = parser_->get();
        ReceivedRequest received;
        received.method = std::string(message.method_string());
        received.target = std::string(message.target());
        for (const auto& field : message) {
            received.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
        received.body = message.body();
        received.connection = id_;
        server_.Record(received);
        reply_ = server_.handler_(received);
        keep_alive_ = message.keep_alive() && !reply_.close;
        if (reply_.kind == Reply::Kind::Silent) {
            WaitForClose();
            return;
        }
        auto self = shared_from_this();
        timer_.expires_after(reply_.delay);
        timer_.async_wait([self](beast::error_code error) {
            if (!error) self->Answer();
        });
    }

    void Answer() {
        auto self = shared_from_this();
        if (reply_.kind == Reply::Kind::Raw) {
            out_ = reply_.raw;
            boost::asio::async_write(socket_, boost::asio::buffer(out_), [self](beast::error_code, size_t) {
                beast::error_code ignored;
                self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
            });
            return;
        }
        if (reply_.kind == Reply::Kind::Endless) {
            out_ = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
            boost::asio::async_write(socket_, boost::asio::buffer(out_), [self](beast::error_code error, size_t) {
                if (!error) self->Stream();
            });
            return;
        }
        if (reply_.kind == Reply::Kind::Trickle) {
            out_ = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n";
            boost::asio::async_write(socket_, boost::asio::buffer(out_), [self](beast::error_code error, size_t) {
                if (!error) self->Trickle();
            });
            return;
        }
        response_ = std::make_unique<bhttp::response<bhttp::string_body>>();
        response_->result(static_cast<unsigned>(reply_.status));
        response_->version(11);
        for (const auto& field : reply_.fields) response_->insert(field.first, field.second);
        response_->body() = reply_.body;
        response_->keep_alive(keep_alive_);
        if (reply_.chunked) {
            response_->chunked(true);
        } else {
            response_->prepare_payload();
        }
        bhttp::async_write(socket_, *response_, [self](beast::error_code error, size_t) {
            if (error) return;
            if (self->keep_alive_) {
                self->Read();
            } else {
                beast::error_code ignored;
                self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
            }
        });
    }

    // Body bytes until the peer goes away.
    void Stream() {
        if (chunk_.empty()) chunk_.assign(256 * 1024, 'x');
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(chunk_), [self](beast::error_code error, size_t) {
            if (!error) self->Stream();
        });
    }

    // A few body bytes at a time, well above the client's low-speed limit yet far too slow
    // to ever finish the announced body.
    void Trickle() {
        auto self = shared_from_this();
        timer_.expires_after(std::chrono::milliseconds(100));
        timer_.async_wait([self](beast::error_code error) {
            if (error) return;
            self->chunk_ = "trick";
            boost::asio::async_write(self->socket_, boost::asio::buffer(self->chunk_),
                                     [self](beast::error_code write_error, size_t) {
                                         if (!write_error) self->Trickle();
                                     });
        });
    }

    // Holds the connection open, unanswered, until the peer closes it.
    void WaitForClose() {
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(scratch_), [self](beast::error_code error, size_t) {
            if (!error) self->WaitForClose();
        });
    }

    TestServer& server_;
    tcp::socket socket_;
    boost::asio::steady_timer timer_;
    int id_;
    beast::flat_buffer buffer_;
    std::unique_ptr<bhttp::request_parser<bhttp::string_body>> parser_;
    std::unique_ptr<bhttp::response<bhttp::string_body>> response_;
    ReceivedRequest request_;
    Reply reply_;
    bool keep_alive_ = true;
    std::string out_;
    std::string chunk_;
    char scratch_[4096];
};

TestServer::TestServer(Handler handler) : handler_(std::move(handler)), acceptor_(io_) {
    tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(1024);
    port_ = acceptor_.local_endpoint().port();
    Accept();
    thread_ = std::thread([this] { io_.run(); });
}

TestServer::~TestServer() {
    io_.stop();
    thread_.join();
}

std::string TestServer::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

void TestServer::Accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error) return;
        std::make_shared<Session>(*this, std::move(socket), ++connections_)->Read();
        Accept();
    });
}

void TestServer::Record(const ReceivedRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
}

std::vector<ReceivedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t TestServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

uint16_t RefusingPort() {
    boost::asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();  // closed again on return: nothing listens there
}

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

}  // namespace testing
}  // namespace http
}  // namespace kv
