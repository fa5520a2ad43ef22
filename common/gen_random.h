// Random bytes for secrets and prefixes.
//
// The bytes come from the kernel's random device, or, when it cannot be opened or read,
// from the getrandom system call. Only when both fail does the C library's rand() fill
// in, low eight bits per call, unseeded. Neither overload logs or fails.
#ifndef WARDEX_COMMON_GEN_RANDOM_H_
#define WARDEX_COMMON_GEN_RANDOM_H_

#include <cstddef>
#include <string>

namespace kv {

// Fills `count` bytes at `buffer`; a null buffer or a count of 0 does nothing.
void GenRandomBytes(unsigned char* buffer, size_t count);
// Resizes `bytes` to `count` and fills it.
void GenRandomBytes(std::string& bytes, size_t count);

}  // namespace kv

#endif  // WARDEX_COMMON_GEN_RANDOM_H_
