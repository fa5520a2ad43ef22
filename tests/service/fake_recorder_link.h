// A recorder whose answers the test sets, in place of the client library: every query
// of RecorderLink is counted, answered from the fields below or failed with the result
// the test chose, and every change it is asked to make is recorded.
#ifndef WARDEX_TESTS_SERVICE_FAKE_RECORDER_LINK_H_
#define WARDEX_TESTS_SERVICE_FAKE_RECORDER_LINK_H_

#include <map>
#include <string>
#include <vector>

#include "src/recorder/recorder_link.h"
#include "src/time_zones.h"

namespace kv {

class FakeRecorderLink : public RecorderLink {
public:
    struct Camera {
        int primary = 1;
        std::string name;
    };

    int ServerVersion(std::string& text) override { return Answer("version", version_result, version, text); }
    int NumCameras() override {
        ++calls["count"];
        return count_result < 0 ? count_result : static_cast<int>(cameras.size());
    }
    int IsPrimary(uint32_t camera) override {
        ++calls["primary"];
        if (primary_result < 0) return primary_result;
        auto it = cameras.find(camera);
        return it == cameras.end() ? 0 : it->second.primary;
    }
    int CameraName(uint32_t camera, std::string& name) override {
        ++calls["name"];
        if (name_result < 0) return name_result;
        auto it = cameras.find(camera);
        if (it == cameras.end()) return -2;
        name = it->second.name;
        return 0;
    }
    int DriveMessage(uint32_t, std::string& text) override { return Answer("drive", drive_result, drive_message, text); }
    int LicensedMac(std::string& text) override { return Answer("mac", mac_result, mac, text); }
    int ServerSerial(std::string& text) override { return Answer("serial", 0, serial, text); }
    int ServerDescription(std::string& text) override { return Answer("description", 0, description, text); }
    int ServerTimeZoneBias(int32_t& seconds) override {
        ++calls["zone"];
        if (zone_result >= 0) seconds = bias;
        return zone_result;
    }
    int NetworkAdapterCount(uint64_t& count) override {
        ++calls["adapters"];
        if (adapters_result == 0) count = adapters.size();
        return adapters_result;
    }
    int NetworkAdapter(uint32_t index, Adapter& adapter) override {
        ++calls["adapter"];
        if (adapter_results.count(index) != 0) return adapter_results[index];
        adapter = adapters.at(index);
        return 0;
    }
    int ReadTimeServer(std::string& address, bool& synced) override {
        ++calls["read time server"];
        address = time_server;
        synced = time_server_synced;
        return 0;
    }
    int SetTimeServer(const std::string& address) override {
        time_servers_set.push_back(address);
        return set_time_server_result;
    }
    int SetTimeZone(const TimeZone& zone, int64_t) override {
        zones_set.push_back(zone.name);
        return set_zone_result;
    }
    int DisableDecompression() override { return 0; }

    int Total() const {
        int total = 0;
        for (const auto& entry : calls) total += entry.second;
        return total;
    }

    // Answers.
    std::string version = "7.4.2.0";
    std::map<uint32_t, Camera> cameras{{0, {1, "Door"}}, {1, {0, "Yard"}}};
    std::string drive_message = "Drive 2 is failing";
    std::string mac = "00-1A-2B-3C-4D-5E";
    std::string serial = "KV-1234";
    std::string description = "Front office";
    int32_t bias = 3600;
    std::vector<Adapter> adapters;
    std::string time_server;
    bool time_server_synced = true;
    // Results: a negative one fails the query.
    int version_result = 0;
    int count_result = 0;
    int primary_result = 0;
    int name_result = 0;
    int drive_result = 0;
    int mac_result = 0;
    int zone_result = 0;
    int adapters_result = 0;
    std::map<uint32_t, int> adapter_results;
    int set_time_server_result = 0;
    int set_zone_result = 0;
    // What the recorder was asked.
    std::map<std::string, int> calls;
    std::vector<std::string> time_servers_set;
    std::vector<std::string> zones_set;

private:
    int Answer(const char* name, int result, const std::string& value, std::string& out) {
        ++calls[name];
        if (result >= 0) out = value;
        return result;
    }
};

}  // namespace kv

#endif  // WARDEX_TESTS_SERVICE_FAKE_RECORDER_LINK_H_
