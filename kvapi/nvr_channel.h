// kv::NvrChannel: one TCP stream to the recording server carrying newline-ended lines.
//
// The socket is non-blocking; every wait is bounded by the caller's timeout, so nothing
// here can hang the client-library thread. A line longer than kMaxLineBytes, a reset or
// an orderly close from the peer all count as a broken stream (ReadResult::kClosed).
// The socket carries TCP keepalive with short intervals, so a vanished peer ends it.
// Not thread-safe: one channel belongs to one connection handle and its thread.
#ifndef WARDEX_KVAPI_NVR_CHANNEL_H_
#define WARDEX_KVAPI_NVR_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

class NvrChannel {
public:
    static constexpr size_t kMaxLineBytes = 1 << 20;
    // TCP keepalive: first probe after this idle time, then every interval, given up
    // (the stream breaks) after this many unanswered probes.
    static constexpr int kKeepAliveIdleS = 5;
    static constexpr int kKeepAliveIntervalS = 2;
    static constexpr int kKeepAliveCount = 3;

    enum class ReadResult { kLine, kTimeout, kClosed };

    NvrChannel() = default;
    ~NvrChannel();
    NvrChannel(const NvrChannel&) = delete;
    NvrChannel& operator=(const NvrChannel&) = delete;

    // Resolves `address` (numeric or a host name) and connects within timeout_ms.
    bool Connect(const std::string& address, uint16_t port, int timeout_ms);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Writes `line` and a '\n' completely, waiting at most timeout_ms for room.
    bool WriteLine(const std::string& line, int timeout_ms);

    // Waits at most timeout_ms (0: do not wait) for one complete line, without its '\n'.
    ReadResult ReadLine(std::string& line, int timeout_ms);

private:
    bool TakeBufferedLine(std::string& line);

    int fd_ = -1;
    std::string buffer_;
};

}  // namespace kv

#endif  // WARDEX_KVAPI_NVR_CHANNEL_H_
