// wardex-receiver-sim: a stand-in for the alarm receiver's web service, for tests, the
// demo and benchmarks. One thread serves HTTP/1.1 keep-alive connections with Boost.Beast
// on a loopback address; see docs/receiver-sim.md for options, commands and records.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>
#include <nlohmann/json.hpp>

#include "sim/receiver/receiver_core.h"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr size_t kBodyLimit = 16 * 1024 * 1024;

const char kUsage[] =
    "usage: wardex-receiver-sim [options]\n"
    "  --address A        loopback address to listen on (default 127.0.0.1)\n"
    "  --port P           HTTP port; 0 picks a free one (default 0)\n"
    "  --control-port P   command port on the same address; 0 picks a free one (default 0)\n"
    "  --no-control       no command port\n"
    "  --stdin-control    also read commands from standard input\n"
    "  --record FILE      append one JSON line per delivered payload; '-' is standard output\n"
    "  --fault FAULT      as the command 'fault FAULT', e.g. --fault \"app status 500 times=1\"\n"
    "  --delay STEP MS    as the command 'delay STEP MS'\n"
    "  --ntp JSON         result text of GetNTPServerInfo\n"
    "  --result TEXT      result text of every other method (default OK)\n"
    "  --style LIST       as the command 'style LIST', e.g. --style chunked,close,last-202\n"
    "  --lifetime S       exit by itself after S seconds (0: never, the default)\n"
    "  --help             this text\n"
    "Prints {\"event\":\"listening\",\"address\":A,\"port\":P,\"control_port\":C,\"url\":U} on standard\n"
    "output once ready. Commands (one per line; the answer is one line, 'ok ...' or 'error ...'):\n"
    "  fault STEP KIND [STATUS] [times=N] [method=M] [size=N]   STEP create|app|last|all;\n"
    "      KIND none|status|close|malformed|no-relates|no-identifier|no-result|soap-fault|\n"
    "           redirect|html|trickle, or a crafted answer: costly (size= declarations and\n"
    "           decoy headers), long-identifier, long-relates (that text grown to size= bytes)\n"
    "  style LIST   comma-separated: plain chunked close xml-declaration extra-headers\n"
    "      action-parameter last-202 last-204 (replaces the previous style)\n"
    "  delay STEP MS | ntp JSON | result TEXT | clear | reset | stats | quit\n";

class Server;

// One HTTP connection: read a request, let the core answer it, write, repeat.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, wxsim::ReceiverCore& core)
        : socket_(std::move(socket)), core_(core), timer_(socket_.get_executor()) {}

    void Start() { Read(); }

private:
    void Read() {
        parser_.emplace();
        parser_->body_limit(kBodyLimit);
        auto self = shared_from_this();
        http::async_read(socket_, buffer_, *parser_,
                         [self](boost::system::error_code error, size_t) { self->OnRead(error); });
    }

    void OnRead(boost::system::error_code error) {
        if (error) return Close();
        const auto& request = parser_->get();
        keep_alive_ = request.keep_alive();
        reply_ = core_.Handle(std::string(request.method_string()), std::string(request.target()),
                              std::string(request[http::field::host]),
                              std::string(request[http::field::content_type]), request.body());
        if (reply_.delay.count() > 0) {
            timer_.expires_after(reply_.delay);
            auto self = shared_from_this();
            timer_.async_wait([self](boost::system::error_code) { self->Answer(); });
        } else {
            Answer();
        }
    }

    void Answer() {
        if (reply_.close) return Close();
        response_ = {};
        response_.version(11);
        response_.result(static_cast<unsigned>(reply_.status));
        response_.set(http::field::server, "wardex-receiver-sim");
        if (!reply_.location.empty()) response_.set(http::field::location, reply_.location);
        if (!reply_.body.empty()) {
            response_.set(http::field::content_type,
                          reply_.content_type.empty() ? "application/soap+xml; charset=utf-8" : reply_.content_type);
        }
        response_.body() = std::move(reply_.body);
        if (reply_.close_after) keep_alive_ = false;
        response_.keep_alive(keep_alive_);
        if (reply_.chunked && !response_.body().empty()) {
            response_.chunked(true);
        } else {
            response_.prepare_payload();
        }
        if (reply_.trickle) return Trickle();
        auto self = shared_from_this();
        http::async_write(socket_, response_, [self](boost::system::error_code error, size_t) {
            if (error || !self->keep_alive_) return self->Close();
            self->Read();
        });
    }

    // The whole answer, serialised, then written kTrickleBytes every kTricklePause: fast
    // enough for any low-speed rule, far too slow for an exchange deadline.
    void Trickle() {
        std::ostringstream whole;
        whole << response_;
        trickle_ = whole.str();
        trickle_at_ = 0;
        TrickleNext();
    }

    void TrickleNext() {
        static constexpr size_t kTrickleBytes = 8;
        static constexpr std::chrono::milliseconds kTricklePause{250};
        if (trickle_at_ >= trickle_.size()) {
            if (!keep_alive_) return Close();
            return Read();
        }
        const size_t size = std::min(kTrickleBytes, trickle_.size() - trickle_at_);
        auto self = shared_from_this();
        asio::async_write(socket_, asio::buffer(trickle_.data() + trickle_at_, size),
                          [self, size](boost::system::error_code error, size_t) {
                              if (error) return self->Close();
                              self->trickle_at_ += size;
                              self->timer_.expires_after(kTricklePause);
                              self->timer_.async_wait([self](boost::system::error_code) { self->TrickleNext(); });
                          });
    }

    void Close() {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    tcp::socket socket_;
    wxsim::ReceiverCore& core_;
    asio::steady_timer timer_;
    boost::beast::flat_buffer buffer_;
    boost::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    wxsim::Reply reply_;
    bool keep_alive_ = true;
    std::string trickle_;
    size_t trickle_at_ = 0;
};

// One command connection (or standard input): a line in, a line out.
template <typename Stream>
class CommandReader : public std::enable_shared_from_this<CommandReader<Stream>> {
public:
    CommandReader(Stream stream, wxsim::ReceiverCore& core, std::function<void()> quit)
        : stream_(std::move(stream)), core_(core), quit_(std::move(quit)) {}

    void Start() {
        auto self = this->shared_from_this();
        asio::async_read_until(stream_, input_, '\n', [self](boost::system::error_code error, size_t size) {
            if (error) return;
            std::string line(asio::buffers_begin(self->input_.data()), asio::buffers_begin(self->input_.data()) + size);
            self->input_.consume(size);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            if (line == "quit") {
                self->Reply("ok bye");
                self->quit_();
                return;
            }
            self->Reply(self->core_.Command(line));
            self->Start();
        });
    }

private:
    void Reply(const std::string& text) {
        auto line = std::make_shared<std::string>(text + "\n");
        auto self = this->shared_from_this();
        if (std::is_same<Stream, tcp::socket>::value) {
            asio::async_write(stream_, asio::buffer(*line), [self, line](boost::system::error_code, size_t) {});
        } else {
            std::cout << *line << std::flush;
        }
    }

    Stream stream_;
    wxsim::ReceiverCore& core_;
    std::function<void()> quit_;
    asio::streambuf input_;
};

template <typename Acceptor, typename Handler>
void AcceptLoop(Acceptor& acceptor, Handler handler) {
    acceptor.async_accept([&acceptor, handler](boost::system::error_code error, tcp::socket socket) {
        if (!error) {
            socket.set_option(tcp::no_delay(true), error);
            handler(std::move(socket));
        } else if (error == asio::error::operation_aborted) {
            return;
        }
        AcceptLoop(acceptor, handler);
    });
}

struct Options {
    std::string address = "127.0.0.1";
    unsigned short port = 0;
    int control_port = 0;  // -1: none
    bool stdin_control = false;
    std::string record;
    std::vector<std::string> commands;
    long lifetime = 0;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v, w;
        try {
            if (arg == "--help" || arg == "-h") {
                std::cout << kUsage;
                std::exit(0);
            } else if (arg == "--address" && value(v)) {
                options.address = v;
            } else if (arg == "--port" && value(v)) {
                options.port = static_cast<unsigned short>(std::stoul(v));
            } else if (arg == "--control-port" && value(v)) {
                options.control_port = std::stoi(v);
            } else if (arg == "--no-control") {
                options.control_port = -1;
            } else if (arg == "--stdin-control") {
                options.stdin_control = true;
            } else if (arg == "--record" && value(v)) {
                options.record = v;
            } else if (arg == "--fault" && value(v)) {
                options.commands.push_back("fault " + v);
            } else if (arg == "--delay" && value(v) && value(w)) {
                options.commands.push_back("delay " + v + " " + w);
            } else if (arg == "--ntp" && value(v)) {
                options.commands.push_back("ntp " + v);
            } else if (arg == "--style" && value(v)) {
                options.commands.push_back("style " + v);
            } else if (arg == "--result" && value(v)) {
                options.commands.push_back("result " + v);
            } else if (arg == "--lifetime" && value(v)) {
                options.lifetime = std::stol(v);
            } else {
                std::cerr << "wardex-receiver-sim: bad option '" << arg << "'\n" << kUsage;
                return false;
            }
        } catch (const std::exception&) {
            std::cerr << "wardex-receiver-sim: bad value for '" << arg << "'\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;

    boost::system::error_code error;
    const asio::ip::address address = asio::ip::make_address(options.address, error);
    if (error || !address.is_loopback()) {
        std::cerr << "wardex-receiver-sim: '" << options.address << "' is not a loopback address\n";
        return 2;
    }

    std::ofstream record_file;
    std::ostream* record = nullptr;
    if (options.record == "-") {
        record = &std::cout;
    } else if (!options.record.empty()) {
        record_file.open(options.record, std::ios::out | std::ios::app);
        if (!record_file) {
            std::cerr << "wardex-receiver-sim: cannot open '" << options.record << "'\n";
            return 2;
        }
        record = &record_file;
    }

    wxsim::ReceiverCore core(record);
    for (const std::string& command : options.commands) {
        const std::string reply = core.Command(command);
        if (reply.compare(0, 2, "ok") != 0) {
            std::cerr << "wardex-receiver-sim: " << command << ": " << reply << "\n";
            return 2;
        }
    }

    asio::io_context io;
    tcp::acceptor acceptor(io);
    const tcp::endpoint endpoint(address, options.port);
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        std::cerr << "wardex-receiver-sim: cannot listen on " << options.address << ":" << options.port << ": "
                  << error.message() << "\n";
        return 1;
    }
    AcceptLoop(acceptor, [&core](tcp::socket socket) { std::make_shared<Session>(std::move(socket), core)->Start(); });

    auto quit = [&io] { io.stop(); };
    tcp::acceptor control(io);
    if (options.control_port >= 0) {
        const tcp::endpoint control_endpoint(address, static_cast<unsigned short>(options.control_port));
        control.open(control_endpoint.protocol(), error);
        if (!error) control.bind(control_endpoint, error);
        if (!error) control.listen(asio::socket_base::max_listen_connections, error);
        if (error) {
            std::cerr << "wardex-receiver-sim: cannot open the command port: " << error.message() << "\n";
            return 1;
        }
        AcceptLoop(control, [&core, quit](tcp::socket socket) {
            std::make_shared<CommandReader<tcp::socket>>(std::move(socket), core, quit)->Start();
        });
    }
    if (options.stdin_control) {
        std::make_shared<CommandReader<asio::posix::stream_descriptor>>(
            asio::posix::stream_descriptor(io, ::dup(STDIN_FILENO)), core, quit)
            ->Start();
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](boost::system::error_code, int) { io.stop(); });
    ::signal(SIGPIPE, SIG_IGN);
    asio::steady_timer lifetime(io);
    if (options.lifetime > 0) {
        lifetime.expires_after(std::chrono::seconds(options.lifetime));
        lifetime.async_wait([&io](boost::system::error_code e) {
            if (!e) io.stop();
        });
    }

    // The same ready line as wardex-nvr-sim's, so that every harness reads both alike;
    // control_port 0 means there is no command port.
    const tcp::endpoint bound = acceptor.local_endpoint();
    const int control_port = options.control_port >= 0 ? control.local_endpoint().port() : 0;
    const std::string url = "http://" + bound.address().to_string() + ":" + std::to_string(bound.port()) +
                            wxsim::kServicePath;
    nlohmann::ordered_json ready = {{"event", "listening"},     {"address", bound.address().to_string()},
                                    {"port", bound.port()},     {"control_port", control_port},
                                    {"url", url}};
    std::cout << ready.dump() << "\n" << std::flush;

    io.run();
    std::cerr << "wardex-receiver-sim: " << core.Stats() << std::endl;
    return core.violations() == 0 ? 0 : 3;
}
