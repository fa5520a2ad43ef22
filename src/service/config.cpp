#include "src/service/config.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "common/wipe.h"

namespace kv {

const char kConfigFilePath[] = "./wardex.json";
const char kPlaceholderServiceEndpoint[] = "http://192.168.10.20/WXAlarmReceiver/Receiver.svc";
const char kLocalRecorderAddress[] = "127.0.0.1";

namespace {

bool IsPlainHttp(const std::string& url) { return url.size() >= 7 && strncasecmp(url.c_str(), "http://", 7) == 0; }

void ReadKeys(const json::Value& object, ServiceConfig& config) {
    json::LoadValueIfPresent(object, "server_address", config.server_address);
    json::LoadValueIfPresent(object, "server_port", config.server_port);
    json::LoadValueIfPresent(object, "server_user", config.server_user);
    json::LoadValueIfPresent(object, "server_password", config.server_password);
    json::LoadValueIfPresent(object, "report_motion", config.report_motion);
    json::LoadValueIfPresent(object, "ignore_ntp", config.ignore_ntp);
    json::LoadValueIfPresent(object, "site_number", config.site_number);
    std::string endpoint = kPlaceholderServiceEndpoint;
    json::LoadValueIfPresent(object, "service_endpoint", endpoint);
    if (endpoint != kPlaceholderServiceEndpoint) config.service_endpoint = endpoint;
    short level = *ServiceConfig().log_level;
    json::LoadValueIfPresent(object, "log_level", level);
    config.log_level.reset();
    if (level >= VERBOSE && level <= CRITICAL) config.log_level = static_cast<LoggerLevel>(level);
}

// Optional: absent, there is no backup receiver and nothing about one is said.
void ReadBackupEndpoint(const json::Value& object, ServiceConfig& config, Diagnostics& out) {
    std::string backup;
    json::LoadValueIfPresent(object, "backup_service_endpoint", backup);
    if (backup.empty()) return;
    if (!IsHttpUrl(backup)) {
        out.push_back({ERROR, "\"backup_service_endpoint\" in \"./wardex.json\" is not an http(s) URL: \"" + backup +
                                  "\"; no backup receiver is used"});
        return;
    }
    // A backup stands beside a primary; without one nothing is sent at all.
    if (config.service_endpoint.empty()) {
        out.push_back({WARNING, "\"backup_service_endpoint\" is only used beside \"service_endpoint\", which is not set"});
        return;
    }
    config.backup_service_endpoint = backup;
}

// Over plain http anyone on the way can read the alarms and answer in the receiver's
// place: acknowledge alarms it never passes on, or hand out a time server. The operator
// may have no choice, so it is said once and nothing else changes.
void WarnOfPlainHttp(const ServiceConfig& config, Diagnostics& out) {
    std::string named;
    for (const auto& key : {std::make_pair("service_endpoint", &config.service_endpoint),
                            std::make_pair("backup_service_endpoint", &config.backup_service_endpoint)}) {
        if (!IsPlainHttp(*key.second)) continue;
        named += (named.empty() ? "" : " and ") + std::string(key.first);
    }
    if (named.empty()) return;
    out.push_back({WARNING, "The receiver is reached over plain http (" + named +
                                "): alarms and their acknowledgements can be read and forged on the way; an https URL "
                                "protects them"});
}

}  // namespace

ServiceConfig::~ServiceConfig() { WipeSecret(server_password); }

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

ConfigReading ReadConfig(json::LoadState state, const std::string& problem, const json::Value* object) {
    ConfigReading reading;
    if (state == json::LoadState::kLoaded && object != nullptr) {
        reading.from_file = true;
        ReadKeys(*object, reading.config);
    } else if (state == json::LoadState::kMissing) {
        reading.write_defaults = true;
    } else {
        // The operator's file is kept as it is, whatever is wrong with it: overwriting it
        // would lose the endpoint, the recorder's address and the stored password.
        reading.diagnostics.push_back(
            {ERROR, std::string("Configuration file \"") + kConfigFilePath + "\" " +
                        (state == json::LoadState::kUnreadable ? "cannot be read: " : "is not valid: ") + problem +
                        ". The file is left untouched and the built-in defaults apply until it is mended and the "
                        "service restarted"});
    }
    if (reading.config.service_endpoint.empty()) {
        reading.diagnostics.push_back({WARNING, "\"service_endpoint\" must be set in \"./wardex.json\": no receiver is "
                                                "configured, alarms are stored and not sent"});
    }
    if (reading.from_file) {
        ReadBackupEndpoint(*object, reading.config, reading.diagnostics);
        WarnOfPlainHttp(reading.config, reading.diagnostics);
    }
    return reading;
}

bool WriteDefaultConfig(json::JsonConfigFile& file) {
    const ServiceConfig defaults;
    file.New();
    file.SetValue("server_address", defaults.server_address);
    file.SetValue("server_port", static_cast<double>(defaults.server_port));
    file.SetValue("server_user", defaults.server_user);
    file.SetValue("server_password", defaults.server_password);
    file.SetValue("service_endpoint", kPlaceholderServiceEndpoint);
    file.SetValue("report_motion", defaults.report_motion);
    file.SetValue("ignore_ntp", defaults.ignore_ntp);
    file.SetValue("site_number", defaults.site_number);
    file.SetValue("log_level", static_cast<double>(*defaults.log_level));
    return file.UpdateFile();
}

}  // namespace kv
