// kv::RecorderLink: every request the service makes of the recording server.
//
// Results are the client library's: 0 or more on success, negative on failure; an output
// is written only on success. Texts are cut at the library's buffer sizes (names and
// versions 256 bytes, the licensed MAC 18, a drive message 1024, the time server 255 and
// its NUL). LibraryLink makes the calls on the connection manager's current handle; the
// tests put a scripted recorder in its place, so that nothing above this interface needs
// the library. Single-threaded: the client-library thread only.
#ifndef WARDEX_SRC_RECORDER_RECORDER_LINK_H_
#define WARDEX_SRC_RECORDER_RECORDER_LINK_H_

#include <cstdint>
#include <string>

#include "common/TrevaskConnect.h"
#include "kvapi/kvAPI.h"

namespace kv {

struct TimeZone;

class RecorderLink {
public:
    virtual ~RecorderLink() = default;

    // What the recorder cache reads at registration and at events.
    virtual int ServerVersion(std::string& text) = 0;
    virtual int NumCameras() = 0;
    virtual int IsPrimary(uint32_t camera) = 0;  // 1 primary, 0 not
    virtual int CameraName(uint32_t camera, std::string& name) = 0;
    virtual int DriveMessage(uint32_t drive, std::string& text) = 0;

    // The recorder's description at registration.
    virtual int LicensedMac(std::string& mac) = 0;  // as the recorder writes it, "-"-separated
    virtual int ServerSerial(std::string& text) = 0;
    virtual int ServerDescription(std::string& text) = 0;
    virtual int ServerTimeZoneBias(int32_t& seconds) = 0;  // east of UTC

    // The network adapters, for the address payloads report.
    virtual int NetworkAdapterCount(uint64_t& count) = 0;
    struct Adapter {
        bool has_address = false;  // false: the recorder lists no address for it
        std::string mac;
        std::string address;
    };
    virtual int NetworkAdapter(uint32_t index, Adapter& adapter) = 0;

    // Time settings. SetTimeServer writes `address` over the record the last
    // ReadTimeServer read, marked as synchronised.
    virtual int ReadTimeServer(std::string& address, bool& synced) = 0;
    virtual int SetTimeServer(const std::string& address) = 0;
    virtual int SetTimeZone(const TimeZone& zone, int64_t now) = 0;

    // Once per connection, right after the login.
    virtual int DisableDecompression() = 0;
};

// The requests as client-library calls on `connection`'s handle of the moment.
class LibraryLink : public RecorderLink {
public:
    explicit LibraryLink(const CTrevaskConnection& connection) : connection_(connection) {}

    int ServerVersion(std::string& text) override;
    int NumCameras() override;
    int IsPrimary(uint32_t camera) override;
    int CameraName(uint32_t camera, std::string& name) override;
    int DriveMessage(uint32_t drive, std::string& text) override;
    int LicensedMac(std::string& mac) override;
    int ServerSerial(std::string& text) override;
    int ServerDescription(std::string& text) override;
    int ServerTimeZoneBias(int32_t& seconds) override;
    int NetworkAdapterCount(uint64_t& count) override;
    int NetworkAdapter(uint32_t index, Adapter& adapter) override;
    int ReadTimeServer(std::string& address, bool& synced) override;
    int SetTimeServer(const std::string& address) override;
    int SetTimeZone(const TimeZone& zone, int64_t now) override;
    int DisableDecompression() override;

private:
    KVAPI_HANDLE handle() const { return connection_.get_handle(); }

    const CTrevaskConnection& connection_;
    KVAPI_TimeServers time_servers_{};  // as the last ReadTimeServer left it
};

}  // namespace kv

#endif  // WARDEX_SRC_RECORDER_RECORDER_LINK_H_
