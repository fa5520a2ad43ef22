// A scratch directory for one test, removed with everything in it at scope exit, and
// small file helpers the foundation tests share.
#ifndef WARDEX_TESTS_FOUNDATION_TEST_DIR_H_
#define WARDEX_TESTS_FOUNDATION_TEST_DIR_H_

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/harness/files.h"

namespace kv {
namespace testing {

using TestDir = harness::ScratchDir;
using harness::ReadFile;

inline bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

inline bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

inline unsigned PermissionBits(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0xffff;
    return info.st_mode & 07777;
}

inline std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_FOUNDATION_TEST_DIR_H_
