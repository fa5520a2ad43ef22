// Scratch folders and whole-file reads and writes for tests, benchmarks and the soak.
#ifndef WARDEX_TESTING_HARNESS_FILES_H_
#define WARDEX_TESTING_HARNESS_FILES_H_

#include <string>

namespace kv {
namespace harness {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction
// unless `keep` was asked for (a run to look at afterwards). path() is empty when the
// folder could not be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "wardex-test", bool keep = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Join(const std::string& name) const { return File(name); }

private:
    std::string path_;
    bool keep_;
};

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file with `content` and gives it `mode`.
bool WriteFile(const std::string& path, const std::string& content, int mode = 0644);
// How often `text` occurs in `haystack`, without overlaps.
size_t CountOf(const std::string& haystack, const std::string& text);

}  // namespace harness
}  // namespace kv

#endif  // WARDEX_TESTING_HARNESS_FILES_H_
