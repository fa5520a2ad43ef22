// A recorder whose answers the test sets, in place of the client library. Every query is
// counted in `calls` under its name; a negative `results[name]` fails it; every change
// the recorder is asked to make is recorded.
#ifndef WARDEX_TESTS_SERVICE_FAKE_RECORDER_LINK_H_
#define WARDEX_TESTS_SERVICE_FAKE_RECORDER_LINK_H_

#include <map>
#include <string>
#include <vector>

#include "src/recorder/recorder_link.h"
#include "src/recorder/time_zones.h"

namespace kv {

class FakeRecorderLink : public RecorderLink {
public:
    struct Camera {
        int primary = 1;
        std::string name;
    };

    int ServerVersion(std::string& text) override { return Text("version", version, text); }
    int NumCameras() override { return Ask("count") < 0 ? results["count"] : static_cast<int>(cameras.size()); }
    int IsPrimary(uint32_t camera) override {
        if (Ask("primary") < 0) return results["primary"];
        return cameras.count(camera) != 0 ? cameras[camera].primary : 0;
    }
    int CameraName(uint32_t camera, std::string& name) override {
        if (Ask("name") < 0) return results["name"];
        if (cameras.count(camera) == 0) return -2;
        name = cameras[camera].name;
        return 0;
    }
    int DriveMessage(uint32_t, std::string& text) override { return Text("drive", drive_message, text); }
    int LicensedMac(std::string& text) override { return Text("mac", mac, text); }
    int ServerSerial(std::string& text) override { return Text("serial", serial, text); }
    int ServerDescription(std::string& text) override { return Text("description", description, text); }
    int ServerTimeZoneBias(int32_t& seconds) override {
        if (Ask("zone") >= 0) seconds = bias;
        return results["zone"];
    }
    int NetworkAdapterCount(uint64_t& count) override {
        if (Ask("adapters") == 0) count = adapters.size();
        return results["adapters"];
    }
    int NetworkAdapter(uint32_t index, Adapter& adapter) override {
        ++calls["adapter"];
        if (adapter_results.count(index) != 0) return adapter_results[index];
        adapter = adapters.at(index);
        return 0;
    }
    int ReadTimeServer(std::string& address, bool& synced) override {
        synced = time_server_synced;
        return Text("read time server", time_server, address);
    }
    int SetTimeServer(const std::string& address) override {
        time_servers_set.push_back(address);
        return Ask("set time server");
    }
    int SetTimeZone(const TimeZone& zone, int64_t) override {
        zones_set.push_back(zone.name);
        return Ask("set zone");
    }
    int DisableDecompression() override { return 0; }

    int Total() const {
        int total = 0;
        for (const auto& entry : calls) total += entry.second;
        return total;
    }

    std::string version = "7.4.2.0";
    std::map<uint32_t, Camera> cameras{{0, {1, "Door"}}, {1, {0, "Yard"}}};
    std::string drive_message = "Drive 2 is failing";
    std::string mac = "00-1A-2B-3C-4D-5E";
    std::string serial = "KV-1234";
    std::string description = "Front office";
    int32_t bias = 3600;
    std::vector<Adapter> adapters;
    std::map<uint32_t, int> adapter_results;  // a failed read of one adapter
    std::string time_server;
    bool time_server_synced = true;

    std::map<std::string, int> results;  // by query name; absent: 0
    std::map<std::string, int> calls;
    std::vector<std::string> time_servers_set;
    std::vector<std::string> zones_set;

private:
    int Ask(const std::string& name) {
        ++calls[name];
        return results[name];
    }
    int Text(const std::string& name, const std::string& value, std::string& out) {
        const int result = Ask(name);
        if (result >= 0) out = value;
        return result;
    }
};

}  // namespace kv

#endif  // WARDEX_TESTS_SERVICE_FAKE_RECORDER_LINK_H_
