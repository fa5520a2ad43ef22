#include "common/common_json.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/foundation/test_dir.h"

namespace kv {
namespace json {
namespace {

using kv::testing::Exists;
using kv::testing::ListDir;
using kv::testing::PermissionBits;
using kv::testing::ReadFile;
using kv::testing::TestDir;
using kv::testing::WriteFile;

class JsonFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    // Writes `text` as the configuration file and opens it.
    std::unique_ptr<JsonConfigFile> Open(const std::string& text) {
        EXPECT_TRUE(WriteFile(path(), text));
        return std::make_unique<JsonConfigFile>(path().c_str());
    }
    std::string path() const { return dir_.Join("wardex.json"); }

    TestDir dir_;
};

// ---- the on-disk and compact forms ----

TEST_F(JsonFileTest, WritesTheDocumentedExampleByteForByte) {
    JsonConfigFile file(path().c_str());
    ASSERT_TRUE(file.Error());
    file.New();
    ASSERT_TRUE(file.SetValue("server_address", "127.0.0.1"));
    ASSERT_TRUE(file.SetValue("server_port", 22609.0));
    ASSERT_TRUE(file.SetValue("report_motion", false));
    ASSERT_TRUE(file.UpdateFile());
    EXPECT_EQ(
        "{\n"
        "    \"server_address\": \"127.0.0.1\",\n"
        "    \"server_port\": 22609,\n"
        "    \"report_motion\": false\n"
        "}",
        ReadFile(path()));
}

TEST_F(JsonFileTest, NumbersAreIntegersOnlyWhenTheyFitThirtyTwoBits) {
    JsonConfigFile file(path().c_str());
    file.New();
    ASSERT_TRUE(file.SetValue("a", 8080.0));
    ASSERT_TRUE(file.SetValue("b", 0.25));
    ASSERT_TRUE(file.SetValue("c", 1.5));
    ASSERT_TRUE(file.SetValue("d", -3.0));
    ASSERT_TRUE(file.SetValue("e", 3000000000.0));
    ASSERT_TRUE(file.SetValue("f", -2147483648.0));
    ASSERT_TRUE(file.SetValue("g", 1e-7));
    ASSERT_TRUE(file.SetValue("h", 7));
    ASSERT_TRUE(file.UpdateFile());
    EXPECT_EQ(
        "{\n    \"a\": 8080,\n    \"b\": 0.250000,\n    \"c\": 1.500000,\n    \"d\": -3,\n"
        "    \"e\": 3000000000.000000,\n    \"f\": -2147483648,\n    \"g\": 0.000000,\n    \"h\": 7\n}",
        ReadFile(path()));
}

TEST_F(JsonFileTest, NonFiniteNumbersAreRefused) {
    JsonConfigFile file(path().c_str());
    file.New();
    EXPECT_FALSE(file.SetValue("nan", std::nan("")));
    EXPECT_FALSE(file.SetValue("inf", std::numeric_limits<double>::infinity()));
    ASSERT_TRUE(file.UpdateFile());
    EXPECT_EQ("{}", ReadFile(path()));
}

TEST_F(JsonFileTest, StringsUseTheShortEscapesAndLeaveTheSlash) {
    JsonConfigFile file(path().c_str());
    file.New();
    ASSERT_TRUE(file.SetValue("url", "http://127.0.0.1:8/a/b"));
    ASSERT_TRUE(file.SetValue("text", "line1\nq\"b\\\b\f\r\t"));
    ASSERT_TRUE(file.SetValue("utf8", "K\xC3\xB6ln \xE2\x82\xAC"));
    ASSERT_TRUE(file.UpdateFile());
    EXPECT_EQ(
        "{\n    \"url\": \"http://127.0.0.1:8/a/b\",\n"
        "    \"text\": \"line1\\nq\\\"b\\\\\\b\\f\\r\\t\",\n"
        "    \"utf8\": \"K\xC3\xB6ln \xE2\x82\xAC\"\n}",
        ReadFile(path()));
}

// A raw control byte on disk would make the next start refuse the file and fall back to
// the defaults, so the other control bytes travel as \u escapes and read back intact.
TEST_F(JsonFileTest, OtherControlBytesSurviveARewrite) {
    auto file = Open("{\"user\": \"a\\u0001b\\u001fc\\u0000d\"}");
    ASSERT_FALSE(file->Error());
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{\n    \"user\": \"a\\u0001b\\u001fc\\u0000d\"\n}", ReadFile(path()));
    JsonConfigFile reread(path().c_str());
    ASSERT_FALSE(reread.Error());
    std::string user;
    reread.GetValue("user", user);
    EXPECT_EQ(std::string("a\x01" "b\x1f" "c\0d", 7), user);
}

TEST_F(JsonFileTest, NestedContainersIndentByFourBlanksPerLevel) {
    auto file = Open(R"({"list": [1, "two", [], {}, {"x": null, "y": [true]}], "empty": {}})");
    ASSERT_FALSE(file->Error());
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ(
        "{\n"
        "    \"list\": [\n"
        "        1,\n"
        "        \"two\",\n"
        "        [],\n"
        "        {},\n"
        "        {\n"
        "            \"x\": null,\n"
        "            \"y\": [\n"
        "                true\n"
        "            ]\n"
        "        }\n"
        "    ],\n"
        "    \"empty\": {}\n"
        "}",
        ReadFile(path()));
}

TEST(JsonToStringTest, CompactFormHasNoWhitespace) {
    Value value = Value::object();
    value["AlarmType"] = 7;
    value["Time"] = 1.5;
    value["Name"] = "cam/1\n";
    value["List"] = Value::array({true, nullptr, Value::object(), Value::array()});
    std::string out;
    ASSERT_TRUE(JsonToString(std::move(value), out));
    EXPECT_EQ("{\"AlarmType\":7,\"Time\":1.500000,\"Name\":\"cam/1\\n\",\"List\":[true,null,{},[]]}", out);

    ASSERT_TRUE(JsonToString(Value("plain"), out));
    EXPECT_EQ("\"plain\"", out);
    ASSERT_TRUE(JsonToString(Value::array(), out));
    EXPECT_EQ("[]", out);
}

TEST(JsonToStringTest, FailureLeavesTheOutputAlone) {
    std::string out = "before";
    Value bad_text = Value::object();
    bad_text["name"] = std::string("\xC3(");
    EXPECT_FALSE(JsonToString(std::move(bad_text), out));
    EXPECT_EQ("before", out);

    Value bad_key = Value::object();
    bad_key[std::string("\xFF")] = 1;
    EXPECT_FALSE(JsonToString(std::move(bad_key), out));
    EXPECT_FALSE(JsonToString(Value::array({std::nan("")}), out));
    EXPECT_FALSE(JsonToString(Value(Value::value_t::discarded), out));
    EXPECT_EQ("before", out);
}

TEST(Utf8Test, RefusesMalformedSequences) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("ascii"));
    EXPECT_TRUE(IsValidUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));     // U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xC3"));                // truncated
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));            // overlong slash
    EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));        // overlong
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));        // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));    // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\x80"));                // lone continuation
    EXPECT_FALSE(IsValidUtf8("\xE2\x82"));            // truncated at the end
    EXPECT_FALSE(IsValidUtf8("\xE2\x28\xA1"));        // bad continuation
}

// ---- reading ----

TEST_F(JsonFileTest, MissingOrUnreadableFilesGiveTheErrorState) {
    EXPECT_TRUE(JsonConfigFile(path().c_str()).Error());
    EXPECT_TRUE(JsonConfigFile(nullptr).Error());
    EXPECT_TRUE(JsonConfigFile("").Error());
    EXPECT_TRUE(JsonConfigFile(dir_.path().c_str()).Error());  // a directory
}

TEST_F(JsonFileTest, LoadStateTellsAMissingFileFromOneThatCannotBeRead) {
    JsonConfigFile missing(path().c_str());
    EXPECT_EQ(LoadState::kMissing, missing.load_state());
    EXPECT_EQ(std::strerror(ENOENT), missing.problem());

    JsonConfigFile folder(dir_.path().c_str());
    EXPECT_EQ(LoadState::kUnreadable, folder.load_state());
    EXPECT_EQ(std::strerror(EISDIR), folder.problem());

    auto loaded = Open(R"({"a": 1})");
    EXPECT_EQ(LoadState::kLoaded, loaded->load_state());
    EXPECT_EQ("", loaded->problem());
}

// Permission is denied for real: as root the read happens in a child that has given up
// its privileges first (a file of mode 000 does not stop root).
TEST_F(JsonFileTest, AFileThatMayNotBeReadIsUnreadableWithItsReason) {
    ASSERT_TRUE(WriteFile(path(), R"({"a": 1})"));
    ASSERT_EQ(0, ::chmod(path().c_str(), 0));
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
    const pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                                 ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(2);
        }
        JsonConfigFile file(path().c_str());
        const bool as_expected = file.Error() && file.load_state() == LoadState::kUnreadable &&
                                 file.problem() == std::strerror(EACCES);
        ::_exit(as_expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "2: privileges could not be dropped; 1: not reported as EACCES";
    EXPECT_EQ(0u, PermissionBits(path()));
    EXPECT_EQ(R"({"a": 1})", ReadFile(path())) << "reading never changes the file";
}

TEST_F(JsonFileTest, AByteOrderMarkIsSkipped) {
    auto file = Open("\xEF\xBB\xBF{\"server_user\": \"operator\"}");
    ASSERT_FALSE(file->Error()) << file->problem();
    std::string user;
    file->GetValue("server_user", user);
    EXPECT_EQ("operator", user);
    // Only at the very start: anywhere else it is not white space.
    EXPECT_TRUE(Open(" \xEF\xBB\xBF{}")->Error());
}

TEST_F(JsonFileTest, ParseProblemsNameTheReasonWithLineAndColumn) {
    struct Case {
        const char* text;
        const char* problem;
    };
    const Case cases[] = {
        {"{\n    \"a\": 1,\n}", "parse error at line 3, column 1: syntax error while parsing object key - unexpected '}'; "
                             "expected string literal"},
        {"{\n    \"a\": 1,\n    \"a\": 2\n}", "duplicate member name \"a\" at line 3, column 7"},
        {"{\"server_address\": \"127.0.", "parse error at line 1, column 27: syntax error while parsing value - invalid "
                                        "string: missing closing quote; last read: '\"127.0.'"},
        {"[1, 2]", "the top level is not an object"},
        {"", "parse error at line 1, column 1: syntax error while parsing value - unexpected end of input; expected "
             "'[', '{', or a literal"},
    };
    for (const Case& c : cases) {
        auto file = Open(c.text);
        EXPECT_TRUE(file->Error()) << c.text;
        EXPECT_EQ(LoadState::kInvalid, file->load_state()) << c.text;
        EXPECT_EQ(c.problem, file->problem()) << c.text;
        EXPECT_EQ(c.text, ReadFile(path()));
    }
}

TEST_F(JsonFileTest, TopLevelArrayParsesButIsAnError) {
    auto file = Open("[]");
    EXPECT_TRUE(file->Error());
    EXPECT_FALSE(file->UpdateFile());
    EXPECT_FALSE(file->SetValue("a", true));
    EXPECT_EQ("[]", ReadFile(path()));
}

TEST_F(JsonFileTest, MalformedDocumentsAreRefused) {
    const char* const kBad[] = {
        "",
        "   ",
        "\"text\"",
        "42",
        "{\n// comment\n\"a\": 1}",
        "{\"a\": 1 /* comment */}",
        "# comment\n{\"a\": 1}",
        "{\"a\": 1,}",
        "{\"a\": 1} trailing",
        "{\"a\": 1",
        "{'a': 1}",
        "{\"a\": \"\xC3(\"}",
        "{\"\xFF\": 1}",
        "{\"a\": NaN}",
    };
    for (const char* text : kBad) {
        EXPECT_TRUE(Open(text)->Error()) << text;
    }
}

TEST_F(JsonFileTest, DuplicateMemberNamesAreRefusedAtAnyDepth) {
    EXPECT_TRUE(Open(R"({"a": 1, "a": 2})")->Error());
    EXPECT_TRUE(Open(R"({"a": 1, "b": {"c": 1, "c": 1}})")->Error());
    EXPECT_TRUE(Open(R"({"a": [{"c": 1}, {"d": 1, "d": 2}]})")->Error());
    // The same name in sibling or nested objects is fine.
    EXPECT_FALSE(Open(R"({"a": {"a": {"a": 1}}, "b": [{"a": 1}, {"a": 2}]})")->Error());
}

TEST_F(JsonFileTest, SlashesInsideStringsAreNotComments) {
    auto file = Open(" \n\t{\"url\": \"http://127.0.0.1/*x*/\"}\n");
    ASSERT_FALSE(file->Error());
    std::string url;
    file->GetValue("url", url);
    EXPECT_EQ("http://127.0.0.1/*x*/", url);
}

TEST_F(JsonFileTest, ExcessiveNestingIsRefused) {
    EXPECT_TRUE(Open("{\"a\": " + std::string(5000, '[') + std::string(5000, ']') + "}")->Error());
    EXPECT_FALSE(Open("{\"a\": " + std::string(100, '[') + std::string(100, ']') + "}")->Error());
}

// ---- typed getters ----

TEST_F(JsonFileTest, ShortReadsTruncateAndKeepTheLowBits) {
    auto file = Open(R"({"text": "22609", "fraction": 22609.9, "big": 40000, "negative": -1.9,
                         "huge": 5000000000, "flag": true, "null": null})");
    ASSERT_FALSE(file->Error());
    short port = 1;
    file->GetValue("text", port);
    EXPECT_EQ(0, port);
    file->GetValue("fraction", port);
    EXPECT_EQ(22609, port);
    file->GetValue("big", port);
    EXPECT_EQ(-25536, port);
    file->GetValue("negative", port);
    EXPECT_EQ(-1, port);
    file->GetValue("flag", port);
    EXPECT_EQ(0, port);
    port = 5;
    file->GetValue("absent", port);
    EXPECT_EQ(5, port);
    file->GetValue("null", port);
    EXPECT_EQ(0, port);
    file->GetValue("huge", port);  // not fixed, but defined and not a crash
    long wide = 0;
    file->GetValue("huge", wide);
    EXPECT_EQ(5000000000L, wide);
    double real = 0;
    file->GetValue("fraction", real);
    EXPECT_DOUBLE_EQ(22609.9, real);
}

TEST_F(JsonFileTest, StringReadsKeepThePresetForEmptyOrOtherTypes) {
    auto file = Open(R"({"server_user": "", "number": 5, "name": "admin", "a.b": "dotted", "a": {"b": "nested"}})");
    ASSERT_FALSE(file->Error());
    std::string out = "preset";
    file->GetValue("server_user", out);
    EXPECT_EQ("preset", out);
    file->GetValue("number", out);
    EXPECT_EQ("preset", out);
    file->GetValue("absent", out);
    EXPECT_EQ("preset", out);
    file->GetValue(nullptr, out);
    EXPECT_EQ("preset", out);
    file->GetValue("a.b", out);
    EXPECT_EQ("dotted", out);
    file->GetValue("name", out);
    EXPECT_EQ("admin", out);
}

TEST_F(JsonFileTest, BoolReadsOnlyTakeBooleans) {
    auto file = Open(R"({"report_motion": 1, "ignore_ntp": false, "text": "true"})");
    ASSERT_FALSE(file->Error());
    bool flag = true;
    file->GetValue("report_motion", flag);
    EXPECT_TRUE(flag);
    file->GetValue("text", flag);
    EXPECT_TRUE(flag);
    file->GetValue("ignore_ntp", flag);
    EXPECT_FALSE(flag);
}

TEST_F(JsonFileTest, GetValuesAppendsOnlyStrings) {
    auto file = Open(R"({"list": ["a", 3, "", "b"], "scalar": "x"})");
    ASSERT_FALSE(file->Error());
    std::vector<std::string> out = {"kept"};
    file->GetValues("list", out);
    EXPECT_EQ((std::vector<std::string>{"kept", "a", "", "b"}), out);
    file->GetValues("scalar", out);
    file->GetValues("absent", out);
    EXPECT_EQ(4u, out.size());
}

TEST(LoadValueTest, NonObjectValuesHaveNoMembers) {
    const Value array = Value::array({"a"});
    std::string text = "preset";
    short number = 3;
    LoadValueIfPresent(array, "a", text);
    LoadValueIfPresent(array, "a", number);
    EXPECT_EQ("preset", text);
    EXPECT_EQ(3, number);
}

TEST_F(JsonFileTest, ErrorStateChangesNothing) {
    JsonConfigFile file(path().c_str());
    ASSERT_TRUE(file.Error());
    std::string text = "t";
    short number = 4;
    bool flag = true;
    std::vector<std::string> list = {"x"};
    file.GetValue("a", text);
    file.GetValue("a", number);
    file.GetValue("a", flag);
    file.GetValues("a", list);
    EXPECT_EQ("t", text);
    EXPECT_EQ(4, number);
    EXPECT_TRUE(flag);
    EXPECT_EQ(1u, list.size());
    EXPECT_FALSE(file.SetValue("a", "b"));
    EXPECT_FALSE(file.SetValue("a", 1.0));
    EXPECT_FALSE(file.SetValue("a", true));
    EXPECT_FALSE(file.RemoveValue("a"));
    EXPECT_FALSE(file.UpdateFile());
    EXPECT_FALSE(Exists(path()));
    EXPECT_EQ(nullptr, file.object());
}

// ---- changing the document ----

TEST_F(JsonFileTest, SetValueReplacesInPlaceAndAppendsNewMembers) {
    auto file = Open(R"({"a": 1, "b": 2, "c": 3})");
    ASSERT_TRUE(file->SetValue("b", "two"));
    ASSERT_TRUE(file->SetValue("d", true));
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{\n    \"a\": 1,\n    \"b\": \"two\",\n    \"c\": 3,\n    \"d\": true\n}", ReadFile(path()));
}

TEST_F(JsonFileTest, SetValueRefusesInvalidUtf8AndKeepsTheOldValue) {
    auto file = Open(R"({"server_user": "admin"})");
    EXPECT_FALSE(file->SetValue("server_user", std::string("\xC3\x28")));
    EXPECT_FALSE(file->SetValue(std::string("\xFF").c_str(), "x"));
    EXPECT_FALSE(file->SetValue(nullptr, "x"));
    EXPECT_FALSE(file->SetValue("x", static_cast<const char*>(nullptr)));
    std::string user;
    file->GetValue("server_user", user);
    EXPECT_EQ("admin", user);
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{\n    \"server_user\": \"admin\"\n}", ReadFile(path()));
}

TEST_F(JsonFileTest, RemoveValueMovesTheLastMemberIntoItsPlace) {
    auto file = Open(R"({"first": 1, "second": 2, "third": 3})");
    ASSERT_TRUE(file->RemoveValue("first"));
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{\n    \"third\": 3,\n    \"second\": 2\n}", ReadFile(path()));

    file = Open(R"({"a": 1, "b": 2, "c": 3, "d": 4})");
    ASSERT_TRUE(file->RemoveValue("b"));
    ASSERT_TRUE(file->RemoveValue("d"));  // the last member itself: nothing moves
    EXPECT_FALSE(file->RemoveValue("b"));
    EXPECT_FALSE(file->RemoveValue(nullptr));
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{\n    \"a\": 1,\n    \"c\": 3\n}", ReadFile(path()));

    ASSERT_TRUE(file->RemoveValue("a"));
    ASSERT_TRUE(file->RemoveValue("c"));
    EXPECT_FALSE(file->Error());
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{}", ReadFile(path()));
}

TEST_F(JsonFileTest, NewDiscardsTheDocumentButKeepsThePath) {
    auto file = Open("[1, 2]");
    ASSERT_TRUE(file->Error());
    file->New();
    EXPECT_FALSE(file->Error());
    ASSERT_TRUE(file->SetValue("log_level", 1.0));
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ("{\n    \"log_level\": 1\n}", ReadFile(path()));
}

TEST_F(JsonFileTest, RewriteReadsBackTheSameSettings) {
    JsonConfigFile file(path().c_str());
    file.New();
    ASSERT_TRUE(file.SetValue("server_password", "00abff"));
    ASSERT_TRUE(file.SetValue("server_port", 22609.0));
    ASSERT_TRUE(file.SetValue("ignore_ntp", true));
    ASSERT_TRUE(file.UpdateFile());
    const std::string first = ReadFile(path());

    JsonConfigFile reread(path().c_str());
    ASSERT_FALSE(reread.Error());
    std::string password;
    short port = 0;
    bool ignore = false;
    reread.GetValue("server_password", password);
    reread.GetValue("server_port", port);
    reread.GetValue("ignore_ntp", ignore);
    EXPECT_EQ("00abff", password);
    EXPECT_EQ(22609, port);
    EXPECT_TRUE(ignore);
    ASSERT_TRUE(reread.UpdateFile());
    EXPECT_EQ(first, ReadFile(path()));
}

// ---- replacing the file ----

TEST_F(JsonFileTest, NewFileIsForItsOwnerOnlyWhateverTheUmask) {
    const mode_t old_mask = ::umask(0);
    JsonConfigFile file(path().c_str());
    file.New();
    const bool written = file.UpdateFile();
    ::umask(old_mask);
    ASSERT_TRUE(written);
    EXPECT_EQ(0600u, PermissionBits(path()));
}

TEST_F(JsonFileTest, RewriteKeepsPermissionBitsAndLeavesNoTemporaryFile) {
    auto file = Open(R"({"a": 1})");
    ASSERT_EQ(0, ::chmod(path().c_str(), 0640));
    ASSERT_TRUE(file->SetValue("a", 2.0));
    ASSERT_TRUE(file->UpdateFile());
    EXPECT_EQ(0640u, PermissionBits(path()));
    EXPECT_EQ("{\n    \"a\": 2\n}", ReadFile(path()));
    EXPECT_EQ(std::vector<std::string>{"wardex.json"}, ListDir(dir_.path()));
}

TEST_F(JsonFileTest, PrivateRewriteSetsOwnerOnlyModeAndReportsTheOldOne) {
    auto file = Open(R"({"a": 1})");
    ASSERT_EQ(0, ::chmod(path().c_str(), 0644));
    ASSERT_TRUE(file->SetValue("a", 2.0));
    mode_t previous = 0;
    ASSERT_TRUE(file->UpdateFilePrivately(&previous));
    EXPECT_EQ(0644u, previous);
    EXPECT_EQ(0600u, PermissionBits(path()));
    EXPECT_EQ("{\n    \"a\": 2\n}", ReadFile(path()));
    ASSERT_TRUE(file->UpdateFilePrivately(&previous));
    EXPECT_EQ(0600u, previous);

    JsonConfigFile fresh(dir_.Join("new.json").c_str());
    fresh.New();
    ASSERT_TRUE(fresh.UpdateFilePrivately(&previous));
    EXPECT_EQ(0u, previous) << "there was no file";
    EXPECT_EQ(0600u, PermissionBits(dir_.Join("new.json")));
}

// A root-run rewrite ("sudo wardex") must not hand the service's file to root.
TEST_F(JsonFileTest, RewriteKeepsTheOwnerAndGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another owner";
    auto file = Open(R"({"a": 1})");
    ASSERT_EQ(0, ::chown(path().c_str(), 65534, 65534));
    ASSERT_TRUE(file->SetValue("a", 2.0));
    ASSERT_TRUE(file->UpdateFile());
    struct stat info {};
    ASSERT_EQ(0, ::stat(path().c_str(), &info));
    EXPECT_EQ(65534u, info.st_uid);
    EXPECT_EQ(65534u, info.st_gid);
    mode_t previous = 0;
    ASSERT_TRUE(file->UpdateFilePrivately(&previous));
    ASSERT_EQ(0, ::stat(path().c_str(), &info));
    EXPECT_EQ(65534u, info.st_uid);
    EXPECT_EQ(65534u, info.st_gid);
}

TEST_F(JsonFileTest, RewriteReplacesTheFileInsteadOfTruncatingIt) {
    auto file = Open(R"({"a": 1})");
    struct stat before {};
    ASSERT_EQ(0, ::stat(path().c_str(), &before));
    // A reader holding the old file keeps reading the old, complete text.
    std::ifstream reader(path(), std::ios::binary);
    ASSERT_TRUE(file->SetValue("a", 2.0));
    ASSERT_TRUE(file->UpdateFile());
    struct stat after {};
    ASSERT_EQ(0, ::stat(path().c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino);
    const std::string old_text((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(R"({"a": 1})", old_text);
}

TEST_F(JsonFileTest, FailedWriteLeavesTheOldFileAndTheDocument) {
    auto file = Open(R"({"a": 1})");
    Value unwritable = Value::object();
    unwritable["bad"] = std::string("\xFF");
    EXPECT_EQ(-1, SaveFile(path().c_str(), unwritable));
    EXPECT_EQ(R"({"a": 1})", ReadFile(path()));
    EXPECT_EQ(std::vector<std::string>{"wardex.json"}, ListDir(dir_.path()));
    EXPECT_EQ(-1, SaveFile(nullptr, unwritable));

    // A path whose directory does not exist cannot be written; memory keeps the change.
    JsonConfigFile lost(dir_.Join("missing/wardex.json").c_str());
    lost.New();
    ASSERT_TRUE(lost.SetValue("a", 3.0));
    EXPECT_FALSE(lost.UpdateFile());
    short a = 0;
    lost.GetValue("a", a);
    EXPECT_EQ(3, a);
}

TEST_F(JsonFileTest, SymbolicLinkStaysALinkAndItsTargetIsRewritten) {
    const std::string target = dir_.Join("real.json");
    ASSERT_TRUE(WriteFile(target, R"({"a": 1})"));
    ASSERT_EQ(0, ::symlink("real.json", path().c_str()));
    JsonConfigFile file(path().c_str());
    ASSERT_FALSE(file.Error());
    ASSERT_TRUE(file.SetValue("a", 2.0));
    ASSERT_TRUE(file.UpdateFile());
    struct stat info {};
    ASSERT_EQ(0, ::lstat(path().c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ("{\n    \"a\": 2\n}", ReadFile(target));
}

}  // namespace
}  // namespace json
}  // namespace kv
