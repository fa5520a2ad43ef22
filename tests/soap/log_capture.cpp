#include "tests/soap/log_capture.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace kv {
namespace test {

namespace {

// "2026-12-08T17:07:47.000Z" + ' ' + thread column + ' ' + level column + ' '.
constexpr size_t kStampSize = 24;
constexpr size_t kLevelOffset = kStampSize + 1 + logger::name_size + 1;
constexpr size_t kMessageOffset = kLevelOffset + 8 + 1;

std::vector<std::string> FilesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

LogCapture::LogCapture(LoggerLevel level) {
    directory_ = scratch_.path();
    logger::get_logger().set_directory(directory_);
    logger::get_logger().set_level(level);
}

LogCapture::~LogCapture() {
    // The logger keeps its (now unlinked) file open until the next capture moves it; it
    // must never be pointed at a shared directory, whose old-looking names it would purge.
    logger::get_logger().set_level(INFO);
}

std::vector<LogLine> LogCapture::Lines() const {
    std::vector<LogLine> lines;
    for (const std::string& name : FilesIn(directory_)) {
        std::ifstream file(directory_ + "/" + name);
        std::string line;
        while (std::getline(file, line)) {
            if (line.size() < kMessageOffset) continue;
            std::string level = line.substr(kLevelOffset, 8);
            level.erase(level.find_last_not_of(' ') + 1);
            lines.push_back({level, line.substr(kMessageOffset)});
        }
    }
    return lines;
}

std::vector<std::string> LogCapture::Messages(const std::string& level) const {
    std::vector<std::string> messages;
    for (const LogLine& line : Lines()) {
        if (line.level == level) messages.push_back(line.message);
    }
    return messages;
}

int LogCapture::Count(const std::string& level, const std::string& message) const {
    int count = 0;
    for (const LogLine& line : Lines()) count += (line.level == level && line.message == message) ? 1 : 0;
    return count;
}

int LogCapture::CountContaining(const std::string& level, const std::string& fragment) const {
    int count = 0;
    for (const LogLine& line : Lines()) {
        count += (line.level == level && line.message.find(fragment) != std::string::npos) ? 1 : 0;
    }
    return count;
}

}  // namespace test
}  // namespace kv
