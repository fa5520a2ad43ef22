#include "common/gen_random.h"

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
    for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<unsigned char>(std::rand() & 0xff);
}

void GenRandomBytes(std::string& bytes, size_t count) {
    bytes.resize(count);
    if (count != 0) GenRandomBytes(reinterpret_cast<unsigned char*>(&bytes[0]), count);
}

}  // namespace kv
