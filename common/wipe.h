// The one way secrets are erased from memory in this project.
//
// explicit_bzero is used because a plain fill of memory that is about to be released is
// a dead store the compiler may remove. WipeSecret keeps the string's length (the bytes
// become NUL) so that callers that still need the length can use it; clear it after if
// it is to be empty. Both accept empty input.
#ifndef WARDEX_COMMON_WIPE_H_
#define WARDEX_COMMON_WIPE_H_

#include <string.h>

#include <cstddef>
#include <string>

namespace kv {

inline void WipeBytes(void* data, size_t length) {
    if (data != nullptr && length != 0) ::explicit_bzero(data, length);
}

inline void WipeSecret(std::string& text) {
    if (!text.empty()) WipeBytes(&text[0], text.size());
}

}  // namespace kv

#endif  // WARDEX_COMMON_WIPE_H_
