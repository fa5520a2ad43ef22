// wardex-nvr-sim: a recording server for tests, benchmarks and the demo. See
// docs/nvr-sim.md for the scenario file and the control commands.
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include "sim/nvr/nvr_server.h"
#include "sim/nvr/scenario.h"

namespace {

const char kUsage[] =
    "usage: wardex-nvr-sim [options]\n"
    "  --scenario FILE      the server to play (JSON); built-in defaults without it\n"
    "  --address ADDR       loopback address to listen on (default 127.0.0.1)\n"
    "  --port N             client port (default 22609; 0 picks a free port)\n"
    "  --control-port N     control port for command lines (default 0: a free port)\n"
    "  --no-stdin           do not read commands from standard input\n"
    "  --exit-after SECONDS stop by itself after this many seconds\n"
    "  --seed N             seed of the random demo events\n"
    "  --help               this text\n"
    "Commands (standard input or control port, one per line):\n"
    "  event <type> [index=N] [status=N] [seconds=S] [offset=S] [millis=N] [word20=N] [word32=N] [word36=N]\n"
    "  drop | accept on|off | login accept|refuse|stall | loaded on|off | fail <Call> on|off\n"
    "  stall <Call> on|off | ping on|off\n"
    "  status | quit\n"
    "Standard output carries one JSON line per client action; the first line gives the ports.\n"
    "End of standard input stops the simulator (unless --no-stdin).\n";

struct Options {
    std::string scenario;
    std::string address = "127.0.0.1";
    long port = 22609;
    long control_port = 0;
    bool read_stdin = true;
    long exit_after = 0;
    unsigned long seed = 0;
    bool seeded = false;
};

bool Number(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < low || v > high) return false;
    out = v;
    return true;
}

// 0: run, 1: usage error, 2: help shown.
int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        if (arg == "--help" || arg == "-h") return 2;
        if (arg == "--no-stdin") { o.read_stdin = false; continue; }
        if (!value) return 1;
        ++i;
        if (arg == "--scenario") o.scenario = value;
        else if (arg == "--address") o.address = value;
        else if (arg == "--port" && Number(value, 0, 65535, n)) o.port = n;
        else if (arg == "--control-port" && Number(value, 0, 65535, n)) o.control_port = n;
        else if (arg == "--exit-after" && Number(value, 1, 86400 * 7, n)) o.exit_after = n;
        else if (arg == "--seed" && Number(value, 0, 0x7fffffff, n)) { o.seed = static_cast<unsigned long>(n); o.seeded = true; }
        else return 1;
    }
    return 0;
}

// Reads command lines from standard input while it is a pipe, a terminal or a socket.
class StdinCommands {
public:
    StdinCommands(boost::asio::io_context& io, kv::NvrServer& server) : input_(io), buffer_(64 * 1024), server_(server) {}

    bool Start() {
        boost::system::error_code ec;
        input_.assign(::dup(STDIN_FILENO), ec);
        if (ec) return false;
        Read();
        return true;
    }
    void Stop() {
        boost::system::error_code ignored;
        input_.close(ignored);
    }

private:
    void Read() {
        boost::asio::async_read_until(input_, buffer_, '\n', [this](const boost::system::error_code& ec, size_t n) {
            if (ec == boost::asio::error::operation_aborted) return;
            if (ec) {
                // End of input (or an over-long line): whoever drove us is gone.
                server_.Execute("quit");
                return;
            }
            std::string line(boost::asio::buffers_begin(buffer_.data()),
                             boost::asio::buffers_begin(buffer_.data()) + static_cast<std::ptrdiff_t>(n - 1));
            buffer_.consume(n);
            if (line.find_first_not_of(" \t\r") != std::string::npos) server_.Execute(line);
            Read();
        });
    }

    boost::asio::posix::stream_descriptor input_;
    boost::asio::streambuf buffer_;
    kv::NvrServer& server_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = ParseOptions(argc, argv, options);
    if (parsed != 0) {
        (parsed == 2 ? std::cout : std::cerr) << kUsage;
        return parsed == 2 ? 0 : 2;
    }
    kv::NvrScenario scenario;
    std::string error;
    if (!options.scenario.empty() && !kv::LoadScenarioFile(options.scenario, scenario, error)) {
        std::cerr << "wardex-nvr-sim: " << error << "\n";
        return 2;
    }
    uint32_t seed = options.seeded ? static_cast<uint32_t>(options.seed) : static_cast<uint32_t>(::getpid());

    boost::asio::io_context io;
    kv::NvrServer server(io, std::move(scenario), std::cout, seed);
    if (!server.Listen(options.address, static_cast<uint16_t>(options.port), static_cast<uint16_t>(options.control_port),
                       error)) {
        std::cerr << "wardex-nvr-sim: " << error << "\n";
        return 1;
    }
    server.Emit({{"event", "listening"}, {"address", options.address}, {"port", server.port()},
                 {"control_port", server.control_port()}});

    StdinCommands commands(io, server);
    if (options.read_stdin && !commands.Start()) {
        std::cerr << "wardex-nvr-sim: standard input cannot be watched; use the control port\n";
    }
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    boost::asio::steady_timer deadline(io);
    auto stop_all = [&] { server.Shutdown(); };
    // "quit" and the end of input arrive through the server; it releases the other waits.
    server.set_shutdown_hook([&] {
        commands.Stop();
        signals.cancel();
        deadline.cancel();
    });
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (!ec) stop_all();
    });
    if (options.exit_after > 0) {
        deadline.expires_after(std::chrono::seconds(options.exit_after));
        deadline.async_wait([&](const boost::system::error_code& ec) {
            if (!ec) stop_all();
        });
    }
    io.run();
    return 0;
}
