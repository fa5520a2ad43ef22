// The process-wide logger.
//
// Every thread hands finished message texts with a level to logger::get_logger().log().
// A message at or above the active level becomes one line in "<directory>/YYYYMMDD.txt"
// (one file per UTC day, appended) and one coloured line on standard output. The logger
// keeps its directory small: on a day change it deletes its own dated files (regular
// files named by eight digits and ".txt") older than the retention period, going by the
// name, and every 51st message it checks free space and, when low, deletes the oldest
// retained files first; nothing else in the directory is touched. Every message is
// passed through kv::escape_log_text, so no line holds a raw control character. It
// never logs about itself and never throws.
#ifndef WARDEX_COMMON_LOGGER_H_
#define WARDEX_COMMON_LOGGER_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum LoggerLevel { VERBOSE = 0, INFO = 1, WARNING = 2, ERROR = 3, CRITICAL = 4 };

// "VERBOSE", "INFO", ... ; "UNKNOWN" for any other value.
std::string LevelToString(LoggerLevel level);
// The level as written in the file line: always exactly eight characters.
std::string LevelToNormalizedString(LoggerLevel level);

// Returns true when `path` can be opened as a directory, else tries to create it
// (mode 0775, one level only) and returns whether that worked.
bool prepare_sub_directory(const std::string& path);
// True for the names of the logger's own files: eight digits followed by ".txt".
bool is_dated_log_name(const std::string& name);
// The dated file name ("%Y%m%d.txt") of the UTC day that lies n * 86400 s before now.
std::string generate_log_filename(uint64_t n);

class logger {
public:
    static constexpr size_t name_size = 11;

    static logger& get_logger();

    void log(LoggerLevel level, const std::string& message);
    // Joins the non-empty parts, each followed by one blank, and logs the result.
    void log(LoggerLevel level, const std::vector<std::string>& parts);

    // True when a message at `level` would be written; lets callers skip building it.
    bool enabled(LoggerLevel level) const { return static_cast<int>(level) >= level_.load(std::memory_order_relaxed); }

    // Not locked: one word-sized store that a concurrent message may see or miss.
    void set_level(LoggerLevel level) { level_.store(static_cast<int>(level), std::memory_order_relaxed); }
    LoggerLevel level() const { return static_cast<LoggerLevel>(level_.load(std::memory_order_relaxed)); }
    static void set_thread_name(const std::string& name);
    void set_directory(const std::string& directory);
    void set_days_to_keep(int days);
    void set_minimum_free_space(uint64_t bytes);

    // Test seams: the clock that dates lines and file names, and the free-space figure of
    // the log directory's file system (the probe returns false when it cannot tell).
    // An empty function restores the real clock or statvfs.
    using Clock = std::function<time_t()>;
    using FreeSpaceProbe = std::function<bool(const std::string& directory, uint64_t& free_bytes)>;
    static void set_clock_for_testing(Clock clock);
    void set_free_space_probe_for_testing(FreeSpaceProbe probe);

    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;
    ~logger();

private:
    logger() = default;

    bool open_log_file();
    int purge_logs(int what);
    int purge_by_age();
    int purge_by_free_space();
    bool free_space(uint64_t& bytes);

    std::string file_name_ = "Log.txt";
    std::string directory_ = "./logs";
    std::atomic<int> level_{INFO};
    std::ofstream file_;
    int days_to_keep_ = 15;
    uint64_t minimum_free_space_ = 104857600;
    uint32_t purge_interval_ = 50;
    uint32_t message_count_ = 0;
    std::mutex mutex_;
    FreeSpaceProbe free_space_probe_;

    static thread_local std::string thread_name_;
};

#endif  // WARDEX_COMMON_LOGGER_H_
