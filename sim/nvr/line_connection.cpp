#include "sim/nvr/line_connection.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

namespace kv {

LineConnection::LineConnection(boost::asio::ip::tcp::socket socket, std::function<void(const std::string&)> on_line,
                               std::function<void()> on_closed)
    : socket_(std::move(socket)), input_(kMaxLine), on_line_(std::move(on_line)), on_closed_(std::move(on_closed)) {
    boost::system::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    if (!ec) peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
}

void LineConnection::Start() { ReadNext(); }

void LineConnection::ReadNext() {
    auto self = shared_from_this();
    boost::asio::async_read_until(socket_, input_, '\n', [self](const boost::system::error_code& ec, size_t n) {
        if (self->closed_) return;
        if (ec) {
            self->Close();
            return;
        }
        std::string line(boost::asio::buffers_begin(self->input_.data()),
                         boost::asio::buffers_begin(self->input_.data()) + static_cast<std::ptrdiff_t>(n - 1));
        self->input_.consume(n);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        self->on_line_(line);
        if (!self->closed_) self->ReadNext();
    });
}

void LineConnection::Write(std::string line) {
    if (closed_) return;
    line.push_back('\n');
    output_.push_back(std::move(line));
    if (output_.size() == 1) WriteNext();
}

void LineConnection::WriteNext() {
    auto self = shared_from_this();
    boost::asio::async_write(socket_, boost::asio::buffer(output_.front()),
                             [self](const boost::system::error_code& ec, size_t) {
                                 if (self->closed_) return;
                                 if (ec) {
                                     self->Close();
                                     return;
                                 }
                                 self->output_.pop_front();
                                 if (!self->output_.empty()) self->WriteNext();
                             });
}

void LineConnection::Close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    // on_line_ may be the caller further up this stack: keep it, only stop using it.
    auto on_closed = std::move(on_closed_);
    if (on_closed) on_closed();
}

}  // namespace kv
