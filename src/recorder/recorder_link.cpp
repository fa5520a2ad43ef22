#include "src/recorder/recorder_link.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "src/recorder/time_zones.h"

namespace kv {

namespace {

// The library always terminates within the buffer; strnlen keeps this safe regardless.
constexpr size_t kTextBuffer = 256;
constexpr size_t kMacBuffer = 18;
constexpr size_t kDriveMessageBuffer = 1024;
// A time server's address: 255 characters and the NUL.
constexpr size_t kTimeServerBuffer = 256;
// The zone name's length as the recorder takes it.
constexpr uint64_t kZoneNameSize = 8;

std::string BufferText(const char* buffer, size_t capacity) { return std::string(buffer, strnlen(buffer, capacity)); }

// Calls `read(buffer, capacity)` on a zeroed buffer one byte longer than it says.
template <typename Read>
int ReadText(size_t capacity, std::string& out, Read read) {
    std::vector<char> buffer(capacity + 1, '\0');
    const int result = read(buffer.data(), capacity);
    if (result >= 0) out = BufferText(buffer.data(), capacity);
    return result;
}

}  // namespace

int LibraryLink::ServerVersion(std::string& text) {
    return ReadText(kTextBuffer, text, [&](char* buffer, size_t size) { return KVAPI_GetServerVersion(handle(), buffer, size); });
}

int LibraryLink::NumCameras() { return KVAPI_NumCameras(handle()); }

int LibraryLink::IsPrimary(uint32_t camera) { return KVAPI_IsPrimary(handle(), camera); }

int LibraryLink::CameraName(uint32_t camera, std::string& name) {
    return ReadText(kTextBuffer - 1, name,
                    [&](char* buffer, size_t size) { return KVAPI_GetCameraName(handle(), camera, buffer, size); });
}

int LibraryLink::DriveMessage(uint32_t drive, std::string& text) {
    return ReadText(kDriveMessageBuffer, text,
                    [&](char* buffer, size_t size) { return KVAPI_GetDriveMessage(handle(), drive, buffer, size); });
}

int LibraryLink::LicensedMac(std::string& mac) {
    return ReadText(kMacBuffer, mac, [&](char* buffer, size_t size) { return KVAPI_GetLicensedMac(handle(), buffer, size); });
}

int LibraryLink::ServerSerial(std::string& text) {
    return ReadText(kTextBuffer, text, [&](char* buffer, size_t size) { return KVAPI_GetServerSerial(handle(), buffer, size); });
}

int LibraryLink::ServerDescription(std::string& text) {
    return ReadText(kTextBuffer, text,
                    [&](char* buffer, size_t size) { return KVAPI_GetServerDescription(handle(), buffer, size); });
}

int LibraryLink::ServerTimeZoneBias(int32_t& seconds) {
    char name[kTextBuffer + 1] = {};
    KVAPI_TimeZone zone{};
    zone.size = sizeof(KVAPI_TimeZone);
    zone.name = name;
    zone.name_size = kTextBuffer;
    const int result = KVAPI_GetServerTimezoneInfo(handle(), &zone);
    if (result >= 0) seconds = zone.bias;
    return result;
}

int LibraryLink::NetworkAdapterCount(uint64_t& count) {
    KVAPI_NetworkInfo info{};
    info.size = sizeof(KVAPI_NetworkInfo);
    const int result = KVAPI_GetNetworkInfo(handle(), &info);
    if (result >= 0) count = info.adapter_count;
    return result;
}

// The first call, without buffers, only asks for the two lengths; its result says
// nothing the second call does not.
int LibraryLink::NetworkAdapter(uint32_t index, Adapter& adapter) {
    KVAPI_NetworkAdapter record{};
    record.size = sizeof(KVAPI_NetworkAdapter);
    KVAPI_GetNetworkAdapter(handle(), index, &record);
    const uint64_t mac_size = record.mac_size;
    const uint64_t address_size = record.address_size;
    if (address_size == 0) {
        adapter = Adapter{};
        return 0;
    }
    std::vector<char> mac(mac_size + 1, '\0');
    std::vector<char> address(address_size + 1, '\0');
    record = KVAPI_NetworkAdapter{};
    record.size = sizeof(KVAPI_NetworkAdapter);
    record.mac = mac_size ? mac.data() : nullptr;
    record.mac_size = mac_size;
    record.address = address.data();
    record.address_size = address_size;
    const int result = KVAPI_GetNetworkAdapter(handle(), index, &record);
    if (result < 0) return result;
    adapter.has_address = true;
    adapter.mac = BufferText(mac.data(), mac_size);
    adapter.address = BufferText(address.data(), address_size);
    return result;
}

int LibraryLink::ReadTimeServer(std::string& address, bool& synced) {
    char buffer[kTimeServerBuffer] = {};
    time_servers_ = KVAPI_TimeServers{};
    time_servers_.size = sizeof(KVAPI_TimeServers);
    time_servers_.address = buffer;
    time_servers_.address_size = sizeof(buffer);
    const int result = KVAPI_GetTimeServers(handle(), &time_servers_);
    time_servers_.address = nullptr;
    if (result >= 0) {
        address = BufferText(buffer, sizeof(buffer));
        synced = time_servers_.synced != 0;
    }
    return result;
}

int LibraryLink::SetTimeServer(const std::string& address) {
    // The buffer holds 255 characters and the NUL; a longer address is cut.
    char buffer[kTimeServerBuffer] = {};
    std::memcpy(buffer, address.data(), std::min(address.size(), sizeof(buffer) - 1));
    KVAPI_TimeServers record = time_servers_;
    record.size = sizeof(KVAPI_TimeServers);
    record.address = buffer;
    record.address_size = sizeof(buffer);
    record.synced = 1;
    record.offset = 0;
    record.interval = -1;
    return KVAPI_SetTimeServers(handle(), &record);
}

int LibraryLink::SetTimeZone(const TimeZone& zone, int64_t now) {
    std::string name = zone.name;
    KVAPI_TimeZone record{};
    record.size = sizeof(KVAPI_TimeZone);
    record.name = &name[0];
    record.name_size = kZoneNameSize;
    record.new_bias = static_cast<int32_t>(zone.offset_seconds);
    record.apply = 1;
    return KVAPI_SetServerTime(handle(), now, &record);
}

int LibraryLink::DisableDecompression() { return KVAPI_EnableDecompression(handle(), 0); }

}  // namespace kv
