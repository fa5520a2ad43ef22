// CTrevaskConnection: the service's one connection to the recording server.
//
// It opens the connection through the client library, logs in without blocking, waits
// one to two seconds for the login outcome (a login still open after that stays pending
// for the next connect_kvapi), turns the connection with the library's select, notices a
// lost connection and closes the handle. Status texts describe the last outcome; the
// caller logs them, this class never logs. Events 4 (ready) and 71 (login result) are
// acted on here; every event except a refused login is forwarded to the one callback.
// The library's notice of dropped events (type 1000) is counted here instead, and the
// count is shown at the end of the status text.
// Single-threaded: the object and its callbacks live on the client-library thread.
//
// A select turn waits up to kSelectTimeout for the first line from the server. The
// library ends the wait as soon as a line arrives (and takes what follows without
// waiting), so events and a lost link are seen at once whatever the timeout; the timeout
// only bounds how long the calling loop's other work waits while the server is silent:
// noticing a stop, retrying the client-name registration, the time update. A longer wait
// means fewer wake-ups of an idle service (4 a second instead of 100, on a recorder whose
// CPU belongs to video); the price is that such work may wait up to a quarter of a
// second, well within the one second in which a stop must be noticed.
#ifndef WARDEX_COMMON_TREVASKCONNECT_H_
#define WARDEX_COMMON_TREVASKCONNECT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "kvapi/kvAPI.h"

class CTrevaskConnection {
public:
    static constexpr uint16_t kDefaultPort = 22609;
    // The longest one select turn waits for the server while nothing arrives.
    static constexpr int kSelectTimeoutMs = 250;

    CTrevaskConnection();
    // Stores the four values as given (a port of 0 stays 0 here).
    CTrevaskConnection(const std::string& address, uint16_t port, const std::string& user, const std::string& password);
    ~CTrevaskConnection();

    CTrevaskConnection(const CTrevaskConnection&) = delete;
    CTrevaskConnection& operator=(const CTrevaskConnection&) = delete;

    // Closes an open connection first. Empty texts keep the stored values; port 0 means 22609.
    void set_connection_info(const std::string& address, uint16_t port, const std::string& user,
                             const std::string& password);
    void set_callback(KVAPI_Callback callback, void* user);
    // A non-empty name is registered as a video push client once the server is loaded.
    void set_client_name(const std::string& name);

    bool connected() const { return connected_; }
    KVAPI_HANDLE get_handle() const { return handle_; }
    // The last outcome; once events were dropped, followed by " (N events dropped)".
    std::string get_status() const;
    // The last connection attempt ended with the server refusing the login.
    bool login_refused() const { return login_state_ == -1; }
    uint64_t events_dropped() const { return events_dropped_; }

    // True when the server reports a version, which it does only once fully loaded.
    bool server_fully_loaded();

    // 1 connected (and ready, when asked), 0 not yet (login pending),
    // -1 failed (status set, handle released), -2 select error (status set).
    int connect_kvapi(bool wait_ready);
    // One select turn of at most kSelectTimeoutMs; a negative result closes the connection.
    int select_handler();
    void trevask_cleanup();

    int callback(int type, intptr_t status, PayloadType* payload, size_t size);
    // Registered with the library; `user` is the CTrevaskConnection.
    static int kvapi_callback(int type, intptr_t status, PayloadType* payload, size_t size, void* user);

private:
    void register_client_name();

    int32_t login_state_ = 0;  // 0 pending, 1 logged in, -1 refused, other negative: failure
    KVAPI_HANDLE handle_ = nullptr;
    std::string status_;
    std::string address_;
    uint16_t port_ = 0;
    std::string user_;
    std::string password_;
    bool connected_ = false;
    bool ready_ = false;
    KVAPI_Callback callback_ = nullptr;
    void* callback_user_ = nullptr;
    std::string client_name_;
    bool client_name_set_ = false;
    uint64_t events_dropped_ = 0;  // over the object's life, reported by the library
};

#endif  // WARDEX_COMMON_TREVASKCONNECT_H_
