// libkvAPI.so: the client library's C entry points, talking to wardex-nvr-sim over one
// TCP stream of JSON lines (PROTOCOL.md). Queries are request/response round trips on the
// caller's thread; server events that arrive meanwhile wait in a queue and are handed to
// the callback only inside KVAPI_Select, so callbacks always run on the selecting thread.
// A handle is used by one thread at a time; distinct handles share nothing.
//
// A link can die without the stream breaking (a hung server, a cable pulled with no
// reset). Select therefore pings the server every kPingIntervalMs and declares the link
// lost when an answer is kPingTimeoutMs overdue; the socket also carries TCP keepalive.
// Every call ends by its deadline however many other lines keep arriving, and the event
// queue is bounded: past kMaxQueuedEvents the oldest are dropped and their number is
// delivered as a kEventsDropped event ahead of the next events.
#include "kvapi/kvAPI.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>
#include <string>

#include <mbedtls/platform_util.h>
#include <nlohmann/json.hpp>

#include "kvapi/nvr_channel.h"

namespace {

using nlohmann::json;

// Results of this library (server results are passed through unchanged).
constexpr int kOk = 0;
constexpr int kNotConnected = -1;
constexpr int kBadArgument = -2;
constexpr int kTimedOut = -3;
constexpr int kTooSmall = -4;

constexpr int kConnectTimeoutMs = 3000;
constexpr int kCallTimeoutMs = 5000;
constexpr int kBlockingLoginTimeoutMs = 5000;
constexpr int kLoginResultEvent = 71;

// Liveness of the link: a ping every interval, lost when its answer is this late.
constexpr int kPingIntervalMs = 5000;
constexpr int kPingTimeoutMs = 10000;
// Test hook: these variables, when set to a positive number of milliseconds, replace the
// two values above for handles created afterwards, so that tests need not wait 10 s.
constexpr char kPingIntervalTestEnv[] = "WARDEX_KVAPI_TEST_PING_INTERVAL_MS";
constexpr char kPingTimeoutTestEnv[] = "WARDEX_KVAPI_TEST_PING_TIMEOUT_MS";

// Events waiting for Select; a caller that stops selecting must not grow memory forever.
// Room for more than a burst of 20000 alarms read faster than the service takes them.
constexpr size_t kMaxQueuedEvents = 50000;
// Library event (no server sends it): `status` and payload `index` carry how many of
// the oldest queued events were dropped since the last such event.
constexpr int kEventsDropped = 1000;

using Clock = std::chrono::steady_clock;

int MillisUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int MillisFromTestEnv(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (!text) return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && value > 0 && value <= 3600 * 1000) ? static_cast<int>(value) : fallback;
}
// Server texts passed on without a caller-given length are cut here.
constexpr size_t kMaxPassedText = 1024;

struct QueuedEvent {
    int type;
    intptr_t status;
    PayloadType payload;
};

int64_t IntField(const json& object, const char* key, int64_t fallback = 0) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return fallback;
    return it->is_number_float() ? static_cast<int64_t>(it->get<double>()) : it->get<int64_t>();
}

std::string TextField(const json& object, const char* key) {
    auto it = object.find(key);
    return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

void Wipe(std::string& secret) {
    if (!secret.empty()) mbedtls_platform_zeroize(&secret[0], secret.size());
}

// Appends `text` as a JSON string literal without reallocating a reserved buffer.
void AppendJsonString(std::string& out, const char* text) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(*p));
        } else if (*p < 0x20) {
            out.append("\\u00");
            out.push_back(kHex[*p >> 4]);
            out.push_back(kHex[*p & 15]);
        } else {
            out.push_back(static_cast<char>(*p));
        }
    }
    out.push_back('"');
}

std::string BoundedText(const char* text, size_t limit) {
    return text ? std::string(text, ::strnlen(text, limit)) : std::string();
}

// Copies `text` NUL-terminated into buf, cutting it to fit.
void CopyText(const std::string& text, char* buf, size_t size) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

QueuedEvent ParseEvent(const json& event) {
    QueuedEvent q{};
    q.type = static_cast<int>(IntField(event, "type"));
    q.status = static_cast<intptr_t>(IntField(event, "status"));
    q.payload.index = static_cast<uint32_t>(IntField(event, "index"));
    q.payload.seconds = IntField(event, "seconds");
    q.payload.millis = static_cast<uint16_t>(IntField(event, "millis"));
    q.payload.word20 = static_cast<uint32_t>(IntField(event, "word20"));
    q.payload.word32 = static_cast<uint32_t>(IntField(event, "word32"));
    q.payload.word36 = static_cast<uint32_t>(IntField(event, "word36"));
    return q;
}

}  // namespace

struct KVAPI_Connection {
    kv::NvrChannel channel;
    KVAPI_Callback callback = nullptr;
    void* user = nullptr;
    int core_flags = 0;
    int nonblocking = 0;
    int decompression = 1;
    bool lost = false;  // the stream broke; only a new KVAPI_Open revives the handle
    uint64_t next_id = 1;
    std::deque<QueuedEvent> events;
    uint64_t dropped_total = 0;       // events dropped from the queue's front, ever
    uint64_t dropped_unreported = 0;  // of those, not yet told to the callback
    const int ping_interval_ms = MillisFromTestEnv(kPingIntervalTestEnv, kPingIntervalMs);
    const int ping_timeout_ms = MillisFromTestEnv(kPingTimeoutTestEnv, kPingTimeoutMs);
    Clock::time_point ping_sent{};  // the last ping, or the opening of the stream
    uint64_t ping_id = 0;           // the ping awaiting its answer; 0 when none
    int dispatch_depth = 0;
    bool release_after_dispatch = false;

    bool Usable() const { return channel.IsOpen() && !lost; }

    void MarkLost() {
        lost = true;
        channel.Close();
    }

    void Opened() {
        lost = false;
        events.clear();
        dropped_unreported = 0;
        ping_id = 0;
        ping_sent = Clock::now();
    }

    void Queue(const QueuedEvent& event) {
        if (events.size() >= kMaxQueuedEvents) {
            events.pop_front();
            ++dropped_total;
            ++dropped_unreported;
        }
        events.push_back(event);
    }

    // Sends the next ping when one is due; false once an answer is overdue (the link is
    // then marked lost). Pings are not awaited here: ReadOne takes their answers.
    bool CheckLiveness() {
        if (!Usable()) return false;
        const Clock::time_point now = Clock::now();
        if (ping_id != 0) {
            if (now - ping_sent < std::chrono::milliseconds(ping_timeout_ms)) return true;
            MarkLost();
            return false;
        }
        if (now - ping_sent < std::chrono::milliseconds(ping_interval_ms)) return true;
        const uint64_t id = next_id++;
        json ping = {{"op", "Ping"}, {"id", id}};
        if (!channel.WriteLine(ping.dump(), kCallTimeoutMs)) {
            MarkLost();
            return false;
        }
        ping_id = id;
        ping_sent = now;
        return true;
    }

    // Reads one line and files it: events into the queue, anything else into `reply`.
    // Returns false when the stream is gone or no line came within timeout_ms.
    bool ReadOne(int timeout_ms, json& reply, bool& got_reply, bool& timed_out) {
        std::string line;
        got_reply = timed_out = false;
        switch (channel.ReadLine(line, timeout_ms)) {
            case kv::NvrChannel::ReadResult::kTimeout: timed_out = true; return false;
            case kv::NvrChannel::ReadResult::kClosed: MarkLost(); return false;
            case kv::NvrChannel::ReadResult::kLine: break;
        }
        json message = json::parse(line, nullptr, false);
        if (message.is_discarded() || !message.is_object()) return true;  // not ours; skip it
        auto event = message.find("event");
        if (event != message.end() && event->is_object()) {
            Queue(ParseEvent(*event));
        } else if (ping_id != 0 && static_cast<uint64_t>(IntField(message, "id", -1)) == ping_id) {
            ping_id = 0;  // the link is alive; the next ping follows an interval after this one
        } else {
            reply = std::move(message);
            got_reply = true;
        }
        return true;
    }

    // One request/response round trip. The server's "result" is the call's result.
    int Call(json request, json& response) {
        if (!Usable()) return kNotConnected;
        uint64_t id = next_id++;
        request["id"] = id;
        if (!channel.WriteLine(request.dump(), kCallTimeoutMs)) {
            MarkLost();
            return kNotConnected;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kCallTimeoutMs);
        for (;;) {
            // Checked before every line: a server that keeps sending events (or lines
            // already buffered) must not hold the caller past its deadline.
            if (Clock::now() >= deadline) return kTimedOut;
            json reply;
            bool got_reply = false, timed_out = false;
            if (!ReadOne(MillisUntil(deadline), reply, got_reply, timed_out)) {
                return timed_out ? kTimedOut : kNotConnected;
            }
            // A late answer to an earlier, timed-out call is dropped here.
            if (got_reply && static_cast<uint64_t>(IntField(reply, "id", -1)) == id) {
                response = std::move(reply);
                return static_cast<int>(IntField(response, "result", kNotConnected));
            }
        }
    }

    int CallText(const char* op, const json& args, char* buf, size_t size) {
        if (!buf || size == 0) return kBadArgument;
        json request = args;
        request["op"] = op;
        json response;
        int result = Call(std::move(request), response);
        if (result != kOk) return result;
        CopyText(TextField(response, "text"), buf, size);
        return kOk;
    }

    int Dispatch() {
        int delivered = 0;
        ++dispatch_depth;
        if (dropped_unreported > 0 && !release_after_dispatch) {
            QueuedEvent notice{};
            notice.type = kEventsDropped;
            notice.status = static_cast<intptr_t>(dropped_unreported);
            notice.payload.index = dropped_unreported > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(dropped_unreported);
            notice.payload.seconds = static_cast<int64_t>(::time(nullptr));
            dropped_unreported = 0;
            ++delivered;
            if (callback) callback(notice.type, notice.status, &notice.payload, sizeof(notice.payload), user);
        }
        while (!events.empty() && !release_after_dispatch) {
            QueuedEvent event = events.front();
            events.pop_front();
            ++delivered;
            if (callback) callback(event.type, event.status, &event.payload, sizeof(event.payload), user);
        }
        --dispatch_depth;
        return delivered;
    }
};

namespace {

KVAPI_Connection* Live(KVAPI_HANDLE h) { return (h && !h->release_after_dispatch) ? h : nullptr; }

}  // namespace

extern "C" {

KVAPI_HANDLE KVAPI_Init(void) { return new (std::nothrow) KVAPI_Connection(); }

int KVAPI_SetCoreFlags(KVAPI_HANDLE h, int flags) {
    if (!Live(h)) return kBadArgument;
    h->core_flags = flags;
    return kOk;
}

int KVAPI_SetCallbackEx(KVAPI_HANDLE h, KVAPI_Callback cb, void* user) {
    if (!Live(h)) return kBadArgument;
    h->callback = cb;
    h->user = user;
    return kOk;
}

int KVAPI_SetNonBlocking(KVAPI_HANDLE h, int mode) {
    if (!Live(h)) return kBadArgument;
    h->nonblocking = mode;
    return kOk;
}

int KVAPI_EnableDecompression(KVAPI_HANDLE h, int enable) {
    // The simulated stream is never compressed; the setting is kept for symmetry only.
    if (!Live(h)) return kBadArgument;
    h->decompression = enable;
    return kOk;
}

int KVAPI_Open(KVAPI_HANDLE h, const char* address, uint16_t port) {
    if (!Live(h) || !address) return kBadArgument;
    h->channel.Close();
    h->Opened();
    return h->channel.Connect(address, port, kConnectTimeoutMs) ? kOk : kNotConnected;
}

int KVAPI_Login(KVAPI_HANDLE h, const char* user, const char* password) {
    if (!Live(h) || !user || !password) return kBadArgument;
    // A cut credential would fail later for a reason nobody could see: refuse it here.
    if (::strnlen(user, kMaxPassedText + 1) > kMaxPassedText || ::strnlen(password, kMaxPassedText + 1) > kMaxPassedText)
        return kBadArgument;
    if (!h->Usable()) return kNotConnected;
    // Built in one buffer that never grows, so the one copy of the password can be wiped.
    std::string line;
    line.reserve(64 + 6 * (::strlen(user) + ::strlen(password)));
    line.append("{\"op\":\"Login\",\"user\":");
    AppendJsonString(line, user);
    line.append(",\"password\":");
    AppendJsonString(line, password);
    line.push_back('}');
    bool sent = h->channel.WriteLine(line, kCallTimeoutMs);
    Wipe(line);
    if (!sent) {
        h->MarkLost();
        return kNotConnected;
    }
    if (h->nonblocking != 0) return kOk;  // the outcome arrives as event 71 in KVAPI_Select
    // Blocking mode: wait for the outcome here; the event is still delivered by Select.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBlockingLoginTimeoutMs);
    size_t seen = h->events.size();
    uint64_t dropped = h->dropped_total;
    for (;;) {
        // Events dropped from the front shift the ones not yet looked at.
        const uint64_t shifted = h->dropped_total - dropped;
        dropped = h->dropped_total;
        seen = shifted >= seen ? 0 : seen - static_cast<size_t>(shifted);
        for (; seen < h->events.size(); ++seen) {
            const QueuedEvent& e = h->events[seen];
            if (e.type == kLoginResultEvent) return (e.status == 0 && e.payload.index == 0) ? kOk : kNotConnected;
        }
        if (Clock::now() >= deadline) return kTimedOut;
        json ignored;
        bool got_reply = false, timed_out = false;
        if (!h->ReadOne(MillisUntil(deadline), ignored, got_reply, timed_out)) {
            return timed_out ? kTimedOut : kNotConnected;
        }
    }
}

int KVAPI_Select(KVAPI_HANDLE h, int timeout_ms) {
    if (!Live(h)) return kNotConnected;
    if (h->dispatch_depth > 0) return 0;  // called from inside a callback: nothing to do
    if (!h->Usable() && h->events.empty()) return kNotConnected;
    if (h->CheckLiveness()) {
        json ignored;
        bool got_reply = false, timed_out = false;
        const int limit = timeout_ms > 0 ? timeout_ms : 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(limit);
        int wait = h->events.empty() ? limit : 0;
        // Take what is already there, but wait only for the first line, and stop at the
        // deadline even when the server never pauses.
        while (h->ReadOne(wait, ignored, got_reply, timed_out) && Clock::now() < deadline) wait = 0;
    }
    int delivered = h->Dispatch();
    if (h->release_after_dispatch) {
        delete h;
        return kNotConnected;
    }
    return h->Usable() ? delivered : kNotConnected;
}

int KVAPI_Close(KVAPI_HANDLE h) {
    if (!h) return kBadArgument;
    h->channel.Close();
    h->Opened();
    return kOk;
}

int KVAPI_Cleanup(KVAPI_HANDLE h) {
    if (!h) return kBadArgument;
    if (h->dispatch_depth > 0) {
        // Released by the Select that is delivering the current event.
        h->channel.Close();
        h->events.clear();
        h->release_after_dispatch = true;
        return kOk;
    }
    delete h;
    return kOk;
}

int KVAPI_GetServerVersion(KVAPI_HANDLE h, char* buf, size_t size) {
    return Live(h) ? h->CallText("GetServerVersion", json::object(), buf, size) : kBadArgument;
}

int KVAPI_GetServerSerial(KVAPI_HANDLE h, char* buf, size_t size) {
    return Live(h) ? h->CallText("GetServerSerial", json::object(), buf, size) : kBadArgument;
}

int KVAPI_GetServerDescription(KVAPI_HANDLE h, char* buf, size_t size) {
    return Live(h) ? h->CallText("GetServerDescription", json::object(), buf, size) : kBadArgument;
}

int KVAPI_GetLicensedMac(KVAPI_HANDLE h, char* buf, size_t size) {
    if (!Live(h) || !buf || size == 0) return kBadArgument;
    json response;
    int result = h->Call({{"op", "GetLicensedMac"}}, response);
    if (result != kOk) return result;
    // A shortened MAC would name another machine: refuse rather than cut it.
    std::string mac = TextField(response, "text");
    if (mac.size() + 1 > size) return kTooSmall;
    CopyText(mac, buf, size);
    return kOk;
}

int KVAPI_NumCameras(KVAPI_HANDLE h) {
    if (!Live(h)) return kBadArgument;
    json response;
    return h->Call({{"op", "NumCameras"}}, response);
}

int KVAPI_IsPrimary(KVAPI_HANDLE h, uint32_t camera) {
    if (!Live(h)) return 0;
    json response;
    int result = h->Call({{"op", "IsPrimary"}, {"camera", camera}}, response);
    // A failure stays negative, so that callers can tell "not primary" from "unknown".
    if (result < 0) return result;
    return result > 0 ? 1 : 0;
}

int KVAPI_GetCameraName(KVAPI_HANDLE h, uint32_t camera, char* buf, size_t size) {
    return Live(h) ? h->CallText("GetCameraName", {{"camera", camera}}, buf, size) : kBadArgument;
}

int KVAPI_GetDriveMessage(KVAPI_HANDLE h, uint32_t drive, char* buf, size_t size) {
    return Live(h) ? h->CallText("GetDriveMessage", {{"drive", drive}}, buf, size) : kBadArgument;
}

int KVAPI_GetServerTimezoneInfo(KVAPI_HANDLE h, KVAPI_TimeZone* tz) {
    if (!Live(h) || !tz || tz->size < sizeof(KVAPI_TimeZone)) return kBadArgument;
    json response;
    int result = h->Call({{"op", "GetServerTimezoneInfo"}}, response);
    if (result != kOk) return result;
    if (tz->name && tz->name_size > 0) CopyText(TextField(response, "name"), tz->name, tz->name_size);
    tz->bias = static_cast<int32_t>(IntField(response, "bias"));
    return kOk;
}

int KVAPI_GetTimeServers(KVAPI_HANDLE h, KVAPI_TimeServers* ts) {
    if (!Live(h) || !ts || ts->size < sizeof(KVAPI_TimeServers)) return kBadArgument;
    json response;
    int result = h->Call({{"op", "GetTimeServers"}}, response);
    if (result != kOk) return result;
    if (ts->address && ts->address_size > 0) CopyText(TextField(response, "address"), ts->address, ts->address_size);
    ts->synced = static_cast<int32_t>(IntField(response, "synced"));
    ts->offset = IntField(response, "offset");
    ts->interval = static_cast<int32_t>(IntField(response, "interval"));
    return kOk;
}

int KVAPI_SetTimeServers(KVAPI_HANDLE h, KVAPI_TimeServers* ts) {
    if (!Live(h) || !ts || ts->size < sizeof(KVAPI_TimeServers)) return kBadArgument;
    std::string address = ts->address ? BoundedText(ts->address, ts->address_size) : std::string();
    json response;
    return h->Call({{"op", "SetTimeServers"}, {"address", address}, {"synced", ts->synced},
                    {"offset", ts->offset}, {"interval", ts->interval}}, response);
}

int KVAPI_SetServerTime(KVAPI_HANDLE h, int64_t now, KVAPI_TimeZone* tz) {
    if (!Live(h) || !tz || tz->size < sizeof(KVAPI_TimeZone)) return kBadArgument;
    // The name is read up to its NUL: callers pass a short tag in name_size, not a length.
    json response;
    return h->Call({{"op", "SetServerTime"}, {"now", now}, {"name", BoundedText(tz->name, 255)},
                    {"bias", tz->new_bias}, {"apply", tz->apply}}, response);
}

int KVAPI_GetNetworkInfo(KVAPI_HANDLE h, KVAPI_NetworkInfo* info) {
    if (!Live(h) || !info || info->size < sizeof(KVAPI_NetworkInfo)) return kBadArgument;
    json response;
    int result = h->Call({{"op", "GetNetworkInfo"}}, response);
    if (result != kOk) return result;
    int64_t count = IntField(response, "count");
    info->adapter_count = count > 0 ? static_cast<uint64_t>(count) : 0;
    return kOk;
}

int KVAPI_GetNetworkAdapter(KVAPI_HANDLE h, uint32_t index, KVAPI_NetworkAdapter* adapter) {
    if (!Live(h) || !adapter || adapter->size < sizeof(KVAPI_NetworkAdapter)) return kBadArgument;
    json response;
    int result = h->Call({{"op", "GetNetworkAdapter"}, {"index", index}}, response);
    if (result == kNotConnected || result == kTimedOut || !response.is_object()) return result;
    std::string mac = TextField(response, "mac");
    std::string address = TextField(response, "address");
    // Lengths include the terminating NUL; an absent text has length 0.
    uint64_t mac_needed = mac.empty() ? 0 : mac.size() + 1;
    uint64_t address_needed = address.empty() ? 0 : address.size() + 1;
    bool fits = true;
    if (adapter->mac) {
        if (adapter->mac_size >= mac_needed && adapter->mac_size > 0) CopyText(mac, adapter->mac, adapter->mac_size);
        else if (mac_needed > 0) fits = false;
    }
    if (adapter->address) {
        if (adapter->address_size >= address_needed && adapter->address_size > 0) CopyText(address, adapter->address, adapter->address_size);
        else if (address_needed > 0) fits = false;
    }
    if (!adapter->mac || !fits) adapter->mac_size = mac_needed;
    if (!adapter->address || !fits) adapter->address_size = address_needed;
    if (result != kOk) return result;
    return fits ? kOk : kTooSmall;
}

int KVAPI_UpdateVideoPushClient(KVAPI_HANDLE h, KVAPI_PushClient* client) {
    if (!Live(h) || !client || client->size < sizeof(KVAPI_PushClient) || !client->name) return kBadArgument;
    json response;
    return h->Call({{"op", "UpdateVideoPushClient"}, {"name", BoundedText(client->name, kMaxPassedText)},
                    {"block_size", client->block_size}, {"mode", client->mode}, {"enable", client->enable}},
                   response);
}

}  // extern "C"
