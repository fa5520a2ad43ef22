// kv::NvrServer: the simulated recording server behind wardex-nvr-sim.
//
// It accepts libkvAPI clients on a loopback port, answers their calls from the scenario,
// pushes events (login result, ready, server information, scripted, commanded and random
// ones) to logged-in clients, and takes control commands from any source through
// Execute(). Everything a client does to it is reported as one JSON line on `out`.
// Single-threaded: every member runs on the io_context's one thread.
#ifndef WARDEX_SIM_NVR_NVR_SERVER_H_
#define WARDEX_SIM_NVR_NVR_SERVER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "sim/nvr/scenario.h"

namespace kv {

class LineConnection;

class NvrServer {
public:
    NvrServer(boost::asio::io_context& io, NvrScenario scenario, std::ostream& out, uint32_t seed);
    ~NvrServer();
    NvrServer(const NvrServer&) = delete;
    NvrServer& operator=(const NvrServer&) = delete;

    // Opens the client port and the control port (0 picks a free port) on `address`.
    bool Listen(const std::string& address, uint16_t port, uint16_t control_port, std::string& error);
    uint16_t port() const { return port_; }
    uint16_t control_port() const { return control_port_; }

    // Runs one control command; returns an empty text or the reason it was refused.
    std::string Execute(const std::string& line);
    // Closes every socket and cancels every timer, so the io_context runs out of work,
    // then runs the hook (the program's other waits). Repeated calls do nothing.
    void Shutdown();
    void set_shutdown_hook(std::function<void()> hook) { shutdown_hook_ = std::move(hook); }

    void Emit(const nlohmann::ordered_json& line);

private:
    struct Client {
        std::shared_ptr<LineConnection> connection;
        bool logged_in = false;
        bool login_pending = false;
        bool informed = false;        // has had the server-information event
        bool credentials_ok = false;  // decides a held-back login once it is answered
        std::vector<nlohmann::json> held_pings;  // ids of pings withheld by "ping off"
    };

    void Accept();
    void AcceptControl();
    bool OpenAcceptor(std::string& error);
    void OnClientLine(int id, const std::string& line);
    void OnClientClosed(int id);
    nlohmann::json Answer(int id, Client& client, const nlohmann::json& request);
    void OnLogin(int id, Client& client, const nlohmann::json& request);
    void AnswerLogin(int id, Client& client, bool accepted);
    void SetLoaded(bool loaded);
    void SendInformation(Client& client);
    void Send(Client& client, const NvrEvent& event);
    int Broadcast(const NvrEvent& event);
    void StartTimeline();
    void ScheduleRandom();
    NvrEvent RandomEvent();
    nlohmann::ordered_json StatusLine() const;

    boost::asio::io_context& io_;
    NvrScenario scenario_;
    std::ostream& out_;
    std::mt19937 random_;
    boost::asio::ip::tcp::endpoint endpoint_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::acceptor control_acceptor_;
    uint16_t port_ = 0;
    uint16_t control_port_ = 0;
    bool accepting_ = false;
    bool loaded_ = false;
    // "ping off": like a hung server, pings are held unanswered; "ping on" answers them.
    bool answering_pings_ = true;
    bool first_login_seen_ = false;
    bool stopped_ = false;
    int next_client_ = 1;
    std::map<int, Client> clients_;
    std::vector<std::shared_ptr<LineConnection>> controls_;
    boost::asio::steady_timer loaded_timer_;
    boost::asio::steady_timer random_timer_;
    std::vector<std::unique_ptr<boost::asio::steady_timer>> timeline_timers_;
    std::function<void()> shutdown_hook_;
};

}  // namespace kv

#endif  // WARDEX_SIM_NVR_NVR_SERVER_H_
