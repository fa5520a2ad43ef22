// The logger is a process-wide singleton: every case here gets a fresh log directory, a
// clock of its own (a date no other case uses) and its defaults restored afterwards.
#include "common/logger.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/foundation/test_dir.h"

namespace {

using kv::testing::Exists;
using kv::testing::ListDir;
using kv::testing::ReadFile;
using kv::testing::TestDir;
using kv::testing::WriteFile;

constexpr time_t kDay = 86400;
// 2024-03-05 07:08:09 UTC.
constexpr time_t kMarch5 = 1709622489;

std::atomic<time_t> g_now{kMarch5};

std::string DayName(time_t seconds) {
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char name[16];
    strftime(name, sizeof(name), "%Y%m%d", &parts);
    return std::string(name) + ".txt";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Standard output replaced by one end of a socket pair (as systemd connects a service's
// output to the journal) for as long as it lives; Read() puts the old one back and
// returns what was written.
class StdoutOnSocket {
public:
    StdoutOnSocket() {
        std::fflush(stdout);
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) != 0) return;
        saved_ = ::dup(STDOUT_FILENO);
        ok_ = saved_ >= 0 && ::dup2(ends_[0], STDOUT_FILENO) == STDOUT_FILENO;
    }
    ~StdoutOnSocket() {
        Restore();
        if (ends_[1] >= 0) ::close(ends_[1]);
    }
    bool ok() const { return ok_; }
    // "<device>:<inode>" of the socket, as systemd writes JOURNAL_STREAM.
    std::string Identity() const {
        struct stat info {};
        ::fstat(ends_[0], &info);
        return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
               std::to_string(static_cast<unsigned long long>(info.st_ino));
    }
    std::string Read() {
        Restore();
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(ends_[1], buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<size_t>(n));
        return text;
    }

private:
    // Afterwards no descriptor of the writing end is left, so Read() ends at its close.
    void Restore() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
        if (ends_[0] >= 0) {
            ::close(ends_[0]);
            ends_[0] = -1;
        }
    }

    int ends_[2] = {-1, -1};
    int saved_ = -1;
    bool ok_ = false;
};

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        // Each case starts on a date of its own, so its first message is a day change.
        static int cases = 0;
        ++cases;
        SetNow(kMarch5 + cases * 1000 * kDay);
        logger::set_clock_for_testing([] { return g_now.load(); });
        log_dir_ = dir_.Join("logs");
        log().set_directory(log_dir_);
        ASSERT_TRUE(Exists(log_dir_));
        log().set_level(VERBOSE);
        logger::set_thread_name("main");
    }

    void TearDown() override {
        log().set_level(INFO);
        log().set_free_space_probe_for_testing(nullptr);
        log().set_max_bytes_per_day_for_testing(kMaxLogBytesPerDay);
        logger::set_clock_for_testing(nullptr);
        logger::set_thread_name("");
    }

    static logger& log() { return logger::get_logger(); }
    static void SetNow(time_t seconds) { g_now = seconds; }
    std::string Today() const { return DayName(g_now.load()); }
    std::string DaysAgo(int days) const { return DayName(g_now.load() - days * kDay); }
    std::string LogPath(const std::string& name) const { return log_dir_ + "/" + name; }
    std::string TodaysFile() const { return ReadFile(LogPath(Today())); }

    // Logs under a captured standard output and returns what was printed.
    template <typename Body>
    std::string Console(Body body) {
        ::testing::internal::CaptureStdout();
        body();
        return ::testing::internal::GetCapturedStdout();
    }

    TestDir dir_;
    std::string log_dir_;
};

TEST_F(LoggerTest, FileAndConsoleLinesHaveTheExactLayout) {
    SetNow(kMarch5);  // a date the other cases never use
    const std::string printed = Console([] { logger::get_logger().log(INFO, "hello world"); });
    EXPECT_EQ("20240305.txt", Today());
    EXPECT_EQ("2024-03-05T07:08:09.000Z main        INFO     hello world\n", TodaysFile());
    EXPECT_EQ("\x1b[32m[2024-03-05T07:08:09.000Z]\x1b[0m hello world\n", printed);
}

TEST_F(LoggerTest, LevelTextsAndColours) {
    struct Case {
        LoggerLevel level;
        const char* text;
        const char* colour;
    };
    const Case cases[] = {
        {VERBOSE, "VERBOSE ", "\x1b[32m"}, {INFO, "INFO    ", "\x1b[32m"},   {WARNING, "WARNING ", "\x1b[33m"},
        {ERROR, "ERROR   ", "\x1b[31m"},   {CRITICAL, "CRITICAL", "\x1b[31m"},
        {static_cast<LoggerLevel>(7), "UNKNOWN ", "\x1b[32m"},
    };
    const std::string printed = Console([&] {
        for (const Case& c : cases) log().log(c.level, "m");
    });
    const std::vector<std::string> file = Lines(TodaysFile());
    const std::vector<std::string> console = Lines(printed);
    ASSERT_EQ(6u, file.size());
    ASSERT_EQ(6u, console.size());
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(std::string(cases[i].text) + " m", file[i].substr(37)) << i;
        EXPECT_EQ(cases[i].colour, console[i].substr(0, 5)) << i;
        EXPECT_EQ("]\x1b[0m m", console[i].substr(30)) << i;
    }
    EXPECT_EQ("VERBOSE", LevelToString(VERBOSE));
    EXPECT_EQ("CRITICAL", LevelToString(CRITICAL));
    EXPECT_EQ("UNKNOWN", LevelToString(static_cast<LoggerLevel>(-1)));
}

TEST_F(LoggerTest, MessagesBelowTheLevelGoNowhere) {
    log().set_level(WARNING);
    const std::string printed = Console([] {
        logger& log = logger::get_logger();
        log.log(INFO, "dropped");
        log.log(VERBOSE, "dropped");
        log.log(static_cast<LoggerLevel>(-1), "dropped");
        log.log(WARNING, "kept");
        log.log(static_cast<LoggerLevel>(9), "kept too");
    });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(2u, file.size());
    EXPECT_EQ("kept", file[0].substr(46));
    EXPECT_EQ("kept too", file[1].substr(46));
    EXPECT_EQ(std::string::npos, printed.find("dropped"));
    EXPECT_EQ(2u, Lines(printed).size());
    EXPECT_FALSE(log().enabled(INFO));
    EXPECT_TRUE(log().enabled(ERROR));
}

TEST_F(LoggerTest, PartsAreJoinedWithATrailingBlank) {
    Console([] {
        logger& log = logger::get_logger();
        log.log(INFO, std::vector<std::string>{"a", "", "b"});
        log.log(INFO, std::vector<std::string>{"", ""});
        log.log(INFO, std::vector<std::string>{});
    });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(3u, file.size());
    EXPECT_EQ("a b ", file[0].substr(46));
    EXPECT_EQ(46u, file[1].size());
    EXPECT_EQ(46u, file[2].size());
}

TEST_F(LoggerTest, ThreadColumnIsCutOrPaddedToElevenCharacters) {
    std::string unnamed_id;
    Console([&] {
        logger::set_thread_name("kvapi_callback");
        log().log(INFO, "a");
        logger::set_thread_name("main");
        log().log(INFO, "b");
        std::thread unnamed([&] {
            std::ostringstream id;
            id << std::this_thread::get_id();
            unnamed_id = id.str();
            logger::get_logger().log(INFO, "c");
        });
        unnamed.join();
    });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(3u, file.size());
    EXPECT_EQ(" kvapi_callb INFO     a", file[0].substr(24));
    EXPECT_EQ(" main        INFO     b", file[1].substr(24));
    std::string column = unnamed_id;
    column.resize(11, ' ');
    EXPECT_EQ(" " + column + " INFO     c", file[2].substr(24));
    EXPECT_TRUE(std::all_of(unnamed_id.begin(), unnamed_id.end(), ::isdigit)) << unnamed_id;
}

TEST_F(LoggerTest, DayChangeOpensANewFileAndPurgesByAge) {
    const time_t midnight = (g_now.load() / kDay + 1) * kDay;
    SetNow(midnight - 1);
    const std::string first_day = Today();
    // Fifteen days before the second day survives the first day's purge only.
    const std::string fifteen_before_second = DayName(midnight - 15 * kDay);
    const std::string fourteen_before_second = DayName(midnight - 14 * kDay);
    ASSERT_TRUE(WriteFile(LogPath(fifteen_before_second), "old\n"));
    ASSERT_TRUE(WriteFile(LogPath(fourteen_before_second), "recent\n"));

    Console([] { logger::get_logger().log(INFO, "last of the day"); });
    EXPECT_TRUE(Exists(LogPath(fifteen_before_second)));
    SetNow(midnight);
    Console([] { logger::get_logger().log(INFO, "first of the next"); });

    EXPECT_NE(first_day, Today());
    EXPECT_EQ("last of the day", Lines(ReadFile(LogPath(first_day))).at(0).substr(46));
    EXPECT_EQ("first of the next", Lines(TodaysFile()).at(0).substr(46));
    EXPECT_EQ(1u, Lines(TodaysFile()).size());
    EXPECT_FALSE(Exists(LogPath(fifteen_before_second)));
    EXPECT_TRUE(Exists(LogPath(fourteen_before_second)));
}

// The age purge goes by the name of the logger's own files, not by file times, and
// touches nothing else in the folder: other files, dotfiles, names that merely start
// with digits, folders (even one named like an old dated file) and links all stay.
TEST_F(LoggerTest, AgePurgeRemovesOnlyOldDatedRegularFiles) {
    const std::vector<std::string> doomed = {DaysAgo(15), DaysAgo(20), DaysAgo(400), "19991231.txt"};
    const std::vector<std::string> kept = {DaysAgo(14), DaysAgo(1),    "Log.txt",      "notes",         "~backup",
                                           "notes.txt", ".keep",       "0readme",      "0notes",        "1.txt",
                                           "2019-notes", "1999123.txt", "199912310.txt", "19991231.txt~", "19991231.TXT",
                                           "1999123x.txt"};
    for (const std::string& name : doomed) ASSERT_TRUE(WriteFile(LogPath(name), "x"));
    for (const std::string& name : kept) ASSERT_TRUE(WriteFile(LogPath(name), "x"));
    const std::string folder = LogPath("19990101.txt");
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(LogPath("old").c_str(), 0755));
    const std::string link = LogPath("19990102.txt");
    ASSERT_EQ(0, ::symlink("notes.txt", link.c_str()));

    Console([] { logger::get_logger().log(INFO, "first"); });

    for (const std::string& name : doomed) EXPECT_FALSE(Exists(LogPath(name))) << name;
    for (const std::string& name : kept) EXPECT_TRUE(Exists(LogPath(name))) << name;
    EXPECT_TRUE(Exists(folder));
    EXPECT_TRUE(Exists(LogPath("old")));
    struct stat info {};
    EXPECT_EQ(0, ::lstat(link.c_str(), &info)) << "a link is not one of the logger's files";
    EXPECT_TRUE(Exists(LogPath("notes.txt")));
    EXPECT_TRUE(Exists(LogPath(Today())));
    EXPECT_TRUE(Exists(log_dir_));
}

TEST(DatedLogName, OnlyEightDigitsAndTxt) {
    EXPECT_TRUE(is_dated_log_name("20240305.txt"));
    EXPECT_TRUE(is_dated_log_name("00000000.txt"));
    for (const char* name : {"", ".txt", "2024030.txt", "202403055.txt", "2024030a.txt", "20240305.txt ", " 20240305.txt",
                             "20240305.TXT", "20240305_txt", "20240305.txt.gz", ".20240305.txt"}) {
        EXPECT_FALSE(is_dated_log_name(name)) << name;
    }
}

// Texts from the receiver or the recorder pass through the logger: whatever they hold,
// a message is one line in the file, with no raw control byte, and the console keeps
// the logger's own colour sequences but none from the message.
TEST_F(LoggerTest, MessagesAreEscapedIntoOneLineInFileAndConsole) {
    const std::string outside = std::string("ntp=127.0.0.9\n2024-03-05T07:08:09.000Z main        ERROR    forged") +
                                "\r\x1b[2J\x1b]0;title\x07\x7f\xff\xc3(" + "\xc2\x9b" + "ok\xc3\xa9";
    const std::string console = Console([&] { logger::get_logger().log(WARNING, "answer: " + outside); });
    const std::string expected_text =
        "answer: ntp=127.0.0.9\\n2024-03-05T07:08:09.000Z main        ERROR    forged\\r\\x1b[2J\\x1b]0;title\\x07"
        "\\x7f\xef\xbf\xbd\xef\xbf\xbd(\\u009bok\xc3\xa9";
    const std::vector<std::string> lines = Lines(TodaysFile());
    ASSERT_EQ(1u, lines.size()) << TodaysFile();
    EXPECT_EQ(expected_text, lines[0].substr(46));
    const std::string file = TodaysFile();
    for (const char c : file.substr(0, file.size() - 1)) {
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << "raw control byte " << static_cast<int>(c);
    }
    EXPECT_EQ(std::string("\x1b[33m[") + lines[0].substr(0, 24) + "]\x1b[0m " + expected_text + "\n", console);
}

TEST_F(LoggerTest, RestartOnTheSameDayAppends) {
    ASSERT_TRUE(WriteFile(LogPath(Today()), "earlier run\n"));
    Console([] { logger::get_logger().log(INFO, "again"); });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(2u, file.size());
    EXPECT_EQ("earlier run", file[0]);
    EXPECT_EQ("again", file[1].substr(46));
}

TEST_F(LoggerTest, FreeSpaceIsCheckedEveryFiftyFirstMessage) {
    std::atomic<int> probes{0};
    log().set_free_space_probe_for_testing([&](const std::string&, uint64_t& bytes) {
        ++probes;
        bytes = uint64_t{1} << 40;
        return true;
    });
    // Earlier cases have counted an unknown number of messages: log until a check runs.
    Console([&] {
        for (int i = 0; i < 60 && probes == 0; ++i) log().log(INFO, "sync");
    });
    ASSERT_EQ(1, probes.load());
    Console([&] {
        for (int i = 0; i < 50; ++i) log().log(INFO, "counted");
    });
    EXPECT_EQ(1, probes.load());
    Console([] { logger::get_logger().log(INFO, "fifty-first"); });
    EXPECT_EQ(2, probes.load());
    // Filtered messages are not counted.
    log().set_level(ERROR);
    Console([&] {
        for (int i = 0; i < 60; ++i) log().log(INFO, "filtered");
    });
    EXPECT_EQ(2, probes.load());
}

TEST_F(LoggerTest, LowSpaceRemovesOldestFilesFirstUntilSpaceSuffices) {
    for (int days = 1; days <= 14; ++days) ASSERT_TRUE(WriteFile(LogPath(DaysAgo(days)), "x"));
    Console([] { logger::get_logger().log(INFO, "today"); });

    std::atomic<int> probes{0};
    log().set_free_space_probe_for_testing([&](const std::string& directory, uint64_t& bytes) {
        EXPECT_EQ(log_dir_, directory);
        // Low on the first three looks, so three files go before space suffices.
        bytes = ++probes <= 3 ? 104857600 : 104857601;
        return true;
    });
    log().set_minimum_free_space(104857600);
    EXPECT_EQ(4, probes.load());
    EXPECT_FALSE(Exists(LogPath(DaysAgo(14))));
    EXPECT_FALSE(Exists(LogPath(DaysAgo(13))));
    EXPECT_FALSE(Exists(LogPath(DaysAgo(12))));
    for (int days = 1; days <= 11; ++days) EXPECT_TRUE(Exists(LogPath(DaysAgo(days)))) << days;
}

TEST_F(LoggerTest, LowSpaceNeverRemovesTodaysFile) {
    for (int days = 1; days <= 14; ++days) ASSERT_TRUE(WriteFile(LogPath(DaysAgo(days)), "x"));
    Console([] { logger::get_logger().log(INFO, "today"); });
    log().set_free_space_probe_for_testing([](const std::string&, uint64_t& bytes) {
        bytes = 0;
        return true;
    });
    log().set_minimum_free_space(104857600);
    EXPECT_EQ(std::vector<std::string>{Today()}, ListDir(log_dir_));
    // And the message that triggers the check is still written.
    Console([&] {
        for (int i = 0; i < 60; ++i) log().log(INFO, "still low");
    });
    EXPECT_EQ(61u, Lines(TodaysFile()).size());
}

TEST_F(LoggerTest, FailedSpaceQueryEndsThePurge) {
    ASSERT_TRUE(WriteFile(LogPath(DaysAgo(14)), "x"));
    log().set_free_space_probe_for_testing([](const std::string&, uint64_t& bytes) {
        bytes = 0;
        return false;
    });
    log().set_minimum_free_space(104857600);
    EXPECT_TRUE(Exists(LogPath(DaysAgo(14))));
}

TEST_F(LoggerTest, MissingDirectoryIsCreatedByTheFirstMessage) {
    ASSERT_EQ(0, ::rmdir(log_dir_.c_str()));
    Console([] { logger::get_logger().log(INFO, "created"); });
    EXPECT_EQ("created", Lines(TodaysFile()).at(0).substr(46));
}

TEST_F(LoggerTest, UnusableDirectoryFallsBackToPlainConsoleAndRecovers) {
    // A plain file where the directory should be: neither opened nor created, even as root.
    ASSERT_EQ(0, ::rmdir(log_dir_.c_str()));
    ASSERT_TRUE(WriteFile(log_dir_, ""));
    const std::string printed = Console([] {
        logger::get_logger().log(ERROR, "lost 1");
        logger::get_logger().log(INFO, "lost 2");
    });
    EXPECT_EQ("Message is lost 1\nMessage is lost 2\n", printed);

    ASSERT_EQ(0, ::unlink(log_dir_.c_str()));
    Console([] { logger::get_logger().log(INFO, "back"); });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(1u, file.size());
    EXPECT_EQ("back", file[0].substr(46));
}

// Holds the file size limit of this process at zero (writes fail with EFBIG, as on a
// full disk) until destroyed; SIGXFSZ is ignored meanwhile.
class NoRoomForWrites {
public:
    NoRoomForWrites() {
        ::getrlimit(RLIMIT_FSIZE, &saved_limit_);
        saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit none = saved_limit_;
        none.rlim_cur = 0;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &none) == 0;
    }
    ~NoRoomForWrites() {
        ::setrlimit(RLIMIT_FSIZE, &saved_limit_);
        std::signal(SIGXFSZ, saved_handler_);
    }
    bool ok() const { return ok_; }

private:
    struct rlimit saved_limit_ {};
    void (*saved_handler_)(int) = nullptr;
    bool ok_ = false;
};

TEST_F(LoggerTest, FailedWriteIsRetriedOnTheNextMessage) {
    // The write of the day's file fails (no room) but the console line still shows.
    std::string printed;
    {
        NoRoomForWrites no_room;
        ASSERT_TRUE(no_room.ok());
        // Not through gtest's capture: that writes a file, too.
        StdoutOnSocket socket;
        ASSERT_TRUE(socket.ok());
        logger::get_logger().log(INFO, "no space");
        printed = socket.Read();
    }
    EXPECT_NE(std::string::npos, printed.find("]\x1b[0m no space\n"));
    EXPECT_EQ("", TodaysFile());
    Console([] { logger::get_logger().log(INFO, "space again"); });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(1u, file.size());
    EXPECT_EQ("space again", file[0].substr(46));
}

TEST_F(LoggerTest, LinkAtTodaysFileIsNeverFollowed) {
    // Planted by whoever can write the folder, for a process of root to append to.
    const std::string target = dir_.Join("target.txt");
    ASSERT_TRUE(WriteFile(target, "not the logger's\n"));
    ASSERT_EQ(0, ::symlink(target.c_str(), LogPath(Today()).c_str()));
    const std::string printed = Console([] { logger::get_logger().log(ERROR, "kept out"); });
    EXPECT_EQ("Message is kept out\n", printed);
    EXPECT_EQ("not the logger's\n", ReadFile(target));

    // A dangling link must not create its target either.
    ASSERT_EQ(0, ::unlink(LogPath(Today()).c_str()));
    const std::string missing = dir_.Join("created-through-link.txt");
    ASSERT_EQ(0, ::symlink(missing.c_str(), LogPath(Today()).c_str()));
    Console([] { logger::get_logger().log(INFO, "still kept out"); });
    EXPECT_FALSE(Exists(missing));

    ASSERT_EQ(0, ::unlink(LogPath(Today()).c_str()));
    Console([] { logger::get_logger().log(INFO, "own file"); });
    EXPECT_EQ("own file", Lines(TodaysFile()).at(0).substr(46));
}

TEST_F(LoggerTest, LinkedDirectoryIsNeverFollowed) {
    const std::string elsewhere = dir_.Join("elsewhere");
    ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0700));
    ASSERT_EQ(0, ::rmdir(log_dir_.c_str()));
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), log_dir_.c_str()));
    const std::string printed = Console([] { logger::get_logger().log(INFO, "not there"); });
    EXPECT_EQ("Message is not there\n", printed);
    EXPECT_TRUE(ListDir(elsewhere).empty());
}

TEST_F(LoggerTest, OnlyARegularFileIsWritten) {
    // A FIFO would block an ordinary open for ever.
    ASSERT_EQ(0, ::mkfifo(LogPath(Today()).c_str(), 0600));
    const std::string printed = Console([] { logger::get_logger().log(INFO, "no pipe"); });
    EXPECT_EQ("Message is no pipe\n", printed);
}

TEST_F(LoggerTest, DailyLimitKeepsLaterLinesOutOfTheFileAndCountsThem) {
    // Each file line of "line N" is 53 bytes: room for three.
    log().set_max_bytes_per_day_for_testing(3 * 53 + 10);
    const std::string first_day = Today();
    const std::string printed = Console([] {
        for (int i = 1; i <= 5; ++i) logger::get_logger().log(INFO, "line " + std::to_string(i));
    });
    std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(4u, file.size()) << TodaysFile();
    EXPECT_EQ("line 1", file[0].substr(46));
    EXPECT_EQ("line 3", file[2].substr(46));
    EXPECT_EQ("WARNING  Today's log file has reached its limit of 169 bytes: the day's further lines are not "
              "written to it",
              file[3].substr(37));
    // The console still shows every line, the notice before the first line left out.
    const std::vector<std::string> console = Lines(printed);
    ASSERT_EQ(6u, console.size()) << printed;
    EXPECT_NE(std::string::npos, console[3].find("\x1b[33m"));
    EXPECT_NE(std::string::npos, console[3].find("reached its limit"));
    EXPECT_NE(std::string::npos, console[4].find(" line 4"));
    EXPECT_NE(std::string::npos, console[5].find("line 5"));

    // The next day starts with the count of the lines left out.
    log().set_max_bytes_per_day_for_testing(kMaxLogBytesPerDay);
    SetNow(g_now.load() + kDay);
    Console([] { logger::get_logger().log(INFO, "new day"); });
    file = Lines(TodaysFile());
    ASSERT_EQ(2u, file.size()) << TodaysFile();
    EXPECT_EQ("WARNING  Lines not written to the log file " + first_day + " after it reached the daily limit: 2",
              file[0].substr(37));
    EXPECT_EQ("new day", file[1].substr(46));
    EXPECT_EQ(4u, Lines(ReadFile(LogPath(first_day))).size());
}

// A receiver's text of megabytes is quoted in a line of its own: each line is cut, says
// how much it left out, and a day of such lines cannot fill the day's file.
TEST_F(LoggerTest, LongMessagesAreCutSoTheDaysLaterLinesStillReachTheFile) {
    const std::string huge(4 * 1024 * 1024, 'r');
    const size_t lines = kMaxLogBytesPerDay / huge.size() + 2;
    const std::string printed = Console([&] {
        for (size_t i = 0; i < lines; ++i) logger::get_logger().log(ERROR, "RelatesTo " + huge);
        logger::get_logger().log(INFO, "a later line");
    });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(lines + 1, file.size());
    const std::string kept = "RelatesTo " + std::string(kMaxLogMessageBytes - 10, 'r');
    const std::string left_out = "...(" + std::to_string(huge.size() + 10 - kMaxLogMessageBytes) + " more bytes)";
    EXPECT_EQ(kept + left_out, file[0].substr(46));
    EXPECT_EQ(file[0], file[lines - 1]);
    EXPECT_EQ("a later line", file[lines].substr(46));
    const std::vector<std::string> console = Lines(printed);
    ASSERT_EQ(lines + 1, console.size());
    EXPECT_EQ(std::string("\x1b[31m[") + file[0].substr(0, 24) + "]\x1b[0m " + kept + left_out, console[0]);
}

TEST_F(LoggerTest, DailyLimitCountsWhatAnEarlierRunWrote) {
    log().set_max_bytes_per_day_for_testing(100);
    ASSERT_TRUE(WriteFile(LogPath(Today()), std::string(99, 'x') + "\n"));
    Console([] { logger::get_logger().log(INFO, "over"); });
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(2u, file.size());
    EXPECT_NE(std::string::npos, file[1].find("has reached its limit of 100 bytes"));

    log().set_max_bytes_per_day_for_testing(kMaxLogBytesPerDay);
    const std::string first_day = Today();
    SetNow(g_now.load() + kDay);
    Console([] { logger::get_logger().log(INFO, "next day"); });
    EXPECT_EQ("Lines not written to the log file " + first_day + " after it reached the daily limit: 1",
              Lines(TodaysFile()).at(0).substr(46));
}

class JournalConsoleTest : public LoggerTest {
protected:
    void TearDown() override {
        ::unsetenv("JOURNAL_STREAM");
        log().detect_console();
        LoggerTest::TearDown();
    }

    // Logs one message of each level, and the closing text, with standard output on a
    // socket and JOURNAL_STREAM as `journal_stream` makes it (empty function: unset).
    std::string PrintedWith(const std::function<std::string(const StdoutOnSocket&)>& journal_stream) {
        StdoutOnSocket socket;
        EXPECT_TRUE(socket.ok());
        if (journal_stream) {
            ::setenv("JOURNAL_STREAM", journal_stream(socket).c_str(), 1);
        } else {
            ::unsetenv("JOURNAL_STREAM");
        }
        log().detect_console();
        for (LoggerLevel level : {VERBOSE, INFO, WARNING, ERROR, CRITICAL}) log().log(level, "m");
        log().print_console(INFO, "Bye");
        const std::string printed = socket.Read();
        ::unsetenv("JOURNAL_STREAM");
        log().detect_console();
        return printed;
    }
};

TEST_F(JournalConsoleTest, LinesToTheJournalCarryThePriorityAndNoColour) {
    const std::string printed = PrintedWith([](const StdoutOnSocket& socket) { return socket.Identity(); });
    const std::string stamp = "[" + Lines(TodaysFile()).at(0).substr(0, 24) + "]";
    EXPECT_EQ("<7>" + stamp + " m\n<6>" + stamp + " m\n<4>" + stamp + " m\n<3>" + stamp + " m\n<2>" + stamp +
                  " m\n<6>Bye\n",
              printed);
    // The file is the same either way.
    const std::vector<std::string> file = Lines(TodaysFile());
    ASSERT_EQ(5u, file.size());
    EXPECT_EQ("ERROR    m", file[3].substr(37));
}

TEST_F(JournalConsoleTest, WithoutJournalStreamTheConsoleIsAsBefore) {
    const std::string printed = PrintedWith(nullptr);
    const std::vector<std::string> console = Lines(printed);
    ASSERT_EQ(6u, console.size()) << printed;
    EXPECT_EQ("\x1b[32m[", console[0].substr(0, 6));
    EXPECT_EQ("\x1b[31m[", console[3].substr(0, 6));
    EXPECT_EQ("]\x1b[0m m", console[3].substr(30));
    EXPECT_EQ("Bye", console[5]);
}

TEST_F(JournalConsoleTest, AJournalStreamOfAnotherFileIsNotOurs) {
    // Inherited from a parent whose output went to the journal while ours does not.
    const std::string printed = PrintedWith([](const StdoutOnSocket& socket) {
        const std::string own = socket.Identity();
        const size_t colon = own.find(':');
        return own.substr(0, colon) + ":" + std::to_string(std::stoull(own.substr(colon + 1)) + 1);
    });
    EXPECT_EQ(std::string::npos, printed.find("<3>"));
    EXPECT_NE(std::string::npos, printed.find("\x1b[31m["));
}

TEST_F(JournalConsoleTest, FallbackLinesCarryThePriorityToo) {
    ASSERT_EQ(0, ::rmdir(log_dir_.c_str()));
    ASSERT_TRUE(WriteFile(log_dir_, ""));
    StdoutOnSocket socket;
    ASSERT_TRUE(socket.ok());
    ::setenv("JOURNAL_STREAM", socket.Identity().c_str(), 1);
    log().detect_console();
    log().log(ERROR, "no folder");
    EXPECT_EQ("<3>Message is no folder\n", socket.Read());
}

TEST(JournalStream, OnlyAWellFormedValueNamingTheFileMatches) {
    struct stat info {};
    ASSERT_EQ(0, ::fstat(STDERR_FILENO, &info));
    const std::string own = std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
                            std::to_string(static_cast<unsigned long long>(info.st_ino));
    EXPECT_TRUE(IsJournalStream(own.c_str(), STDERR_FILENO));
    for (const char* bad : {"", ":", "1:", ":1", "a:b", "1:2:3", " 1:2", "1:2 ", "-1:2", "99999999999999999999999:1"}) {
        EXPECT_FALSE(IsJournalStream(bad, STDERR_FILENO)) << bad;
    }
    EXPECT_FALSE(IsJournalStream(nullptr, STDERR_FILENO));
    EXPECT_FALSE(IsJournalStream(own.c_str(), -1));
    EXPECT_EQ("<2>", JournalPriorityPrefix(CRITICAL));
    EXPECT_EQ("<3>", JournalPriorityPrefix(ERROR));
    EXPECT_EQ("<4>", JournalPriorityPrefix(WARNING));
    EXPECT_EQ("<6>", JournalPriorityPrefix(INFO));
    EXPECT_EQ("<7>", JournalPriorityPrefix(VERBOSE));
}

TEST_F(LoggerTest, DirectoryHelpers) {
    EXPECT_TRUE(prepare_sub_directory(log_dir_));
    EXPECT_TRUE(prepare_sub_directory(dir_.Join("one")));
    EXPECT_TRUE(Exists(dir_.Join("one")));
    EXPECT_FALSE(prepare_sub_directory(dir_.Join("two/three")));  // one level only
    EXPECT_FALSE(Exists(dir_.Join("two")));

    // A directory that cannot be made leaves the logger where it was.
    log().set_directory(dir_.Join("two/three"));
    Console([] { logger::get_logger().log(INFO, "still here"); });
    EXPECT_EQ("still here", Lines(TodaysFile()).at(0).substr(46));

    EXPECT_EQ(Today(), generate_log_filename(0));
    EXPECT_EQ(DaysAgo(15), generate_log_filename(15));
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    const std::string printed = Console([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                logger::set_thread_name("worker" + std::to_string(t));
                for (int i = 0; i < kMessages; ++i) {
                    logger::get_logger().log(i % 2 ? INFO : WARNING, "message " + std::to_string(i) + " of worker");
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    });
    const std::regex file_line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000Z worker\d     (INFO    |WARNING ) message \d+ of worker)");
    const std::regex console_line(
        "\x1b\\[3[23]m\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.000Z\\]\x1b\\[0m message \\d+ of worker");
    const std::vector<std::string> file = Lines(TodaysFile());
    const std::vector<std::string> console = Lines(printed);
    ASSERT_EQ(static_cast<size_t>(kThreads * kMessages), file.size());
    ASSERT_EQ(file.size(), console.size());
    for (const std::string& line : file) ASSERT_TRUE(std::regex_match(line, file_line)) << line;
    for (const std::string& line : console) ASSERT_TRUE(std::regex_match(line, console_line)) << line;
}

}  // namespace
