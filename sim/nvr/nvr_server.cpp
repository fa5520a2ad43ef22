#include "sim/nvr/nvr_server.h"

#include <chrono>
#include <ctime>

#include "sim/nvr/line_connection.h"

namespace kv {

namespace {

using nlohmann::json;
using boost::asio::ip::tcp;

constexpr int kNotLoggedIn = -1;
constexpr int kNoSuchItem = -2;
constexpr int kBadRequest = -3;
constexpr int kInjectedFailure = -5;

constexpr int kEventServerInfo = 3;
constexpr int kEventReady = 4;
constexpr int kEventLoginResult = 71;

int64_t IntOf(const json& object, const char* key, int64_t fallback = 0) {
    auto it = object.find(key);
    return (it != object.end() && it->is_number_integer()) ? it->get<int64_t>() : fallback;
}

std::string TextOf(const json& object, const char* key) {
    auto it = object.find(key);
    return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

const char* ModeName(LoginMode mode) {
    switch (mode) {
        case LoginMode::kAccept: return "accept";
        case LoginMode::kRefuse: return "refuse";
        case LoginMode::kStall: return "stall";
    }
    return "?";
}

}  // namespace

NvrServer::NvrServer(boost::asio::io_context& io, NvrScenario scenario, std::ostream& out, uint32_t seed)
    : io_(io), scenario_(std::move(scenario)), out_(out), random_(seed), acceptor_(io), control_acceptor_(io),
      loaded_timer_(io), random_timer_(io) {
    loaded_ = scenario_.loaded_after_ms == 0;
}

NvrServer::~NvrServer() = default;

void NvrServer::Emit(const nlohmann::ordered_json& line) {
    out_ << line.dump() << '\n';
    out_.flush();
}

bool NvrServer::Listen(const std::string& address, uint16_t port, uint16_t control_port, std::string& error) {
    boost::system::error_code ec;
    auto ip = boost::asio::ip::make_address(address, ec);
    if (ec || !ip.is_loopback()) {
        error = "the address must be a loopback address: " + address;
        return false;
    }
    endpoint_ = tcp::endpoint(ip, port);
    if (!OpenAcceptor(error)) return false;
    // Later re-openings ("accept on") must come back on the same port.
    port_ = acceptor_.local_endpoint().port();
    endpoint_.port(port_);

    tcp::endpoint control(ip, control_port);
    control_acceptor_.open(control.protocol(), ec);
    if (!ec) control_acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) control_acceptor_.bind(control, ec);
    if (!ec) control_acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "control port: " + ec.message();
        return false;
    }
    control_port_ = control_acceptor_.local_endpoint().port();
    AcceptControl();
    ScheduleRandom();
    return true;
}

bool NvrServer::OpenAcceptor(std::string& error) {
    boost::system::error_code ec;
    acceptor_.open(endpoint_.protocol(), ec);
    if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint_, ec);
    if (!ec) acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
    if (ec) {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        error = "port " + std::to_string(endpoint_.port()) + ": " + ec.message();
        return false;
    }
    accepting_ = true;
    Accept();
    return true;
}

void NvrServer::Accept() {
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) return;  // closed by "accept off" or the shutdown
        // Answers and events are small lines; Nagle's algorithm would hold them back
        // behind the client's delayed acknowledgements.
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        int id = next_client_++;
        auto connection = std::make_shared<LineConnection>(
            std::move(socket), [this, id](const std::string& line) { OnClientLine(id, line); },
            [this, id] { OnClientClosed(id); });
        clients_[id].connection = connection;
        Emit({{"event", "connected"}, {"client", id}, {"peer", connection->peer()}});
        connection->Start();
        Accept();
    });
}

void NvrServer::AcceptControl() {
    control_acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) return;
        auto holder = std::make_shared<std::weak_ptr<LineConnection>>();
        auto connection = std::make_shared<LineConnection>(
            std::move(socket),
            [this, holder](const std::string& line) {
                std::string error = Execute(line);
                if (auto self = holder->lock()) self->Write(error.empty() ? "ok" : "error: " + error);
            },
            [this, holder] {
                auto self = holder->lock();
                for (auto it = controls_.begin(); it != controls_.end(); ++it) {
                    if (*it == self) {
                        controls_.erase(it);
                        break;
                    }
                }
            });
        *holder = connection;
        controls_.push_back(connection);
        connection->Start();
        AcceptControl();
    });
}

void NvrServer::OnClientClosed(int id) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    clients_.erase(it);
    Emit({{"event", "disconnected"}, {"client", id}});
}

void NvrServer::OnClientLine(int id, const std::string& line) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client& client = it->second;
    json request = json::parse(line, nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
        Emit({{"event", "bad_request"}, {"client", id}});
        return;
    }
    if (TextOf(request, "op") == "Login") {
        OnLogin(id, client, request);
        return;
    }
    // Pings prove the link, not a session: answered before and after a login alike, and
    // not reported on the output (there is one every few seconds per client).
    if (TextOf(request, "op") == "Ping") {
        json ping_id = request.value("id", json());
        if (answering_pings_) client.connection->Write(json{{"id", ping_id}, {"result", 0}}.dump());
        else client.held_pings.push_back(ping_id);
        return;
    }
    // A stalled call is taken and never answered, like a server that hangs on it: the
    // client library's deadline for it passes while the link itself stays alive.
    if (scenario_.stalling_calls.count(TextOf(request, "op")) > 0) {
        Emit({{"event", "stalled_call"}, {"client", id}, {"op", TextOf(request, "op")}});
        return;
    }
    json reply = Answer(id, client, request);
    reply["id"] = request.contains("id") ? request["id"] : json();
    client.connection->Write(reply.dump());
}

void NvrServer::OnLogin(int id, Client& client, const json& request) {
    std::string user = TextOf(request, "user");
    bool password_ok = TextOf(request, "password") == scenario_.password;
    bool credentials_ok = user == scenario_.user && password_ok;
    client.logged_in = false;
    client.login_pending = false;
    client.informed = false;
    client.credentials_ok = credentials_ok;
    const char* result = "stalled";
    if (scenario_.login == LoginMode::kStall) {
        client.login_pending = true;
    } else {
        bool accepted = scenario_.login == LoginMode::kAccept && credentials_ok;
        result = accepted ? "accepted" : "refused";
    }
    // The password itself is never printed; whether it matched is enough for a test.
    Emit({{"event", "login"}, {"client", id}, {"user", user}, {"password_ok", password_ok}, {"result", result}});
    if (!client.login_pending) AnswerLogin(id, client, std::string(result) == "accepted");
}

void NvrServer::AnswerLogin(int id, Client& client, bool accepted) {
    (void)id;
    client.login_pending = false;
    NvrEvent outcome;
    outcome.type = kEventLoginResult;
    outcome.status = accepted ? 0 : 1;
    outcome.index = accepted ? 0 : 1;
    Send(client, outcome);
    if (!accepted) return;
    client.logged_in = true;
    client.informed = false;
    NvrEvent ready;
    ready.type = kEventReady;
    ready.status = 0;
    Send(client, ready);
    if (loaded_) SendInformation(client);
    if (!first_login_seen_) {
        first_login_seen_ = true;
        if (!loaded_ && scenario_.loaded_after_ms > 0) {
            loaded_timer_.expires_after(std::chrono::milliseconds(scenario_.loaded_after_ms));
            loaded_timer_.async_wait([this](const boost::system::error_code& ec) {
                if (!ec) SetLoaded(true);
            });
        }
        StartTimeline();
    }
}

void NvrServer::SetLoaded(bool loaded) {
    loaded_timer_.cancel();
    if (loaded_ == loaded) return;
    loaded_ = loaded;
    Emit({{"event", "loaded"}, {"loaded", loaded_}});
    if (!loaded_) return;
    for (auto& entry : clients_)
        if (entry.second.logged_in && !entry.second.informed) SendInformation(entry.second);
}

void NvrServer::SendInformation(Client& client) {
    NvrEvent info;
    info.type = kEventServerInfo;
    info.status = 0;
    client.informed = true;
    Send(client, info);
}

void NvrServer::Send(Client& client, const NvrEvent& e) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    json event = {{"type", e.type},
                  {"status", e.status},
                  {"index", e.index},
                  {"seconds", e.seconds ? *e.seconds : now_ms / 1000 + e.offset},
                  {"millis", e.millis ? *e.millis : static_cast<int>(now_ms % 1000)},
                  {"word20", e.word20},
                  {"word32", e.word32},
                  {"word36", e.word36}};
    client.connection->Write(json{{"event", event}}.dump());
}

int NvrServer::Broadcast(const NvrEvent& e) {
    int sent = 0;
    for (auto& entry : clients_) {
        if (!entry.second.logged_in) continue;
        Send(entry.second, e);
        ++sent;
    }
    Emit({{"event", "sent"}, {"type", e.type}, {"index", e.index}, {"status", e.status}, {"clients", sent}});
    return sent;
}

json NvrServer::Answer(int id, Client& client, const json& request) {
    const std::string op = TextOf(request, "op");
    if (!IsKnownCall(op)) return {{"result", kBadRequest}};
    if (!client.logged_in) return {{"result", kNotLoggedIn}};
    const bool fail = scenario_.failing_calls.count(op) > 0;
    const int result = fail ? kInjectedFailure : 0;

    if (op == "SetTimeServers") {
        std::string address = TextOf(request, "address");
        int64_t synced = IntOf(request, "synced"), offset = IntOf(request, "offset"), interval = IntOf(request, "interval");
        Emit({{"event", "set_time_servers"}, {"client", id}, {"address", address}, {"synced", synced},
              {"offset", offset}, {"interval", interval}, {"result", result}});
        if (!fail) {
            scenario_.time_server = address;
            scenario_.time_server_synced = static_cast<int32_t>(synced);
            scenario_.time_server_offset = offset;
            scenario_.time_server_interval = static_cast<int32_t>(interval);
        }
        return {{"result", result}};
    }
    if (op == "SetServerTime") {
        int64_t bias = IntOf(request, "bias"), apply = IntOf(request, "apply");
        std::string name = TextOf(request, "name");
        Emit({{"event", "set_server_time"}, {"client", id}, {"now", IntOf(request, "now")}, {"bias", bias},
              {"name", name}, {"apply", apply}, {"result", result}});
        if (!fail && apply != 0) {
            scenario_.tz_bias = static_cast<int32_t>(bias);
            scenario_.tz_name = name;
        }
        return {{"result", result}};
    }
    if (op == "UpdateVideoPushClient") {
        Emit({{"event", "push_client"}, {"client", id}, {"name", TextOf(request, "name")},
              {"block_size", IntOf(request, "block_size")}, {"mode", IntOf(request, "mode")},
              {"enable", IntOf(request, "enable")}, {"result", result}});
        return {{"result", result}};
    }
    if (fail && op != "GetNetworkAdapter") return {{"result", kInjectedFailure}};

    if (op == "GetServerVersion") return {{"result", 0}, {"text", loaded_ ? scenario_.version : ""}};
    if (op == "GetServerSerial") return {{"result", 0}, {"text", scenario_.serial}};
    if (op == "GetServerDescription") return {{"result", 0}, {"text", scenario_.description}};
    if (op == "GetLicensedMac") return {{"result", 0}, {"text", scenario_.licensed_mac}};
    if (op == "NumCameras") return {{"result", static_cast<int>(scenario_.cameras.size())}};
    if (op == "IsPrimary" || op == "GetCameraName") {
        int64_t camera = IntOf(request, "camera", -1);
        if (camera < 0 || camera >= static_cast<int64_t>(scenario_.cameras.size())) {
            return {{"result", op == "IsPrimary" ? 0 : kNoSuchItem}};
        }
        const NvrCamera& c = scenario_.cameras[static_cast<size_t>(camera)];
        if (op == "IsPrimary") return {{"result", c.primary ? 1 : 0}};
        return {{"result", 0}, {"text", c.name}};
    }
    if (op == "GetDriveMessage") {
        int64_t drive = IntOf(request, "drive", -1);
        for (const NvrDrive& d : scenario_.drives)
            if (static_cast<int64_t>(d.index) == drive) return {{"result", 0}, {"text", d.message}};
        return {{"result", kNoSuchItem}};
    }
    if (op == "GetServerTimezoneInfo") return {{"result", 0}, {"name", scenario_.tz_name}, {"bias", scenario_.tz_bias}};
    if (op == "GetTimeServers") {
        return {{"result", 0}, {"address", scenario_.time_server}, {"synced", scenario_.time_server_synced},
                {"offset", scenario_.time_server_offset}, {"interval", scenario_.time_server_interval}};
    }
    if (op == "GetNetworkInfo") return {{"result", 0}, {"count", scenario_.adapters.size()}};
    if (op == "GetNetworkAdapter") {
        int64_t index = IntOf(request, "index", -1);
        if (index < 0 || index >= static_cast<int64_t>(scenario_.adapters.size())) return {{"result", kNoSuchItem}};
        const NvrAdapter& a = scenario_.adapters[static_cast<size_t>(index)];
        // A failing adapter still tells its lengths, so only the read of its texts fails.
        return {{"result", (fail || a.fail) ? kInjectedFailure : 0}, {"mac", a.mac}, {"address", a.address}};
    }
    return {{"result", kBadRequest}};
}

void NvrServer::StartTimeline() {
    for (const NvrTimedEvent& timed : scenario_.timeline) {
        auto timer = std::make_unique<boost::asio::steady_timer>(io_, std::chrono::milliseconds(timed.after_ms));
        NvrEvent event = timed.event;
        timer->async_wait([this, event](const boost::system::error_code& ec) {
            if (!ec) Broadcast(event);
        });
        timeline_timers_.push_back(std::move(timer));
    }
}

NvrEvent NvrServer::RandomEvent() {
    NvrEvent e;
    e.type = scenario_.random_types[random_() % scenario_.random_types.size()];
    auto pick = [this](size_t n) { return n == 0 ? 0u : static_cast<uint32_t>(random_() % n); };
    e.index = pick(scenario_.cameras.size());
    switch (e.type) {
        case 5: e.status = (random_() % 2) ? 3 : 0; break;
        case 17:
            e.index = scenario_.drives.empty() ? 0 : scenario_.drives[pick(scenario_.drives.size())].index;
            break;
        case 92:
            e.status = 0;
            e.word32 = 1;
            e.word36 = random_() % 2;
            break;
        default: break;
    }
    return e;
}

void NvrServer::ScheduleRandom() {
    if (scenario_.random_interval_ms <= 0 || stopped_) return;
    // Jitter of +/- 50% keeps the demo from looking mechanical.
    int64_t base = scenario_.random_interval_ms;
    int64_t delay = base / 2 + static_cast<int64_t>(random_() % static_cast<uint32_t>(base + 1));
    random_timer_.expires_after(std::chrono::milliseconds(delay));
    random_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) return;
        if (loaded_) Broadcast(RandomEvent());
        ScheduleRandom();
    });
}

nlohmann::ordered_json NvrServer::StatusLine() const {
    int logged_in = 0;
    for (const auto& entry : clients_) logged_in += entry.second.logged_in ? 1 : 0;
    return {{"event", "status"}, {"clients", clients_.size()}, {"logged_in", logged_in}, {"loaded", loaded_},
            {"accepting", accepting_}, {"login", ModeName(scenario_.login)}, {"pings", answering_pings_},
            {"port", port_}};
}

std::string NvrServer::Execute(const std::string& line) {
    NvrCommand command;
    std::string error;
    if (stopped_) return "stopping";
    if (!ParseCommand(line, command, error)) {
        Emit({{"event", "command"}, {"command", line}, {"ok", false}, {"error", error}});
        return error;
    }
    switch (command.kind) {
        case NvrCommand::Kind::kEvent: Broadcast(command.event); break;
        case NvrCommand::Kind::kDrop: {
            std::vector<std::shared_ptr<LineConnection>> open;
            for (auto& entry : clients_) open.push_back(entry.second.connection);
            for (auto& connection : open) connection->Close();
            break;
        }
        case NvrCommand::Kind::kAccept:
            if (command.on && !accepting_) {
                if (!OpenAcceptor(error)) break;
            } else if (!command.on && accepting_) {
                boost::system::error_code ignored;
                acceptor_.close(ignored);
                accepting_ = false;
            }
            break;
        case NvrCommand::Kind::kLogin: {
            scenario_.login = command.login;
            if (command.login == LoginMode::kStall) break;
            // Logins held back so far get their answer now.
            for (auto& entry : clients_) {
                Client& client = entry.second;
                if (!client.login_pending) continue;
                bool accepted = command.login == LoginMode::kAccept && client.credentials_ok;
                Emit({{"event", "login_answered"}, {"client", entry.first}, {"result", accepted ? "accepted" : "refused"}});
                AnswerLogin(entry.first, client, accepted);
            }
            break;
        }
        case NvrCommand::Kind::kLoaded: SetLoaded(command.on); break;
        case NvrCommand::Kind::kPing:
            answering_pings_ = command.on;
            if (!command.on) break;
            // A hung server that resumes answers what waited meanwhile.
            for (auto& entry : clients_) {
                for (const json& ping_id : entry.second.held_pings)
                    entry.second.connection->Write(json{{"id", ping_id}, {"result", 0}}.dump());
                entry.second.held_pings.clear();
            }
            break;
        case NvrCommand::Kind::kFail:
            if (command.on) scenario_.failing_calls.insert(command.call);
            else scenario_.failing_calls.erase(command.call);
            break;
        case NvrCommand::Kind::kStall:
            if (command.on) scenario_.stalling_calls.insert(command.call);
            else scenario_.stalling_calls.erase(command.call);
            break;
        case NvrCommand::Kind::kStatus: Emit(StatusLine()); break;
        case NvrCommand::Kind::kQuit: break;
    }
    if (error.empty()) Emit({{"event", "command"}, {"command", line}, {"ok", true}});
    else Emit({{"event", "command"}, {"command", line}, {"ok", false}, {"error", error}});
    if (command.kind == NvrCommand::Kind::kQuit) Shutdown();
    return error;
}

void NvrServer::Shutdown() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    control_acceptor_.close(ignored);
    accepting_ = false;
    loaded_timer_.cancel();
    random_timer_.cancel();
    for (auto& timer : timeline_timers_) timer->cancel();
    std::vector<std::shared_ptr<LineConnection>> open;
    for (auto& entry : clients_) open.push_back(entry.second.connection);
    for (auto& connection : controls_) open.push_back(connection);
    for (auto& connection : open) connection->Close();
    Emit({{"event", "stopped"}});
    if (shutdown_hook_) shutdown_hook_();
}

}  // namespace kv
