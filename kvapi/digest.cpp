// The two helpers the client library lends its users: SHA-256 and 16 random IV bytes.
#include "kvapi/kvAPI.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <mbedtls/sha256.h>

extern "C" void sha256(const unsigned char* data, size_t length, unsigned char digest[32]) {
    mbedtls_sha256_ret(data, length, digest, 0);
}

extern "C" void GenerateIV16(unsigned char iv[16]) {
    // An IV that is not random would weaken every stored password; without the
    // kernel's random source there is no safe answer, so the process stops.
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    size_t got = 0;
    while (got < 16) {
        ssize_t n = ::read(fd, iv + got, 16 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) std::abort();
        got += static_cast<size_t>(n);
    }
    ::close(fd);
}
