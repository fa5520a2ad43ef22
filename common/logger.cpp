#include "common/logger.h"

#include "common/string_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

thread_local std::string logger::thread_name_;

namespace {

constexpr time_t kSecondsPerDay = 86400;

// Set only by tests, before any thread logs.
logger::Clock& test_clock() {
    static logger::Clock clock;
    return clock;
}

time_t now_seconds() {
    const logger::Clock& clock = test_clock();
    return clock ? clock() : ::time(nullptr);
}

const char* level_colour(LoggerLevel level) {
    switch (level) {
        case WARNING: return "\x1b[33m";
        case ERROR:
        case CRITICAL: return "\x1b[31m";
        default: return "\x1b[32m";
    }
}

std::string format_timestamp(time_t seconds) {
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char date[80];
    strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S.", &parts);
    char millis[8];
    std::snprintf(millis, sizeof(millis), "%03dZ", 0);
    return std::string(date) + millis;
}

std::string thread_column(const std::string& name) {
    std::string column = name;
    if (column.empty()) {
        std::ostringstream id;
        id << std::this_thread::get_id();
        column = id.str();
    }
    column.resize(logger::name_size, ' ');
    return column;
}

}  // namespace

std::string LevelToString(LoggerLevel level) {
    switch (level) {
        case VERBOSE: return "VERBOSE";
        case INFO: return "INFO";
        case WARNING: return "WARNING";
        case ERROR: return "ERROR";
        case CRITICAL: return "CRITICAL";
    }
    return "UNKNOWN";
}

std::string JournalPriorityPrefix(LoggerLevel level) {
    switch (level) {
        case CRITICAL: return "<2>";
        case ERROR: return "<3>";
        case WARNING: return "<4>";
        case INFO: return "<6>";
        default: return "<7>";
    }
}

bool IsJournalStream(const char* journal_stream, int fd) {
    if (journal_stream == nullptr) return false;
    const char* colon = std::strchr(journal_stream, ':');
    if (colon == nullptr || colon == journal_stream || colon[1] == '\0') return false;
    const auto all_digits = [](const char* begin, const char* end) {
        for (const char* c = begin; c != end; ++c) {
            if (*c < '0' || *c > '9') return false;
        }
        return true;
    };
    const char* end = colon + std::strlen(colon);
    if (!all_digits(journal_stream, colon) || !all_digits(colon + 1, end)) return false;
    errno = 0;
    const unsigned long long device = std::strtoull(journal_stream, nullptr, 10);
    const unsigned long long inode = std::strtoull(colon + 1, nullptr, 10);
    if (errno != 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

std::string LevelToNormalizedString(LoggerLevel level) {
    std::string text = LevelToString(level);
    text.resize(8, ' ');
    return text;
}

bool prepare_sub_directory(const std::string& path) {
    if (DIR* dir = ::opendir(path.c_str())) {
        ::closedir(dir);
        return true;
    }
    return ::mkdir(path.c_str(), 0775) == 0;
}

std::string generate_log_filename(uint64_t n) {
    time_t seconds = now_seconds();
    if (n != 0) seconds -= static_cast<time_t>(n) * kSecondsPerDay;
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char name[80];
    strftime(name, sizeof(name), "%Y%m%d", &parts);
    return std::string(name) + ".txt";
}

bool is_dated_log_name(const std::string& name) {
    if (name.size() != 12 || name.compare(8, 4, ".txt") != 0) return false;
    for (size_t i = 0; i < 8; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

logger& logger::get_logger() {
    static logger instance;
    return instance;
}

void logger::FileHandle::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

logger::logger() { detect_console(); }

logger::~logger() {
    std::lock_guard<std::mutex> lock(mutex_);
    file_.reset();
}

void logger::detect_console() {
    const bool journal = IsJournalStream(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO);
    std::lock_guard<std::mutex> lock(mutex_);
    console_to_journal_ = journal;
}

void logger::print_console(LoggerLevel level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string prefix = console_to_journal_ ? JournalPriorityPrefix(level) : std::string();
    std::printf("%s%s\n", prefix.c_str(), text.c_str());
    std::fflush(stdout);
}

void logger::set_max_bytes_per_day_for_testing(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    max_bytes_per_day_ = bytes;
}

void logger::set_thread_name(const std::string& name) { thread_name_ = name; }

void logger::set_clock_for_testing(Clock clock) { test_clock() = std::move(clock); }

void logger::set_free_space_probe_for_testing(FreeSpaceProbe probe) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_space_probe_ = std::move(probe);
}

void logger::log(LoggerLevel level, const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        joined += part;
        joined += ' ';
    }
    log(level, joined);
}

void logger::log(LoggerLevel level, const std::string& raw_message) {
    if (!enabled(level)) return;
    const std::string column = thread_column(thread_name_);
    // Parts of messages come from the receiver and the recording server: escaped here,
    // once for every caller, no outside text can end a line, forge one or drive the
    // terminal. The console colours are added after this and stay.
    // Cut as well: a text from outside may be megabytes long, and a few such lines would
    // fill the day's file and keep the day's later lines out of it.
    size_t consumed = 0;
    std::string message = kv::escape_log_text(raw_message, kMaxLogMessageBytes, consumed);
    if (consumed < raw_message.size()) {
        message += "...(" + std::to_string(raw_message.size() - consumed) + " more bytes)";
    }

    std::lock_guard<std::mutex> lock(mutex_);
    const std::string today = generate_log_filename(0);
    if (today != file_name_) {
        file_.reset();
        bytes_in_file_ = 0;
        file_name_ = today;
        open_log_file();
        purge_logs(1);
        start_day();
    }
    if (!open_log_file()) {
        const std::string prefix = console_to_journal_ ? JournalPriorityPrefix(level) : std::string();
        std::printf("%sMessage is %s\n", prefix.c_str(), message.c_str());
        std::fflush(stdout);
        return;
    }
    if (message_count_ < purge_interval_) {
        ++message_count_;
    } else {
        purge_logs(2);
        message_count_ = 0;
    }
    write_message(level, column, message);
}

void logger::start_day() {
    if (lines_dropped_ == 0 || !file_.is_open()) return;
    std::ostringstream text;
    text << "Lines not written to the log file " << dropped_day_ << " after it reached the daily limit: "
         << lines_dropped_;
    lines_dropped_ = 0;
    write_notice(text.str());
}

void logger::write_notice(const std::string& text) {
    const std::string stamp = format_timestamp(now_seconds());
    append_to_file(stamp + ' ' + thread_column(thread_name_) + ' ' + LevelToNormalizedString(WARNING) + ' ' + text + '\n');
    print_console_line(WARNING, stamp, text);
}

void logger::write_message(LoggerLevel level, const std::string& column, const std::string& message) {
    const std::string stamp = format_timestamp(now_seconds());
    const std::string line = stamp + ' ' + column + ' ' + LevelToNormalizedString(level) + ' ' + message + '\n';
    if (bytes_in_file_ + line.size() <= max_bytes_per_day_) {
        append_to_file(line);
    } else {
        // A day that logs without end (a failing receiver answering every message) must
        // not fill the disk; the console still has every line.
        if (lines_dropped_ == 0) {
            std::ostringstream notice;
            notice << "Today's log file has reached its limit of " << max_bytes_per_day_
                   << " bytes: the day's further lines are not written to it";
            write_notice(notice.str());
        }
        ++lines_dropped_;
        dropped_day_ = file_name_;
    }
    print_console_line(level, stamp, message);
}

bool logger::append_to_file(const std::string& line) {
    if (!file_.is_open()) return false;
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(file_.get(), line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A failed write (a full disk) closes the file, so that the next message
            // reopens it instead of losing the rest of the day.
            file_.reset();
            return false;
        }
        written += static_cast<size_t>(n);
    }
    bytes_in_file_ += line.size();
    return true;
}

void logger::print_console_line(LoggerLevel level, const std::string& stamp, const std::string& message) {
    if (console_to_journal_) {
        // The journal dates and colours lines itself; the prefix gives it the level.
        std::printf("%s[%s] %s\n", JournalPriorityPrefix(level).c_str(), stamp.c_str(), message.c_str());
    } else {
        std::printf("%s[%s]\x1b[0m %s\n", level_colour(level), stamp.c_str(), message.c_str());
    }
    std::fflush(stdout);
}

void logger::set_directory(const std::string& directory) {
    if (!prepare_sub_directory(directory)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    file_.reset();
    directory_ = directory;
}

void logger::set_days_to_keep(int days) {
    std::lock_guard<std::mutex> lock(mutex_);
    // At least one day: today's file is never a candidate for the age purge.
    days_to_keep_ = days < 1 ? 1 : days;
    purge_logs(1);
}

void logger::set_minimum_free_space(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    minimum_free_space_ = bytes;
    purge_logs(2);
}

bool logger::open_log_file() {
    if (file_.is_open()) return true;
    if (!prepare_sub_directory(directory_)) return false;
    // Never through a link, neither the folder nor the file: whoever can write the
    // folder (the service's user) must not make a process of root append to, or create,
    // a file elsewhere. O_NONBLOCK keeps a planted FIFO from hanging the open, and
    // anything but a regular file is refused.
    const int directory = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) return false;
    const int fd = ::openat(directory, file_name_.c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    ::close(directory);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    file_.reset(fd);
    bytes_in_file_ = static_cast<uint64_t>(info.st_size);
    return true;
}

int logger::purge_logs(int what) {
    int removed = 0;
    if (what & 1) removed += purge_by_age();
    if (what & 2) removed += purge_by_free_space();
    return removed;
}

int logger::purge_by_age() {
    const std::string cutoff = generate_log_filename(static_cast<uint64_t>(days_to_keep_));
    DIR* dir = ::opendir(directory_.c_str());
    if (!dir) return 0;
    std::vector<std::string> doomed;
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!is_dated_log_name(name) || name.compare(cutoff) > 0) continue;
        // Only the logger's own files: a folder or a link that happens to carry such a
        // name is not one of them.
        struct stat info {};
        if (::lstat((directory_ + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        doomed.push_back(name);
    }
    ::closedir(dir);
    int removed = 0;
    for (const std::string& name : doomed) {
        if (std::remove((directory_ + "/" + name).c_str()) == 0) ++removed;
    }
    return removed;
}

bool logger::free_space(uint64_t& bytes) {
    if (free_space_probe_) return free_space_probe_(directory_, bytes);
    struct statvfs info {};
    if (::statvfs(directory_.c_str(), &info) != 0) return false;
    bytes = static_cast<uint64_t>(info.f_bsize) * static_cast<uint64_t>(info.f_bavail);
    return true;
}

int logger::purge_by_free_space() {
    int removed = 0;
    for (int n = 1;; ++n) {
        uint64_t bytes = 0;
        if (!free_space(bytes) || bytes > minimum_free_space_) break;
        if (n >= days_to_keep_) break;
        const std::string path = directory_ + "/" + generate_log_filename(static_cast<uint64_t>(days_to_keep_ - n));
        if (std::remove(path.c_str()) == 0) ++removed;
    }
    return removed;
}
