// kv::ServiceConfig: what "./wardex.json" sets, and how the file is read and completed.
//
// The member initialisers of ServiceConfig are the one table of defaults: a key that is
// absent (or, for strings, empty or not a string; for booleans, not a boolean) keeps its
// default, a number key of another type reads as 0. A new file is written from the same
// table. ReadConfig is pure: it takes the file as JsonConfigFile found it and returns the
// settings and the lines to log, in order; the caller writes the defaults when asked to
// (a missing file only: a file that exists is never overwritten, whatever is wrong with
// it). No receiver configured is one state, an empty `service_endpoint`: the placeholder
// a new file carries counts as absent, and is never handed to the sequencer.
#ifndef WARDEX_SRC_SERVICE_CONFIG_H_
#define WARDEX_SRC_SERVICE_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>

#include "common/TrevaskConnect.h"
#include "common/common_json.h"
#include "common/logger.h"
#include "src/service/diagnostic.h"

namespace kv {

extern const char kConfigFilePath[];
// The receiver endpoint a new configuration file carries, for the installation to replace.
extern const char kPlaceholderServiceEndpoint[];
// The address of a recorder the service runs on; payloads then report another one.
extern const char kLocalRecorderAddress[];

struct ServiceConfig {
    std::string server_address = kLocalRecorderAddress;
    uint16_t server_port = CTrevaskConnection::kDefaultPort;  // the file's number, in its low 16 bits
    std::string server_user = "admin";
    std::string server_password = "tulip482";  // as the file holds it: plain, or the stored form
    bool report_motion = false;
    bool ignore_ntp = true;
    std::string site_number;
    std::string service_endpoint;         // empty: no receiver configured
    std::string backup_service_endpoint;  // empty: no backup receiver
    std::optional<LoggerLevel> log_level = INFO;  // empty: out of range, the level stays as it is

    ServiceConfig() = default;
    ServiceConfig(const ServiceConfig&) = default;
    ServiceConfig& operator=(const ServiceConfig&) = default;
    ~ServiceConfig();  // wipes the password
};

struct ConfigReading {
    ServiceConfig config;
    bool from_file = false;       // the file was read: its password is to be protected
    bool write_defaults = false;  // there was no file: write one from the defaults
    Diagnostics diagnostics;
};

// `state` and `problem` as JsonConfigFile reports them; `object` its document (null when
// it has none).
ConfigReading ReadConfig(json::LoadState state, const std::string& problem, const json::Value* object);

// Writes the nine keys of a new file, in their order, from the defaults; false when the
// file could not be written.
bool WriteDefaultConfig(json::JsonConfigFile& file);

// "http://" or "https://" (in any case) and a host: what the HTTP engine can send to.
bool IsHttpUrl(const std::string& text);

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_CONFIG_H_
