// kv::RecorderCache: what the event handling needs to know about the recorder, read once
// per registration instead of once per event.
//
// Refresh() runs at each registration (the recorder's server-information event on a new
// connection): it reads the server version, the camera count, and whether each camera is
// primary and its name. A query that fails leaves the last value in place. Events then
// ask Loaded() and Camera(): a known answer costs nothing; an unknown one is asked of the
// recorder at most once per camera and registration, and when that fails the caller gets
// what is known (a camera of unknown role counts as primary, an unknown name is empty)
// plus one warning text per camera and registration. After the first registration a
// failing query therefore never makes an event look unreportable.
//
// Every query, drive messages included, goes through the QueryGate: once one has timed
// out or found the link gone, nothing more is asked until the gate's hold has passed, a
// new connection opens or the recorder registers, so a dead link costs at most one query
// deadline per registration. Warnings are collected as texts for the caller to log
// (TakeWarnings). Single-threaded: the client-library thread only.
#ifndef WARDEX_SRC_RECORDER_CACHE_H_
#define WARDEX_SRC_RECORDER_CACHE_H_

#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "src/recorder/recorder_link.h"

namespace kv {

// Closed for `hold` after a query that timed out (-3) or found no connection (-1); the
// client library declares a silent link lost well within that time, and the new
// connection opens the gate again.
class QueryGate {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kDefaultHold{20};

    explicit QueryGate(std::function<Clock::time_point()> now = Clock::now, Clock::duration hold = kDefaultHold)
        : now_(std::move(now)), hold_(hold) {}

    bool IsOpen() const { return now_() >= closed_until_; }
    // Looks at a query's result; true when it succeeded.
    bool Note(int result);
    void Reopen() { closed_until_ = Clock::time_point(); }

private:
    std::function<Clock::time_point()> now_;
    Clock::duration hold_;
    Clock::time_point closed_until_{};
};

class RecorderCache {
public:
    explicit RecorderCache(QueryGate& gate) : gate_(gate) {}

    // A new connection: the recorder has to prove again that it is loaded, and queries
    // may be made again.
    void BeginConnection();
    // Registration: reads everything again. False when the recorder answered an empty
    // version (it is not loaded yet); the event that asked is then dropped as before.
    bool Refresh(RecorderLink& queries);
    // Per event: whether the recorder is loaded. Asked of the recorder only until a
    // version has been seen on this connection; a failed query counts as loaded when a
    // version was known from before.
    bool Loaded(RecorderLink& queries);

    struct CameraView {
        bool primary = true;  // unknown counts as primary: never drop for lack of an answer
        std::string name;     // unknown: empty
    };
    // The first lookup of a camera with an unknown role or name since the registration
    // asks the recorder for both; later lookups use what is known.
    CameraView Camera(RecorderLink& queries, uint32_t index);

    // The message of a drive event. It belongs to the event, so it is asked each time;
    // when the query fails or the gate holds it back, the message is empty.
    std::string DriveMessage(RecorderLink& link, uint32_t drive);

    // Result given to DriveMessageFailed when the gate kept the query from being made.
    static constexpr int kNotAsked = INT32_MIN;
    // The message of a drive could not be read: one warning per drive and registration.
    void DriveMessageFailed(uint32_t drive, int result);

    const std::string& version() const { return version_; }
    bool registered() const { return registrations_ > 0; }
    std::vector<std::string> TakeWarnings();

private:
    struct CameraEntry {
        bool primary_known = false;
        bool primary = true;
        bool name_known = false;
        std::string name;
        bool asked = false;   // queried at an event since the last registration
        bool warned = false;  // warning given since the last registration
    };

    // Runs a query when the gate is open; false when it failed or was not made, with
    // `result` then the failure or kNotAsked.
    bool Ask(const std::function<int()>& query, int& result);
    // Reads the camera's fields (all of them, or only the unknown ones); what failed is
    // described in `failures`.
    void WarnVersionFailed(int result);
    void ReadCamera(RecorderLink& queries, uint32_t index, bool unknown_only, CameraEntry& entry,
                    std::string& failures);

    QueryGate& gate_;
    std::string version_;
    bool loaded_ = false;  // on this connection
    bool version_warned_ = false;  // on this connection
    uint64_t registrations_ = 0;
    std::map<uint32_t, CameraEntry> cameras_;
    std::set<uint32_t> drives_warned_;
    std::vector<std::string> warnings_;
};

}  // namespace kv

#endif  // WARDEX_SRC_RECORDER_CACHE_H_
