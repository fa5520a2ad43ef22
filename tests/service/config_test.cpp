// How "./wardex.json" is read, completed and how its password is protected: tables of
// file texts against the settings and the lines to log, and of stored passwords against
// what the file holds afterwards. No process, no working-directory change.
#include "src/service/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/string_util.h"
#include "src/service/stored_password.h"
#include "tests/support/child_process.h"

namespace kv {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string Describe(const ServiceConfig& config) {
    std::ostringstream text;
    text << config.server_address << '|' << config.server_port << '|' << config.server_user << '|'
         << config.server_password << '|' << config.report_motion << config.ignore_ntp << '|' << config.site_number
         << '|' << config.service_endpoint << '|' << config.backup_service_endpoint << '|'
         << (config.log_level ? static_cast<int>(*config.log_level) : -1);
    return text.str();
}

std::vector<LoggerLevel> Levels(const Diagnostics& lines) {
    std::vector<LoggerLevel> levels;
    for (const Diagnostic& line : lines) levels.push_back(line.level);
    return levels;
}

ConfigReading Read(const std::string& text) {
    const json::Value object = json::Value::parse(text);
    return ReadConfig(json::LoadState::kLoaded, "", &object);
}

const std::string kPrimary = "https://127.0.0.1:9/R.svc";

TEST(ConfigTest, FileTextsGiveTheirSettingsAndLines) {
    struct Case {
        std::string text;
        std::function<void(ServiceConfig&)> differs;  // how the settings differ from the defaults
        std::vector<LoggerLevel> lines;
    };
    const Case cases[] = {
        {R"({"service_endpoint": ")" + kPrimary + R"("})", [](ServiceConfig& c) { c.service_endpoint = kPrimary; }, {}},
        {R"({"server_address": "127.0.0.3", "server_port": 40000, "server_user": "op", "server_password": "pw",
             "report_motion": true, "ignore_ntp": false, "site_number": "7", "service_endpoint": ")" + kPrimary + R"(",
             "log_level": 3})",
         [](ServiceConfig& c) {
             c.server_address = "127.0.0.3";
             c.server_port = 40000;  // kept in its 16 bits, never negative
             c.server_user = "op";
             c.server_password = "pw";
             c.report_motion = true;
             c.ignore_ntp = false;
             c.site_number = "7";
             c.service_endpoint = kPrimary;
             c.log_level = ERROR;
         },
         {}},
        // Wrong types and empty strings keep the defaults; a number of another type reads 0.
        {R"({"server_user": "", "report_motion": "yes", "server_port": "22", "log_level": "3", "service_endpoint": ")" +
             kPrimary + R"("})",
         [](ServiceConfig& c) {
             c.server_port = 0;
             c.log_level = VERBOSE;
             c.service_endpoint = kPrimary;
         },
         {}},
        // A level out of range leaves the level alone.
        {R"({"log_level": 7, "service_endpoint": ")" + kPrimary + R"("})",
         [](ServiceConfig& c) { c.log_level.reset(); c.service_endpoint = kPrimary; }, {}},
        {R"({"log_level": -1, "service_endpoint": ")" + kPrimary + R"("})",
         [](ServiceConfig& c) { c.log_level.reset(); c.service_endpoint = kPrimary; }, {}},
        // No receiver: absent, empty, or still the placeholder of a new file.
        {"{}", [](ServiceConfig&) {}, {WARNING}},
        {R"({"service_endpoint": ""})", [](ServiceConfig&) {}, {WARNING}},
        {std::string(R"({"service_endpoint": ")") + kPlaceholderServiceEndpoint + R"("})", [](ServiceConfig&) {},
         {WARNING}},
        // A backup beside a primary is taken; without one, or not an http(s) URL, it is not.
        {R"({"service_endpoint": ")" + kPrimary + R"(", "backup_service_endpoint": "HTTPS://127.0.0.2/R.svc"})",
         [](ServiceConfig& c) { c.service_endpoint = kPrimary; c.backup_service_endpoint = "HTTPS://127.0.0.2/R.svc"; },
         {}},
        {R"({"backup_service_endpoint": "https://127.0.0.2/R.svc"})", [](ServiceConfig&) {}, {WARNING, WARNING}},
        {R"({"service_endpoint": ")" + kPrimary + R"(", "backup_service_endpoint": ""})",
         [](ServiceConfig& c) { c.service_endpoint = kPrimary; }, {}},
        // Plain http to either receiver: one WARNING for both.
        {R"({"service_endpoint": "Http://127.0.0.1/R.svc", "backup_service_endpoint": "http://127.0.0.2/R.svc"})",
         [](ServiceConfig& c) {
             c.service_endpoint = "Http://127.0.0.1/R.svc";
             c.backup_service_endpoint = "http://127.0.0.2/R.svc";
         },
         {WARNING}},
    };
    for (const Case& c : cases) {
        const ConfigReading reading = Read(c.text);
        ServiceConfig expected;
        c.differs(expected);
        EXPECT_EQ(Describe(reading.config), Describe(expected)) << c.text;
        EXPECT_EQ(Levels(reading.diagnostics), c.lines) << c.text;
        EXPECT_TRUE(reading.from_file);
        EXPECT_FALSE(reading.write_defaults) << "a file that exists is never overwritten";
    }
}

TEST(ConfigTest, ABackupThatIsNoHttpUrlIsRefusedWithOneErrorNamingIt) {
    for (const char* value : {"ftp://127.0.0.2/R.svc", "127.0.0.2:8080/R.svc", "http://", "https:///path",
                              "http:// 127.0.0.2/", "backup"}) {
        const ConfigReading reading =
            Read(R"({"service_endpoint": ")" + kPrimary + R"(", "backup_service_endpoint": ")" + value + "\"}");
        EXPECT_EQ(reading.config.backup_service_endpoint, "") << value;
        ASSERT_EQ(Levels(reading.diagnostics), std::vector<LoggerLevel>{ERROR}) << value;
        EXPECT_NE(reading.diagnostics[0].text.find(std::string("\"") + value + "\""), std::string::npos);
    }
}

TEST(ConfigTest, WithoutAUsableFileTheDefaultsApplyAndOnlyAMissingOneIsWritten) {
    struct Case {
        json::LoadState state;
        bool write;
        std::vector<LoggerLevel> lines;
    };
    const Case cases[] = {
        {json::LoadState::kMissing, true, {WARNING}},
        {json::LoadState::kUnreadable, false, {ERROR, WARNING}},
        {json::LoadState::kInvalid, false, {ERROR, WARNING}},
    };
    for (const Case& c : cases) {
        const ConfigReading reading = ReadConfig(c.state, "Permission denied", nullptr);
        EXPECT_EQ(Describe(reading.config), Describe(ServiceConfig())) << static_cast<int>(c.state);
        EXPECT_EQ(reading.write_defaults, c.write);
        EXPECT_FALSE(reading.from_file) << "no password of a file to protect";
        EXPECT_EQ(Levels(reading.diagnostics), c.lines);
    }
    // The texts the README lists.
    const ConfigReading unreadable = ReadConfig(json::LoadState::kUnreadable, "Permission denied", nullptr);
    EXPECT_EQ(unreadable.diagnostics[0].text,
              "Configuration file \"./wardex.json\" cannot be read: Permission denied. The file is left untouched and "
              "the built-in defaults apply until it is mended and the service restarted");
    EXPECT_EQ(unreadable.diagnostics[1].text,
              "\"service_endpoint\" must be set in \"./wardex.json\": no receiver is configured, alarms are stored and "
              "not sent");
    EXPECT_EQ(Read(R"({"service_endpoint": "http://127.0.0.1/R.svc"})").diagnostics[0].text,
              "The receiver is reached over plain http (service_endpoint): alarms and their acknowledgements can be "
              "read and forged on the way; an https URL protects them");
}

TEST(ConfigTest, ANewFileHoldsTheDefaultsPrivatelyAndReadsBackAsThem) {
    TempDir dir;
    const std::string path = dir.File("wardex.json");
    json::JsonConfigFile file(path.c_str());
    ASSERT_EQ(file.load_state(), json::LoadState::kMissing);
    ASSERT_TRUE(WriteDefaultConfig(file));

    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file holds a password";
    json::JsonConfigFile again(path.c_str());
    ASSERT_EQ(again.load_state(), json::LoadState::kLoaded);
    std::vector<std::string> keys;
    for (const auto& member : again.object()->items()) keys.push_back(member.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"server_address", "server_port", "server_user", "server_password",
                                              "service_endpoint", "report_motion", "ignore_ntp", "site_number",
                                              "log_level"}));
    const ConfigReading reading = ReadConfig(again.load_state(), "", again.object());
    EXPECT_EQ(Describe(reading.config), Describe(ServiceConfig()));
    EXPECT_EQ(Levels(reading.diagnostics), std::vector<LoggerLevel>{WARNING}) << "the placeholder is no receiver";
}

// --- the stored password -----------------------------------------------------------------

// A cipher keyed by a text the test changes, as the machine identity would change: the
// ciphertext is the key, a check form or not, and the password, padded to blocks.
struct TestCipher {
    std::string key = "machine-a";
    bool identity = true;

    std::string Seal(const std::string& plain, bool checked) const {
        std::string text = key + (checked ? "#" : "~") + plain;
        text.resize(std::max<size_t>(32, (text.size() + 16) / 16 * 16), '\0');  // blocks, NUL-ended
        return text;
    }
    PasswordCipher Cipher() {
        return PasswordCipher{
            [this](const std::string& plain) { return identity ? Seal(plain, true) : std::string(); },
            [this](const std::string& data, std::string& plain) {
                const std::string text(data.c_str());
                if (!identity || text.compare(0, key.size(), key) != 0) return crypto::PasswordDecryption::kFailed;
                plain = text.substr(key.size() + 1);
                return text[key.size()] == '#' ? crypto::PasswordDecryption::kDecrypted
                                               : crypto::PasswordDecryption::kDecryptedLegacy;
            }};
    }
};

class StoredPasswordTest : public ::testing::Test {
protected:
    void Write(const std::string& password, int mode = 0600) {
        json::Value object = {{"server_user", "admin"}, {"server_password", password}, {"operator_note", "kept"}};
        ASSERT_TRUE(WriteFile(path_, object.dump(4), mode));
        ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    }
    std::string Stored() const { return json::Value::parse(ReadFile(path_))["server_password"]; }
    StoredPassword Protect(Diagnostics& lines) {
        json::JsonConfigFile file(path_.c_str());
        std::string text;
        file.GetValue("server_password", text);
        return StoredPassword::Protect(text, file, cipher_.Cipher(), lines);
    }

    TempDir dir_;
    std::string path_ = dir_.File("wardex.json");
    TestCipher cipher_;
};

TEST_F(StoredPasswordTest, PlainTextsAreStoredAndTheStoredFormIsTakenAsItIs) {
    for (const std::string& password : {std::string("operator-secret"), std::string(31, 'p'), std::string(32, 'p'),
                                        std::string("0123456789abcdef0123456789abcdef"), std::string(64, 'z')}) {
        Write(password);
        Diagnostics lines;
        EXPECT_EQ(Protect(lines).plain(), password);
        EXPECT_TRUE(lines.empty());
        const std::string stored = Stored();
        EXPECT_EQ(stored, hex_encode(cipher_.Seal(password, true))) << password;
        EXPECT_EQ(json::Value::parse(ReadFile(path_))["operator_note"], "kept") << "other keys stay";

        const StoredPassword again = Protect(lines);
        EXPECT_TRUE(again.usable());
        EXPECT_EQ(again.plain(), password);
        EXPECT_EQ(Stored(), stored) << "the stored form is not written again";
        EXPECT_TRUE(lines.empty());
    }
}

TEST_F(StoredPasswordTest, FailuresLeaveTheFileAsItWas) {
    // No machine identity: the plain text stays in the file and is used.
    Write("s3cret");
    const std::string before = ReadFile(path_);
    cipher_.identity = false;
    Diagnostics lines;
    const StoredPassword plain = Protect(lines);
    EXPECT_TRUE(plain.usable());
    EXPECT_EQ(plain.plain(), "s3cret");
    EXPECT_EQ(ReadFile(path_), before);
    EXPECT_EQ(Levels(lines), std::vector<LoggerLevel>{ERROR});

    // Another identity: the stored form stays for when it comes back, and is not usable.
    cipher_.identity = true;
    Write(hex_encode(cipher_.Seal("s3cret", true)));
    const std::string stored = ReadFile(path_);
    cipher_.key = "machine-b";
    lines.clear();
    const StoredPassword foreign = Protect(lines);
    EXPECT_FALSE(foreign.usable());
    EXPECT_EQ(foreign.plain(), "");
    EXPECT_EQ(ReadFile(path_), stored);
    ASSERT_EQ(Levels(lines), std::vector<LoggerLevel>{ERROR});
    EXPECT_EQ(lines[0].text,
              "Could not decrypt \"server_password\" of \"./wardex.json\": most likely the machine identity changed (a "
              "cloned disk or a regenerated machine-id) since it was encrypted, or ./scripts/get_id.sh cannot be run; "
              "enter the password again in plain text and restart. The stored value is kept and no login is attempted");
}

TEST_F(StoredPasswordTest, AnOlderStoredFormIsStoredAgainWithItsCheckOnce) {
    Write(hex_encode(cipher_.Seal("operator-secret", false)));
    Diagnostics lines;
    EXPECT_EQ(Protect(lines).plain(), "operator-secret");
    EXPECT_EQ(Stored(), hex_encode(cipher_.Seal("operator-secret", true)));
    EXPECT_EQ(Levels(lines), std::vector<LoggerLevel>{INFO});
    lines.clear();
    Protect(lines);
    EXPECT_TRUE(lines.empty());
}

TEST_F(StoredPasswordTest, StoringLeavesTheFileToItsOwnerWithOneWarning) {
    Write("operator-secret", 0644);
    Diagnostics lines;
    Protect(lines);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(Levels(lines), std::vector<LoggerLevel>{WARNING});
    EXPECT_EQ(lines[0].text, "\"./wardex.json\" was open to group or others; it holds the encrypted password, so it is "
                             "now readable and writable by its owner only (0600)");
    Write("another-secret");
    lines.clear();
    Protect(lines);
    EXPECT_TRUE(lines.empty()) << "a private file is rewritten without a word";
}

TEST_F(StoredPasswordTest, AMoveLeavesNothingBehind) {
    StoredPassword first(std::string("operator-secret"));
    StoredPassword second(std::move(first));
    EXPECT_EQ(first.plain(), "");
    EXPECT_EQ(second.plain(), "operator-secret");
    first = std::move(second);
    EXPECT_EQ(second.plain(), "");
    EXPECT_EQ(first.plain(), "operator-secret");
}

}  // namespace
}  // namespace kv
