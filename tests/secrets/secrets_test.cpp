// Machine identity, secret handling, password converters and secret files.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "classes/trevaskencryptor.h"
#include "common/crypto.h"
#include "common/gen_random.h"
#include "common/secrets.h"
#include "tests/secrets/test_support.h"

using testing_support::Hex;
using testing_support::IdentityTest;
using testing_support::IndependentDecrypt;
using testing_support::ReadFile;
using testing_support::Sha256;
using testing_support::ToHex;
using testing_support::WriteFile;

namespace {

namespace crypto = kv::crypto;

// --- Building blocks -------------------------------------------------------------------

TEST(SecretOptions, FirstValueWinsAndAbsentKeysAreEmpty) {
    auto options = crypto::Options::Create();
    options->Add("machine", "true");
    options->Add("machine", "false");
    EXPECT_EQ("true", options->Find("machine"));
    EXPECT_EQ("", options->Find("key"));
    EXPECT_NE(options, crypto::Options::Create());
    EXPECT_EQ("", crypto::Options::Create()->Find("machine"));
}

TEST(ScopedWipe, ActionRunsOnceAtScopeExit) {
    int runs = 0;
    {
        utils::ScopedAction action([&runs] { ++runs; });
        EXPECT_EQ(0, runs);
    }
    EXPECT_EQ(1, runs);
    { utils::ScopedAction empty{std::function<void()>()}; }
}

TEST(ScopedWipe, MakeSecretOverwritesWithNulAndKeepsTheLength) {
    std::string secret = "hunter2-and-a-longer-tail-beyond-small-strings";
    {
        auto guard = crypto::make_secret(secret);
        secret.resize(10);
    }
    EXPECT_EQ(std::string(10, '\0'), secret);
    std::string other = "x";
    { auto guard = crypto::make_secret(other); }
    EXPECT_EQ(std::string(1, '\0'), other);
}

TEST(RandomBytes, ZeroCountLeavesBufferAlone) {
    unsigned char buffer[4] = {1, 2, 3, 4};
    kv::GenRandomBytes(buffer, 0);
    EXPECT_EQ(1, buffer[0]);
    EXPECT_EQ(4, buffer[3]);
    kv::GenRandomBytes(nullptr, 16);
    std::string text = "abc";
    kv::GenRandomBytes(text, 0);
    EXPECT_EQ("", text);
}

TEST(Digest, Sha256OfKnownTextsAsRawBytes) {
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", ToHex(crypto::sha256("abc")));
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", ToHex(crypto::sha256("")));
    EXPECT_EQ(32u, crypto::sha256(std::string("\0\0", 2)).size());
}

TEST(Digest, SecureMemcmp) {
    EXPECT_EQ(0, crypto::secure_memcmp("a", "b", 0));
    EXPECT_EQ(0, crypto::secure_memcmp("abcdef", "abcdef", 6));
    EXPECT_NE(0, crypto::secure_memcmp("abcdef", "abcdeg", 6));
    EXPECT_NE(0, crypto::secure_memcmp("\x80", "\x00", 1));
    EXPECT_NE(0, crypto::secure_memcmp("\x01\x02", "\x02\x01", 2));
}

// --- Machine identity ------------------------------------------------------------------

using MachineIdentity = IdentityTest;

TEST_F(MachineIdentity, ScriptOutputExactlyAsPrintedThroughNonInteractiveSudo) {
    ScriptPrints("machine-42\n");
    EXPECT_EQ("machine-42\n", crypto::GetMachineID(true));
    EXPECT_EQ("-n ./scripts/get_id.sh\n", SudoLog());
    EXPECT_EQ("machine-42\n" + UserNumber(), crypto::GetMachineID(false));
}

TEST_F(MachineIdentity, MissingScriptGivesEmptyMachineFormAndBareUserNumber) {
    EXPECT_EQ("", crypto::GetMachineID(true));
    EXPECT_EQ(UserNumber(), crypto::GetMachineID(false));
}

TEST_F(MachineIdentity, SudoUidReplacesRootOnly) {
    ScriptPrints("id");
    ::setenv("SUDO_UID", "1000", 1);
    const std::string expected_user = ::getuid() == 0 ? "1000" : UserNumber();
    EXPECT_EQ("id" + expected_user, crypto::GetMachineID(false));
    ::setenv("SUDO_UID", "", 1);
    EXPECT_EQ("id" + UserNumber(), crypto::GetMachineID(false));
}

TEST_F(MachineIdentity, RunsTheScriptOnEveryCall) {
    ScriptPrints("first");
    EXPECT_EQ("first", crypto::GetMachineID(true));
    ScriptPrints("second");
    EXPECT_EQ("second", crypto::GetMachineID(true));
}

TEST_F(MachineIdentity, RealSudoRunsTheScriptWhenARuleAllowsIt) {
    UseRealSudo();
    if (std::system("sudo -n true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no password-less sudo here";
    ScriptPrints("through real sudo\n");
    EXPECT_EQ("through real sudo\n", crypto::GetMachineID(true));
}

TEST_F(MachineIdentity, ShippedScriptPrintsTheSameBytesEveryTime) {
    const std::string shipped = std::string(WARDEX_SOURCE_DIR) + "/scripts/get_id.sh";
    std::filesystem::copy_file(shipped, "scripts/get_id.sh");
    const std::string first = crypto::GetMachineID(true);
    if (first.empty()) GTEST_SKIP() << "this machine has no machine-id";
    EXPECT_EQ(first, crypto::GetMachineID(true));
}

// --- Password entry points -------------------------------------------------------------

using PasswordProtection = IdentityTest;

TEST_F(PasswordProtection, EmptyTextPassesThroughWithoutRunningTheScript) {
    ScriptPrints("machine-42\n");
    EXPECT_EQ("", crypto::Encrypt("", true));
    EXPECT_EQ("", crypto::Decrypt("", true));
    EXPECT_EQ("", crypto::Encrypt("", false));
    EXPECT_EQ("", SudoLog());
}

TEST_F(PasswordProtection, MachineFormIsAes128UnderTheDigestOfTheIdentity) {
    ScriptPrints("machine-42\n");
    const std::string cipher = crypto::Encrypt("P@ssw0rd", true);
    ASSERT_EQ(32u, cipher.size());
    const std::string key = Sha256("machine-42\n").substr(0, 16);
    EXPECT_EQ(ToHex(std::string("P@ssw0rd") + std::string(8, '\0')), ToHex(IndependentDecrypt(key, cipher)));
    EXPECT_EQ("P@ssw0rd", crypto::Decrypt(cipher, true));
}

TEST_F(PasswordProtection, UserFormIsKeyedOnIdentityAndUserNumber) {
    ScriptPrints("machine-42\n");
    const std::string cipher = crypto::Encrypt("P@ssw0rd", false);
    const std::string key = Sha256("machine-42\n" + UserNumber()).substr(0, 16);
    EXPECT_EQ(ToHex(std::string("P@ssw0rd") + std::string(8, '\0')), ToHex(IndependentDecrypt(key, cipher)));
    EXPECT_EQ("P@ssw0rd", crypto::Decrypt(cipher, false));
}

TEST_F(PasswordProtection, CiphertextLengthsByPasswordLength) {
    ScriptPrints("machine-42\n");
    const struct {
        size_t password;
        size_t cipher;
    } cases[] = {{1, 32}, {8, 32}, {16, 32}, {17, 48}, {31, 48}, {32, 64}};
    for (const auto& c : cases) {
        const std::string password(c.password, 'k');
        const std::string cipher = crypto::Encrypt(password, true);
        EXPECT_EQ(c.cipher, cipher.size()) << c.password;
        EXPECT_EQ(password, crypto::Decrypt(cipher, true)) << c.password;
    }
}

TEST_F(PasswordProtection, TwoEncryptionsDifferAndBothDecrypt) {
    ScriptPrints("machine-42\n");
    const std::string first = crypto::Encrypt("secret", true);
    const std::string second = crypto::Encrypt("secret", true);
    EXPECT_NE(first, second);
    EXPECT_EQ("secret", crypto::Decrypt(first, true));
    EXPECT_EQ("secret", crypto::Decrypt(second, true));
}

TEST_F(PasswordProtection, MissingScriptLeavesOnlyThePerUserForm) {
    EXPECT_EQ("", crypto::Encrypt("secret", true));
    const std::string cipher = crypto::Encrypt("secret", false);
    ASSERT_EQ(32u, cipher.size());
    EXPECT_EQ("secret", crypto::Decrypt(cipher, false));
    EXPECT_EQ("", crypto::Decrypt(cipher, true));
}

TEST_F(PasswordProtection, WrongKeyGivesOtherBytesNeverTheText) {
    ScriptPrints("machine-42\n");
    const std::string cipher = crypto::Encrypt("secret", false);
    EXPECT_NE("secret", crypto::Decrypt(cipher, true));
    ScriptPrints("another machine\n");
    EXPECT_NE("secret", crypto::Decrypt(cipher, false));
}

TEST_F(PasswordProtection, TruncatedCiphertextGivesEmptyText) {
    ScriptPrints("machine-42\n");
    const std::string cipher = crypto::Encrypt("secret", true);
    EXPECT_EQ("", crypto::Decrypt(cipher.substr(0, 31), true));
    EXPECT_EQ("", crypto::Decrypt(cipher.substr(0, 5), true));
}

// --- The stored password with its check -----------------------------------------------

using CheckedPassword = IdentityTest;

TEST_F(CheckedPassword, TheCheckIsEncryptedWithThePassword) {
    ScriptPrints("machine-42\n");
    const std::string cipher = crypto::EncryptPassword("P@ssw0rd");
    ASSERT_EQ(48u, cipher.size()) << "20 bytes of plaintext";
    const std::string key = Sha256("machine-42\n").substr(0, 16);
    EXPECT_EQ(ToHex(std::string("P@ssw0rd#wardex-pw:1") + std::string(12, '\0')), ToHex(IndependentDecrypt(key, cipher)));
    std::string password = "stale";
    EXPECT_EQ(crypto::PasswordDecryption::kDecrypted, crypto::DecryptPassword(cipher, password));
    EXPECT_EQ("P@ssw0rd", password);
    EXPECT_EQ("", crypto::EncryptPassword(""));
}

TEST_F(CheckedPassword, TheOlderFormWithoutTheCheckIsStillRead) {
    ScriptPrints("machine-42\n");
    for (const std::string plain : {"tulip482", "x", "sixteen chars ok", "correct horse battery staple!!!",
                                    "pässwörd €uro"}) {
        std::string password;
        EXPECT_EQ(crypto::PasswordDecryption::kDecryptedLegacy,
                  crypto::DecryptPassword(crypto::Encrypt(plain, true), password))
            << plain;
        EXPECT_EQ(plain, password);
    }
}

TEST_F(CheckedPassword, AnOlderValueThatIsNotPrintableTextCountsAsFailed) {
    ScriptPrints("machine-42\n");
    for (const std::string& plain : {std::string("esc\x1b[2J"), std::string("line\nbreak"), std::string("\xff\xfe"),
                                    std::string("del\x7f")}) {
        std::string password = "stale";
        EXPECT_EQ(crypto::PasswordDecryption::kFailed, crypto::DecryptPassword(crypto::Encrypt(plain, true), password));
        EXPECT_EQ("", password);
    }
}

// Under another identity neither form may yield a password. Short older values are the
// hard case (a wrong key could give a printable text and a NUL within 16 bytes), so
// many fresh encryptions are tried.
TEST_F(CheckedPassword, AnotherIdentityIsDetectedForBothForms) {
    std::vector<std::string> checked;
    std::vector<std::string> older;
    ScriptPrints("machine-42\n");
    for (int i = 0; i < 100; ++i) {
        checked.push_back(crypto::EncryptPassword("tulip482"));
        older.push_back(crypto::Encrypt(i % 2 == 0 ? "tulip482" : "a", true));
    }
    ScriptPrints("machine-43\n");
    for (const std::string& cipher : checked) {
        std::string password;
        EXPECT_EQ(crypto::PasswordDecryption::kFailed, crypto::DecryptPassword(cipher, password));
        EXPECT_EQ("", password);
    }
    for (const std::string& cipher : older) {
        std::string password;
        EXPECT_EQ(crypto::PasswordDecryption::kFailed, crypto::DecryptPassword(cipher, password)) << ToHex(password);
        EXPECT_EQ("", password);
    }
    // No identity at all fails the same way.
    ::unlink("scripts/get_id.sh");
    std::string password;
    EXPECT_EQ(crypto::PasswordDecryption::kFailed, crypto::DecryptPassword(checked.front(), password));
}

// --- Converters ------------------------------------------------------------------------

std::shared_ptr<crypto::Options> KeyOption(const std::string& key) {
    auto options = crypto::Options::Create();
    options->Add("key", key);
    return options;
}

using Converters = IdentityTest;

TEST_F(Converters, ExplicitKeyOptionReplacesTheIdentity) {
    ScriptPrints("machine-42\n");
    crypto::MachineSpecificConverter converter("", KeyOption("k1"));
    const std::string cipher = converter.Encrypt(std::string("text"));
    EXPECT_EQ("", SudoLog());
    EXPECT_EQ(ToHex(std::string("text") + std::string(12, '\0')),
              ToHex(IndependentDecrypt(Sha256("k1").substr(0, 16), cipher)));
    EXPECT_EQ("text", converter.Decrypt(cipher));
}

TEST_F(Converters, SuffixIsAppendedAndChecked) {
    crypto::TrevaskEncryptionConverter raw(Sha256("k1"), crypto::Options::Create());
    crypto::MachineSpecificConverter checked("abc", KeyOption("k1"));

    const std::string cipher = checked.Encrypt(std::string("xyz"));
    EXPECT_EQ("xyzabc", raw.Decrypt(cipher));
    EXPECT_EQ("xyz", checked.Decrypt(cipher));

    EXPECT_EQ("", checked.Decrypt(raw.Encrypt(std::string("xyzab"))));
    EXPECT_EQ("", checked.Decrypt(raw.Encrypt(std::string("abc"))));
    EXPECT_EQ("q", checked.Decrypt(raw.Encrypt(std::string("qabc"))));
}

TEST_F(Converters, RvalueEncryptWipesItsArgument) {
    crypto::MachineSpecificConverter converter("", KeyOption("k1"));
    std::string plain = "wipe me after use";
    const std::string cipher = converter.Encrypt(std::move(plain));
    EXPECT_EQ(std::string(17, '\0'), plain);
    EXPECT_EQ("wipe me after use", converter.Decrypt(cipher));

    const crypto::ISecretConverter& base = converter;
    std::string again = "again";
    base.Encrypt(std::move(again));
    EXPECT_EQ(std::string(5, '\0'), again);
}

TEST_F(Converters, EmptyKeyUsesTheTransformersDefaultKey) {
    crypto::TrevaskEncryptionConverter converter("", crypto::Options::Create());
    const std::string cipher = converter.Encrypt(std::string("default"));
    std::string buffer(cipher.size() + 48, '\0');
    CTrevaskEncryptor encryptor(false, true);
    encryptor.SetTransformBuffer(&buffer[0], buffer.size());
    size_t length = cipher.size();
    int error = 0;
    int detail = 0;
    const char* out = encryptor.DetransformBuffer(cipher.data(), &length, &error, &detail);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ("default", std::string(out, length));
}

// --- Secret files ----------------------------------------------------------------------

using SecretFiles = IdentityTest;

TEST_F(SecretFiles, CreateThenParseRestoresPrefixAndSecret) {
    // About one inner ciphertext in eight holds a NUL byte; forty texts in a row restore
    // only when such draws are taken again.
    ScriptPrints("machine-42\n");
    for (int draw = 0; draw < 40; ++draw) {
        const std::string text = crypto::CreateSecret("PFX1", "the secret");
        ASSERT_EQ("PFX1", text.substr(0, 4)) << draw;
        // prefix + outer(inner(secret + prefix)): inner 32 bytes, outer 16 + 48.
        EXPECT_EQ(4u + 64u, text.size()) << draw;
        std::string prefix = "old";
        std::string secret = "old";
        crypto::ParseSecret(text, 4, prefix, secret);
        EXPECT_EQ("PFX1", prefix) << draw;
        ASSERT_EQ("the secret", secret) << draw;
    }
}

TEST_F(SecretFiles, InnerLayerIsKeyedPerUser) {
    ScriptPrints("machine-42\n");
    const std::string text = crypto::CreateSecret("PFX1", "the secret");
    ScriptPrints("another machine\n");
    std::string prefix;
    std::string secret;
    crypto::ParseSecret(text, 4, prefix, secret);
    EXPECT_EQ("PFX1", prefix);
    EXPECT_EQ("", secret);
}

TEST_F(SecretFiles, ShortTextLeavesBothOutputsEmpty) {
    std::string prefix = "old";
    std::string secret = "old";
    crypto::ParseSecret("abc", 8, prefix, secret);
    EXPECT_EQ("", prefix);
    EXPECT_EQ("", secret);
}

TEST_F(SecretFiles, GeneratedSecretsAlwaysParseBack) {
    // Without redrawing, about one draw in three holds a NUL byte somewhere that the
    // parse cannot restore.
    ScriptPrints("machine-42\n");
    std::set<std::string> seen;
    for (int draw = 0; draw < 60; ++draw) {
        const std::string text = crypto::GenerateSecret(24, 8);
        ASSERT_FALSE(text.empty()) << draw;
        std::string prefix;
        std::string secret;
        crypto::ParseSecret(text, 8, prefix, secret);
        ASSERT_EQ(8u, prefix.size()) << draw;
        ASSERT_EQ(24u, secret.size()) << draw;
        EXPECT_EQ(text.substr(0, 8), prefix);
        EXPECT_EQ(std::string::npos, secret.find('\0'));
        seen.insert(secret);
    }
    EXPECT_EQ(60u, seen.size());
}

TEST_F(SecretFiles, GetOrCreateWritesOnceAndReadsBack) {
    ScriptPrints("machine-42\n");
    const std::string text = crypto::GetOrCreateSecret("secret.bin", 32, 6);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, ReadFile("secret.bin"));
    EXPECT_EQ(text, crypto::GetOrCreateSecret("secret.bin", 32, 6));
    std::string prefix;
    std::string secret;
    crypto::ParseSecret(text, 6, prefix, secret);
    EXPECT_EQ(32u, secret.size());

    WriteFile("empty.bin", "");
    const std::string fresh = crypto::GetOrCreateSecret("empty.bin", 16, 4);
    EXPECT_FALSE(fresh.empty());
    EXPECT_EQ(fresh, ReadFile("empty.bin"));
}

TEST_F(SecretFiles, GetOrCreateOnUnwritablePathCreatesNothing) {
    ScriptPrints("machine-42\n");
    EXPECT_EQ("", crypto::GetOrCreateSecret("no/such/dir/secret.bin", 32, 6));
    EXPECT_FALSE(std::filesystem::exists("no"));
    EXPECT_EQ("", crypto::GetOrCreateSecret(nullptr, 32, 6));
}

}  // namespace
