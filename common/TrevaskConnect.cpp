#include "common/TrevaskConnect.h"

#include <ctime>
#include <sstream>

#include <mbedtls/platform_util.h>

namespace {

constexpr int kCoreFlags = 1;
constexpr int kNonBlockingOpenAndLogin = 3;
constexpr int kEventReady = 4;
constexpr int kEventLoginResult = 71;
constexpr int kEventEventsDropped = 1000;
constexpr int32_t kLoginRefused = -1;
constexpr int32_t kLoggedIn = 1;

// Push-client registration record: a zeroed block, mode 3 and enabled.
constexpr size_t kPushBlockSize = 40;
constexpr int32_t kPushMode = 3;

void Wipe(std::string& secret) {
    if (!secret.empty()) mbedtls_platform_zeroize(&secret[0], secret.size());
    secret.clear();
}

}  // namespace

CTrevaskConnection::CTrevaskConnection() = default;

CTrevaskConnection::CTrevaskConnection(const std::string& address, uint16_t port, const std::string& user,
                                       const std::string& password)
    : address_(address), port_(port), user_(user), password_(password) {}

CTrevaskConnection::~CTrevaskConnection() {
    trevask_cleanup();
    Wipe(password_);
}

void CTrevaskConnection::set_connection_info(const std::string& address, uint16_t port, const std::string& user,
                                             const std::string& password) {
    if (handle_) trevask_cleanup();
    if (!address.empty()) address_ = address;
    port_ = port == 0 ? kDefaultPort : port;
    if (!user.empty()) user_ = user;
    if (!password.empty()) {
        Wipe(password_);
        password_ = password;
    }
}

void CTrevaskConnection::set_callback(KVAPI_Callback callback, void* user) {
    callback_ = callback;
    callback_user_ = user;
}

void CTrevaskConnection::set_client_name(const std::string& name) {
    client_name_ = name;
    client_name_set_ = false;
}

std::string CTrevaskConnection::get_status() const {
    if (events_dropped_ == 0) return status_;
    return status_ + " (" + std::to_string(events_dropped_) + " events dropped)";
}

bool CTrevaskConnection::server_fully_loaded() {
    char version[256] = {};
    KVAPI_GetServerVersion(handle_, version, 255);
    return version[0] != '\0';
}

int CTrevaskConnection::connect_kvapi(bool wait_ready) {
    if (wait_ready ? ready_ : connected_) return 1;

    if (!handle_) {
        handle_ = KVAPI_Init();
        KVAPI_SetCoreFlags(handle_, kCoreFlags);
        login_state_ = 0;
        KVAPI_SetCallbackEx(handle_, &CTrevaskConnection::kvapi_callback, this);
        KVAPI_SetNonBlocking(handle_, kNonBlockingOpenAndLogin);

        if (KVAPI_Open(handle_, address_.c_str(), port_) != 0) {
            std::ostringstream text;
            text << "Unable to connect to: " << address_ << ":" << port_;
            status_ = text.str();
            trevask_cleanup();
            return -1;
        }
        if (KVAPI_Login(handle_, user_.c_str(), password_.c_str()) != 0) {
            // Status texts end up in the log files: the password is never part of them.
            status_ = "Unable to login to server: " + address_ + " with user/pass: " + user_ + "/********";
            trevask_cleanup();
            return -1;
        }
    }

    // Whole seconds: "more than one second" makes the wait last between one and two.
    const time_t started = std::time(nullptr);
    while (login_state_ == 0 && std::time(nullptr) - started <= 1) {
        if (select_handler() < 0) {
            status_ = "KVAPI_Select error";
            return -2;
        }
    }

    if (login_state_ < 0) {
        trevask_cleanup();
        status_ = login_state_ == kLoginRefused ? "Unable to login to " + address_
                                                : "Unknown error connecting too " + address_;
        return -1;
    }
    if (login_state_ == 0) return 0;

    connected_ = true;
    status_ = "Connected";
    if (!wait_ready) return 1;
    if (select_handler() < 0) {
        status_ = "KVAPI_Select error";
        return -2;
    }
    return ready_ ? 1 : 0;
}

int CTrevaskConnection::select_handler() {
    int result = handle_ ? KVAPI_Select(handle_, kSelectTimeoutMs) : -1;
    if (result < 0) {
        if (connected_) status_ = "Connection lost to kelvora server";
        trevask_cleanup();
    }
    register_client_name();
    return result;
}

void CTrevaskConnection::trevask_cleanup() {
    if (handle_) {
        KVAPI_Close(handle_);
        KVAPI_Cleanup(handle_);
        handle_ = nullptr;
    }
    connected_ = false;
    ready_ = false;
    client_name_set_ = false;
}

void CTrevaskConnection::register_client_name() {
    if (client_name_.empty() || client_name_set_ || !handle_ || !ready_ || !server_fully_loaded()) return;
    unsigned char block[kPushBlockSize] = {};
    KVAPI_PushClient record{};
    record.size = sizeof(record);
    record.name = client_name_.c_str();
    record.reserved0 = 0;
    record.block = block;
    record.block_size = sizeof(block);
    record.mode = kPushMode;
    record.enable = 1;
    record.reserved1 = 0;
    client_name_set_ = KVAPI_UpdateVideoPushClient(handle_, &record) == 0;
}

int CTrevaskConnection::callback(int type, intptr_t status, PayloadType* payload, size_t size) {
    if (type == kEventReady) ready_ = true;
    if (type == kEventEventsDropped) {
        // The library's own notice, not a server event: nothing to forward.
        if (status > 0) events_dropped_ += static_cast<uint64_t>(status);
        return 0;
    }
    if (type == kEventLoginResult) {
        if (status != 0) {
            login_state_ = kLoginRefused;
            return 0;
        }
        if (payload && payload->index == 0) login_state_ = kLoggedIn;
    }
    return callback_ ? callback_(type, status, payload, size, callback_user_) : 0;
}

int CTrevaskConnection::kvapi_callback(int type, intptr_t status, PayloadType* payload, size_t size, void* user) {
    if (!user) return -1;
    return static_cast<CTrevaskConnection*>(user)->callback(type, status, payload, size);
}
