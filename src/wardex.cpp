#include "src/wardex.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "common/logger.h"
#include "common/string_util.h"
#include "common/time_helpers.h"
#include "common/wipe.h"
#include "src/outbox.h"
#include "src/time_answer.h"
#include "src/time_zones.h"

namespace kv {

const char kDefaultServiceEndpoint[] = "http://192.168.10.20/WXAlarmReceiver/Receiver.svc";
const char kConfigFilePath[] = "./wardex.json";

namespace {

constexpr const char kDefaultAddress[] = "127.0.0.1";
constexpr int16_t kDefaultPort = 22609;
constexpr const char kDefaultUser[] = "admin";
constexpr const char kDefaultPassword[] = "tulip482";
constexpr short kDefaultLogLevel = 1;
constexpr auto kDisconnectedPause = std::chrono::milliseconds(100);
// How often the client-library thread looks at the stop flag while it has no password
// it may log in with.
constexpr auto kIdlePause = std::chrono::milliseconds(250);

// Recording-server event types.
constexpr int kEventServerInformation = 3;
constexpr int kEventVideoLoss = 5;
constexpr int kEventMotion = 6;
constexpr int kEventDriveMessage = 17;
constexpr int kEventVideoState = 92;

void Log(LoggerLevel level, const std::string& text) { logger::get_logger().log(level, text); }

// The stored password is the hex text of its ciphertext, and the ciphertext is at least
// two 16-byte blocks long; a text of any other shape is a password typed in by hand.
bool IsStoredPasswordForm(const std::string& text) {
    if (text.size() < 64 || text.size() % 32 != 0) return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// A text read by the client library into `buffer`: never past its end, NUL or not.
std::string BufferText(const char* buffer, size_t capacity) {
    return std::string(buffer, strnlen(buffer, capacity));
}

void WipeString(std::string& text) {
    kv::WipeSecret(text);
    text.clear();
}

// "http://" or "https://" (in any case) and a host: what the HTTP engine can send to.
bool IsHttpUrl(const std::string& text) {
    for (const char* scheme : {"http://", "https://"}) {
        const size_t length = std::strlen(scheme);
        if (text.size() > length && strncasecmp(text.c_str(), scheme, length) == 0) {
            const char first = text[length];
            return first != '/' && first != '?' && first != '#' && !std::isspace(static_cast<unsigned char>(first));
        }
    }
    return false;
}

bool IsPlainHttp(const std::string& url) { return url.size() >= 7 && strncasecmp(url.c_str(), "http://", 7) == 0; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction and configuration

WardexIntegration::WardexIntegration()
    : sequencer_(io_service_), config_(kConfigFilePath), server_password_(kDefaultPassword) {
    sequencer_.UseOutbox(kOutboxPath);
    if (!config_.Error()) {
        ReadConfiguration();
    } else if (config_.load_state() == json::LoadState::kMissing) {
        WriteDefaultConfiguration();
    } else {
        KeepUnusableConfiguration();
    }
}

// By now both threads have been joined and the io_service no longer runs: payloads still
// in progress are abandoned, and the exchanges that hold the sequencer are released.
WardexIntegration::~WardexIntegration() {
    FinishDelivery();
    WipeString(server_password_);
}

void WardexIntegration::FinishDelivery() { sequencer_.Abandon(); }

void WardexIntegration::ReadConfiguration() {
    config_.GetValue("server_address", nvr_info_.address);
    short port = server_port_;
    config_.GetValue<short>("server_port", port);
    server_port_ = port;
    config_.GetValue("server_user", server_user_);
    config_.GetValue("server_password", server_password_);
    config_.GetValue<bool>("report_motion", report_motion_);
    config_.GetValue<bool>("ignore_ntp", ignore_ntp_);
    config_.GetValue("site_number", nvr_info_.site_no);
    config_.GetValue("service_endpoint", service_endpoint_);

    if (service_endpoint_ == kDefaultServiceEndpoint) {
        Log(WARNING, "\"service_endpoint\" must be set in \"./wardex.json\": no receiver is configured, alarms are stored and not sent");
    } else {
        sequencer_.UpdateServiceEndpoint(service_endpoint_);
    }
    ReadBackupEndpoint();
    WarnOfPlainHttp();

    ProtectStoredPassword();

    short level = kDefaultLogLevel;
    config_.GetValue<short>("log_level", level);
    if (level >= VERBOSE && level <= CRITICAL) logger::get_logger().set_level(static_cast<LoggerLevel>(level));
}

// Optional: absent, there is no backup receiver and nothing about one is logged.
void WardexIntegration::ReadBackupEndpoint() {
    std::string backup;
    config_.GetValue("backup_service_endpoint", backup);
    if (backup.empty()) return;
    if (!IsHttpUrl(backup)) {
        Log(ERROR, "\"backup_service_endpoint\" in \"./wardex.json\" is not an http(s) URL: \"" + backup +
                       "\"; no backup receiver is used");
        return;
    }
    // A backup stands beside a primary; without one nothing is sent at all.
    if (service_endpoint_ == kDefaultServiceEndpoint) {
        Log(WARNING, "\"backup_service_endpoint\" is only used beside \"service_endpoint\", which is not set");
        return;
    }
    backup_service_endpoint_ = backup;
    sequencer_.UpdateBackupEndpoint(backup_service_endpoint_);
}

// Over plain http anyone on the way can read the alarms and answer in the receiver's
// place: acknowledge alarms it never passes on, or hand out a time server. The operator
// may have no choice, so it is said once and nothing else changes.
void WardexIntegration::WarnOfPlainHttp() {
    std::vector<std::string> keys;
    if (service_endpoint_ != kDefaultServiceEndpoint && IsPlainHttp(service_endpoint_)) keys.push_back("service_endpoint");
    if (IsPlainHttp(backup_service_endpoint_)) keys.push_back("backup_service_endpoint");
    if (keys.empty()) return;
    std::string named = keys[0];
    if (keys.size() > 1) named += " and " + keys[1];
    Log(WARNING, "The receiver is reached over plain http (" + named +
                     "): alarms and their acknowledgements can be read and forged on the way; an https URL "
                     "protects them");
}

void WardexIntegration::ProtectStoredPassword() {
    if (!IsStoredPasswordForm(server_password_)) {
        StorePassword();
        return;
    }
    std::string cipher = hex_decode(server_password_);
    std::string plain;
    const crypto::PasswordDecryption outcome = crypto::DecryptPassword(cipher, plain);
    WipeString(cipher);
    if (outcome == crypto::PasswordDecryption::kFailed) {
        // Logging in with anything but the right password could lock the account on the
        // recorder; the stored value stays for when the identity comes back.
        Log(ERROR, "Could not decrypt \"server_password\" of \"./wardex.json\": most likely the machine identity changed "
                   "(a cloned disk or a regenerated machine-id) since it was encrypted, or ./scripts/get_id.sh cannot be "
                   "run; enter the password again in plain text and restart. The stored value is kept and no login is "
                   "attempted");
        password_usable_ = false;
        WipeString(server_password_);
        return;
    }
    WipeString(server_password_);
    server_password_ = std::move(plain);
    if (outcome == crypto::PasswordDecryption::kDecryptedLegacy && StorePassword()) {
        Log(INFO, "\"server_password\" of \"./wardex.json\" stored again with its integrity check");
    }
}

bool WardexIntegration::StorePassword() {
    std::string cipher = crypto::EncryptPassword(server_password_);
    if (cipher.empty()) {
        Log(ERROR, "Could not protect \"server_password\" of \"./wardex.json\": no machine identity (\"sudo -n "
                   "./scripts/get_id.sh\" failed); the file is left as it is");
        return false;
    }
    const std::string stored = hex_encode(cipher);
    WipeString(cipher);
    mode_t previous_mode = 0;
    if (!config_.SetValue("server_password", stored) || !config_.UpdateFilePrivately(&previous_mode)) {
        Log(ERROR, "Could not write the encrypted \"server_password\" to \"./wardex.json\"");
        return false;
    }
    if ((previous_mode & (S_IRWXG | S_IRWXO)) != 0) {
        Log(WARNING, "\"./wardex.json\" was open to group or others; it holds the encrypted password, so it is now "
                     "readable and writable by its owner only (0600)");
    }
    return true;
}

// The operator's file is kept as it is, whatever is wrong with it: overwriting it would
// lose the endpoint, the recorder's address and the stored password.
void WardexIntegration::KeepUnusableConfiguration() {
    const bool unreadable = config_.load_state() == json::LoadState::kUnreadable;
    Log(ERROR, std::string("Configuration file \"") + kConfigFilePath + "\" " +
                   (unreadable ? "cannot be read: " : "is not valid: ") + config_.problem() +
                   ". The file is left untouched and the built-in defaults apply until it is mended and the service "
                   "restarted");
    logger::get_logger().set_level(static_cast<LoggerLevel>(kDefaultLogLevel));
    Log(WARNING, "\"service_endpoint\" must be set in \"./wardex.json\": no receiver is configured, alarms are stored and not sent");
}

void WardexIntegration::WriteDefaultConfiguration() {
    config_.New();
    config_.SetValue("server_address", std::string(kDefaultAddress));
    config_.SetValue("server_port", static_cast<double>(kDefaultPort));
    config_.SetValue("server_user", std::string(kDefaultUser));
    config_.SetValue("server_password", std::string(kDefaultPassword));
    config_.SetValue("service_endpoint", std::string(kDefaultServiceEndpoint));
    config_.SetValue("report_motion", false);
    config_.SetValue("ignore_ntp", true);
    config_.SetValue("site_number", std::string());
    config_.SetValue("log_level", static_cast<double>(kDefaultLogLevel));
    if (!config_.UpdateFile()) Log(ERROR, "Could not write the default configuration to \"./wardex.json\"");

    // Without a configuration there is no receiver to talk to: the built-in endpoint is a
    // placeholder, so it is not handed to the sequencer.
    logger::get_logger().set_level(static_cast<LoggerLevel>(kDefaultLogLevel));
    Log(WARNING, "\"service_endpoint\" must be set in \"./wardex.json\": no receiver is configured, alarms are stored and not sent");
}

// ---------------------------------------------------------------------------------------
// Process frame

void WardexIntegration::Stop() {
    Log(INFO, "Received stop signal");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    Log(INFO, "Stopping io_service");
    io_service_.stop();
}

bool WardexIntegration::IsStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

void WardexIntegration::RunWebhookService() {
    Log(INFO, "Starting io service thread");
    auto work = std::make_unique<boost::asio::io_service::work>(io_service_);
    MarkNetworkProgress();
    for (;;) {
        if (IsStopped()) {
            Log(INFO, "Completed io service thread");
            work.reset();
            return;
        }
        boost::system::error_code error;
        io_service_.run(error);
        if (IsStopped()) continue;
        Log(ERROR, "io_service error: " + error.message());
    }
}

// The network thread proves it still runs handlers: a timer on the io_service marks its
// progress once a second. A handler that hangs holds the timer back and stops the
// service's watchdog pings.
void WardexIntegration::MarkNetworkProgress() {
    network_progress_.Mark();
    progress_timer_.expires_after(std::chrono::seconds(1));
    progress_timer_.async_wait([this](const boost::system::error_code& error) {
        if (!error) MarkNetworkProgress();
    });
}

// ---------------------------------------------------------------------------------------
// Client-library thread

void WardexIntegration::RunCallback() {
    logger::set_thread_name("kvapi_callback");
    Log(INFO, "Wardex endpoint: " +
                  (service_endpoint_ == kDefaultServiceEndpoint ? std::string("not configured") : service_endpoint_));
    if (!backup_service_endpoint_.empty()) Log(INFO, "Wardex backup endpoint: " + backup_service_endpoint_);
    // The port is kept in 16 bits; ports above 32767 are shown as the port they are.
    Log(INFO, "Live Thread: Using Trevask Server: " + nvr_info_.address + ":" +
                  std::to_string(static_cast<uint16_t>(server_port_)));
    connection_.set_connection_info(nvr_info_.address, static_cast<uint16_t>(server_port_), server_user_,
                                    server_password_);
    connection_.set_callback(kvapi_callback, this);
    start_time_ = ::time(nullptr);
    // The stored password could not be decrypted (logged at start): nothing to log in
    // with, so the thread only waits for the stop. Waiting is its work: it keeps marking
    // progress so that the watchdog does not restart a service that is only held back.
    while (!password_usable_ && !IsStopped()) {
        client_progress_.Mark();
        std::this_thread::sleep_for(kIdlePause);
    }

    int status = 0;
    while (!IsStopped()) {
        // Each turn waits at most a connection attempt (about two seconds) or one select.
        client_progress_.Mark();
        status = Loop(connection_, status);
        ReportLostEvents();
        if (IsStopped()) break;

        const bool up = connection_.connected();
        recorder_online_.store(up, std::memory_order_relaxed);
        if (up && server_online_ == 0) {
            server_online_ = 1;
            if (registered_) {
                std::string payload;
                MakeServerOnOffPayload(true, payload);
                sequencer_.StartHeartbeat(heartbeat_payload_);
                sequencer_.SendEventMessage("SendAlarm", payload);
            }
        } else if (!up && server_online_ == 1) {
            server_online_ = 0;
            if (registered_) {
                std::string payload;
                MakeServerOnOffPayload(false, payload);
                sequencer_.StopHeartbeat();
                sequencer_.SendEventMessage("SendAlarm", payload);
            }
        }

        if (up && time_update_pending_ && !time_handled_ && connection_.server_fully_loaded()) {
            // The answer that was checked, not whatever arrived since.
            CheckAndUpdateTime(checked_time_);
            time_handled_ = true;
        }
    }
    connection_.trevask_cleanup();
    Log(INFO, "completed live thread");
}

int WardexIntegration::Loop(CTrevaskConnection& connection, int last_status) {
    int status = 0;
    if (!connection.connected()) {
        if (!login_backoff_.Due(LoginBackoff::Clock::now())) {
            // Waiting out a refused login, one short pause per turn so that the stop and
            // the loop's progress stay prompt; the last status is kept, so the refusal
            // is logged once and not once per attempt.
            std::this_thread::sleep_for(kDisconnectedPause);
            return last_status;
        }
        // A new connection: the recorder proves again that it is loaded, and queries may
        // be made again. Its events arrive only once this attempt has logged in.
        recorder_cache_.BeginConnection();
        status = connection.connect_kvapi(false);
        if (status == -1 && connection.login_refused()) login_backoff_.Refused(LoginBackoff::Clock::now());
        if (status == 1) {
            login_backoff_.Accepted();
            Log(INFO, "kvAPI connection successful");
            Log(INFO, "Disable decompression");
            KVAPI_EnableDecompression(connection.get_handle(), 0);
        } else if (status != last_status) {
            std::ostringstream text;
            text << "kvAPI connect status code: " << status << ". (" << connection.get_status() << ")";
            Log(ERROR, text.str());
        }
    } else {
        status = connection.select_handler();
        if (status < 0) {
            std::ostringstream text;
            text << "select failed: " << status << ". (" << connection.get_status() << ")";
            Log(ERROR, text.str());
        }
    }
    if (!connection.connected()) std::this_thread::sleep_for(kDisconnectedPause);
    return status;
}

bool WardexIntegration::IsServerFullyLoaded() {
    LibraryQueries queries(connection_.get_handle());
    const bool loaded = recorder_cache_.Loaded(queries);
    LogRecorderWarnings();
    return loaded;
}

int kvapi_callback(int type, intptr_t status, PayloadType* payload, size_t size, void* user) {
    if (user == nullptr) {
        std::fprintf(stderr, "src/wardex.cpp: kvapi_callback: Assertion `user' failed.\n");
        std::abort();
    }
    static_cast<WardexIntegration*>(user)->OnRecorderEvent(type, status, payload, size);
    return 0;
}

void WardexIntegration::OnRecorderEvent(int type, intptr_t status, PayloadType* payload, size_t size) {
    // The server-information event is the recorder's registration on this connection:
    // everything the events need is read again. Any other event only needs to know that
    // the recorder is loaded, which the cache answers without asking once it is known.
    bool admitted = false;
    if (type == kEventServerInformation && status == 0) {
        LibraryQueries queries(connection_.get_handle());
        admitted = recorder_cache_.Refresh(queries);
        LogRecorderWarnings();
    } else {
        admitted = IsServerFullyLoaded();
    }
    if (admitted) Callback(type, status, payload, size);
    // Queued events are work done: a long queue keeps the watchdog fed.
    client_progress_.Mark();
}

bool WardexIntegration::DroppedBeforeStart(int type, const PayloadType& payload) {
    if (!IsBeforeConn(start_time_, payload.seconds)) return false;
    // The rule keeps a reconnecting recorder from replaying old events; it depends on the
    // recorder's clock agreeing with this host's, so every drop is made visible.
    uint64_t held_back = 0;
    if (!before_start_log_.Allow(LogThrottle::Clock::now(), held_back)) return true;
    std::string event_time, start_time;
    datetime::UTCToIsoString(static_cast<time_t>(payload.seconds), payload.millis, event_time);
    datetime::UTCToIsoString(start_time_, 0, start_time);
    std::ostringstream text;
    text << "Event " << type << " of " << event_time << " is older than the start at " << start_time
         << " and is not reported (is the recorder's clock behind this host's?); " << held_back
         << " more such events not logged since the last line";
    Log(INFO, text.str());
    return true;
}

RecorderCache::CameraView WardexIntegration::LookUpCamera(uint32_t index) {
    LibraryQueries queries(connection_.get_handle());
    RecorderCache::CameraView camera = recorder_cache_.Camera(queries, index);
    LogRecorderWarnings();
    return camera;
}

// The message belongs to the event, so it is read each time, unless a query has just
// found the link silent; a failed read leaves it empty.
void WardexIntegration::ReadDriveMessage(uint32_t drive, AlarmData& alarm) {
    std::vector<char> message(1025, '\0');
    int result = RecorderCache::kNotAsked;
    if (query_gate_.IsOpen()) {
        result = KVAPI_GetDriveMessage(connection_.get_handle(), drive, message.data(), 1024);
        query_gate_.Note(result);
    }
    if (result < 0) {
        recorder_cache_.DriveMessageFailed(drive, result);
        LogRecorderWarnings();
    }
    alarm.comments = BufferText(message.data(), 1024);
    alarm.channel = std::to_string(drive);
}

void WardexIntegration::LogRecorderWarnings() {
    for (const std::string& warning : recorder_cache_.TakeWarnings()) Log(WARNING, warning);
}

void WardexIntegration::ReportLostEvents() {
    const uint64_t dropped = connection_.events_dropped();
    if (dropped > events_lost_seen_) {
        events_lost_unlogged_ += dropped - events_lost_seen_;
        events_lost_seen_ = dropped;
        recorder_events_lost_.store(dropped, std::memory_order_relaxed);
    }
    const LogThrottle::Clock::time_point now = LogThrottle::Clock::now();
    if (events_lost_unlogged_ == 0 || !events_lost_log_.Due(now)) return;
    events_lost_log_.Wrote(now);
    std::ostringstream text;
    text << "Client library event queue overflowed: " << events_lost_unlogged_
         << " recorder events lost, their alarms cannot be sent (" << dropped << " since the start)";
    Log(WARNING, text.str());
    events_lost_unlogged_ = 0;
}

void WardexIntegration::Callback(int type, intptr_t status, PayloadType* payload, size_t /*size*/) {
    KVAPI_HANDLE handle = connection_.get_handle();
    HandleTimeInformation();

    AlarmData alarm;
    RecorderCache::CameraView camera;
    switch (type) {
        case kEventServerInformation:
            if (status == 0 && !registered_) Register(handle);
            return;
        case kEventVideoLoss:
            if (payload == nullptr) {
                Log(WARNING, "Video Loss callback missing payload");
                return;
            }
            if (DroppedBeforeStart(type, *payload)) return;
            camera = LookUpCamera(payload->index);
            if (!camera.primary) return;
            alarm.alarm_type = status != 0 ? kAlarmVideoLoss : kAlarmVideoRestored;
            break;
        case kEventMotion:
            if (payload == nullptr || status == 0) return;
            if (!report_motion_) return;
            if (DroppedBeforeStart(type, *payload)) return;
            camera = LookUpCamera(payload->index);
            alarm.alarm_type = kAlarmMotion;
            break;
        case kEventDriveMessage:
            if (payload == nullptr || status == 0) return;
            if (DroppedBeforeStart(type, *payload)) return;
            alarm.alarm_type = kAlarmDrive;
            break;
        case kEventVideoState:
            if (payload == nullptr || payload->word32 == 0) return;
            if (DroppedBeforeStart(type, *payload)) return;
            if (payload->word20 != 0) return;
            camera = LookUpCamera(payload->index);
            if (!camera.primary) return;
            alarm.alarm_type = payload->word36 == 0 ? kAlarmVideoLoss : kAlarmVideoRestored;
            break;
        default:
            return;
    }

    if (alarm.alarm_type == kAlarmDrive) {
        ReadDriveMessage(payload->index, alarm);
    } else {
        alarm.channel = camera.name;
        alarm.comments = alarm.channel;
    }
    alarm.date_time = FormatTime(payload->seconds, payload->millis, time_offset_);

    std::string text;
    detail::MakeAlarmPayload(nvr_info_, alarm, text);
    if (!text.empty()) sequencer_.SendEventMessage("SendAlarm", text);
}

void WardexIntegration::Register(KVAPI_HANDLE handle) {
    char mac[19] = {};
    if (KVAPI_GetLicensedMac(handle, mac, 18) == 0) {
        std::string licensed = BufferText(mac, 18);
        std::replace(licensed.begin(), licensed.end(), '-', ':');
        nvr_info_.mac_address = licensed;
        if (nvr_info_.address == kDefaultAddress) {
            GetLicenseIP(nvr_info_.mac_address);
        } else {
            nvr_info_.ip_address = nvr_info_.address;
        }
    }

    // The version was read by the recorder cache's refresh just before.
    nvr_info_.firmware_version = recorder_cache_.version();
    char buffer[257] = {};
    KVAPI_GetServerSerial(handle, buffer, 256);
    nvr_info_.serial_no = BufferText(buffer, 256);
    nvr_info_.channel_count = KVAPI_NumCameras(handle);

    heartbeat_payload_.clear();
    detail::MakeHeartBeatOrNTPPayload(nvr_info_, heartbeat_payload_);
    sequencer_.RequestNtpInfo(heartbeat_payload_, [this](const soap::NtpInfo& info) { SetNtp(info); });

    std::string recorder;
    detail::MakeRecorderInfoPayload(nvr_info_, recorder);
    sequencer_.SendEventMessage("SendRecorderInfo", recorder);
    registered_ = true;
    // Registration is this connection's on-line transition (its alarm is sent below), so
    // the loop must not report the same connection coming up a second time.
    server_online_ = 1;
    sequencer_.StartHeartbeat(heartbeat_payload_);

    std::memset(buffer, 0, sizeof(buffer));
    KVAPI_TimeZone zone{};
    zone.size = sizeof(KVAPI_TimeZone);
    zone.name = buffer;
    zone.name_size = 256;
    const int result = KVAPI_GetServerTimezoneInfo(handle, &zone);
    if (result < 0) {
        Log(ERROR, "Error from KVAPI_GetServerTimezoneInfo: " + std::to_string(result));
    } else {
        time_offset_ = zone.bias;
    }

    std::memset(buffer, 0, sizeof(buffer));
    KVAPI_GetServerDescription(handle, buffer, 256);
    nvr_info_.recorder_name = BufferText(buffer, 256);

    std::string online;
    MakeServerOnOffPayload(true, online);
    sequencer_.SendEventMessage("SendAlarm", online);
}

void WardexIntegration::MakeServerOnOffPayload(bool online, std::string& out) {
    AlarmData alarm;
    alarm.comments = online ? "Recording server online" : "Recording server offline";
    Log(INFO, "Recording server alarm: " + alarm.comments);
    alarm.alarm_type = online ? kAlarmServerOnline : kAlarmServerOffline;
    alarm.date_time = FormatTime(static_cast<int64_t>(::time(nullptr)), 0, time_offset_);
    detail::MakeAlarmPayload(nvr_info_, alarm, out);
}

// ---------------------------------------------------------------------------------------
// Time synchronisation

void WardexIntegration::SetNtp(const soap::NtpInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    ntp_info_ = info;
}

void WardexIntegration::HandleTimeInformation() {
    if (time_handled_) return;
    soap::NtpInfo info;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        info = ntp_info_;
    }
    if (info.error_code != 0) {
        time_handled_ = true;
        return;
    }
    if (info.ntp_server_ip.empty()) return;
    if (!ignore_ntp_) {
        // Whoever answers in the receiver's place writes these texts: the recorder is
        // given all of them or none.
        if (const TimeAnswerFault fault = FindTimeAnswerFault(info)) {
            Log(ERROR, std::string("Wardex time answer not applied: \"") + fault.field + "\" is not usable (\"" +
                           cut_quoted_text(*fault.value) + "\"); the recording server's time settings are left as they are");
            time_handled_ = true;
            return;
        }
        checked_time_ = info;
        time_update_pending_ = true;
        return;
    }
    TimeZone zone;
    if (!LookupTimeZone(info.time_zone, zone)) {
        if (!timezone_warning_logged_) {
            Log(WARNING, "Wardex time zone \"" + cut_quoted_text(info.time_zone) +
                             "\" is not a zone number from 1 to 40; alarm times keep the current offset");
            timezone_warning_logged_ = true;
        }
        return;
    }
    if (zone.offset_seconds != time_offset_) {
        Log(WARNING, "Wardex timezone different from Kelvora server. Alarms will be reported using Wardex web service time.");
        time_offset_ = zone.offset_seconds;
    }
}

void WardexIntegration::CheckAndUpdateTime(const soap::NtpInfo& info) {
    KVAPI_HANDLE handle = connection_.get_handle();
    Log(INFO, "Checking TimeServer info");

    char address[256] = {};
    KVAPI_TimeServers servers{};
    servers.size = sizeof(KVAPI_TimeServers);
    servers.address = address;
    servers.address_size = sizeof(address);
    KVAPI_GetTimeServers(handle, &servers);
    const std::string current = BufferText(address, sizeof(address));
    if (!current.empty() && (current != info.ntp_server_ip || servers.synced == 0)) {
        Log(INFO, "Updating time server: " + current + " -> " + info.ntp_server_ip);
        std::memset(address, 0, sizeof(address));
        // The buffer holds 255 characters and the NUL; a longer address is cut.
        std::memcpy(address, info.ntp_server_ip.data(), std::min(info.ntp_server_ip.size(), sizeof(address) - 1));
        servers.address = address;
        servers.address_size = sizeof(address);
        servers.synced = 1;
        servers.offset = 0;
        servers.interval = -1;
        if (KVAPI_SetTimeServers(handle, &servers) != 0) Log(ERROR, "Error updating time server");
    }

    TimeZone zone;
    // The answer was checked: its zone is in the table.
    if (LookupTimeZone(info.time_zone, zone) && zone.offset_seconds != time_offset_) {
        std::ostringstream text;
        text << "Updating timezone: " << time_offset_ << " -> " << zone.offset_seconds << " (" << zone.name << ")";
        Log(INFO, text.str());
        std::string name = zone.name;
        KVAPI_TimeZone record{};
        record.size = sizeof(KVAPI_TimeZone);
        record.name = &name[0];
        record.name_size = 8;
        record.new_bias = static_cast<int32_t>(zone.offset_seconds);
        record.apply = 1;
        if (KVAPI_SetServerTime(handle, static_cast<int64_t>(::time(nullptr)), &record) != 0) {
            Log(ERROR, "Error updating timezones");
            return;
        }
        time_offset_ = zone.offset_seconds;
    }
    Log(INFO, "Finished verifying timezone and ntp server information");
}

// ---------------------------------------------------------------------------------------
// Reporting address

void WardexIntegration::GetLicenseIP(const std::string& licensed_mac) {
    KVAPI_HANDLE handle = connection_.get_handle();
    KVAPI_NetworkInfo info{};
    info.size = sizeof(KVAPI_NetworkInfo);
    const int result = KVAPI_GetNetworkInfo(handle, &info);
    if (result != 0) {
        Log(ERROR, "Error from KVAPI_GetNetworkInfo: " + std::to_string(result));
        return;
    }

    auto usable = [](const std::string& address) { return address.compare(0, 7, "0.0.0.0") != 0; };
    std::string fallback = nvr_info_.address;
    for (uint64_t index = 0; index < info.adapter_count; ++index) {
        KVAPI_NetworkAdapter adapter{};
        adapter.size = sizeof(KVAPI_NetworkAdapter);
        KVAPI_GetNetworkAdapter(handle, static_cast<uint32_t>(index), &adapter);
        const uint64_t mac_size = adapter.mac_size;
        const uint64_t address_size = adapter.address_size;
        std::vector<char> mac(mac_size + 1, '\0');
        if (address_size == 0) continue;
        std::vector<char> address(address_size + 1, '\0');

        adapter = KVAPI_NetworkAdapter{};
        adapter.size = sizeof(KVAPI_NetworkAdapter);
        adapter.mac = mac_size ? mac.data() : nullptr;
        adapter.mac_size = mac_size;
        adapter.address = address.data();
        adapter.address_size = address_size;
        const int got = KVAPI_GetNetworkAdapter(handle, static_cast<uint32_t>(index), &adapter);
        if (got < 0) {
            Log(ERROR, "Error retrieving network adapter info: " + std::to_string(got));
            continue;
        }
        const std::string adapter_address = BufferText(address.data(), address_size);
        const std::string adapter_mac = BufferText(mac.data(), mac_size);
        if (fallback == nvr_info_.address && usable(adapter_address)) fallback = adapter_address;
        if (!adapter_mac.empty() && adapter_mac == licensed_mac && usable(adapter_address)) {
            nvr_info_.ip_address = adapter_address;
            return;
        }
    }

    Log(WARNING, "Could not find IP that corresponds to Licensed MAC");
    if (fallback == nvr_info_.address) {
        Log(ERROR, "Could not find another IP to send in JSON payload, using 127.0.0.1");
        nvr_info_.ip_address = kDefaultAddress;
    } else {
        Log(INFO, "Using next-best IP in JSON payloads: " + fallback);
        nvr_info_.ip_address = fallback;
    }
}

}  // namespace kv
