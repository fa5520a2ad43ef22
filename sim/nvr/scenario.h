// The recording server that wardex-nvr-sim plays, as read from a scenario file (JSON),
// and the control commands it takes while running. Both parsers are strict: an unknown
// key, a wrong type or an unknown command is reported with a reason instead of being
// guessed at, so a mistyped test script fails loudly.
#ifndef WARDEX_SIM_NVR_SCENARIO_H_
#define WARDEX_SIM_NVR_SCENARIO_H_

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kv {

struct NvrCamera {
    std::string name;
    bool primary = true;
};

struct NvrDrive {
    uint32_t index = 0;
    std::string message;
};

struct NvrAdapter {
    std::string mac;      // as the adapter reports it; empty: the adapter has none
    std::string address;  // empty: the adapter has none
    bool fail = false;    // reading its texts fails (the length query still answers)
};

// One server event. Without `seconds` the event time is now plus `offset` seconds.
struct NvrEvent {
    int type = 0;
    int64_t status = 1;
    uint32_t index = 0;
    std::optional<int64_t> seconds;
    int64_t offset = 0;
    std::optional<uint16_t> millis;
    uint32_t word20 = 0;
    uint32_t word32 = 0;
    uint32_t word36 = 0;
};

struct NvrTimedEvent {
    int64_t after_ms = 0;  // after the first accepted login
    NvrEvent event;
};

enum class LoginMode { kAccept, kRefuse, kStall };

struct NvrScenario {
    std::string user = "admin";
    std::string password = "tulip482";
    std::string version = "7.4.2.0";
    std::string serial = "KV-SIM-0001";
    std::string description = "Simulated recording server";
    std::string licensed_mac = "00-1A-2B-3C-4D-5E";
    std::vector<NvrCamera> cameras;
    std::vector<NvrDrive> drives;
    int32_t tz_bias = 0;  // seconds east of UTC
    std::string tz_name = "(UTC+00:00) UTC";
    std::string time_server;
    int32_t time_server_synced = 1;
    int64_t time_server_offset = 0;
    int32_t time_server_interval = 3600;
    std::vector<NvrAdapter> adapters;
    int64_t loaded_after_ms = 0;  // negative: only the "loaded on" command loads it
    LoginMode login = LoginMode::kAccept;
    std::set<std::string> failing_calls;
    std::set<std::string> stalling_calls;  // never answered, so the caller's deadline passes
    std::vector<NvrTimedEvent> timeline;
    int64_t random_interval_ms = 0;  // 0: no random events
    std::vector<int> random_types{5, 6, 17};
};

bool ParseScenario(const std::string& text, NvrScenario& scenario, std::string& error);
bool LoadScenarioFile(const std::string& path, NvrScenario& scenario, std::string& error);

// Control commands, one per line:
//   event <type> [index=N] [status=N] [seconds=S] [offset=S] [millis=N] [word20=N] [word32=N] [word36=N]
//   drop | accept on|off | login accept|refuse|stall | loaded on|off | fail <Call> on|off
//   | stall <Call> on|off | ping on|off | status | quit
struct NvrCommand {
    enum class Kind { kEvent, kDrop, kAccept, kLogin, kLoaded, kFail, kStall, kPing, kStatus, kQuit };
    Kind kind = Kind::kStatus;
    NvrEvent event;
    bool on = false;
    LoginMode login = LoginMode::kAccept;
    std::string call;
};

bool ParseCommand(const std::string& line, NvrCommand& command, std::string& error);

// The calls a scenario or command may make fail, by their client-library names.
bool IsKnownCall(const std::string& name);

}  // namespace kv

#endif  // WARDEX_SIM_NVR_SCENARIO_H_
