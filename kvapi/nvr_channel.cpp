#include "kvapi/nvr_channel.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include <mbedtls/platform_util.h>

namespace kv {

namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// poll() for one event on fd until the deadline; >0 ready, 0 timed out, <0 failed.
int WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, MillisLeft(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n > 0 && (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & events)) return -1;
        return n;
    }
}

// A peer whose machine or cable is gone answers nothing at all; the kernel's probes end
// such a stream within about kKeepAliveIdleS + kKeepAliveCount * kKeepAliveIntervalS
// seconds. A peer that still acknowledges but no longer answers is the ping's job.
void EnableKeepAlive(int fd) {
    int on = 1;
    int idle = NvrChannel::kKeepAliveIdleS;
    int interval = NvrChannel::kKeepAliveIntervalS;
    int count = NvrChannel::kKeepAliveCount;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

int ConnectOne(const addrinfo* ai, Clock::time_point deadline) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return -1;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        if (WaitFor(fd, POLLOUT, deadline) > 0) {
            int error = 0;
            socklen_t len = sizeof(error);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) rc = 0;
        }
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    EnableKeepAlive(fd);
    return fd;
}

}  // namespace

NvrChannel::~NvrChannel() { Close(); }

bool NvrChannel::Connect(const std::string& address, uint16_t port, int timeout_ms) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &raw) != 0 || !raw) return false;
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (const addrinfo* ai = list.get(); ai && fd_ < 0; ai = ai->ai_next) {
        fd_ = ConnectOne(ai, deadline);
    }
    return fd_ >= 0;
}

void NvrChannel::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool NvrChannel::WriteLine(const std::string& line, int timeout_ms) {
    if (fd_ < 0) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // One send for text and terminator keeps a request in one segment where it fits.
    std::string framed;
    framed.reserve(line.size() + 1);
    framed.append(line).push_back('\n');
    size_t sent = 0;
    bool ok = true;
    while (sent < framed.size()) {
        ssize_t n = ::send(fd_, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(fd_, POLLOUT, deadline) <= 0) { ok = false; break; }
        } else {
            ok = false;
            break;
        }
    }
    // Requests may carry credentials: do not leave a copy behind in freed memory.
    mbedtls_platform_zeroize(&framed[0], framed.size());
    return ok;
}

bool NvrChannel::TakeBufferedLine(std::string& line) {
    size_t end = buffer_.find('\n');
    if (end == std::string::npos) return false;
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    return true;
}

NvrChannel::ReadResult NvrChannel::ReadLine(std::string& line, int timeout_ms) {
    if (fd_ < 0) return ReadResult::kClosed;
    if (TakeBufferedLine(line)) return ReadResult::kLine;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char chunk[16384];
    for (;;) {
        ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
        if (n > 0) {
            buffer_.append(chunk, static_cast<size_t>(n));
            if (TakeBufferedLine(line)) return ReadResult::kLine;
            if (buffer_.size() > kMaxLineBytes) return ReadResult::kClosed;
            continue;
        }
        if (n == 0) return ReadResult::kClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadResult::kClosed;
        int ready = WaitFor(fd_, POLLIN, deadline);
        if (ready == 0) return ReadResult::kTimeout;
        if (ready < 0) return ReadResult::kClosed;
    }
}

}  // namespace kv
