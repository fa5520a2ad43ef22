// `wardex --outbox [--list]` as an operator runs it: the built program in the service's
// working folder, on an outbox the service holds open, with waiting, refused and damaged
// rows. It prints the counts and one line per alarm, and changes nothing.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/outbox/outbox.h"
#include "tests/support/child_process.h"

namespace {

using kv::Outbox;
using kv::testing::ChildProcess;
using kv::testing::ReadFile;
using kv::testing::TempDir;
using kv::testing::WriteFile;

constexpr int64_t kFirstRefusal = 1700000000;  // 2023-11-14T22:13:20Z

// Runs the program in `folder`; its exit code and output.
int RunWardex(const std::string& folder, const std::vector<std::string>& arguments, std::string& output) {
    std::vector<std::string> argv{std::string(WARDEX_BIN_DIR) + "/wardex"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::string output_path = folder + "/report-" + std::to_string(arguments.size()) + ".txt";
    ChildProcess program(argv, folder, output_path);
    int status = -1;
    EXPECT_TRUE(program.Wait(std::chrono::seconds(30), &status)) << "wardex --outbox did not end";
    output = program.Output();
    ::unlink(output_path.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct FileState {
    std::string bytes;
    struct stat info {};
    bool operator==(const FileState& other) const {
        return bytes == other.bytes && info.st_mtim.tv_sec == other.info.st_mtim.tv_sec &&
               info.st_mtim.tv_nsec == other.info.st_mtim.tv_nsec && info.st_size == other.info.st_size &&
               info.st_mode == other.info.st_mode;
    }
};

FileState StateOf(const std::string& path) {
    FileState state;
    state.bytes = ReadFile(path);
    ::stat(path.c_str(), &state.info);
    return state;
}

class OutboxReport : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = work_.File("outbox.db");
        // Written by "the service" and kept open by it, as while it runs.
        holder_ = std::make_unique<Outbox>(path_);
        ASSERT_TRUE(holder_->Open().ok());
        std::vector<Outbox::Item> items;
        for (const char* payload : {"{\"n\":0}", "{\"n\":1,\"text\":\"bell\x07 and \x1b[2J clear\"}", "{\"n\":2}",
                                    "{\"n\":3}", "{\"n\":4}", "{\"n\":5}"}) {
            items.push_back(Outbox::Item{0, "SendAlarm", payload, 0, 0, ""});
        }
        size_t refused = 0;
        ASSERT_TRUE(holder_->StoreBatch(items, refused).ok());
        ids_.clear();
        for (const auto& item : items) ids_.push_back(item.id);
        ASSERT_TRUE(holder_->MarkRefused(ids_[2], "SOAP fault: Sender", kFirstRefusal, kFirstRefusal + 900).ok());
        ASSERT_TRUE(holder_->MarkRefused(ids_[2], "SOAP fault: Sender", kFirstRefusal + 900, kFirstRefusal + 2700).ok());
        ASSERT_TRUE(holder_->MarkRefused(ids_[3], "no Identifier\r\nforged line", kFirstRefusal, kFirstRefusal + 900).ok());
        // A row changed behind its checksum: set aside at the next take.
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
        const std::string tamper = "UPDATE outbox SET payload = 'tampered' WHERE id = " + std::to_string(ids_[5]);
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, tamper.c_str(), nullptr, nullptr, nullptr));
        sqlite3_close(db);
        std::vector<Outbox::Item> taken;
        size_t damaged = 0;
        ASSERT_TRUE(holder_->TakeOldest(0, 100, taken, damaged).ok());
        ASSERT_EQ(1u, damaged);
        // A file an earlier salvage set aside.
        ASSERT_TRUE(WriteFile(path_ + ".corrupt-1690000000", "damaged", 0600));
        ASSERT_TRUE(WriteFile(path_ + ".corrupt-1690000000-wal", "", 0600));
    }

    TempDir work_;
    std::string path_;
    std::unique_ptr<Outbox> holder_;
    std::vector<int64_t> ids_;
};

TEST_F(OutboxReport, CountsWhileTheServiceHoldsTheFileAndChangesNothing) {
    const FileState db = StateOf(path_);
    const FileState wal = StateOf(path_ + "-wal");
    ASSERT_FALSE(wal.bytes.empty()) << "the holder's writes are in its journal";

    std::string output;
    ASSERT_EQ(0, RunWardex(work_.path(), {"--outbox"}, output)) << output;
    EXPECT_EQ(
        "Outbox ./outbox.db\n"
        "  waiting: 3\n"
        "  refused: 2\n"
        "    1 SOAP fault: Sender\n"
        "    1 no Identifier\\r\\nforged line\n"
        "  damaged rows set aside: 1\n"
        "  damaged files set aside: 1\n"
        "    ./outbox.db.corrupt-1690000000\n",
        output);

    EXPECT_TRUE(StateOf(path_) == db) << "the report changed the file";
    EXPECT_TRUE(StateOf(path_ + "-wal") == wal) << "the report changed the journal";
    // The service goes on using it.
    std::vector<Outbox::Item> more{Outbox::Item{0, "SendAlarm", "{\"n\":6}", 0, 0, ""}};
    size_t refused = 0;
    EXPECT_TRUE(holder_->StoreBatch(more, refused).ok());
}

TEST_F(OutboxReport, ListsOneLinePerAlarmWithNoControlByteRaw) {
    std::string output;
    ASSERT_EQ(0, RunWardex(work_.path(), {"--outbox", "--list"}, output)) << output;
    const std::vector<std::string> lines{
        std::to_string(ids_[0]) + " SendAlarm waiting {\"n\":0}",
        std::to_string(ids_[1]) + " SendAlarm waiting {\"n\":1,\"text\":\"bell\\x07 and \\x1b[2J clear\"}",
        std::to_string(ids_[2]) + " SendAlarm refused 2x since 2023-11-14T22:13:20Z (SOAP fault: Sender) {\"n\":2}",
        std::to_string(ids_[3]) +
            " SendAlarm refused 1x since 2023-11-14T22:13:20Z (no Identifier\\r\\nforged line) {\"n\":3}",
        std::to_string(ids_[4]) + " SendAlarm waiting {\"n\":4}",
    };
    std::string expected_tail;
    for (const std::string& line : lines) expected_tail += line + "\n";
    ASSERT_GE(output.size(), expected_tail.size());
    EXPECT_EQ(expected_tail, output.substr(output.size() - expected_tail.size())) << output;
    EXPECT_EQ(0u, output.find("Outbox ./outbox.db\n  waiting: 3\n"));
    for (const char control : {'\x07', '\x1b', '\r'}) {
        EXPECT_EQ(std::string::npos, output.find(control)) << "a raw control byte " << static_cast<int>(control);
    }
    EXPECT_EQ(std::string::npos, output.find("tampered")) << "a damaged row is not listed as waiting";
}

// Root may run the report on a folder the service's user writes: the names found there
// reach the terminal escaped, like the texts of the rows.
TEST_F(OutboxReport, NamesOfFilesSetAsideArePrintedEscaped) {
    ASSERT_TRUE(WriteFile(path_ + ".corrupt-1690000001\x1b]0;owned\x07\n    forged", "damaged", 0600));
    std::string output;
    ASSERT_EQ(0, RunWardex(work_.path(), {"--outbox"}, output)) << output;
    EXPECT_NE(std::string::npos, output.find("    ./outbox.db.corrupt-1690000001\\x1b]0;owned\\x07\\n    forged\n"))
        << output;
    for (const char control : {'\x07', '\x1b'}) EXPECT_EQ(std::string::npos, output.find(control)) << output;
    EXPECT_EQ(std::string::npos, output.find("\n    forged")) << output;
}

// The schema is part of the file: one that makes a read do costly or hidden work (here a
// view in the table's place that checks the whole file) is refused, not run.
TEST(OutboxReportAlone, ASchemaThatWouldRunWorkOnReadingIsRefused) {
    TempDir work;
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(work.File("outbox.db").c_str(), &db));
    EXPECT_EQ(SQLITE_OK,
              sqlite3_exec(db, "CREATE VIEW outbox AS SELECT * FROM pragma_integrity_check", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    std::string output;
    EXPECT_EQ(1, RunWardex(work.path(), {"--outbox"}, output));
    EXPECT_EQ(0u, output.find("Outbox ./outbox.db cannot be read: ")) << output;
    EXPECT_NE(std::string::npos, output.find("unsafe use of virtual table")) << output;
}

TEST(OutboxReportAlone, AFileThatCannotBeReadGivesOneLineAndExitCodeOne) {
    TempDir work;
    std::string output;
    // No outbox at all: nothing is created either.
    EXPECT_EQ(1, RunWardex(work.path(), {"--outbox"}, output));
    EXPECT_EQ(0u, output.find("Outbox ./outbox.db cannot be read: ")) << output;
    EXPECT_EQ(1, std::count(output.begin(), output.end(), '\n')) << output;
    struct stat info {};
    EXPECT_NE(0, ::stat(work.File("outbox.db").c_str(), &info)) << "the report created the file";

    // Planted as a link: refused, the target untouched.
    ASSERT_TRUE(WriteFile(work.File("target"), "precious", 0600));
    ASSERT_EQ(0, ::symlink(work.File("target").c_str(), work.File("outbox.db").c_str()));
    EXPECT_EQ(1, RunWardex(work.path(), {"--outbox", "--list"}, output));
    EXPECT_NE(std::string::npos, output.find("symbolic link")) << output;
    EXPECT_EQ("precious", ReadFile(work.File("target")));
}

}  // namespace
