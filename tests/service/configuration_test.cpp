// How the service reads, completes and protects "./wardex.json". Each case builds the
// integration object in a scratch working directory and never starts its threads, so
// nothing is sent anywhere.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/crypto.h"
#include "common/logger.h"
#include "common/string_util.h"
#include "src/wardex.h"
#include "tests/support/child_process.h"

namespace kv {
namespace testing {
namespace {

using OrderedJson = nlohmann::ordered_json;

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        char here[4096];
        ASSERT_NE(::getcwd(here, sizeof(here)), nullptr);
        previous_ = here;
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
        logger::get_logger().set_directory(dir_.File("logs"));
        logger::get_logger().set_level(VERBOSE);
    }

    void TearDown() override {
        logger::get_logger().set_directory("./logs");
        ASSERT_EQ(::chdir(previous_.c_str()), 0);
    }

    void InstallIdentity() {
        if (std::system("sudo -n true >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs password-less sudo";
        ASSERT_EQ(::mkdir(dir_.File("scripts").c_str(), 0755), 0);
        ASSERT_TRUE(WriteFile(dir_.File("scripts/get_id.sh"), "#!/bin/sh\necho wardex-config-test\n", 0755));
    }

    // The identity script now prints something else, as after a cloned disk.
    void ChangeIdentity() {
        ASSERT_TRUE(WriteFile(dir_.File("scripts/get_id.sh"), "#!/bin/sh\necho another-machine\n", 0755));
    }

    void WriteConfig(const OrderedJson& config) { ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), config.dump(4), 0600)); }
    std::string Config() const { return ReadFile(dir_.File("wardex.json")); }
    OrderedJson ConfigJson() const { return OrderedJson::parse(Config()); }
    std::string LogText() const {
        std::string all;
        for (const char* name : {"logs"}) {
            const std::string file = dir_.File(name) + "/" + generate_log_filename(0);
            all += ReadFile(file);
        }
        return all;
    }

    static OrderedJson Loopback() {
        return {{"server_address", "127.0.0.1"}, {"server_port", 22609},    {"server_user", "admin"},
                {"server_password", "tulip482"}, {"service_endpoint", "http://127.0.0.1:9/WXAlarmReceiver/Receiver.svc"},
                {"report_motion", false},        {"ignore_ntp", true},      {"site_number", "7"},
                {"log_level", 0}};
    }

    static bool IsStoredForm(const std::string& text) {
        return text.size() >= 64 && text.size() % 32 == 0 &&
               text.find_first_not_of("0123456789abcdef") == std::string::npos;
    }

    TempDir dir_;
    std::string previous_;
};

TEST_F(ConfigurationTest, AFirstStartWritesTheNineDefaultsAndWarnsAboutTheEndpoint) {
    { WardexIntegration integration; }
    const std::string expected = std::string("{\n") +
                                 "    \"server_address\": \"127.0.0.1\",\n"
                                 "    \"server_port\": 22609,\n"
                                 "    \"server_user\": \"admin\",\n"
                                 "    \"server_password\": \"tulip482\",\n"
                                 "    \"service_endpoint\": \"" + kDefaultServiceEndpoint + "\",\n"
                                 "    \"report_motion\": false,\n"
                                 "    \"ignore_ntp\": true,\n"
                                 "    \"site_number\": \"\",\n"
                                 "    \"log_level\": 1\n"
                                 "}";
    EXPECT_EQ(Config(), expected);
    struct stat info {};
    ASSERT_EQ(::stat(dir_.File("wardex.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file holds a password";
    EXPECT_EQ(logger::get_logger().level(), INFO) << "the default level applies at once";
    EXPECT_NE(LogText().find("\"service_endpoint\" must be set in \"./wardex.json\""), std::string::npos);
}

// Formerly a root array (like any file that did not parse) was replaced by the defaults,
// losing the operator's settings. Now it is kept byte for byte and reported.
TEST_F(ConfigurationTest, ARootArrayIsKeptAndReported) {
    ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), "[1, 2]", 0600));
    { WardexIntegration integration; }
    EXPECT_EQ(Config(), "[1, 2]");
    const std::string log = LogText();
    EXPECT_NE(log.find("ERROR    Configuration file \"./wardex.json\" is not valid: the top level is not an object. "
                       "The file is left untouched and the built-in defaults apply until it is mended and the service "
                       "restarted\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("WARNING  \"service_endpoint\" must be set in \"./wardex.json\""), std::string::npos) << log;
}

TEST_F(ConfigurationTest, AFileThatDoesNotParseIsNeverOverwritten) {
    struct Case {
        std::string text;
        std::string reason;
    };
    const std::string operator_file = Loopback().dump(4);
    const Case cases[] = {
        {operator_file.substr(0, operator_file.size() - 2) + ",\n}", "is not valid: parse error at line 11, column 1: "},
        {"{\n    \"server_user\": \"operator\",\n    \"server_user\": \"admin\"\n}",
         "is not valid: duplicate member name \"server_user\" at line 3, column 17. The file is left untouched"},
        {operator_file.substr(0, 60), "is not valid: parse error at line 3, column"},
        {"{\n    \"server_password\": \"x\" // the recorder's\n}", "is not valid: parse error at line 2, column"},
    };
    for (const Case& c : cases) {
        logger::get_logger().set_level(VERBOSE);
        ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), c.text, 0640));
        { WardexIntegration integration; }
        EXPECT_EQ(Config(), c.text) << "the operator's file is kept as it was";
        struct stat info {};
        ASSERT_EQ(::stat(dir_.File("wardex.json").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u) << "not even its mode changes";
        EXPECT_NE(LogText().find("ERROR    Configuration file \"./wardex.json\" " + c.reason), std::string::npos)
            << c.text << "\n" << LogText();
        EXPECT_EQ(logger::get_logger().level(), INFO) << "the default level applies";
    }
    // Nothing was renamed aside or left behind beside it; the service's own outbox is
    // opened at the stop even when the network thread never ran.
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "wardex.json" || name == "logs" || name == "outbox.db") << name;
    }
}

TEST_F(ConfigurationTest, AByteOrderMarkAtTheStartIsAccepted) {
    OrderedJson config = Loopback();
    config["log_level"] = 3;
    ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), "\xEF\xBB\xBF" + config.dump(4), 0600));
    { WardexIntegration integration; }
    EXPECT_EQ(logger::get_logger().level(), ERROR) << "the settings were read";
    EXPECT_EQ(LogText().find("Configuration file"), std::string::npos) << LogText();
    logger::get_logger().set_level(VERBOSE);
}

// A folder in place of the file: the read fails with EISDIR.
TEST_F(ConfigurationTest, AFolderInPlaceOfTheFileIsReportedAndLeftAlone) {
    ASSERT_EQ(::mkdir(dir_.File("wardex.json").c_str(), 0755), 0);
    { WardexIntegration integration; }
    struct stat info {};
    ASSERT_EQ(::stat(dir_.File("wardex.json").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_NE(LogText().find("ERROR    Configuration file \"./wardex.json\" cannot be read: Is a directory. The file is "
                             "left untouched and the built-in defaults apply until it is mended and the service "
                             "restarted"),
              std::string::npos)
        << LogText();
}

// The file left to root by a "sudo wardex", read by the service's own user: permission is
// really denied (as root the integration is built in a child that gives up root first).
TEST_F(ConfigurationTest, AFileTheServiceMayNotReadIsReportedAndLeftAlone) {
    const std::string text = Loopback().dump(4);
    ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), text, 0600));
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
    const std::string child_logs = dir_.File("child-logs");
    ASSERT_EQ(::mkdir(child_logs.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(child_logs.c_str(), 0777), 0);
    const bool root = ::geteuid() == 0;
    if (!root) {
        ASSERT_EQ(::chmod(dir_.File("wardex.json").c_str(), 0), 0);
    }

    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(2);
        }
        logger::get_logger().set_directory(child_logs);
        { WardexIntegration integration; }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    if (!root) {
        ASSERT_EQ(::chmod(dir_.File("wardex.json").c_str(), 0600), 0);
    }

    EXPECT_EQ(Config(), text);
    struct stat info {};
    ASSERT_EQ(::stat(dir_.File("wardex.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, ::geteuid()) << "still its owner's";
    const std::string log = ReadFile(child_logs + "/" + generate_log_filename(0));
    EXPECT_NE(log.find("ERROR    Configuration file \"./wardex.json\" cannot be read: Permission denied. The file is "
                       "left untouched"),
              std::string::npos)
        << log;
}

TEST_F(ConfigurationTest, APlainPasswordIsStoredEncryptedAndOtherKeysStayAsTheyWere) {
    InstallIdentity();
    OrderedJson config = Loopback();
    config["operator_note"] = "kept as it is";
    config["server_password"] = "correct horse battery staple!!!";  // 31 characters
    WriteConfig(config);
    const std::string before = Config();
    { WardexIntegration integration; }

    OrderedJson after = ConfigJson();
    const std::string stored = after["server_password"];
    EXPECT_TRUE(IsStoredForm(stored)) << stored;
    after["server_password"] = "correct horse battery staple!!!";
    EXPECT_EQ(after.dump(4), before) << "only the password changed";

    // The stored form is taken as it is on the next start.
    const std::string second_before = Config();
    { WardexIntegration integration; }
    EXPECT_EQ(Config(), second_before);
    EXPECT_EQ(LogText().find("correct horse"), std::string::npos) << "the password never reaches the log";
}

TEST_F(ConfigurationTest, ALongPlainPasswordIsNotMistakenForTheStoredForm) {
    InstallIdentity();
    for (const std::string& password :
         {std::string(32, 'p'), std::string("0123456789abcdef0123456789abcdef"), std::string(40, 'x'),
          std::string(64, 'z')}) {
        OrderedJson config = Loopback();
        config["server_password"] = password;
        WriteConfig(config);
        { WardexIntegration integration; }
        const std::string stored = ConfigJson()["server_password"];
        EXPECT_TRUE(IsStoredForm(stored)) << password;
        EXPECT_NE(stored, password);
    }
    EXPECT_EQ(LogText().find("pppppppp"), std::string::npos);
}

TEST_F(ConfigurationTest, WithoutAMachineIdentityThePasswordFileIsLeftAlone) {
    OrderedJson config = Loopback();
    config["server_password"] = "s3cret-operator";
    WriteConfig(config);
    const std::string before = Config();
    { WardexIntegration integration; }
    EXPECT_EQ(Config(), before) << "the operator's password is not replaced by an empty one";
    const std::string log = LogText();
    EXPECT_NE(log.find("ERROR    Could not protect \"server_password\""), std::string::npos) << log;
    EXPECT_EQ(log.find("s3cret-operator"), std::string::npos);
}

TEST_F(ConfigurationTest, AStoredPasswordUnderAnotherIdentityIsReportedAndKept) {
    InstallIdentity();
    OrderedJson config = Loopback();
    config["server_password"] = "operator-secret";
    WriteConfig(config);
    { WardexIntegration integration; }
    ASSERT_TRUE(IsStoredForm(ConfigJson()["server_password"]));
    const std::string stored = Config();

    ChangeIdentity();
    { WardexIntegration integration; }
    EXPECT_EQ(Config(), stored) << "the stored value stays for when the identity comes back";
    const std::string log = LogText();
    EXPECT_NE(log.find("ERROR    Could not decrypt \"server_password\" of \"./wardex.json\": most likely the machine "
                       "identity changed (a cloned disk or a regenerated machine-id) since it was encrypted, or "
                       "./scripts/get_id.sh cannot be run; enter the password again in plain text and restart. The "
                       "stored value is kept and no login is attempted"),
              std::string::npos)
        << log;
}

TEST_F(ConfigurationTest, AnOlderStoredPasswordUnderAnotherIdentityIsReportedAndKept) {
    InstallIdentity();
    OrderedJson config = Loopback();
    config["server_password"] = hex_encode(crypto::Encrypt("operator-secret", true));
    ChangeIdentity();
    WriteConfig(config);
    const std::string before = Config();
    { WardexIntegration integration; }
    EXPECT_EQ(Config(), before);
    EXPECT_NE(LogText().find("ERROR    Could not decrypt \"server_password\""), std::string::npos) << LogText();
}

TEST_F(ConfigurationTest, AnOlderStoredPasswordIsStoredAgainWithItsCheck) {
    InstallIdentity();
    OrderedJson config = Loopback();
    config["server_password"] = hex_encode(crypto::Encrypt("operator-secret", true));
    WriteConfig(config);
    { WardexIntegration integration; }
    const std::string stored = ConfigJson()["server_password"];
    ASSERT_TRUE(IsStoredForm(stored));
    EXPECT_NE(stored, config["server_password"]);
    std::string password;
    EXPECT_EQ(crypto::DecryptPassword(hex_decode(stored), password), crypto::PasswordDecryption::kDecrypted);
    EXPECT_EQ(password, "operator-secret");
    EXPECT_NE(LogText().find("INFO     \"server_password\" of \"./wardex.json\" stored again with its integrity check"),
              std::string::npos)
        << LogText();
    EXPECT_EQ(LogText().find("ERROR"), std::string::npos) << LogText();

    // Only once: the checked form is taken as it is.
    const std::string after = Config();
    { WardexIntegration integration; }
    EXPECT_EQ(Config(), after);
}

TEST_F(ConfigurationTest, StoringThePasswordLeavesTheFileToItsOwnerOnlyWithOneWarning) {
    InstallIdentity();
    OrderedJson config = Loopback();
    config["server_password"] = "operator-secret";
    ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), config.dump(4), 0644));
    ASSERT_EQ(::chmod(dir_.File("wardex.json").c_str(), 0644), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(dir_.File("wardex.json").c_str(), 65534, 65534), 0);
    }
    { WardexIntegration integration; }
    struct stat info {};
    ASSERT_EQ(::stat(dir_.File("wardex.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    if (root) {
        EXPECT_EQ(info.st_uid, 65534u) << "the owner is kept";
        EXPECT_EQ(info.st_gid, 65534u);
    }
    EXPECT_TRUE(IsStoredForm(ConfigJson()["server_password"]));
    const std::string warning = "WARNING  \"./wardex.json\" was open to group or others; it holds the encrypted "
                                "password, so it is now readable and writable by its owner only (0600)";

    // A later rewrite of a file that is already private says nothing.
    config["server_password"] = "another-secret";
    ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), config.dump(4), 0600));
    ASSERT_EQ(::chmod(dir_.File("wardex.json").c_str(), 0600), 0);
    { WardexIntegration integration; }
    const std::string log = LogText();
    size_t count = 0;
    for (size_t at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1)) ++count;
    EXPECT_EQ(count, 1u) << log;
}

TEST_F(ConfigurationTest, LogLevelIsAppliedOnlyWithinItsRange) {
    struct Case {
        OrderedJson value;  // null: the key is absent
        LoggerLevel expected;
    };
    const Case cases[] = {{3, ERROR}, {7, VERBOSE}, {-1, VERBOSE}, {nullptr, INFO}, {"3", VERBOSE}, {4, CRITICAL}};
    for (const Case& c : cases) {
        OrderedJson config = Loopback();
        config.erase("log_level");
        if (!c.value.is_null()) config["log_level"] = c.value;
        WriteConfig(config);
        logger::get_logger().set_level(VERBOSE);
        { WardexIntegration integration; }
        EXPECT_EQ(logger::get_logger().level(), c.expected) << c.value.dump();
    }
    logger::get_logger().set_level(VERBOSE);
}

// The backup receiver is optional: absent, nothing of it appears; a value that is not an
// http(s) URL is refused with one ERROR naming the key and the value.
TEST_F(ConfigurationTest, WithoutABackupEndpointNothingMentionsOne) {
    WriteConfig(Loopback());
    { WardexIntegration integration; }
    EXPECT_EQ(LogText().find("backup"), std::string::npos) << LogText();
    EXPECT_FALSE(ConfigJson().contains("backup_service_endpoint")) << "never written into the file";
}

TEST_F(ConfigurationTest, AnHttpOrHttpsBackupEndpointIsTakenWithoutComplaint) {
    for (const char* url : {"http://127.0.0.2:8080/WXAlarmReceiver/Receiver.svc", "https://backup.example/Receiver.svc",
                            "HTTP://127.0.0.2/Receiver.svc"}) {
        OrderedJson config = Loopback();
        config["backup_service_endpoint"] = url;
        WriteConfig(config);
        { WardexIntegration integration; }
        EXPECT_EQ(LogText().find("\"backup_service_endpoint\""), std::string::npos) << url << "\n" << LogText();
        EXPECT_EQ(ConfigJson()["backup_service_endpoint"], url) << "the file keeps the key as it was";
    }
}

TEST_F(ConfigurationTest, ABackupEndpointThatIsNoHttpUrlIsRefusedWithAnErrorNamingIt) {
    for (const char* value : {"ftp://127.0.0.2/Receiver.svc", "127.0.0.2:8080/Receiver.svc", "http://", "https:///path",
                              "http:// 127.0.0.2/", "backup"}) {
        OrderedJson config = Loopback();
        config["backup_service_endpoint"] = value;
        WriteConfig(config);
        const size_t before = LogText().size();
        { WardexIntegration integration; }
        const std::string expected = std::string("\"backup_service_endpoint\" in \"./wardex.json\" is not an http(s) ") +
                                     "URL: \"" + value + "\"; no backup receiver is used";
        const std::string log = LogText().substr(before);
        const size_t at = log.find(expected);
        ASSERT_NE(at, std::string::npos) << value << "\n" << log;
        const size_t line_start = log.rfind('\n', at);
        EXPECT_NE(log.substr(line_start == std::string::npos ? 0 : line_start, at - line_start).find("ERROR"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find(expected, at + 1), std::string::npos) << "once";
    }
}

// Plain http to either receiver is said once at start, at WARNING, naming the keys.
TEST_F(ConfigurationTest, PlainHttpToAReceiverIsWarnedOfOnce) {
    const struct {
        const char* primary;
        const char* backup;
        const char* named;  // "": no warning
    } cases[] = {
        {"HTTP://127.0.0.1:9/R.svc", "https://127.0.0.2/R.svc", "WARNING  The receiver is reached over plain http (service_endpoint)"},
        {"https://127.0.0.1:9/R.svc", "http://127.0.0.2/R.svc", "WARNING  The receiver is reached over plain http (backup_service_endpoint)"},
        {"http://127.0.0.1:9/R.svc", "http://127.0.0.2/R.svc", "(service_endpoint and backup_service_endpoint)"},
        {"https://127.0.0.1:9/R.svc", "https://127.0.0.2/R.svc", ""},
    };
    for (const auto& entry : cases) {
        OrderedJson config = Loopback();
        config["service_endpoint"] = entry.primary;
        config["backup_service_endpoint"] = entry.backup;
        WriteConfig(config);
        const size_t before = LogText().size();
        { WardexIntegration integration; }
        const std::string log = LogText().substr(before);
        const std::string warning = ": alarms and their acknowledgements can be read and forged on the way";
        EXPECT_EQ(log.find(warning) != std::string::npos, *entry.named != '\0') << entry.primary << "\n" << log;
        EXPECT_EQ(log.find(warning), log.rfind(warning)) << "once";
        if (*entry.named != '\0') {
            EXPECT_NE(log.find(std::string(entry.named) + warning), std::string::npos) << log;
        }
    }
}

TEST_F(ConfigurationTest, ABackupEndpointWithoutAPrimaryIsNotUsed) {
    OrderedJson config = Loopback();
    config.erase("service_endpoint");
    config["backup_service_endpoint"] = "http://127.0.0.2:8080/WXAlarmReceiver/Receiver.svc";
    WriteConfig(config);
    { WardexIntegration integration; }
    EXPECT_NE(LogText().find("\"backup_service_endpoint\" is only used beside \"service_endpoint\", which is not set"),
              std::string::npos)
        << LogText();
}

}  // namespace
}  // namespace testing
}  // namespace kv
