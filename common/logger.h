// The process-wide logger.
//
// Every thread hands finished message texts with a level to logger::get_logger().log().
// A message at or above the active level becomes one line in "<directory>/YYYYMMDD.txt"
// (one file per UTC day, appended) and one line on standard output. The console line is
// coloured, or, when standard output is systemd's journal stream (JOURNAL_STREAM names
// its device and inode), carries the syslog priority prefix ("<3>" for ERROR, ...)
// instead, so that the journal files each line under its level.
// Neither the directory nor the day's file is ever opened through a symbolic link, even
// for root. Today's file holds at most kMaxLogBytesPerDay bytes: later lines of the day
// reach the console only, one WARNING in the file says so, and the first line of the
// next day gives how many were left out.
// The logger keeps its directory small: on a day change it deletes its own dated files
// (regular files named by eight digits and ".txt") older than the retention period,
// going by the name, and every 51st message it checks free space and, when low, deletes
// the oldest retained files first; nothing else in the directory is touched. Every
// message is passed through kv::escape_log_text, so no line holds a raw control
// character, and cut to kMaxLogMessageBytes, ending then in "...(N more bytes)". It
// logs about itself only for the daily limit, and never throws.
#ifndef WARDEX_COMMON_LOGGER_H_
#define WARDEX_COMMON_LOGGER_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The most a day's log file grows to; see the header comment.
constexpr uint64_t kMaxLogBytesPerDay = 100ull * 1024 * 1024;
// The most of one message a line carries, escaped. The service's own lines are far
// shorter (a drive message, the longest text of the recorder's, is 1 KiB); what is cut
// is a text from outside that no one reads to its end, and the day's file then holds at
// least 25,000 lines whatever they quote.
constexpr size_t kMaxLogMessageBytes = 4096;

enum LoggerLevel { VERBOSE = 0, INFO = 1, WARNING = 2, ERROR = 3, CRITICAL = 4 };

// "VERBOSE", "INFO", ... ; "UNKNOWN" for any other value.
std::string LevelToString(LoggerLevel level);
// The level as written in the file line: always exactly eight characters.
std::string LevelToNormalizedString(LoggerLevel level);

// The syslog priority prefix the journal reads a console line's level from: "<2>" for
// CRITICAL, "<3>" ERROR, "<4>" WARNING, "<6>" INFO and "<7>" VERBOSE (and any other value).
std::string JournalPriorityPrefix(LoggerLevel level);
// True when `journal_stream` ("<device>:<inode>", as systemd sets JOURNAL_STREAM) names
// the file open on `fd`; false for a null, malformed or different value.
bool IsJournalStream(const char* journal_stream, int fd);

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
    // Looks again whether standard output is the journal (the logger looks once when it
    // is made); for a process that changed its standard output or JOURNAL_STREAM.
    void detect_console();
    // One line on standard output only, for the few texts that are not log messages:
    // with the priority prefix when it goes to the journal, else exactly `text`.
    void print_console(LoggerLevel level, const std::string& text);

    // Test seams: the clock that dates lines and file names, and the free-space figure of
    // the log directory's file system (the probe returns false when it cannot tell).
    // An empty function restores the real clock or statvfs.
    using Clock = std::function<time_t()>;
    using FreeSpaceProbe = std::function<bool(const std::string& directory, uint64_t& free_bytes)>;
    static void set_clock_for_testing(Clock clock);
    void set_free_space_probe_for_testing(FreeSpaceProbe probe);
    // The daily limit of today's file; kMaxLogBytesPerDay unless a test lowers it.
    void set_max_bytes_per_day_for_testing(uint64_t bytes);

    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;
    ~logger();

private:
    // Owns the open day's file; closes it when replaced or destroyed.
    class FileHandle {
    public:
        FileHandle() = default;
        ~FileHandle() { reset(); }
        FileHandle(const FileHandle&) = delete;
        FileHandle& operator=(const FileHandle&) = delete;
        bool is_open() const { return fd_ >= 0; }
        int get() const { return fd_; }
        void reset(int fd = -1);

    private:
        int fd_ = -1;
    };

    logger();

    bool open_log_file();
    void start_day();
    // The file and console lines of one message, the file line subject to the daily limit.
    void write_message(LoggerLevel level, const std::string& column, const std::string& message);
    // A line of the logger's own about the daily limit, written whatever the limit.
    void write_notice(const std::string& text);
    bool append_to_file(const std::string& line);
    void print_console_line(LoggerLevel level, const std::string& stamp, const std::string& message);
    int purge_logs(int what);
    int purge_by_age();
    int purge_by_free_space();
    bool free_space(uint64_t& bytes);

    std::string file_name_ = "Log.txt";
    std::string directory_ = "./logs";
    std::atomic<int> level_{INFO};
    FileHandle file_;
    bool console_to_journal_ = false;
    uint64_t max_bytes_per_day_ = kMaxLogBytesPerDay;
    uint64_t bytes_in_file_ = 0;      // today's file size as last seen or written
    uint64_t lines_dropped_ = 0;      // today's lines kept out of the file by the limit
    std::string dropped_day_;         // the file those lines were kept out of
    int days_to_keep_ = 15;
    uint64_t minimum_free_space_ = 104857600;
    uint32_t purge_interval_ = 50;
    uint32_t message_count_ = 0;
    std::mutex mutex_;
    FreeSpaceProbe free_space_probe_;

    static thread_local std::string thread_name_;
};

#endif  // WARDEX_COMMON_LOGGER_H_
