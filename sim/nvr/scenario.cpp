#include "sim/nvr/scenario.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

namespace kv {

namespace {

using nlohmann::json;

const char* const kCalls[] = {
    "GetServerVersion", "GetServerSerial", "GetServerDescription", "GetLicensedMac", "NumCameras",
    "IsPrimary", "GetCameraName", "GetDriveMessage", "GetServerTimezoneInfo", "GetTimeServers",
    "SetTimeServers", "SetServerTime", "GetNetworkInfo", "GetNetworkAdapter", "UpdateVideoPushClient",
};

// Reads typed members of one JSON object and remembers the first problem.
class Reader {
public:
    Reader(const json& object, std::string where, std::string& error)
        : object_(object), where_(std::move(where)), error_(error) {}

    bool Object() {
        if (!object_.is_object()) return Fail("must be an object");
        return true;
    }
    bool Only(std::initializer_list<const char*> keys) {
        for (auto it = object_.begin(); it != object_.end(); ++it) {
            bool known = false;
            for (const char* k : keys) known = known || it.key() == k;
            if (!known) return Fail("unknown key \"" + it.key() + "\"");
        }
        return true;
    }
    bool Text(const char* key, std::string& out) {
        auto it = object_.find(key);
        if (it == object_.end()) return true;
        if (!it->is_string()) return Fail(std::string("\"") + key + "\" must be a string");
        out = it->get<std::string>();
        return true;
    }
    bool Bool(const char* key, bool& out) {
        auto it = object_.find(key);
        if (it == object_.end()) return true;
        if (!it->is_boolean()) return Fail(std::string("\"") + key + "\" must be true or false");
        out = it->get<bool>();
        return true;
    }
    template <typename T>
    bool Int(const char* key, T& out) {
        auto it = object_.find(key);
        if (it == object_.end()) return true;
        if (!it->is_number_integer()) return Fail(std::string("\"") + key + "\" must be an integer");
        bool fits = it->is_number_unsigned()
                        ? it->get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max())
                        : it->get<int64_t>() >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
                              (it->get<int64_t>() < 0 ||
                               static_cast<uint64_t>(it->get<int64_t>()) <= static_cast<uint64_t>(std::numeric_limits<T>::max()));
        if (!fits) return Fail(std::string("\"") + key + "\" is out of range");
        out = it->is_number_unsigned() ? static_cast<T>(it->get<uint64_t>()) : static_cast<T>(it->get<int64_t>());
        return true;
    }
    const json* Member(const char* key) const {
        auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }
    bool Fail(const std::string& what) {
        if (error_.empty()) error_ = where_ + ": " + what;
        return false;
    }

private:
    const json& object_;
    std::string where_;
    std::string& error_;
};

bool ParseLoginMode(const std::string& text, LoginMode& mode) {
    if (text == "accept") mode = LoginMode::kAccept;
    else if (text == "refuse") mode = LoginMode::kRefuse;
    else if (text == "stall") mode = LoginMode::kStall;
    else return false;
    return true;
}

bool ParseEventObject(const json& value, const std::string& where, bool timed, NvrTimedEvent& out, std::string& error) {
    Reader r(value, where, error);
    if (!r.Object()) return false;
    if (timed ? !r.Only({"after_ms", "type", "index", "status", "seconds", "offset", "millis", "word20", "word32", "word36"})
              : !r.Only({"type", "index", "status", "seconds", "offset", "millis", "word20", "word32", "word36"}))
        return false;
    if (!r.Member("type")) return r.Fail("\"type\" is required");
    NvrEvent& e = out.event;
    int64_t seconds = 0;
    uint16_t millis = 0;
    bool ok = r.Int("after_ms", out.after_ms) && r.Int("type", e.type) && r.Int("index", e.index) &&
              r.Int("status", e.status) && r.Int("seconds", seconds) && r.Int("offset", e.offset) &&
              r.Int("millis", millis) && r.Int("word20", e.word20) && r.Int("word32", e.word32) &&
              r.Int("word36", e.word36);
    if (!ok) return false;
    if (r.Member("seconds")) e.seconds = seconds;
    if (r.Member("millis")) {
        if (millis > 999) return r.Fail("\"millis\" must be 0 to 999");
        e.millis = millis;
    }
    if (out.after_ms < 0) return r.Fail("\"after_ms\" must not be negative");
    return true;
}

bool ParseInteger(const std::string& text, int64_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

template <typename T>
bool IntegerIn(const std::string& text, T& out) {
    int64_t v = 0;
    if (!ParseInteger(text, v)) return false;
    if (v < static_cast<int64_t>(std::numeric_limits<T>::min())) return false;
    if (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
    out = static_cast<T>(v);
    return true;
}

bool OnOff(const std::string& word, bool& on) {
    if (word == "on") on = true;
    else if (word == "off") on = false;
    else return false;
    return true;
}

}  // namespace

bool IsKnownCall(const std::string& name) {
    for (const char* c : kCalls)
        if (name == c) return true;
    return false;
}

bool ParseScenario(const std::string& text, NvrScenario& s, std::string& error) {
    error.clear();
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        error = "scenario: not valid JSON";
        return false;
    }
    Reader r(root, "scenario", error);
    if (!r.Object() ||
        !r.Only({"credentials", "version", "serial", "description", "licensed_mac", "cameras", "drives", "time_zone",
                 "time_server", "adapters", "loaded_after_ms", "login", "failing_calls", "stalling_calls", "timeline",
                 "random_events"}))
        return false;
    if (!r.Text("version", s.version) || !r.Text("serial", s.serial) || !r.Text("description", s.description) ||
        !r.Text("licensed_mac", s.licensed_mac) || !r.Int("loaded_after_ms", s.loaded_after_ms))
        return false;
    if (const json* c = r.Member("credentials")) {
        Reader cr(*c, "credentials", error);
        if (!cr.Object() || !cr.Only({"user", "password"}) || !cr.Text("user", s.user) || !cr.Text("password", s.password))
            return false;
    }
    std::string login;
    if (!r.Text("login", login)) return false;
    if (!login.empty() && !ParseLoginMode(login, s.login)) return r.Fail("\"login\" must be accept, refuse or stall");
    if (const json* list = r.Member("cameras")) {
        if (!list->is_array()) return r.Fail("\"cameras\" must be an array");
        for (size_t i = 0; i < list->size(); ++i) {
            NvrCamera camera;
            Reader cr((*list)[i], "cameras[" + std::to_string(i) + "]", error);
            if (!cr.Object() || !cr.Only({"name", "primary"}) || !cr.Text("name", camera.name) ||
                !cr.Bool("primary", camera.primary))
                return false;
            s.cameras.push_back(camera);
        }
    }
    if (const json* list = r.Member("drives")) {
        if (!list->is_array()) return r.Fail("\"drives\" must be an array");
        for (size_t i = 0; i < list->size(); ++i) {
            NvrDrive drive;
            drive.index = static_cast<uint32_t>(i);
            Reader dr((*list)[i], "drives[" + std::to_string(i) + "]", error);
            if (!dr.Object() || !dr.Only({"index", "message"}) || !dr.Int("index", drive.index) ||
                !dr.Text("message", drive.message))
                return false;
            s.drives.push_back(drive);
        }
    }
    if (const json* tz = r.Member("time_zone")) {
        Reader tr(*tz, "time_zone", error);
        if (!tr.Object() || !tr.Only({"bias", "name"}) || !tr.Int("bias", s.tz_bias) || !tr.Text("name", s.tz_name))
            return false;
    }
    if (const json* ts = r.Member("time_server")) {
        Reader tr(*ts, "time_server", error);
        if (!tr.Object() || !tr.Only({"address", "synced", "offset", "interval"}) || !tr.Text("address", s.time_server) ||
            !tr.Int("synced", s.time_server_synced) || !tr.Int("offset", s.time_server_offset) ||
            !tr.Int("interval", s.time_server_interval))
            return false;
    }
    if (const json* list = r.Member("adapters")) {
        if (!list->is_array()) return r.Fail("\"adapters\" must be an array");
        for (size_t i = 0; i < list->size(); ++i) {
            NvrAdapter adapter;
            Reader ar((*list)[i], "adapters[" + std::to_string(i) + "]", error);
            if (!ar.Object() || !ar.Only({"mac", "address", "fail"}) || !ar.Text("mac", adapter.mac) ||
                !ar.Text("address", adapter.address) || !ar.Bool("fail", adapter.fail))
                return false;
            s.adapters.push_back(adapter);
        }
    }
    for (const char* key : {"failing_calls", "stalling_calls"}) {
        const json* list = r.Member(key);
        if (!list) continue;
        std::set<std::string>& calls = std::string(key) == "failing_calls" ? s.failing_calls : s.stalling_calls;
        if (!list->is_array()) return r.Fail(std::string("\"") + key + "\" must be an array");
        for (const json& name : *list) {
            if (!name.is_string() || !IsKnownCall(name.get<std::string>()))
                return r.Fail(std::string("\"") + key + "\" holds an unknown call: " + name.dump());
            calls.insert(name.get<std::string>());
        }
    }
    if (const json* list = r.Member("timeline")) {
        if (!list->is_array()) return r.Fail("\"timeline\" must be an array");
        for (size_t i = 0; i < list->size(); ++i) {
            NvrTimedEvent timed;
            if (!ParseEventObject((*list)[i], "timeline[" + std::to_string(i) + "]", true, timed, error)) return false;
            s.timeline.push_back(timed);
        }
    }
    if (const json* random = r.Member("random_events")) {
        Reader rr(*random, "random_events", error);
        if (!rr.Object() || !rr.Only({"interval_ms", "types"}) || !rr.Int("interval_ms", s.random_interval_ms)) return false;
        if (s.random_interval_ms < 0) return rr.Fail("\"interval_ms\" must not be negative");
        if (const json* types = rr.Member("types")) {
            if (!types->is_array() || types->empty()) return rr.Fail("\"types\" must be a non-empty array");
            s.random_types.clear();
            for (const json& t : *types) {
                if (!t.is_number_integer()) return rr.Fail("\"types\" must hold integers");
                s.random_types.push_back(t.get<int>());
            }
        }
    }
    return true;
}

bool LoadScenarioFile(const std::string& path, NvrScenario& scenario, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseScenario(text.str(), scenario, error);
}

bool ParseCommand(const std::string& line, NvrCommand& command, std::string& error) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    command = NvrCommand();
    error.clear();
    if (words.empty()) {
        error = "empty command";
        return false;
    }
    const std::string& verb = words[0];
    auto arity = [&](size_t n) {
        if (words.size() == n) return true;
        error = verb + ": expected " + std::to_string(n - 1) + " argument(s)";
        return false;
    };
    if (verb == "drop") {
        command.kind = NvrCommand::Kind::kDrop;
        return arity(1);
    }
    if (verb == "status") {
        command.kind = NvrCommand::Kind::kStatus;
        return arity(1);
    }
    if (verb == "quit") {
        command.kind = NvrCommand::Kind::kQuit;
        return arity(1);
    }
    if (verb == "accept" || verb == "loaded" || verb == "ping") {
        command.kind = verb == "accept"   ? NvrCommand::Kind::kAccept
                       : verb == "loaded" ? NvrCommand::Kind::kLoaded
                                          : NvrCommand::Kind::kPing;
        if (!arity(2)) return false;
        if (!OnOff(words[1], command.on)) error = verb + ": expected on or off";
        return error.empty();
    }
    if (verb == "login") {
        command.kind = NvrCommand::Kind::kLogin;
        if (!arity(2)) return false;
        if (!ParseLoginMode(words[1], command.login)) error = "login: expected accept, refuse or stall";
        return error.empty();
    }
    if (verb == "fail" || verb == "stall") {
        command.kind = verb == "fail" ? NvrCommand::Kind::kFail : NvrCommand::Kind::kStall;
        if (!arity(3)) return false;
        command.call = words[1];
        if (!IsKnownCall(command.call)) error = verb + ": unknown call " + command.call;
        else if (!OnOff(words[2], command.on)) error = verb + ": expected on or off";
        return error.empty();
    }
    if (verb == "event") {
        command.kind = NvrCommand::Kind::kEvent;
        NvrEvent& e = command.event;
        if (words.size() < 2 || !IntegerIn(words[1], e.type)) {
            error = "event: expected the event type";
            return false;
        }
        for (size_t i = 2; i < words.size(); ++i) {
            size_t eq = words[i].find('=');
            std::string key = words[i].substr(0, eq);
            std::string value = eq == std::string::npos ? std::string() : words[i].substr(eq + 1);
            bool ok = false;
            if (key == "index") ok = IntegerIn(value, e.index);
            else if (key == "status") ok = IntegerIn(value, e.status);
            else if (key == "offset") ok = IntegerIn(value, e.offset);
            else if (key == "word20") ok = IntegerIn(value, e.word20);
            else if (key == "word32") ok = IntegerIn(value, e.word32);
            else if (key == "word36") ok = IntegerIn(value, e.word36);
            else if (key == "seconds") {
                int64_t v = 0;
                ok = ParseInteger(value, v);
                if (ok) e.seconds = v;
            } else if (key == "millis") {
                uint16_t v = 0;
                ok = IntegerIn(value, v) && v <= 999;
                if (ok) e.millis = v;
            }
            if (!ok) {
                error = "event: bad argument " + words[i];
                return false;
            }
        }
        return true;
    }
    error = "unknown command " + verb;
    return false;
}

}  // namespace kv
