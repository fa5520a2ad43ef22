// Pieces the fuzz targets share: a logger that stays silent, a scratch file for the
// targets that read files, and a check that ends the run when an invariant fails.
//
// libFuzzer runs every input in one process, so each target creates its scratch file
// once and rewrites it per input. Scratch files live in $TMPDIR (or /tmp) and are removed
// at exit; nothing is written into the working directory.
#ifndef WARDEX_FUZZ_FUZZ_SUPPORT_H_
#define WARDEX_FUZZ_FUZZ_SUPPORT_H_

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/logger.h"

namespace kv {
namespace fuzz {

// Parsers report malformed input at ERROR; at fuzzing speed that would fill ./logs and
// the terminal, so only CRITICAL (which no fuzzed unit writes) stays on.
inline void QuietLogger() { logger::get_logger().set_level(CRITICAL); }

// Aborts with `what` on standard error, which libFuzzer records as a crash with its input.
#define WARDEX_FUZZ_CHECK(condition, what)                                            \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

// One file in the temporary folder, rewritten for every input.
class ScratchFile {
public:
    ScratchFile() {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/wardex-fuzz-XXXXXX";
        const int fd = ::mkstemp(&pattern[0]);
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        ::close(fd);
        path_ = pattern;
    }
    ~ScratchFile() { ::unlink(path_.c_str()); }

    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Replaces the file's contents with the bytes given.
    void Write(const uint8_t* data, size_t size) const {
        FILE* file = std::fopen(path_.c_str(), "wb");
        WARDEX_FUZZ_CHECK(file != nullptr, "scratch file opens");
        const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
        WARDEX_FUZZ_CHECK(std::fclose(file) == 0 && written, "scratch file is written");
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace fuzz
}  // namespace kv

#endif  // WARDEX_FUZZ_FUZZ_SUPPORT_H_
