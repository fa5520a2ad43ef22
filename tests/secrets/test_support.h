// Helpers shared by the secrets tests: hex literals, an independent AES-128-CBC
// decryption through mbed TLS, and a scratch working directory with a scripted
// machine identity.
#ifndef WARDEX_TESTS_SECRETS_TEST_SUPPORT_H_
#define WARDEX_TESTS_SECRETS_TEST_SUPPORT_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include "tests/foundation/test_dir.h"

namespace testing_support {

inline std::string Hex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string ToHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

inline std::string Sha256(const std::string& data) {
    unsigned char digest[32];
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, 0);
    return std::string(reinterpret_cast<char*>(digest), 32);
}

// AES-128-CBC of whole blocks with mbed TLS's own chaining.
inline std::string Cbc(const std::string& key, const std::string& iv, const std::string& data, bool encrypt) {
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    const unsigned char* k = reinterpret_cast<const unsigned char*>(key.data());
    if (encrypt) {
        mbedtls_aes_setkey_enc(&ctx, k, 128);
    } else {
        mbedtls_aes_setkey_dec(&ctx, k, 128);
    }
    unsigned char chain[16];
    std::copy(iv.begin(), iv.begin() + 16, chain);
    std::string out(data.size(), '\0');
    mbedtls_aes_crypt_cbc(&ctx, encrypt ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT, data.size(), chain,
                          reinterpret_cast<const unsigned char*>(data.data()), reinterpret_cast<unsigned char*>(&out[0]));
    mbedtls_aes_free(&ctx);
    return out;
}

// One AES-128 block, `encrypt` or decrypt, under the 16 bytes of `key`: CBC on a zero IV.
inline std::string AesBlock(const std::string& key, const std::string& block, bool encrypt) {
    return Cbc(key, std::string(16, '\0'), block.substr(0, 16), encrypt);
}

// The plaintext blocks of a transformer ciphertext (encrypted IV block, then CBC blocks),
// decrypted independently under the first 16 bytes of `key`.
inline std::string IndependentDecrypt(const std::string& key, const std::string& ciphertext) {
    const std::string first = ciphertext.substr(0, 16);
    return Cbc(key.substr(0, 16), first, ciphertext.substr(16), false);
}

inline void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    kv::testing::WriteFile(path, text);
    ::chmod(path.c_str(), mode);
}

using kv::testing::ReadFile;
using ScratchDir = kv::testing::TestDir;

// Runs each case in a scratch working directory. A "sudo" stand-in placed first on
// PATH records its arguments in sudo.log and runs the rest of its command line, so the
// identity command works the same with or without a sudo rule on the test machine.
// SUDO_UID is unset unless a case sets it.
class IdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        old_cwd_ = std::filesystem::current_path().string();
        if (const char* path = std::getenv("PATH")) old_path_ = path;
        if (const char* uid = std::getenv("SUDO_UID")) {
            had_sudo_uid_ = true;
            old_sudo_uid_ = uid;
        }
        ::unsetenv("SUDO_UID");
        ASSERT_EQ(0, ::chdir(scratch_.path().c_str()));
        std::filesystem::create_directories("scripts");
        std::filesystem::create_directories("shim");
        sudo_log_ = scratch_.path() + "/shim/sudo.log";
        WriteFile("shim/sudo",
                  "#!/bin/sh\n"
                  "printf '%s\\n' \"$*\" >> \"" + sudo_log_ + "\"\n"
                  "[ \"$1\" = \"-n\" ] || exit 1\n"
                  "shift\n"
                  "exec \"$@\"\n",
                  0755);
        ::setenv("PATH", (scratch_.path() + "/shim:" + old_path_).c_str(), 1);
    }

    void TearDown() override {
        ::setenv("PATH", old_path_.c_str(), 1);
        if (had_sudo_uid_) {
            ::setenv("SUDO_UID", old_sudo_uid_.c_str(), 1);
        } else {
            ::unsetenv("SUDO_UID");
        }
        if (!old_cwd_.empty()) {
            EXPECT_EQ(0, ::chdir(old_cwd_.c_str()));
        }
    }

    // Installs ./scripts/get_id.sh printing exactly `identity`.
    void ScriptPrints(const std::string& identity) {
        WriteFile("scripts/identity.txt", identity);
        WriteFile("scripts/get_id.sh", "#!/bin/sh\nexec cat \"$(dirname \"$0\")/identity.txt\"\n", 0755);
    }

    // Lines the sudo stand-in recorded, one per run; "" when it never ran.
    std::string SudoLog() const { return ReadFile(sudo_log_); }

    void UseRealSudo() { ::setenv("PATH", old_path_.c_str(), 1); }

    static std::string UserNumber() { return std::to_string(::getuid()); }

    ScratchDir scratch_;
    std::string old_cwd_;
    std::string old_path_;
    std::string old_sudo_uid_;
    bool had_sudo_uid_ = false;
    std::string sudo_log_;
};

}  // namespace testing_support

#endif  // WARDEX_TESTS_SECRETS_TEST_SUPPORT_H_
