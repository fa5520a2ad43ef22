// The simulators' command line: a TCP connection to a loopback command port that takes
// one command per line and answers each with one line ("ok ..." or "error ...").
#ifndef WARDEX_TESTING_HARNESS_LINE_CLIENT_H_
#define WARDEX_TESTING_HARNESS_LINE_CLIENT_H_

#include <chrono>
#include <string>

namespace kv {
namespace harness {

class LineClient {
public:
    LineClient() = default;
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Connect(const std::string& address, int port);
    bool connected() const { return fd_ >= 0; }
    bool Send(const std::string& line);
    bool Receive(std::string& line, std::chrono::milliseconds limit);
    // Send, then its answer line; "error no answer" when none came within `limit`.
    std::string Ask(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Close();

private:
    int fd_ = -1;
    std::string pending_;
};

// A port on 127.0.0.1 that nobody listens on at the moment of the call (-1 on failure).
int UnusedLoopbackPort();

}  // namespace harness
}  // namespace kv

#endif  // WARDEX_TESTING_HARNESS_LINE_CLIENT_H_
