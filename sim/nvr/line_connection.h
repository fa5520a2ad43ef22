// kv::LineConnection: one accepted TCP stream of newline-ended text lines, for the
// simulator's clients and control connections. Lines longer than kMaxLine end the
// connection. Writes are queued and sent in order. on_closed runs once, after which the
// owner drops its reference; pending handlers keep the object alive until they finish.
#ifndef WARDEX_SIM_NVR_LINE_CONNECTION_H_
#define WARDEX_SIM_NVR_LINE_CONNECTION_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>

namespace kv {

class LineConnection : public std::enable_shared_from_this<LineConnection> {
public:
    static constexpr size_t kMaxLine = 1 << 20;

    LineConnection(boost::asio::ip::tcp::socket socket, std::function<void(const std::string&)> on_line,
                   std::function<void()> on_closed);

    void Start();
    void Write(std::string line);
    void Close();
    std::string peer() const { return peer_; }

private:
    void ReadNext();
    void WriteNext();

    boost::asio::ip::tcp::socket socket_;
    boost::asio::streambuf input_;
    std::deque<std::string> output_;
    std::function<void(const std::string&)> on_line_;
    std::function<void()> on_closed_;
    std::string peer_;
    bool closed_ = false;
};

}  // namespace kv

#endif  // WARDEX_SIM_NVR_LINE_CONNECTION_H_
