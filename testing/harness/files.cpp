#include "testing/harness/files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace kv {
namespace harness {

ScratchDir::ScratchDir(const std::string& prefix, bool keep) : keep_(keep) {
    const char* base = std::getenv("TMPDIR");
    const std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) != nullptr) path_ = name.data();
}

ScratchDir::~ScratchDir() {
    if (path_.empty() || keep_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& content, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << content;
        if (!out.flush()) return false;
    }
    return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

size_t CountOf(const std::string& haystack, const std::string& text) {
    if (text.empty()) return 0;
    size_t n = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++n;
    return n;
}

}  // namespace harness
}  // namespace kv
