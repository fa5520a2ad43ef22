#include "common/gen_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kv {

void GenRandomBytes(unsigned char* buffer, size_t count) {
    if (buffer == nullptr || count == 0) return;
    if (FILE* device = std::fopen("/dev/urandom", "rbe")) {
        const size_t items = std::fread(buffer, count, 1, device);
        std::fclose(device);
        if (items == 1) return;
    }
    // Without the device (a chroot, a container without /dev) the kernel still answers
    // the system call; unseeded rand() would make every secret predictable.
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::getrandom(buffer + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got == count) return;
    for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<unsigned char>(std::rand() & 0xff);
}

void GenRandomBytes(std::string& bytes, size_t count) {
    bytes.resize(count);
    if (count != 0) GenRandomBytes(reinterpret_cast<unsigned char*>(&bytes[0]), count);
}

}  // namespace kv
