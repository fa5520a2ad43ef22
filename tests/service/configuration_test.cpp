// How the service reads, completes and protects "./wardex.json". Each case builds the
// integration object in a scratch working directory and never starts its threads, so
// nothing is sent anywhere.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/logger.h"
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

TEST_F(ConfigurationTest, ARootArrayIsReplacedByTheDefaults) {
    ASSERT_TRUE(WriteFile(dir_.File("wardex.json"), "[1, 2]"));
    { WardexIntegration integration; }
    EXPECT_EQ(ConfigJson().size(), 9u);
    EXPECT_EQ(ConfigJson()["server_user"], "admin");
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

}  // namespace
}  // namespace testing
}  // namespace kv
