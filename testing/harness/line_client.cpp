#include "testing/harness/line_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace kv {
namespace harness {

LineClient::~LineClient() { Close(); }

void LineClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool LineClient::Connect(const std::string& address, int port) {
    Close();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) {
        Close();
        return false;
    }
    return true;
}

bool LineClient::Send(const std::string& line) {
    if (fd_ < 0) return false;
    const std::string text = line + "\n";
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool LineClient::Receive(std::string& line, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (fd_ < 0 || left <= 0) return false;
        struct pollfd waiting = {fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::string LineClient::Ask(const std::string& line, std::chrono::milliseconds limit) {
    std::string answer;
    if (!Send(line) || !Receive(answer, limit)) return "error no answer";
    return answer;
}

int UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace harness
}  // namespace kv
